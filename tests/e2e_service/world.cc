#include "world.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

using namespace std::chrono_literals;
using harness::process;

void service_world::TearDown()
{
	for (process *p : { &daemon_, &sim_, &bus_ })
		if (p->pid() > 0 && p->running())
			p->signal(SIGTERM);
	harness::sandbox_test::TearDown();
}

void service_world::start_bus()
{
	bus_ = process::spawn({ harness::program_path("ravel-busd") });
	ASSERT_TRUE(harness::wait_for_path("/var/run/ubus/ubus.sock", 10s)) << bus_.err();
}

int service_world::start_sim(const std::vector<std::string> &options)
{
	std::vector<std::string> argv = { harness::program_path("ravel_modem_sim"), "-p", "0",
					  "--port-file", "/tmp/sim.port", "-c", sim_ctl_,
					  "--no-stdin", "-q", "-l", sim_log_ };
	argv.insert(argv.end(), options.begin(), options.end());
	sim_ = process::spawn(argv);
	EXPECT_TRUE(harness::wait_for_path(sim_ctl_, 10s)) << sim_.err();
	EXPECT_TRUE(harness::wait_for_path("/tmp/sim.port", 10s)) << sim_.err();
	std::optional<std::string> port;
	for (int i = 0; i < 100 && (!port || port->find('\n') == std::string::npos); ++i) {
		port = harness::read_file("/tmp/sim.port");
		std::this_thread::sleep_for(10ms);
	}
	port_ = port ? std::atoi(port->c_str()) : 0;
	EXPECT_GT(port_, 0);
	return port_;
}

process service_world::start_daemon(const std::string &model, bool wait_attach)
{
	std::string config = "config channel 'cpe'\n"
			     "\toption server '127.0.0.1'\n"
			     "\toption port '" + std::to_string(port_) + "'\n"
			     "\toption proto 'tcp'\n";
	if (!model.empty())
		config += "\toption model '" + model + "'\n";
	harness::write_config("ravel_tools", config);

	process p = process::spawn({ harness::program_path("ravel_tools"), "-l", "7", "-d", "-i", "cpe" });
	EXPECT_TRUE(harness::system_log().wait_for("connected as", 10s)) << harness::system_log().dump();
	if (wait_attach) {
		EXPECT_TRUE(harness::system_log().wait_for("attach_odu ok", 10s)) << harness::system_log().dump();
	}
	return p;
}

std::string service_world::sim(const std::string &line)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_un sa{};
	sa.sun_family = AF_UNIX;
	strncpy(sa.sun_path, sim_ctl_.c_str(), sizeof(sa.sun_path) - 1);
	if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
		close(fd);
		ADD_FAILURE() << "simulator control socket";
		return "";
	}
	std::string msg = line + "\n";
	EXPECT_EQ(write(fd, msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
	std::string reply;
	char c;
	while (read(fd, &c, 1) == 1 && c != '\n')
		reply += c;
	close(fd);
	EXPECT_EQ(reply.rfind("ok", 0), 0u) << line << " -> " << reply;
	return reply;
}

std::string service_world::sim_received()
{
	return harness::read_file(sim_log_).value_or("");
}

harness::run_result service_world::bus_call(const std::string &json, const std::string &method,
					    const std::string &path)
{
	return harness::run({ harness::program_path("ravel-bus"), "-t", "60", "call", path, method, json }, 60s);
}

harness::run_result service_world::bus_send(const std::string &event)
{
	return harness::run({ harness::program_path("ravel-bus"), "send", event, "{}" }, 10s);
}

harness::run_result service_world::cli(const std::vector<std::string> &args)
{
	std::vector<std::string> argv = { harness::program_path("ravel_tools_cli") };
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
