// SPDX-License-Identifier: ISC
#include "busd_core.h"

#include <arpa/inet.h>
#include <new>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

namespace busd {

namespace {

enum id_space { CLIENT_IDS, OBJECT_IDS, TYPE_IDS };

constexpr uint32_t pad4(size_t n)
{
	return uint32_t((n + 3) & ~size_t(3));
}

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

void parse_body(const uint8_t *body, struct blob_attr **tb)
{
	for (int i = 0; i < UBUS_ATTR_MAX; i++)
		tb[i] = nullptr;
	auto *outer = reinterpret_cast<struct blob_attr *>(const_cast<uint8_t *>(body));
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

const char *str(const struct blob_attr *attr)
{
	return static_cast<const char *>(blob_data(attr));
}

// Every method table of a signature must be a well-formed named blobmsg attribute.
bool signature_ok(const struct blob_attr *sig)
{
	size_t rem = blob_len(sig);
	auto *p = static_cast<const uint8_t *>(blob_data(sig));
	while (rem >= 4) {
		auto *attr = reinterpret_cast<const struct blob_attr *>(p);
		size_t raw = blob_raw_len(attr);
		if (raw < 4 || raw > rem || !blob_is_extended(attr) ||
		    !blobmsg_check_attr_len(attr, true, rem))
			return false;
		if (pad4(raw) >= rem)
			return true;
		rem -= pad4(raw);
		p += pad4(raw);
	}
	return rem == 0;
}

int cmp_path(const void *a, const void *b, void *)
{
	return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

char *dup_text(const char *s)
{
	char *d = strdup(s);
	if (!d)
		abort();
	return d;
}

void *alloc(size_t n)
{
	void *p = malloc(n);
	if (!p)
		abort();
	return p;
}

uint32_t be32_at(const uint8_t *p)
{
	uint32_t v;
	memcpy(&v, p, 4);
	return ntohl(v);
}

// Length of the outer blob of the message at p (header and 4 body bytes present).
size_t outer_len(const uint8_t *p)
{
	return be32_at(p + HEADER_LEN) & 0xffffffu;
}

bool outer_ok(size_t raw)
{
	return raw >= 4 && pad4(raw) <= UBUS_MAX_MSGLEN;
}

size_t home(uint32_t key, size_t mask)
{
	return (key * 2654435761u) & mask;
}

} // namespace

void *id_map::get(uint32_t key) const
{
	if (!slots)
		return nullptr;
	for (size_t i = home(key, mask);; i = (i + 1) & mask) {
		if (slots[i].key == key)
			return slots[i].value;
		if (!slots[i].key)
			return nullptr;
	}
}

void id_map::put(uint32_t key, void *value)
{
	if (2 * (count + 1) > mask + 1) { // keep at most half full
		size_t old_size = slots ? mask + 1 : 0;
		slot *old = slots;
		size_t size = old_size ? old_size * 2 : 16;
		slots = static_cast<slot *>(calloc(size, sizeof(slot)));
		if (!slots)
			abort();
		mask = size - 1;
		count = 0;
		for (size_t i = 0; i < old_size; i++)
			if (old[i].key)
				put(old[i].key, old[i].value);
		free(old);
	}
	size_t i = home(key, mask);
	while (slots[i].key)
		i = (i + 1) & mask;
	slots[i] = {key, value};
	count++;
}

void id_map::erase(uint32_t key)
{
	if (!slots)
		return;
	size_t i = home(key, mask);
	while (slots[i].key != key) {
		if (!slots[i].key)
			return;
		i = (i + 1) & mask;
	}
	// shift back the entries that probed past the freed slot
	for (size_t j = i;;) {
		slots[i] = {0, nullptr};
		for (;;) {
			j = (j + 1) & mask;
			if (!slots[j].key) {
				count--;
				return;
			}
			size_t h = home(slots[j].key, mask);
			// stays when its home lies cyclically in (i, j]
			bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
			if (!stays)
				break;
		}
		slots[i] = slots[j];
		i = j;
	}
}

void *id_map::any() const
{
	for (size_t i = 0; count && i <= mask; i++)
		if (slots[i].key)
			return slots[i].value;
	return nullptr;
}

bool event_matches(const char *pattern, const char *name)
{
	size_t n = strlen(pattern);
	if (n > 0 && pattern[n - 1] == '*')
		return strncmp(pattern, name, n - 1) == 0;
	return strcmp(pattern, name) == 0;
}

void out_queue::push(out_msg *m)
{
	m->next = nullptr;
	if (tail)
		tail->next = m;
	else
		head = m;
	tail = m;
	count++;
}

void out_queue::pop()
{
	out_msg *m = head;
	head = m->next;
	if (!head)
		tail = nullptr;
	count--;
	free(m);
}

void out_queue::clear()
{
	while (head)
		pop();
}

uint32_t bus::random_seed()
{
	uint32_t seed = 0;
	if (getrandom(&seed, sizeof(seed), GRND_NONBLOCK) != ssize_t(sizeof(seed)))
		seed = uint32_t(getpid()) * 2654435761u;
	return seed;
}

bus::bus(uint32_t seed) : rng_(seed)
{
	avl_init(&paths, cmp_path, false, nullptr);
}

bus::~bus()
{
	while (auto *c = static_cast<client *>(clients.any()))
		remove_client(c->id);
	for (auto &r : events)
		free(r.pattern);
	blob_buf_free(&buf_);
	blob_buf_free(&ev_buf_);
	free(scratch_);
}

// splitmix64: ids are random so that a restarted bus does not hand out old ones
uint32_t bus::new_id(const id_map &space)
{
	for (;;) {
		uint64_t z = (rng_ += 0x9e3779b97f4a7c15ull);
		z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
		z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
		uint32_t id = uint32_t(z ^ (z >> 31));
		if (id < UBUS_SYSTEM_OBJECT_MAX || space.get(id))
			continue;
		// the library compares the unconverted bytes of its own id with 1
		if (&space == &clients && __builtin_bswap32(id) <= 1)
			continue;
		return id;
	}
}

client &bus::add_client(int fd, const char *user, const char *group)
{
	auto *c = new (alloc(sizeof(client))) client;
	c->id = new_id(clients);
	clients.put(c->id, c);
	c->fd = fd;
	c->user = dup_text(user);
	c->group = dup_text(group);
	static const uint8_t empty[4] = {0, 0, 0, 4};
	queue(*c, UBUS_MSG_HELLO, 0, c->id, empty, sizeof(empty));
	return *c;
}

client *bus::find_client(uint32_t id)
{
	return static_cast<client *>(clients.get(id));
}

object *bus::find_object(uint32_t id)
{
	return static_cast<object *>(objects.get(id));
}

object *bus::find_path(const char *path)
{
	object *o = nullptr;
	return avl_find_element(&paths, path, o, path_node);
}

void bus::remove_client(uint32_t id)
{
	client *c = find_client(id);
	if (!c)
		return;
	vec<uint32_t> owned;
	for (size_t i = 0; objects.slots && i <= objects.mask; i++) {
		auto *o = static_cast<object *>(objects.slots[i].value);
		if (o && o->owner == id)
			owned.push(o->id);
	}
	for (uint32_t oid : owned)
		drop_object(oid);
	clients.erase(id);
	c->out.clear();
	free(c->in);
	free(c->user);
	free(c->group);
	free(c);
}

bool bus::receive(uint32_t id, const uint8_t *data, size_t len)
{
	client *c = find_client(id);
	while (c && !c->dead) {
		if (c->in_len > 0) {
			// complete the message begun in an earlier read
			size_t need =
				c->in_len < HEADER_LEN + 4 ? HEADER_LEN + 4 : HEADER_LEN + outer_len(c->in);
			size_t take = need - c->in_len < len ? need - c->in_len : len;
			memcpy(c->in + c->in_len, data, take);
			c->in_len += take;
			data += take;
			len -= take;
			if (c->in_len < need)
				return true;
			if (need == HEADER_LEN + 4) {
				size_t raw = outer_len(c->in);
				if (!outer_ok(raw))
					return false;
				if (raw > 4) {
					if (HEADER_LEN + raw > c->in_cap) {
						c->in_cap = HEADER_LEN + raw;
						c->in = static_cast<uint8_t *>(realloc(c->in, c->in_cap));
						if (!c->in)
							abort();
					}
					continue;
				}
			}
			dispatch(id, c->in);
			if ((c = find_client(id))) {
				c->in_len = 0;
				if (c->in_cap > 4096) { // a large message: give the room back
					free(c->in);
					c->in = nullptr;
					c->in_cap = 0;
				}
			}
			continue;
		}
		if (len >= HEADER_LEN + 4) {
			size_t raw = outer_len(data);
			if (!outer_ok(raw))
				return false;
			if (len >= HEADER_LEN + raw) {
				dispatch(id, data);
				data += HEADER_LEN + raw;
				len -= HEADER_LEN + raw;
				c = find_client(id);
				continue;
			}
		}
		if (len == 0)
			return true;
		// keep the start; room for the whole message once its length is known
		size_t want = len >= HEADER_LEN + 4 ? HEADER_LEN + outer_len(data) : 256;
		if (want > c->in_cap) {
			free(c->in);
			c->in = static_cast<uint8_t *>(alloc(want));
			c->in_cap = want;
		}
		memcpy(c->in, data, len);
		c->in_len = len;
		return true;
	}
	return false;
}

void bus::dispatch(uint32_t id, const uint8_t *msg)
{
	client *c = find_client(id);
	if (!c)
		return;
	msg_header hdr;
	hdr.version = msg[0];
	hdr.type = msg[1];
	uint16_t seq;
	memcpy(&seq, msg + 2, 2);
	hdr.seq = ntohs(seq);
	hdr.peer = be32_at(msg + 4);
	size_t raw = outer_len(msg);
	const uint8_t *body = msg + HEADER_LEN;
	size_t len = pad4(raw);
	if (len != raw || reinterpret_cast<uintptr_t>(body) % 4 != 0) {
		if (len > scratch_cap_) {
			free(scratch_);
			scratch_ = static_cast<uint8_t *>(alloc(len));
			scratch_cap_ = len;
		}
		memcpy(scratch_, body, raw);
		memset(scratch_ + raw, 0, len - raw);
		body = scratch_;
	}
	handle(*c, hdr, body, len);
	if (scratch_cap_ > 65536) {
		free(scratch_);
		scratch_ = nullptr;
		scratch_cap_ = 0;
	}
}

void bus::queue(client &c, uint8_t type, uint16_t seq, uint32_t peer, const void *body, size_t len,
		uint8_t version)
{
	size_t total = HEADER_LEN + len;
	if (!c.dead && !c.out.empty() && c.out_bytes + total > MAX_QUEUED && drain)
		drain(drain_arg, c);
	if (c.dead || (!c.out.empty() && c.out_bytes + total > MAX_QUEUED))
		return; // a client that does not read loses messages, the bus goes on
	auto *m = static_cast<out_msg *>(alloc(sizeof(out_msg) + total));
	m->len = total;
	m->data[0] = version;
	m->data[1] = type;
	uint16_t s = htons(seq);
	uint32_t p = htonl(peer);
	memcpy(&m->data[2], &s, 2);
	memcpy(&m->data[4], &p, 4);
	memcpy(&m->data[HEADER_LEN], body, len);
	if (c.out.empty())
		dirty.push(c.id);
	c.out.push(m);
	c.out_bytes += total;
}

void bus::queue_buf(client &c, uint8_t type, uint16_t seq, uint32_t peer)
{
	queue(c, type, seq, peer, buf_.head, blob_raw_len(buf_.head));
	if (buf_.buflen > 65536)
		blob_buf_free(&buf_);
}

void bus::send_status(client &c, const msg_header &hdr, int status)
{
	blob_buf_init(&buf_, 0);
	blob_put_u32(&buf_, UBUS_ATTR_STATUS, uint32_t(status));
	queue_buf(c, UBUS_MSG_STATUS, hdr.seq, hdr.peer);
}

void bus::handle(client &c, const msg_header &hdr, const uint8_t *body, size_t len)
{
	struct blob_attr *tb[UBUS_ATTR_MAX];
	parse_body(body, tb);
	switch (hdr.type) {
	case UBUS_MSG_PING:
		queue(c, UBUS_MSG_DATA, hdr.seq, hdr.peer, body, len, hdr.version);
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
	const char *want = nullptr;
	size_t want_len = 0;
	bool prefix = false;
	if (tb[UBUS_ATTR_OBJPATH]) {
		want = str(tb[UBUS_ATTR_OBJPATH]);
		want_len = strlen(want);
		if (want_len == 0) {
			send_status(c, hdr, UBUS_STATUS_INVALID_ARGUMENT);
			return;
		}
		prefix = want[want_len - 1] == '*';
		if (prefix)
			want_len--;
	}
	object *o = nullptr;
	if (!want)
		o = avl_is_empty(&paths) ? nullptr : avl_first_element(&paths, o, path_node);
	else if (!prefix)
		o = find_path(want);
	else {
		// the first path at or after the prefix
		char *key = static_cast<char *>(alloc(want_len + 1));
		memcpy(key, want, want_len);
		key[want_len] = 0;
		o = avl_find_ge_element(&paths, key, o, path_node);
		free(key);
	}
	int found = 0;
	for (; o; o = avl_is_last(&paths, &o->path_node) ? nullptr : avl_next_element(o, path_node)) {
		if (want && (prefix ? strncmp(o->path, want, want_len) != 0 : strcmp(o->path, want) != 0))
			break;
		auto *t = static_cast<object_type *>(types.get(o->type));
		if (!t)
			continue; // objects without a type are not listed
		blob_buf_init(&buf_, 0);
		blob_put_string(&buf_, UBUS_ATTR_OBJPATH, o->path);
		blob_put_u32(&buf_, UBUS_ATTR_OBJID, o->id);
		blob_put_u32(&buf_, UBUS_ATTR_OBJTYPE, o->type);
		auto *sig = reinterpret_cast<const struct blob_attr *>(t->signature);
		blob_put(&buf_, UBUS_ATTR_SIGNATURE, blob_data(sig), unsigned(blob_len(sig)));
		queue_buf(c, UBUS_MSG_DATA, hdr.seq, hdr.peer);
		found++;
	}
	send_status(c, hdr, !want || found ? UBUS_STATUS_OK : UBUS_STATUS_NOT_FOUND);
}

void bus::add_object(client &c, const msg_header &hdr, struct blob_attr **tb)
{
	const char *path = nullptr;
	if (tb[UBUS_ATTR_OBJPATH]) {
		path = str(tb[UBUS_ATTR_OBJPATH]);
		if (!*path || find_path(path)) {
			send_status(c, hdr, UBUS_STATUS_INVALID_ARGUMENT);
			return;
		}
	}
	uint32_t type = 0;
	bool new_type = false;
	if (tb[UBUS_ATTR_SIGNATURE]) {
		if (signature_ok(tb[UBUS_ATTR_SIGNATURE])) {
			auto *t = new (alloc(sizeof(object_type))) object_type;
			t->id = type = new_id(types);
			t->signature_len = pad4(blob_raw_len(tb[UBUS_ATTR_SIGNATURE]));
			t->signature = static_cast<uint8_t *>(alloc(t->signature_len));
			memcpy(t->signature, tb[UBUS_ATTR_SIGNATURE], t->signature_len);
			types.put(t->id, t);
			new_type = true;
		}
	} else if (tb[UBUS_ATTR_OBJTYPE]) {
		uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
		if (types.get(id))
			type = id;
	}
	if (type)
		static_cast<object_type *>(types.get(type))->refs++;
	auto *o = new (alloc(sizeof(object))) object;
	o->owner = c.id;
	o->type = type;
	o->id = new_id(objects);
	objects.put(o->id, o);
	if (path) {
		o->path = dup_text(path);
		o->path_node.key = o->path;
		avl_insert(&paths, &o->path_node);
		object_event("ubus.object.add", *o);
	}
	blob_buf_init(&buf_, 0);
	blob_put_u32(&buf_, UBUS_ATTR_OBJID, o->id);
	if (new_type)
		blob_put_u32(&buf_, UBUS_ATTR_OBJTYPE, type);
	queue_buf(c, UBUS_MSG_DATA, hdr.seq, hdr.peer);
	send_status(c, hdr, UBUS_STATUS_OK);
}

uint32_t bus::drop_object(uint32_t id)
{
	object *o = find_object(id);
	if (!o)
		return 0;
	objects.erase(id);
	size_t kept = 0;
	for (auto &r : events) {
		if (r.object == id)
			free(r.pattern);
		else
			events[kept++] = r;
	}
	events.len = kept;
	uint32_t freed = 0;
	auto *t = static_cast<object_type *>(types.get(o->type));
	if (t && --t->refs <= 0) {
		freed = t->id;
		types.erase(t->id);
		free(t->signature);
		free(t);
	}
	if (o->path) {
		avl_delete(&paths, &o->path_node);
		object_event("ubus.object.remove", *o);
		free(o->path);
	}
	free(o);
	return freed;
}

void bus::remove_object(client &c, const msg_header &hdr, struct blob_attr **tb)
{
	if (!tb[UBUS_ATTR_OBJID]) {
		send_status(c, hdr, UBUS_STATUS_INVALID_ARGUMENT);
		return;
	}
	uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	object *o = find_object(id);
	if (!o) {
		send_status(c, hdr, UBUS_STATUS_NOT_FOUND);
		return;
	}
	if (o->owner != c.id) {
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
	const char *method = str(tb[UBUS_ATTR_METHOD]);
	if (id == UBUS_SYSTEM_OBJECT_EVENT) {
		int status = UBUS_STATUS_INVALID_COMMAND;
		uint32_t cid = c.id;
		if (!strcmp(method, "register"))
			status = event_register(c, tb[UBUS_ATTR_DATA]);
		else if (!strcmp(method, "send"))
			status = event_send(c, tb[UBUS_ATTR_DATA]);
		if (find_client(cid))
			send_status(c, hdr, status);
		return;
	}
	if (id == UBUS_SYSTEM_OBJECT_ACL) {
		if (strcmp(method, "query") != 0) {
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
		send_status(c, hdr,
			    !strcmp(method, "add") || !strcmp(method, "remove")
				    ? UBUS_STATUS_NOT_SUPPORTED
				    : UBUS_STATUS_METHOD_NOT_FOUND);
		return;
	}
	object *o = find_object(id);
	client *owner = o ? find_client(o->owner) : nullptr;
	if (!owner) {
		send_status(c, hdr, UBUS_STATUS_NOT_FOUND);
		return;
	}
	// The owner answers with seq and the caller's id as peer; the method name is
	// the owner's business, so unknown methods are forwarded too.
	blob_buf_init(&buf_, 0);
	blob_put_u32(&buf_, UBUS_ATTR_OBJID, id);
	blob_put_string(&buf_, UBUS_ATTR_METHOD, method);
	blob_put_string(&buf_, UBUS_ATTR_USER, c.user);
	blob_put_string(&buf_, UBUS_ATTR_GROUP, c.group);
	if (tb[UBUS_ATTR_DATA])
		blob_put(&buf_, UBUS_ATTR_DATA, blob_data(tb[UBUS_ATTR_DATA]),
			 unsigned(blob_len(tb[UBUS_ATTR_DATA])));
	// With the caller's names added, a request near the limit can outgrow it;
	// the owner's library would take that for a broken stream and hang up.
	if (pad4(blob_raw_len(buf_.head)) > UBUS_MAX_MSGLEN) {
		send_status(c, hdr, UBUS_STATUS_INVALID_ARGUMENT);
		return;
	}
	queue_buf(*owner, UBUS_MSG_INVOKE, hdr.seq, c.id);
}

void bus::reply(client &c, const msg_header &hdr, const uint8_t *body, struct blob_attr **tb)
{
	if (!tb[UBUS_ATTR_OBJID])
		return;
	if (hdr.type == UBUS_MSG_STATUS ? !tb[UBUS_ATTR_STATUS] : !tb[UBUS_ATTR_DATA])
		return;
	uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	object *o = find_object(id);
	if (!o || o->owner != c.id)
		return;
	client *caller = hdr.peer ? find_client(hdr.peer) : nullptr;
	if (!caller)
		return; // includes acknowledgements of event deliveries (peer 0)
	queue(*caller, hdr.type, hdr.seq, id, body,
	      blob_raw_len(reinterpret_cast<const struct blob_attr *>(body)), hdr.version);
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
	object *o = find_object(id);
	if (!o)
		return UBUS_STATUS_NOT_FOUND;
	if (o->owner != c.id)
		return UBUS_STATUS_PERMISSION_DENIED;
	const char *pattern = blobmsg_get_string(f[1]);
	if (!*pattern)
		return UBUS_STATUS_PERMISSION_DENIED;
	for (auto &r : events)
		if (r.object == id && !strcmp(r.pattern, pattern))
			return UBUS_STATUS_OK;
	events.push({id, dup_text(pattern)});
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
	const char *name = blobmsg_get_string(f[0]);
	if (!strncmp(name, "ubus.", 5))
		return UBUS_STATUS_PERMISSION_DENIED;
	deliver_event(c.id, name, blobmsg_data(f[1]), blobmsg_data_len(f[1]));
	return UBUS_STATUS_OK;
}

void bus::deliver_event(uint32_t sender, const char *name, const void *data, size_t len)
{
	vec<uint32_t> targets;
	for (auto &r : events) {
		if (!event_matches(r.pattern, name))
			continue;
		object *o = find_object(r.object);
		if (!o || o->owner == sender)
			continue; // never back to the sender's own handlers
		bool seen = false;
		for (uint32_t t : targets)
			seen |= t == r.object;
		if (!seen)
			targets.push(r.object);
	}
	for (uint32_t oid : targets) {
		object *o = find_object(oid);
		client *c = o ? find_client(o->owner) : nullptr;
		if (!c)
			continue;
		blob_buf_init(&ev_buf_, 0);
		blob_put_u32(&ev_buf_, UBUS_ATTR_OBJID, oid);
		blob_put_string(&ev_buf_, UBUS_ATTR_METHOD, name);
		blob_put(&ev_buf_, UBUS_ATTR_DATA, data, unsigned(len));
		queue(*c, UBUS_MSG_INVOKE, ++event_seq_, 0, ev_buf_.head, blob_raw_len(ev_buf_.head));
	}
	if (ev_buf_.buflen > 65536)
		blob_buf_free(&ev_buf_);
}

void bus::object_event(const char *name, const object &o)
{
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "id", o.id);
	blobmsg_add_string(&b, "path", o.path);
	deliver_event(0, name, blob_data(b.head), blob_len(b.head));
	blob_buf_free(&b);
}

} // namespace busd
