// SPDX-License-Identifier: ISC
#include "tests/service/fake_link.h"

#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "link/at_channel.h"
#include "link/chat.h"
#include "link/link.h"
#include "daemon/service.h"

fake_link_state fake_link;

namespace {

int fake_chat(at_channel *ch, const char *cmd, const char *, int wait_ms)
{
	fake_link.calls.push_back({cmd, wait_ms, ch->trace_level});
	scripted_result r{CHAT_OK, "OK\r\n"};
	if (!fake_link.script.empty()) {
		r = fake_link.script.front();
		fake_link.script.pop_front();
	}
	const char *text = r.long_answer.empty() ? r.answer : r.long_answer.c_str();
	if (text) {
		size_t len = strlen(text);
		ch->answer = static_cast<char *>(malloc(len + 1));
		memcpy(ch->answer, text, len + 1);
		ch->answer_len = static_cast<uint32_t>(len);
	}
	return r.code;
}

int fake_attach(at_channel *ch)
{
	fake_link.attaches++;
	ch->link_state = LINK_ATTACHED;
	return 0;
}

void fake_detach(at_channel *ch)
{
	fake_link.detaches++;
	ch->link_state = LINK_DETACHED;
}

void fake_catch_up(at_channel *) {}

void fake_notify(at_channel *) {}

} // namespace

void fake_link_reset(const char *channel_name)
{
	memset(&channel, 0, sizeof(channel));
	channel.link_fd = -1;
	channel.connect_fd = -1;
	bounded_copy(channel.name, sizeof(channel.name), channel_name, strlen(channel_name));
	snprintf(channel.object_name, sizeof(channel.object_name), "ravel%s", channel_name);
	channel.link_state = LINK_ATTACHED;
	fake_link = fake_link_state{};
	link_ops = {fake_chat, fake_attach, fake_detach, fake_catch_up, fake_notify};
}
