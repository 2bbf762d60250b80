// SPDX-License-Identifier: ISC
// The command mix and the caller processes of the soak campaign.
#include <sys/prctl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <string>

#include "soak.h"

// After every C++ header: libubox's utils.h defines __constructor and
// __destructor, names that the standard library uses too.
extern "C" {
#include <libubox/blobmsg.h>
#include <libubus.h>
}

namespace soak {

struct command_kind {
	const char *name;
	int commands; // "|"-separated commands in the line
	int weight;
};

constexpr command_kind KINDS[] = {
	{"AT", 1, 40},
	{"ATI", 1, 20},
	{"AT+CSQ|AT+CPIN?", 2, 20},
	{"AT+CMGS=\"+15550100\">soak %ld", 1, 10}, // two steps: prompt, then text and Ctrl-Z
	{"AT+XSOAK%ld", 1, 10},                    // unknown to the module: ERROR
};
constexpr int N_KINDS = sizeof(KINDS) / sizeof(KINDS[0]);

// The kinds' texts carry at most one "%ld", for the ticket.
std::string command_text(int kind, long ticket)
{
	std::string text = KINDS[kind].name;
	const auto at = text.find("%ld");
	if (at != std::string::npos)
		text.replace(at, 3, std::to_string(ticket % 1000));
	return text;
}

int pick_kind(unsigned seed, long ticket)
{
	std::mt19937 rng(seed * 2654435761u + unsigned(ticket));
	int total = 0;
	for (const auto &k : KINDS)
		total += k.weight;
	int r = int(rng() % unsigned(total));
	for (int i = 0; i < N_KINDS; i++) {
		if (r < KINDS[i].weight)
			return i;
		r -= KINDS[i].weight;
	}
	return 0;
}

int call_bound_ms(const options &o)
{
	int worst = 0;
	for (const auto &k : KINDS)
		worst = std::max(worst, std::max(2, k.commands * o.wait_ms / 1000));
	return o.callers * (worst * 1000 + 1000) + 3000 + 2000;
}

const char *outcome_name(int o)
{
	static const char *const names[] = {"unfinished",         "reply",          "reply without data",
					    "reply without code", "bus time-out",   "connection failed",
					    "not found",          "cannot connect", "other bus status"};
	return o >= 0 && o < OUT_COUNT ? names[o] : "?";
}

// Shared with the caller processes, which are forked after this.
shared_state *make_shared_state(long calls)
{
	void *mem = mmap(nullptr, sizeof(shared_state), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
			 -1, 0);
	void *recs = mmap(nullptr, sizeof(call_record) * size_t(calls), PROT_READ | PROT_WRITE,
			  MAP_SHARED | MAP_ANONYMOUS, -1, 0);
	if (mem == MAP_FAILED || recs == MAP_FAILED)
		return nullptr;
	auto *s = new (mem) shared_state;
	s->records = static_cast<call_record *>(recs);
	for (long i = 0; i < calls; i++)
		new (&s->records[i]) call_record;
	for (auto &c : s->current)
		c = -1;
	return s;
}

struct reply_view {
	std::string echo; // what the answer starts with when nothing else got in first
	bool data = false, has_code = false, has_answer = false, final_seen = false, own_first = false;
	char head[24] = {};
	int code = -1;
};

static void on_reply(struct ubus_request *req, int, struct blob_attr *msg)
{
	auto *r = static_cast<reply_view *>(req->priv);
	enum { F_RESPONE, F_CODE, F_MAX };
	static const struct blobmsg_policy policy[F_MAX] = {
		{"respone", BLOBMSG_TYPE_STRING},
		{"code", BLOBMSG_TYPE_INT32},
	};
	struct blob_attr *tb[F_MAX] = {};
	r->data = true;
	if (!msg)
		return;
	blobmsg_parse(policy, F_MAX, tb, blobmsg_data(msg), blobmsg_len(msg));
	if (tb[F_CODE]) {
		r->has_code = true;
		r->code = int(blobmsg_get_u32(tb[F_CODE]));
	}
	if (tb[F_RESPONE]) {
		r->has_answer = true;
		const char *text = blobmsg_get_string(tb[F_RESPONE]);
		r->final_seen = strcasestr(text, "OK") || strcasestr(text, "ERROR") || strstr(text, "+CMGS:");
		r->own_first = std::strncmp(text, r->echo.c_str(), r->echo.size()) == 0;
		std::snprintf(r->head, sizeof(r->head), "%s", text);
	}
}

[[noreturn]] void run_caller(shared_state *s, int me, const options &o, int bound_ms)
{
	// Never outlive the driver (a test runner's time-out kills only it).
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	if (getppid() == 1)
		_exit(1);
	struct ubus_context *ctx = nullptr;
	uint32_t id = 0;
	struct blob_buf b = {};
	for (;;) {
		long ticket = s->next_ticket.fetch_add(1);
		if (ticket >= o.calls)
			break;
		while ((ticket >= s->gate.load() || ticket >= s->fault_gate.load()) && !s->stop.load())
			usleep(2000);
		if (s->stop.load())
			break;
		call_record &rec = s->records[ticket];
		int kind = pick_kind(o.seed, ticket);
		rec.kind = uint8_t(kind);
		rec.caller = uint8_t(me);
		s->current[me] = ticket;
		rec.start_ns = now_ns();

		int pause_ms = 0;
		if (!ctx)
			ctx = ubus_connect(nullptr);
		if (!ctx) {
			rec.outcome = OUT_CONNECT_FAILED;
			pause_ms = 100;
		} else if (!id && ubus_lookup_id(ctx, OBJECT, &id) != 0) {
			id = 0;
			rec.outcome = OUT_NOT_FOUND;
			pause_ms = 100;
		} else {
			blob_buf_init(&b, 0);
			std::string cmd = command_text(kind, ticket);
			blobmsg_add_string(&b, "cmd", cmd.c_str());
			blobmsg_add_u32(&b, "wait", uint32_t(o.wait_ms));
			blobmsg_add_u32(&b, "at_log_level", 7);
			reply_view r;
			// The module echoes the command; of a two-step command only the
			// second step's answer comes back, which starts with its text
			// (echoed up to the Ctrl-Z, then CR LF).
			r.echo = cmd.substr(0, cmd.find('|'));
			if (r.echo.find('>') != std::string::npos)
				r.echo = r.echo.substr(r.echo.find('>') + 1);
			r.echo += "\r";
			int st = ubus_invoke(ctx, id, "at_cmd", b.head, on_reply, &r, bound_ms);
			rec.status = int16_t(st);
			if (st == UBUS_STATUS_OK) {
				rec.outcome = !r.data ? OUT_NO_DATA : r.has_code ? OUT_REPLY : OUT_BAD_REPLY;
				rec.code = int16_t(r.code);
				rec.has_answer = r.has_answer;
				rec.final_seen = r.final_seen;
				rec.own_first = r.own_first;
				std::memcpy(rec.head, r.head, sizeof(rec.head));
				if (r.code == 2)
					pause_ms = 20; // no link: a caller would not hammer it
			} else if (st == UBUS_STATUS_TIMEOUT) {
				rec.outcome = OUT_BUS_TIMEOUT;
			} else if (st == UBUS_STATUS_CONNECTION_FAILED ||
				   st == UBUS_STATUS_INVALID_ARGUMENT) {
				rec.outcome = OUT_CONN_FAILED;
			} else if (st == UBUS_STATUS_NOT_FOUND) {
				rec.outcome = OUT_NOT_FOUND;
			} else {
				rec.outcome = OUT_OTHER_STATUS;
			}
			if (rec.outcome == OUT_CONN_FAILED) {
				ubus_free(ctx);
				ctx = nullptr;
				id = 0;
				pause_ms = 50;
			} else if (rec.outcome == OUT_NOT_FOUND) {
				id = 0;
				pause_ms = 50;
			}
		}
		rec.end_ns = now_ns();
		s->current[me] = -1;
		s->done.fetch_add(1);
		if (pause_ms)
			usleep(useconds_t(pause_ms) * 1000);
	}
	blob_buf_free(&b);
	if (ctx)
		ubus_free(ctx);
	_exit(0);
}

} // namespace soak
