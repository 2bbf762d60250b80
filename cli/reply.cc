// SPDX-License-Identifier: ISC
#include "cli/reply.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <syslog.h>

#include "cli/fold.h"
#include "cli/json.h"
#include "common/log.h"

enum { REPLY_RESPONE, REPLY_CODE, REPLY_FIELD_COUNT };

static const struct blobmsg_policy at_reply_policy[REPLY_FIELD_COUNT] = {
	{"respone", BLOBMSG_TYPE_STRING},
	{"code", BLOBMSG_TYPE_INT32},
};

// The reply's string and int32 fields in their order, one a line, tab
// indented, as "ubus call" shows a reply (the daemon sends no other types).
static void print_json(struct blob_attr *msg)
{
	struct blob_attr *field;
	size_t rem;
	bool first = true;
	fputc('{', stdout);
	blobmsg_for_each_attr (field, msg, rem) {
		int type = blobmsg_type(field);
		if (type != BLOBMSG_TYPE_STRING && type != BLOBMSG_TYPE_INT32)
			continue;
		if (!blobmsg_check_attr(field, true))
			continue;
		fputs(first ? "\n\t" : ",\n\t", stdout);
		first = false;
		put_json_string(stdout, blobmsg_name(field));
		fputs(": ", stdout);
		if (type == BLOBMSG_TYPE_STRING)
			put_json_string(stdout, static_cast<const char *>(blobmsg_data(field)));
		else
			printf("%" PRId32, static_cast<int32_t>(blobmsg_get_u32(field)));
	}
	fputs(first ? "}\n" : "\n}\n", stdout);
}

void on_at_reply(struct ubus_request *req, int, struct blob_attr *msg)
{
	if (!msg || !req || !req->priv)
		return;
	reply_state &rs = *static_cast<reply_state *>(req->priv);

	struct blob_attr *tb[REPLY_FIELD_COUNT] = {};
	blobmsg_parse(at_reply_policy, REPLY_FIELD_COUNT, tb, blob_data(msg), blob_len(msg));

	char *answer = tb[REPLY_RESPONE] ? static_cast<char *>(blobmsg_data(tb[REPLY_RESPONE])) : nullptr;
	int code = tb[REPLY_CODE] ? static_cast<int>(blobmsg_get_u32(tb[REPLY_CODE])) : 0;
	rs.replied = true;
	rs.has_code = tb[REPLY_CODE] != nullptr;
	rs.code = code;

	if (rs.json) {
		print_json(msg);
		rs.printed = rs.ends_with_newline = true;
		fflush(stdout);
	}
	if (answer) {
		fold_lf_pairs(answer);
		squeeze_crlf_pairs(answer);
		if (!rs.json && *answer) {
			fputs(answer, stdout);
			fflush(stdout);
			rs.printed = true;
			rs.ends_with_newline = answer[strlen(answer) - 1] == '\n';
		}
	}

	log_message(LOG_DEBUG, "at[%s],respone[%d][%s]", rs.cmd ? rs.cmd : "", code, answer ? answer : "");
}
