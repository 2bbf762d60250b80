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

struct reply {
	int code = -1;
	bool ok_text = false;
};

void on_reply(struct ubus_request *req, int, struct blob_attr *msg)
{
	reply *r = static_cast<reply *>(req->priv);
	struct blob_attr *tb[REPLY_COUNT] = {};
	if (!msg)
		return;
	blobmsg_parse(reply_policy, REPLY_COUNT, tb, blob_data(msg), blob_len(msg));
	if (tb[REPLY_CODE])
		r->code = int(blobmsg_get_u32(tb[REPLY_CODE]));
	r->ok_text = tb[REPLY_RESPONE] && std::strstr(blobmsg_get_string(tb[REPLY_RESPONE]), "OK");
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
	std::string why = find("ravelcpe", &id_);
	if (!why.empty())
		return why;
	blob_buf_init(&req_, 0);
	blobmsg_add_string(&req_, "cmd", "AT");
	return {};
}

std::string client::find(const char *object, uint32_t *id)
{
	int rc = -1;
	for (int i = 0; i < 200 && (rc = ubus_lookup_id(ctx_, object, id)) != 0; i++)
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	if (rc != 0)
		return std::string("no object ") + object + " on the bus";
	return {};
}

int client::call()
{
	reply r;
	int rc = ubus_invoke(ctx_, id_, "at_cmd", req_.head, on_reply, &r, 5000);
	if (rc != 0)
		return rc;
	return r.code == 0 && r.ok_text ? 0 : -1;
}

int client::call_to(uint32_t id, int *code)
{
	reply r;
	int rc = ubus_invoke(ctx_, id, "at_cmd", req_.head, on_reply, &r, 10000);
	*code = r.code;
	return rc;
}

} // namespace bench
