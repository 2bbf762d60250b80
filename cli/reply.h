// SPDX-License-Identifier: ISC
#pragma once

extern "C" {
#include <libubus.h>
}

// Data callback of the at_cmd call: prints the answer text ("respone") after
// its line breaks are folded, and traces the reply. priv is the command text.
void on_at_reply(struct ubus_request *req, int type, struct blob_attr *msg);
