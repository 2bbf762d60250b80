// SPDX-License-Identifier: ISC
/* The least a client can do for one "at_cmd" call: connect to the bus, look
 * up the channel's object, invoke, print the answer, disconnect. The service
 * bench runs it as a whole process next to ravel_tools_cli.
 *
 *   one_call [channel] [command]      defaults: cpe AT
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libubus.h>

enum { REPLY_RESPONE, REPLY_CODE, REPLY_COUNT };

static const struct blobmsg_policy reply_policy[REPLY_COUNT] = {
	[REPLY_RESPONE] = {.name = "respone", .type = BLOBMSG_TYPE_STRING},
	[REPLY_CODE] = {.name = "code", .type = BLOBMSG_TYPE_INT32},
};

static int reply_code = -1;

static void on_reply(struct ubus_request *req, int type, struct blob_attr *msg)
{
	struct blob_attr *tb[REPLY_COUNT];

	(void)req;
	(void)type;
	if (!msg)
		return;
	blobmsg_parse(reply_policy, REPLY_COUNT, tb, blob_data(msg), blob_len(msg));
	if (tb[REPLY_CODE])
		reply_code = (int)blobmsg_get_u32(tb[REPLY_CODE]);
	if (tb[REPLY_RESPONE])
		fputs(blobmsg_get_string(tb[REPLY_RESPONE]), stdout);
}

int main(int argc, char **argv)
{
	const char *channel = argc > 1 ? argv[1] : "cpe";
	const char *cmd = argc > 2 ? argv[2] : "AT";
	static struct blob_buf b;
	struct ubus_context *ctx;
	char path[128];
	uint32_t id;
	int rc;

	snprintf(path, sizeof(path), "ravel%s", channel);
	ctx = ubus_connect(NULL);
	if (!ctx) {
		fprintf(stderr, "one_call: no bus\n");
		return 1;
	}
	rc = ubus_lookup_id(ctx, path, &id);
	if (rc == 0) {
		blob_buf_init(&b, 0);
		blobmsg_add_string(&b, "cmd", cmd);
		rc = ubus_invoke(ctx, id, "at_cmd", b.head, on_reply, NULL, 5000);
		blob_buf_free(&b);
	}
	ubus_free(ctx);
	if (rc != 0) {
		fprintf(stderr, "one_call: %s\n", ubus_strerror(rc));
		return 1;
	}
	fflush(stdout);
	return reply_code == 0 ? 0 : 2;
}
