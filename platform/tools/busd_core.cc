#include "busd_core.h"

#include <arpa/inet.h>
#include <cstring>

namespace busd {

namespace {

enum id_space { CLIENT_IDS, OBJECT_IDS, TYPE_IDS };

constexpr uint32_t pad4(size_t n) { return uint32_t((n + 3) & ~size_t(3)); }

bool nested_ok(const struct blob_attr *attr)
{
	size_t rem = blob_len(attr);
	auto *p = static_cast<const uint8_t *>(blob_data(attr));
	while (rem > 0) {
		if (rem < 4)
			return false;
		auto *child = reinterpret_cast<const struct blob_attr *>(p);
		size_t raw = blob_raw_len(child);
		if (raw < 4 || raw > rem)
			return false;
		if (pad4(raw) >= rem)
			break;
		rem -= pad4(raw);
		p += pad4(raw);
	}
	return true;
}

// Only the attributes the bus relies on are type-checked; a bad one counts as absent.
bool attr_ok(const struct blob_attr *attr)
{
	size_t len = blob_len(attr);
	switch (blob_id(attr)) {
	case UBUS_ATTR_STATUS:
	case UBUS_ATTR_OBJID:
	case UBUS_ATTR_OBJTYPE:
		return len == 4;
	case UBUS_ATTR_OBJPATH:
	case UBUS_ATTR_METHOD:
	case UBUS_ATTR_USER:
	case UBUS_ATTR_GROUP:
		return len >= 1 && static_cast<const char *>(blob_data(attr))[len - 1] == 0;
	case UBUS_ATTR_SIGNATURE:
	case UBUS_ATTR_DATA:
		return nested_ok(attr);
	default:
		return true;
	}
}

void parse_body(bytes &body, struct blob_attr **tb)
{
	for (int i = 0; i < UBUS_ATTR_MAX; i++)
		tb[i] = nullptr;
	auto *outer = reinterpret_cast<struct blob_attr *>(body.data());
	size_t rem = blob_len(outer);
	auto *p = static_cast<uint8_t *>(blob_data(outer));
	while (rem >= 4) {
		auto *attr = reinterpret_cast<struct blob_attr *>(p);
		size_t raw = blob_raw_len(attr);
		if (raw < 4 || raw > rem)
			break;
		if (blob_id(attr) < UBUS_ATTR_MAX && !blob_is_extended(attr) && attr_ok(attr))
			tb[blob_id(attr)] = attr;
		if (pad4(raw) >= rem)
			break;
		rem -= pad4(raw);
		p += pad4(raw);
	}
}

const char *str(const struct blob_attr *attr) { return static_cast<const char *>(blob_data(attr)); }

// Every method table of a signature must be a well-formed named blobmsg attribute.
bool signature_ok(const struct blob_attr *sig)
{
	size_t rem = blob_len(sig);
	auto *p = static_cast<const uint8_t *>(blob_data(sig));
	while (rem >= 4) {
		auto *attr = reinterpret_cast<const struct blob_attr *>(p);
		size_t raw = blob_raw_len(attr);
		if (raw < 4 || raw > rem || !blob_is_extended(attr) || !blobmsg_check_attr_len(attr, true, rem))
			return false;
		if (pad4(raw) >= rem)
			return true;
		rem -= pad4(raw);
		p += pad4(raw);
	}
	return rem == 0;
}

} // namespace

bool event_matches(const std::string &pattern, const std::string &name)
{
	if (!pattern.empty() && pattern.back() == '*')
		return name.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0 &&
		       name.size() >= pattern.size() - 1;
	return pattern == name;
}

void reader::feed(const uint8_t *data, size_t len)
{
	if (off_ > 0 && off_ == buf_.size()) {
		buf_.clear();
		off_ = 0;
	} else if (off_ > 65536 && off_ * 2 > buf_.size()) {
		buf_.erase(buf_.begin(), buf_.begin() + long(off_));
		off_ = 0;
	}
	buf_.insert(buf_.end(), data, data + len);
}

reader::result reader::next(msg_header &hdr, bytes &body)
{
	size_t avail = buf_.size() - off_;
	if (avail < HEADER_LEN + 4)
		return NEED_MORE;
	const uint8_t *p = buf_.data() + off_;
	uint32_t id_len;
	std::memcpy(&id_len, p + HEADER_LEN, 4);
	size_t raw = ntohl(id_len) & 0xffffffu;
	if (raw < 4 || pad4(raw) > UBUS_MAX_MSGLEN)
		return BAD;
	if (avail < HEADER_LEN + raw)
		return NEED_MORE;
	hdr.version = p[0];
	hdr.type = p[1];
	uint16_t seq;
	uint32_t peer;
	std::memcpy(&seq, p + 2, 2);
	std::memcpy(&peer, p + 4, 4);
	hdr.seq = ntohs(seq);
	hdr.peer = ntohl(peer);
	body.assign(p + HEADER_LEN, p + HEADER_LEN + raw);
	body.resize(pad4(raw), 0);
	off_ += HEADER_LEN + raw;
	return MESSAGE;
}

bus::bus(uint32_t seed) : rng_(seed) {}

bus::~bus()
{
	blob_buf_free(&buf_);
	blob_buf_free(&ev_buf_);
}

uint32_t bus::new_id(int space)
{
	for (;;) {
		uint32_t id = uint32_t(rng_());
		if (id < UBUS_SYSTEM_OBJECT_MAX)
			continue;
		switch (space) {
		case CLIENT_IDS:
			// the library compares the unconverted bytes with 1
			if (__builtin_bswap32(id) <= 1 || clients.count(id))
				continue;
			return id;
		case OBJECT_IDS:
			if (objects.count(id))
				continue;
			return id;
		default:
			if (types.count(id))
				continue;
			return id;
		}
	}
}

client &bus::add_client(int fd, std::string user, std::string group)
{
	uint32_t id = new_id(CLIENT_IDS);
	client &c = clients[id];
	c.id = id;
	c.fd = fd;
	c.user = std::move(user);
	c.group = std::move(group);
	static const uint8_t empty[4] = {0, 0, 0, 4};
	queue(c, UBUS_MSG_HELLO, 0, id, empty, sizeof(empty));
	return c;
}

client *bus::find_client(uint32_t id)
{
	auto it = clients.find(id);
	return it == clients.end() ? nullptr : &it->second;
}

void bus::remove_client(uint32_t id)
{
	std::vector<uint32_t> owned;
	for (auto &[oid, o] : objects)
		if (o.owner == id)
			owned.push_back(oid);
	for (uint32_t oid : owned)
		drop_object(oid);
	clients.erase(id);
}

bool bus::receive(uint32_t id, const uint8_t *data, size_t len)
{
	client *c = find_client(id);
	if (!c)
		return false;
	c->in.feed(data, len);
	msg_header hdr;
	bytes body;
	for (;;) {
		c = find_client(id);
		if (!c || c->dead)
			return false;
		switch (c->in.next(hdr, body)) {
		case reader::NEED_MORE:
			return true;
		case reader::BAD:
			return false;
		case reader::MESSAGE:
			handle(id, hdr, body);
			break;
		}
	}
}

void bus::queue(client &c, uint8_t type, uint16_t seq, uint32_t peer, const uint8_t *body, size_t len,
		uint8_t version)
{
	size_t total = HEADER_LEN + len;
	if (c.dead || c.out_bytes + total > MAX_QUEUED)
		return; // a client that does not read loses messages, the bus goes on
	bytes msg(total);
	msg[0] = version;
	msg[1] = type;
	uint16_t s = htons(seq);
	uint32_t p = htonl(peer);
	std::memcpy(&msg[2], &s, 2);
	std::memcpy(&msg[4], &p, 4);
	std::memcpy(&msg[HEADER_LEN], body, len);
	if (c.out.empty())
		dirty.push_back(c.id);
	c.out.push_back(std::move(msg));
	c.out_bytes += total;
}

void bus::queue_buf(client &c, uint8_t type, uint16_t seq, uint32_t peer)
{
	queue(c, type, seq, peer, reinterpret_cast<const uint8_t *>(buf_.head), blob_raw_len(buf_.head));
}

void bus::send_status(client &c, const msg_header &hdr, int status)
{
	blob_buf_init(&buf_, 0);
	blob_put_u32(&buf_, UBUS_ATTR_STATUS, uint32_t(status));
	queue_buf(c, UBUS_MSG_STATUS, hdr.seq, hdr.peer);
}

void bus::handle(uint32_t id, const msg_header &hdr, bytes &body)
{
	client *cp = find_client(id);
	if (!cp)
		return;
	client &c = *cp;
	struct blob_attr *tb[UBUS_ATTR_MAX];
	parse_body(body, tb);
	switch (hdr.type) {
	case UBUS_MSG_PING:
		queue(c, UBUS_MSG_DATA, hdr.seq, hdr.peer, body.data(), body.size(), hdr.version);
		send_status(c, hdr, UBUS_STATUS_OK);
		break;
	case UBUS_MSG_LOOKUP:
		lookup(c, hdr, tb);
		break;
	case UBUS_MSG_ADD_OBJECT:
		add_object(c, hdr, tb);
		break;
	case UBUS_MSG_REMOVE_OBJECT:
		remove_object(c, hdr, tb);
		break;
	case UBUS_MSG_INVOKE:
		invoke(c, hdr, tb);
		break;
	case UBUS_MSG_DATA:
	case UBUS_MSG_STATUS:
		reply(c, hdr, body, tb);
		break;
	case UBUS_MSG_SUBSCRIBE:
	case UBUS_MSG_UNSUBSCRIBE:
	case UBUS_MSG_NOTIFY:
		send_status(c, hdr, UBUS_STATUS_NOT_SUPPORTED);
		break;
	default:
		send_status(c, hdr, UBUS_STATUS_INVALID_COMMAND);
		break;
	}
}

void bus::lookup(client &c, const msg_header &hdr, struct blob_attr **tb)
{
	std::string want;
	bool all = !tb[UBUS_ATTR_OBJPATH];
	if (!all) {
		want = str(tb[UBUS_ATTR_OBJPATH]);
		if (want.empty()) {
			send_status(c, hdr, UBUS_STATUS_INVALID_ARGUMENT);
			return;
		}
	}
	bool prefix = !all && want.back() == '*';
	if (prefix)
		want.pop_back();
	auto it = all || prefix ? paths.lower_bound(want) : paths.find(want);
	int found = 0;
	for (; it != paths.end(); ++it) {
		if (!all && (prefix ? it->first.compare(0, want.size(), want) != 0 : it->first != want))
			break;
		const object &o = objects[it->second];
		auto t = types.find(o.type);
		if (t == types.end())
			continue; // objects without a type are not listed
		blob_buf_init(&buf_, 0);
		blob_put_string(&buf_, UBUS_ATTR_OBJPATH, o.path.c_str());
		blob_put_u32(&buf_, UBUS_ATTR_OBJID, o.id);
		blob_put_u32(&buf_, UBUS_ATTR_OBJTYPE, o.type);
		auto *sig = reinterpret_cast<const struct blob_attr *>(t->second.signature.data());
		blob_put(&buf_, UBUS_ATTR_SIGNATURE, blob_data(sig), unsigned(blob_len(sig)));
		queue_buf(c, UBUS_MSG_DATA, hdr.seq, hdr.peer);
		found++;
	}
	send_status(c, hdr, all || found ? UBUS_STATUS_OK : UBUS_STATUS_NOT_FOUND);
}

void bus::add_object(client &c, const msg_header &hdr, struct blob_attr **tb)
{
	object o;
	o.owner = c.id;
	bool new_type = false;
	if (tb[UBUS_ATTR_OBJPATH]) {
		o.path = str(tb[UBUS_ATTR_OBJPATH]);
		if (o.path.empty() || paths.count(o.path)) {
			send_status(c, hdr, UBUS_STATUS_INVALID_ARGUMENT);
			return;
		}
	}
	if (tb[UBUS_ATTR_SIGNATURE]) {
		if (signature_ok(tb[UBUS_ATTR_SIGNATURE])) {
			o.type = new_id(TYPE_IDS);
			auto *sig = reinterpret_cast<const uint8_t *>(tb[UBUS_ATTR_SIGNATURE]);
			object_type &t = types[o.type];
			t.signature.assign(sig, sig + pad4(blob_raw_len(tb[UBUS_ATTR_SIGNATURE])));
			new_type = true;
		}
	} else if (tb[UBUS_ATTR_OBJTYPE]) {
		uint32_t t = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
		if (types.count(t))
			o.type = t;
	}
	if (o.type)
		types[o.type].refs++;
	o.id = new_id(OBJECT_IDS);
	objects[o.id] = o;
	if (!o.path.empty()) {
		paths[o.path] = o.id;
		object_event("ubus.object.add", o);
	}
	blob_buf_init(&buf_, 0);
	blob_put_u32(&buf_, UBUS_ATTR_OBJID, o.id);
	if (new_type)
		blob_put_u32(&buf_, UBUS_ATTR_OBJTYPE, o.type);
	queue_buf(c, UBUS_MSG_DATA, hdr.seq, hdr.peer);
	send_status(c, hdr, UBUS_STATUS_OK);
}

uint32_t bus::drop_object(uint32_t id)
{
	auto it = objects.find(id);
	if (it == objects.end())
		return 0;
	object o = it->second;
	objects.erase(it);
	std::erase_if(events, [id](const event_reg &r) { return r.object == id; });
	uint32_t freed = 0;
	auto t = types.find(o.type);
	if (t != types.end() && --t->second.refs <= 0) {
		types.erase(t);
		freed = o.type;
	}
	if (!o.path.empty()) {
		paths.erase(o.path);
		object_event("ubus.object.remove", o);
	}
	return freed;
}

void bus::remove_object(client &c, const msg_header &hdr, struct blob_attr **tb)
{
	if (!tb[UBUS_ATTR_OBJID]) {
		send_status(c, hdr, UBUS_STATUS_INVALID_ARGUMENT);
		return;
	}
	uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	auto it = objects.find(id);
	if (it == objects.end()) {
		send_status(c, hdr, UBUS_STATUS_NOT_FOUND);
		return;
	}
	if (it->second.owner != c.id) {
		send_status(c, hdr, UBUS_STATUS_PERMISSION_DENIED);
		return;
	}
	uint32_t freed = drop_object(id);
	blob_buf_init(&buf_, 0);
	blob_put_u32(&buf_, UBUS_ATTR_OBJID, id);
	if (freed)
		blob_put_u32(&buf_, UBUS_ATTR_OBJTYPE, freed);
	queue_buf(c, UBUS_MSG_DATA, hdr.seq, hdr.peer);
	send_status(c, hdr, UBUS_STATUS_OK);
}

void bus::invoke(client &c, const msg_header &hdr, struct blob_attr **tb)
{
	if (!tb[UBUS_ATTR_OBJID] || !tb[UBUS_ATTR_METHOD]) {
		send_status(c, hdr, UBUS_STATUS_INVALID_ARGUMENT);
		return;
	}
	uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	std::string method = str(tb[UBUS_ATTR_METHOD]);
	if (id == UBUS_SYSTEM_OBJECT_EVENT) {
		int status = UBUS_STATUS_INVALID_COMMAND;
		if (method == "register")
			status = event_register(c, tb[UBUS_ATTR_DATA]);
		else if (method == "send")
			status = event_send(c, tb[UBUS_ATTR_DATA]);
		if (find_client(c.id))
			send_status(c, hdr, status);
		return;
	}
	if (id == UBUS_SYSTEM_OBJECT_ACL) {
		if (method != "query") {
			send_status(c, hdr, UBUS_STATUS_INVALID_COMMAND);
			return;
		}
		blob_buf_init(&buf_, 0);
		blob_put_u32(&buf_, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_ACL);
		void *data = blob_nest_start(&buf_, UBUS_ATTR_DATA);
		blobmsg_add_u32(&buf_, "seq", 0);
		blobmsg_close_array(&buf_, blobmsg_open_array(&buf_, "acl"));
		blob_nest_end(&buf_, data);
		queue_buf(c, UBUS_MSG_DATA, hdr.seq, hdr.peer);
		send_status(c, hdr, UBUS_STATUS_OK);
		return;
	}
	if (id == UBUS_SYSTEM_OBJECT_MONITOR) {
		send_status(c, hdr, method == "add" || method == "remove" ? UBUS_STATUS_NOT_SUPPORTED
									  : UBUS_STATUS_METHOD_NOT_FOUND);
		return;
	}
	auto it = objects.find(id);
	client *owner = it == objects.end() ? nullptr : find_client(it->second.owner);
	if (!owner) {
		send_status(c, hdr, UBUS_STATUS_NOT_FOUND);
		return;
	}
	// The owner answers with seq and the caller's id as peer; the method name is
	// the owner's business, so unknown methods are forwarded too.
	blob_buf_init(&buf_, 0);
	blob_put_u32(&buf_, UBUS_ATTR_OBJID, id);
	blob_put_string(&buf_, UBUS_ATTR_METHOD, method.c_str());
	blob_put_string(&buf_, UBUS_ATTR_USER, c.user.c_str());
	blob_put_string(&buf_, UBUS_ATTR_GROUP, c.group.c_str());
	if (tb[UBUS_ATTR_DATA])
		blob_put(&buf_, UBUS_ATTR_DATA, blob_data(tb[UBUS_ATTR_DATA]), unsigned(blob_len(tb[UBUS_ATTR_DATA])));
	queue_buf(*owner, UBUS_MSG_INVOKE, hdr.seq, c.id);
}

void bus::reply(client &c, const msg_header &hdr, bytes &body, struct blob_attr **tb)
{
	if (!tb[UBUS_ATTR_OBJID])
		return;
	if (hdr.type == UBUS_MSG_STATUS ? !tb[UBUS_ATTR_STATUS] : !tb[UBUS_ATTR_DATA])
		return;
	uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	auto it = objects.find(id);
	if (it == objects.end() || it->second.owner != c.id)
		return;
	client *caller = hdr.peer ? find_client(hdr.peer) : nullptr;
	if (!caller)
		return; // includes acknowledgements of event deliveries (peer 0)
	queue(*caller, hdr.type, hdr.seq, id, body.data(), blob_raw_len(reinterpret_cast<struct blob_attr *>(body.data())),
	      hdr.version);
}

int bus::event_register(client &c, struct blob_attr *data)
{
	if (!data)
		return UBUS_STATUS_INVALID_ARGUMENT;
	static const struct blobmsg_policy policy[2] = {
		{"object", BLOBMSG_TYPE_INT32},
		{"pattern", BLOBMSG_TYPE_STRING},
	};
	struct blob_attr *f[2];
	blobmsg_parse(policy, 2, f, blob_data(data), unsigned(blob_len(data)));
	if (!f[0] || !f[1])
		return UBUS_STATUS_INVALID_ARGUMENT;
	uint32_t id = blobmsg_get_u32(f[0]);
	if (id < UBUS_SYSTEM_OBJECT_MAX)
		return UBUS_STATUS_PERMISSION_DENIED;
	auto it = objects.find(id);
	if (it == objects.end())
		return UBUS_STATUS_NOT_FOUND;
	if (it->second.owner != c.id)
		return UBUS_STATUS_PERMISSION_DENIED;
	std::string pattern = blobmsg_get_string(f[1]);
	if (pattern.empty())
		return UBUS_STATUS_PERMISSION_DENIED;
	for (auto &r : events)
		if (r.object == id && r.pattern == pattern)
			return UBUS_STATUS_OK;
	events.push_back({id, pattern});
	return UBUS_STATUS_OK;
}

int bus::event_send(client &c, struct blob_attr *data)
{
	if (!data)
		return UBUS_STATUS_INVALID_ARGUMENT;
	static const struct blobmsg_policy policy[2] = {
		{"id", BLOBMSG_TYPE_STRING},
		{"data", BLOBMSG_TYPE_TABLE},
	};
	struct blob_attr *f[2];
	blobmsg_parse(policy, 2, f, blob_data(data), unsigned(blob_len(data)));
	if (!f[0] || !f[1])
		return UBUS_STATUS_INVALID_ARGUMENT;
	std::string name = blobmsg_get_string(f[0]);
	if (name.compare(0, 5, "ubus.") == 0)
		return UBUS_STATUS_PERMISSION_DENIED;
	deliver_event(c.id, name, blobmsg_data(f[1]), blobmsg_data_len(f[1]));
	return UBUS_STATUS_OK;
}

void bus::deliver_event(uint32_t sender, const std::string &name, const void *data, size_t len)
{
	std::vector<uint32_t> targets;
	for (auto &r : events) {
		if (!event_matches(r.pattern, name))
			continue;
		auto it = objects.find(r.object);
		if (it == objects.end() || it->second.owner == sender)
			continue; // never back to the sender's own handlers
		bool seen = false;
		for (uint32_t t : targets)
			seen |= t == r.object;
		if (!seen)
			targets.push_back(r.object);
	}
	for (uint32_t oid : targets) {
		client *c = find_client(objects[oid].owner);
		if (!c)
			continue;
		blob_buf_init(&ev_buf_, 0);
		blob_put_u32(&ev_buf_, UBUS_ATTR_OBJID, oid);
		blob_put_string(&ev_buf_, UBUS_ATTR_METHOD, name.c_str());
		blob_put(&ev_buf_, UBUS_ATTR_DATA, data, unsigned(len));
		queue(*c, UBUS_MSG_INVOKE, ++event_seq_, 0, reinterpret_cast<const uint8_t *>(ev_buf_.head),
		      blob_raw_len(ev_buf_.head));
	}
}

void bus::object_event(const char *name, const object &o)
{
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "id", o.id);
	blobmsg_add_string(&b, "path", o.path.c_str());
	deliver_event(0, name, blob_data(b.head), blob_len(b.head));
	blob_buf_free(&b);
}

} // namespace busd
