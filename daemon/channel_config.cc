// SPDX-License-Identifier: ISC
#include "daemon/channel_config.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "common/config_store.h"
#include "common/log.h"
#include "common/own.h"
#include "common/text.h"
#include "daemon/service.h"
#include "link/framing.h"

extern "C" {
#include <uci.h>
}

namespace {

constexpr char PACKAGE[] = "ravel_tools";

// Whether an option read with config_get is there and not empty.
bool non_empty(const text_owner &t)
{
	return t && t.get()[0];
}

void copy_field(char *dst, int size, const char *src)
{
	bounded_copy(dst, size, src, strlen(src));
}

// The options of one rule section that the channel may take over. Values
// point into the loaded package and stay valid until it is closed.
struct rule_values {
	const char *model = "";
	const char *server = "";
	const char *proto = "";
	const char *port = "";
};

rule_values read_rule(uci_section *s)
{
	rule_values r;
	uci_element *e;
	uci_foreach_element (&s->options, e) {
		uci_option *o = uci_to_option(e);
		if (o->type != UCI_TYPE_STRING || !o->v.string || !o->v.string[0])
			continue;
		const char *v = o->v.string;
		if (!strcmp(e->name, "model"))
			r.model = v;
		else if (!strcmp(e->name, "server"))
			r.server = v;
		else if (!strcmp(e->name, "proto"))
			r.proto = v;
		else if (!strcmp(e->name, "port"))
			r.port = v;
	}
	return r;
}

// Takes over from the first rule of the channel's model the values the
// channel section does not have at all. -1 when the package cannot be loaded.
int apply_first_rule(at_channel *ch, const text_owner &server, const text_owner &proto,
		     const text_owner &port)
{
	config_owner h(config_open(PACKAGE));
	if (!h || !h->pkg)
		return -1;
	uci_element *e;
	uci_foreach_element (&h->pkg->sections, e) {
		uci_section *s = uci_to_section(e);
		if (!s->type || strcmp(s->type, "rule") != 0)
			continue;
		rule_values r = read_rule(s);
		if (strcmp(r.model, ch->model) != 0)
			continue;
		if (!server && r.server[0])
			copy_field(ch->server, sizeof(ch->server), r.server);
		if (!proto && r.proto[0])
			copy_field(ch->proto, sizeof(ch->proto), r.proto);
		if (!port && r.port[0])
			ch->port = (uint32_t)atoi(r.port);
		break;
	}
	return 0;
}

const odu_module *find_module(const char *model)
{
	for (const odu_module &row : module_table)
		if (strncmp(model, row.model, strlen(row.model)) == 0)
			return &row;
	return nullptr;
}

} // namespace

const odu_module module_table[MODULE_TABLE_ROWS] = {
	{"RM500U", 0, nullptr, nullptr, nullptr},
	{"RG200U", 0, nullptr, nullptr, nullptr},
	{"NU313", 0, nullptr, nullptr, nullptr},
	{"FM160", 0, nullptr, nullptr, nullptr},
	{"FM650", 0, nullptr, nullptr, nullptr},
	{"RM520N", RGMII_HEADER_LEN, rgmii_encode_at, rgmii_decode, rgmii_encode_heartbeat},
	{"RM500S", RGMII_HEADER_LEN, rgmii_encode_at, rgmii_decode, rgmii_encode_heartbeat},
};

int load_channel_config(const char *channel_id)
{
	at_channel *ch = &channel;
	memset(ch, 0, sizeof(*ch));
	ch->encode_at = nullptr;
	ch->decode_frame = nullptr;
	ch->encode_heartbeat = nullptr;
	ch->link_fd = -1;
	ch->connect_fd = -1;
	// Traffic lines (the heartbeat's too) are logged at the request default
	// until a request names a level, never at level 0, LOG_EMERG.
	ch->trace_level = AT_CMD_DEFAULT_TRACE_LEVEL;

	if (!channel_id || !channel_id[0])
		return -1;
	copy_field(ch->name, sizeof(ch->name), channel_id);
	snprintf(ch->object_name, sizeof(ch->object_name), "ravel%s", channel_id);

	config_owner h(config_open(PACKAGE));
	if (!h || !h->pkg)
		return -1;
	text_owner model(config_get(h.get(), channel_id, "model"));
	text_owner server(config_get(h.get(), channel_id, "server"));
	text_owner port(config_get(h.get(), channel_id, "port"));
	text_owner proto(config_get(h.get(), channel_id, "proto"));
	if (non_empty(model))
		copy_field(ch->model, sizeof(ch->model), model.get());
	h.reset();

	if (ch->model[0] && apply_first_rule(ch, server, proto, port) < 0)
		return -1;

	if (non_empty(server))
		copy_field(ch->server, sizeof(ch->server), server.get());
	if (non_empty(proto))
		copy_field(ch->proto, sizeof(ch->proto), proto.get());
	if (non_empty(port))
		ch->port = (uint32_t)atoi(port.get());

	log_message(LOG_WARNING, "config channel name:%s", channel_id);
	log_message(LOG_WARNING, "config proto:%s", ch->proto);
	log_message(LOG_WARNING, "config server:%s", ch->server);
	log_message(LOG_WARNING, "config port:%d", (int)ch->port);
	log_message(LOG_WARNING, "config odu_module:%s", ch->model);

	if (!ch->proto[0] || !ch->server[0] || ch->port == 0) {
		log_message(LOG_ERR, "config error ,channel server or port or proto empty");
		return -1;
	}

	if (const odu_module *row = find_module(ch->model)) {
		log_message(LOG_WARNING, "config %s get odu method", ch->model);
		ch->frame_header_len = row->frame_header_len;
		ch->encode_at = row->encode_at;
		ch->decode_frame = row->decode_frame;
		ch->encode_heartbeat = row->encode_heartbeat;
	}
	ch->heartbeat_interval = 20000;
	return 0;
}
