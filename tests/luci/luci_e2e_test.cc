// SPDX-License-Identifier: ISC
// The LuCI views driven in Chromium by tests/luci/browser_test.js.
#include <cstdlib>

#include <gtest/gtest.h>

#include "world.h"

namespace {

using namespace std::chrono_literals;

const std::string luci_dir = std::string(RAVEL_SOURCE_DIR) + "/tests/luci";

class luci_e2e : public harness::world_test {};

TEST_F(luci_e2e, status_and_console_views_work_in_a_browser)
{
	if (IsSkipped() || HasFatalFailure())
		return;
	std::string missing;
	if (!harness::path_exists("/usr/bin/chromium"))
		missing = "/usr/bin/chromium";
	else if (!harness::path_exists("/usr/bin/node"))
		missing = "/usr/bin/node";
	else if (!harness::path_exists(luci_dir + "/node_modules/playwright-core"))
		missing = luci_dir + "/node_modules/playwright-core";
	if (!missing.empty()) {
		if (harness::under_ci())
			FAIL() << missing << " is missing: run scripts/install-browser-deps.sh";
		GTEST_SKIP() << missing << " is missing: run scripts/install-browser-deps.sh";
	}

	w.port = 0;
	ASSERT_EQ("", w.start_bus());
	ASSERT_EQ("", w.start_sim({}, true));
	harness::world::daemon_options o;
	o.model = "RM500U";
	ASSERT_EQ("", w.start_daemon(o));

	std::string pkg = std::string(RAVEL_SOURCE_DIR) + "/packaging/openwrt/luci-app-ravel";
	harness::process server = harness::process::spawn(
		{"/usr/bin/node", luci_dir + "/standin/server.js", "--port-file", "/tmp/luci.port",
		 "--htdocs", pkg + "/htdocs", "--acl", pkg + "/root/usr/share/rpcd/acl.d/luci-app-ravel.json",
		 "--bus-tool", harness::program_path("ravel-bus")});
	ASSERT_TRUE(harness::wait_for_path("/tmp/luci.port", 20s)) << server.err();
	std::this_thread::sleep_for(100ms); // the port file is written in one go, but let it land
	std::string port = harness::read_file("/tmp/luci.port").value_or("");
	while (!port.empty() && port.back() == '\n')
		port.pop_back();
	ASSERT_FALSE(port.empty());

	// RAVEL_LUCI_SHOTS names a folder for the screenshots of both views.
	const char *shots = std::getenv("RAVEL_LUCI_SHOTS");
	std::vector<std::string> argv = {"/usr/bin/node", luci_dir + "/browser_test.js",
					 "http://127.0.0.1:" + port, harness::world::sim_ctl};
	if (shots && *shots)
		argv.push_back(shots);
	auto r = harness::run(argv, 180s);
	EXPECT_TRUE(r.status.exited) << r.out << r.err;
	EXPECT_EQ(r.status.code, 0) << r.out << r.err << "\nserver: " << server.err();
	std::cout << r.out;
	server.signal(SIGTERM);
	server.wait(5s);
}

} // namespace
