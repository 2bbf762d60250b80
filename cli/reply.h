// SPDX-License-Identifier: ISC
#pragma once

extern "C" {
#include <libubus.h>
}

// What one at_cmd call brought back, filled by on_at_reply.
struct reply_state {
	const char *cmd;        // the command text, for the trace line
	bool json;              // print the reply as JSON instead of the answer text
	bool replied;           // a reply message came
	bool has_code;          // it held "code"
	int code;               // "code", 0 when absent
	bool printed;           // something went to standard output
	bool ends_with_newline; // ... and its last byte was a LF
};

// Data callback of the at_cmd call; priv is the call's reply_state. Prints
// the answer text ("respone") after its line breaks are folded, or with json
// the whole reply in the bus tools' indented form and a newline, and traces
// the reply.
void on_at_reply(struct ubus_request *req, int type, struct blob_attr *msg);
