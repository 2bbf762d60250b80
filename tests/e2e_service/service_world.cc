// SPDX-License-Identifier: ISC
#include "service_world.h"

using namespace std::chrono_literals;

void service_world::SetUp()
{
	harness::world_test::SetUp();
	w.port = 0;
}

void service_world::start_daemon(const std::string &model, bool wait_attach)
{
	harness::world::daemon_options o;
	o.model = model;
	o.args = {"-l", "7", "-d"};
	o.wait_for = {"connected as"};
	if (wait_attach)
		o.wait_for.push_back("attach_odu ok");
	ASSERT_EQ("", w.start_daemon(o));
}

std::string service_world::sim(const std::string &line)
{
	std::string reply = w.sim_control(line);
	EXPECT_EQ(reply.rfind("ok", 0), 0u) << line << " -> " << reply;
	return reply;
}

harness::run_result service_world::bus_call(const std::string &json, const std::string &method,
					    const std::string &path)
{
	return harness::run({harness::program_path("ravel-bus"), "-t", "60", "call", path, method, json},
			    60s);
}

harness::run_result service_world::bus_send(const std::string &event)
{
	return harness::run({harness::program_path("ravel-bus"), "send", event, "{}"}, 10s);
}

harness::run_result service_world::cli(const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {harness::program_path("ravel_tools_cli")};
	argv.insert(argv.end(), args.begin(), args.end());
	return harness::run(argv, 60s);
}

std::vector<harness::log_line> service_world::lines_of(const std::string &ident, const std::string &text)
{
	std::vector<harness::log_line> out;
	for (auto &l : harness::system_log().find(text))
		if (l.ident == ident)
			out.push_back(l);
	return out;
}

int reply_code(const std::string &json)
{
	static const std::string key = "\"code\": ";
	size_t at = json.find(key);
	return at == std::string::npos ? -1 : std::atoi(json.c_str() + at + key.size());
}
