// SPDX-License-Identifier: ISC
#include "world.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

namespace harness {

std::string world::start_bus()
{
	bus = process::spawn({program_path("ravel-busd")});
	if (!wait_for_path("/var/run/ubus/ubus.sock", 10s))
		return "the bus daemon did not start: " + bus.err();
	return {};
}

std::string world::start_recorder()
{
	recorder = process::spawn({program_path("ravel-bus"), "serve", "network.interface", "notify_proto",
				   "--log", notify_log});
	if (!wait_for_path(notify_log, 10s))
		return "the network.interface stand-in did not start: " + recorder.err();
	return {};
}

std::string world::start_sim(const std::vector<std::string> &options, bool record)
{
	const char *port_file = "/tmp/modem.port";
	std::vector<std::string> argv = {program_path("ravel_modem_sim"),
					 "-p",
					 std::to_string(port),
					 "--no-stdin",
					 "-q",
					 "-c",
					 sim_ctl};
	if (port == 0)
		argv.insert(argv.end(), {"--port-file", port_file});
	if (record)
		argv.insert(argv.end(), {"-l", sim_log});
	argv.insert(argv.end(), options.begin(), options.end());
	sim = process::spawn(argv);
	if (!wait_for_path(sim_ctl, 10s))
		return "the modem simulator did not start: " + sim.err();
	if (port != 0)
		return {};
	// The port file is complete once it holds its line feed.
	std::optional<std::string> text;
	for (int i = 0; i < 1000 && (!text || text->find('\n') == std::string::npos); ++i) {
		text = read_file(port_file);
		std::this_thread::sleep_for(10ms);
	}
	port = text ? std::atoi(text->c_str()) : 0;
	if (port <= 0)
		return "the modem simulator wrote no port: " + sim.err();
	return {};
}

void world::write_channel(const std::string &model)
{
	std::string config = "config channel 'cpe'\n"
			     "\toption server '127.0.0.1'\n"
			     "\toption port '" +
			     std::to_string(port) +
			     "'\n"
			     "\toption proto 'tcp'\n";
	if (!model.empty())
		config += "\toption model '" + model + "'\n";
	write_config("ravel_tools", config);
}

std::string world::start_daemon(const daemon_options &o)
{
	write_channel(o.model);
	std::vector<std::string> argv = {program_path("ravel_tools")};
	argv.insert(argv.end(), o.args.begin(), o.args.end());
	argv.insert(argv.end(), {"-i", "cpe"});
	daemon = process::spawn(argv, o.env);
	for (const std::string &text : o.wait_for)
		if (!system_log().wait_for(text, o.deadline))
			return "the daemon did not log \"" + text + "\": " + daemon.err() +
			       system_log().dump();
	return {};
}

std::string world::sim_control(const std::string &line)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_un sa{};
	sa.sun_family = AF_UNIX;
	std::snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", sim_ctl);
	if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
		if (fd >= 0)
			close(fd);
		return "error connect";
	}
	timeval tv{5, 0};
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
	std::string msg = line + "\n";
	(void)!write(fd, msg.data(), msg.size());
	std::string reply;
	char c;
	while (read(fd, &c, 1) == 1 && c != '\n')
		reply += c;
	close(fd);
	return reply;
}

std::string world::sim_received()
{
	return read_file(sim_log).value_or("");
}

std::string world::notifications()
{
	return read_file(notify_log).value_or("");
}

void world::stop()
{
	for (process *p : {&daemon, &recorder, &sim, &bus})
		if (p->pid() > 0 && p->running()) {
			p->signal(SIGTERM);
			if (!p->wait(5s).ended)
				p->kill();
		}
}

} // namespace harness
