// SPDX-License-Identifier: ISC
#include "cli/reply.h"

#include <cstdio>

#include "cli/fold.h"
#include "common/log.h"

enum { REPLY_RESPONE, REPLY_CODE, REPLY_FIELD_COUNT };

static const struct blobmsg_policy at_reply_policy[REPLY_FIELD_COUNT] = {
	{"respone", BLOBMSG_TYPE_STRING},
	{"code", BLOBMSG_TYPE_INT32},
};

void on_at_reply(struct ubus_request *req, int, struct blob_attr *msg)
{
	if (!msg)
		return;

	struct blob_attr *tb[REPLY_FIELD_COUNT] = {};
	blobmsg_parse(at_reply_policy, REPLY_FIELD_COUNT, tb, blob_data(msg), blob_len(msg));

	char *answer = tb[REPLY_RESPONE] ? static_cast<char *>(blobmsg_data(tb[REPLY_RESPONE])) : nullptr;
	int code = tb[REPLY_CODE] ? static_cast<int>(blobmsg_get_u32(tb[REPLY_CODE])) : 0;

	if (answer) {
		fold_lf_pairs(answer);
		squeeze_crlf_pairs(answer);
		fputs(answer, stdout);
		fflush(stdout);
	}

	const char *cmd = req && req->priv ? static_cast<const char *>(req->priv) : "";
	log_message(7, "at[%s],respone[%d][%s]", cmd, code, answer ? answer : "");
}
