// SPDX-License-Identifier: ISC
#include <cstring>
#include <thread>

#include "service_bench.h"

namespace bench {

namespace {

enum { REPLY_RESPONE, REPLY_CODE, REPLY_COUNT };
const struct blobmsg_policy reply_policy[REPLY_COUNT] = {
	{"respone", BLOBMSG_TYPE_STRING},
	{"code", BLOBMSG_TYPE_INT32},
};

void on_reply(struct ubus_request *req, int, struct blob_attr *msg)
{
	bool *good = static_cast<bool *>(req->priv);
	struct blob_attr *tb[REPLY_COUNT] = {};
	if (!msg)
		return;
	blobmsg_parse(reply_policy, REPLY_COUNT, tb, blob_data(msg), blob_len(msg));
	*good = tb[REPLY_CODE] && blobmsg_get_u32(tb[REPLY_CODE]) == 0 && tb[REPLY_RESPONE] &&
		std::strstr(blobmsg_get_string(tb[REPLY_RESPONE]), "OK");
}

} // namespace

client::~client()
{
	blob_buf_free(&req_);
	if (ctx_)
		ubus_free(ctx_);
}

std::string client::open()
{
	ctx_ = ubus_connect(nullptr);
	if (!ctx_)
		return "cannot connect to the bus";
	int rc = -1;
	for (int i = 0; i < 200 && (rc = ubus_lookup_id(ctx_, "ravelcpe", &id_)) != 0; i++)
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	if (rc != 0)
		return "no object ravelcpe on the bus";
	blob_buf_init(&req_, 0);
	blobmsg_add_string(&req_, "cmd", "AT");
	return {};
}

int client::call()
{
	bool good = false;
	int rc = ubus_invoke(ctx_, id_, "at_cmd", req_.head, on_reply, &good, 5000);
	if (rc != 0)
		return rc;
	return good ? 0 : -1;
}

} // namespace bench
