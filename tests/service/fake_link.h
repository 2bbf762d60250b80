// SPDX-License-Identifier: ISC
// Test doubles for the link code that the bus service drives: a scripted
// chat engine and counting attach/detach.
#pragma once

#include <deque>
#include <string>
#include <vector>

struct scripted_result {
	int code;
	const char *answer;           // null: no answer text
	std::string long_answer = {}; // used instead of answer when not empty
};

struct chat_call {
	std::string cmd;
	int wait;
	unsigned trace_level;
};

struct fake_link_state {
	std::deque<scripted_result> script; // empty: CHAT_OK with "OK\r\n"
	std::vector<chat_call> calls;
	int detaches = 0;
	int attaches = 0;
};

extern fake_link_state fake_link;
void fake_link_reset(const char *channel_name);
