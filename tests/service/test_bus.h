// SPDX-License-Identifier: ISC
// A private bus daemon on a temporary socket, and a second bus client that
// calls the daemon's object while the test runs the event loop.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include <sys/types.h>

extern "C" {
#include <libubus.h>
}

class test_bus {
public:
	test_bus();
	~test_bus();
	const char *socket() const { return socket_.c_str(); }
	void start(); // (re)starts the bus daemon and waits for its socket
	void stop();  // ends it; its clients see the connection lost
private:
	std::string dir_, socket_;
	pid_t pid_ = -1;
};

struct reply_field {
	std::string name;
	int type;
	std::string text; // string fields
	int64_t number;   // int32 fields
};

struct call_result {
	int status = -1;                            // bus status of the call, -1: no completion
	std::vector<std::vector<reply_field>> data; // one entry per reply message
	double data_s = -1;                         // seconds until the first reply message
	double done_s = -1;                         // seconds until completion
	const reply_field *field(const char *name, size_t index = 0) const;
};

// One field of a request: a string or an int32.
struct msg_field {
	const char *name;
	std::variant<std::string, int32_t> value;
};
using message = std::vector<msg_field>;

// Calls method of object path on a fresh connection to the bus at socket,
// running the event loop until the call completes or limit_s has passed.
call_result call_object(const char *socket, const char *path, const char *method, const message &msg,
			double limit_s = 15);

// Runs the event loop until pred() holds or limit_s has passed; returns pred().
bool run_loop_until(bool (*pred)(), double limit_s);
