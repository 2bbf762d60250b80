// SPDX-License-Identifier: ISC
#include "tests/service/test_bus.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool socket_accepts(const std::string &path)
{
	int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return false;
	sockaddr_un sa{};
	sa.sun_family = AF_UNIX;
	strncpy(sa.sun_path, path.c_str(), sizeof(sa.sun_path) - 1);
	bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0;
	close(fd);
	return ok;
}

} // namespace

test_bus::test_bus()
{
	char tmpl[] = "/tmp/ravel-service-test.XXXXXX";
	if (!mkdtemp(tmpl))
		throw std::runtime_error("mkdtemp failed");
	dir_ = tmpl;
	socket_ = dir_ + "/ubus.sock";
	start();
}

test_bus::~test_bus()
{
	stop();
	unlink(socket_.c_str());
	rmdir(dir_.c_str());
}

void test_bus::start()
{
	const char *argv[] = {RAVEL_BUSD_PATH, "-s", socket_.c_str(), nullptr};
	if (posix_spawn(&pid_, RAVEL_BUSD_PATH, nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
		throw std::runtime_error("cannot start the bus daemon");
	auto t0 = std::chrono::steady_clock::now();
	while (!socket_accepts(socket_)) {
		if (seconds_since(t0) > 10)
			throw std::runtime_error("bus daemon socket did not appear");
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
}

void test_bus::stop()
{
	if (pid_ <= 0)
		return;
	kill(pid_, SIGTERM);
	waitpid(pid_, nullptr, 0);
	pid_ = -1;
	unlink(socket_.c_str());
}

const reply_field *call_result::field(const char *name, size_t index) const
{
	if (index >= data.size())
		return nullptr;
	for (const auto &f : data[index])
		if (f.name == name)
			return &f;
	return nullptr;
}

namespace {

struct pending_call {
	ubus_request req{};
	call_result result;
	std::chrono::steady_clock::time_point t0;
	bool done = false;
};

void on_data(ubus_request *req, int, blob_attr *msg)
{
	auto *call = static_cast<pending_call *>(req->priv);
	if (call->result.data_s < 0)
		call->result.data_s = seconds_since(call->t0);
	std::vector<reply_field> fields;
	blob_attr *pos;
	size_t rem;
	blobmsg_for_each_attr (pos, msg, rem) {
		reply_field f{blobmsg_name(pos), blobmsg_type(pos), {}, 0};
		if (f.type == BLOBMSG_TYPE_STRING)
			f.text.assign(static_cast<const char *>(blobmsg_data(pos)),
				      blobmsg_data_len(pos) - 1);
		else if (f.type == BLOBMSG_TYPE_INT32)
			f.number = static_cast<int32_t>(blobmsg_get_u32(pos));
		fields.push_back(std::move(f));
	}
	call->result.data.push_back(std::move(fields));
}

void on_complete(ubus_request *req, int ret)
{
	auto *call = static_cast<pending_call *>(req->priv);
	call->result.status = ret;
	call->result.done_s = seconds_since(call->t0);
	call->done = true;
	uloop_end();
}

uloop_timeout give_up_timer;
bool gave_up;

void on_give_up(uloop_timeout *)
{
	gave_up = true;
	uloop_end();
}

void arm_give_up(double limit_s)
{
	gave_up = false;
	give_up_timer.cb = on_give_up;
	uloop_timeout_set(&give_up_timer, static_cast<int>(limit_s * 1000));
}

} // namespace

call_result call_object(const char *socket, const char *path, const char *method, const message &msg,
			double limit_s)
{
	ubus_context *ctx = ubus_connect(socket);
	if (!ctx)
		throw std::runtime_error("test caller cannot connect");
	ubus_add_uloop(ctx);

	blob_buf buf{};
	blob_buf_init(&buf, 0);
	for (const auto &f : msg) {
		if (auto *text = std::get_if<std::string>(&f.value))
			blobmsg_add_string(&buf, f.name, text->c_str());
		else
			blobmsg_add_u32(&buf, f.name, static_cast<uint32_t>(std::get<int32_t>(f.value)));
	}

	pending_call call;
	uint32_t id = 0;
	int ret = ubus_lookup_id(ctx, path, &id);
	if (ret != 0) {
		call.result.status = ret;
	} else {
		call.t0 = std::chrono::steady_clock::now();
		ubus_invoke_async(ctx, id, method, buf.head, &call.req);
		call.req.data_cb = on_data;
		call.req.complete_cb = on_complete;
		call.req.priv = &call;
		ubus_complete_request_async(ctx, &call.req);

		arm_give_up(limit_s);
		while (!call.done && !gave_up)
			uloop_run();
		uloop_timeout_cancel(&give_up_timer);
		if (!call.done)
			ubus_abort_request(ctx, &call.req);
	}
	blob_buf_free(&buf);
	ubus_free(ctx);
	return call.result;
}

namespace {

bool (*loop_pred)();
uloop_timeout pred_timer;

void on_pred_tick(uloop_timeout *t)
{
	if (loop_pred())
		uloop_end();
	else
		uloop_timeout_set(t, 20);
}

} // namespace

bool run_loop_until(bool (*pred)(), double limit_s)
{
	loop_pred = pred;
	pred_timer.cb = on_pred_tick;
	uloop_timeout_set(&pred_timer, 0);
	arm_give_up(limit_s);
	while (!pred() && !gave_up)
		uloop_run();
	uloop_timeout_cancel(&pred_timer);
	uloop_timeout_cancel(&give_up_timer);
	return pred();
}
