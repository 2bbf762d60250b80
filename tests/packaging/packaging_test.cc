// SPDX-License-Identifier: ISC
// The files the router package installs: the default configuration as the
// configuration library and the daemon read it, and the bus access list.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <json-c/json.h>
extern "C" {
#include <uci.h>
}

#include "daemon/channel_config.h"
#include "tests/harness/harness.h"

namespace {

namespace fs = std::filesystem;

const fs::path files_dir = RAVEL_PACKAGING_FILES;

std::string read_text(const fs::path &p)
{
	std::ifstream in(p);
	std::ostringstream s;
	s << in.rdbuf();
	return s.str();
}

struct section {
	std::string name, type;
	std::map<std::string, std::string> options;
};

// The default configuration as the configuration library parses it, from a
// private folder (no saved changes of the host get applied).
class default_config : public ::testing::Test {
protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/ravel-pkg-test.XXXXXX";
		ASSERT_NE(nullptr, mkdtemp(tmpl));
		dir = tmpl;
		fs::create_directory(dir / "save");
		fs::copy_file(files_dir / "ravel_tools.config", dir / "ravel_tools");
	}
	void TearDown() override
	{
		if (!dir.empty())
			fs::remove_all(dir);
	}

	// Loads the package; the test fails on a parse error.
	std::vector<section> load()
	{
		std::vector<section> out;
		uci_context *ctx = uci_alloc_context();
		EXPECT_NE(nullptr, ctx);
		if (!ctx)
			return out;
		EXPECT_EQ(UCI_OK, uci_set_confdir(ctx, dir.c_str()));
		EXPECT_EQ(UCI_OK, uci_set_savedir(ctx, (dir / "save").c_str()));
		uci_package *pkg = nullptr;
		int rc = uci_load(ctx, "ravel_tools", &pkg);
		if (rc != UCI_OK) {
			char *err = nullptr;
			uci_get_errorstr(ctx, &err, "ravel_tools");
			ADD_FAILURE() << "uci_load: " << (err ? err : "?");
			free(err);
		} else {
			uci_element *se, *oe;
			uci_foreach_element (&pkg->sections, se) {
				uci_section *s = uci_to_section(se);
				section sec{s->anonymous ? "" : se->name, s->type, {}};
				uci_foreach_element (&s->options, oe) {
					uci_option *o = uci_to_option(oe);
					EXPECT_EQ(UCI_TYPE_STRING, o->type) << oe->name;
					if (o->type == UCI_TYPE_STRING)
						sec.options[oe->name] = o->v.string;
				}
				out.push_back(sec);
			}
			uci_unload(ctx, pkg);
		}
		uci_free_context(ctx);
		return out;
	}

	fs::path dir;
};

TEST_F(default_config, parses_into_one_channel_and_a_complete_rule_per_framed_model)
{
	auto sections = load();
	ASSERT_FALSE(sections.empty());

	std::vector<std::string> channels, rule_models;
	for (auto &s : sections) {
		if (s.type == "channel") {
			channels.push_back(s.name);
			// The init script passes log_level to -l: it must be a number.
			if (s.options.count("log_level")) {
				const std::string &lv = s.options.at("log_level");
				EXPECT_FALSE(lv.empty());
				EXPECT_EQ(std::string::npos, lv.find_first_not_of("0123456789")) << lv;
			}
		} else if (s.type == "rule") {
			rule_models.push_back(s.options["model"]);
			for (const char *opt : {"server", "port", "proto"})
				EXPECT_FALSE(s.options[opt].empty())
					<< "rule " << s.options["model"] << " lacks " << opt;
			EXPECT_GT(atoi(s.options["port"].c_str()), 0);
		} else {
			ADD_FAILURE() << "unexpected section type " << s.type;
		}
	}
	EXPECT_EQ(std::vector<std::string>{"cpe"}, channels);
	EXPECT_EQ((std::vector<std::string>{"RM520N", "RM500S"}), rule_models);
	EXPECT_EQ("RM520N", sections[0].options["model"]);
}

// What the daemon makes of the shipped file, read from /etc/config as on a router.
class default_config_in_daemon : public harness::sandbox_test {};

TEST_F(default_config_in_daemon, example_channel_loads_framed_from_its_rule)
{
	harness::write_config("ravel_tools", read_text(files_dir / "ravel_tools.config"));
	ASSERT_EQ(0, load_channel_config("cpe"));
	EXPECT_STREQ("ravelcpe", channel.object_name);
	EXPECT_STREQ("RM520N", channel.model);
	EXPECT_STREQ("192.168.225.1", channel.server);
	EXPECT_EQ(5000u, channel.port);
	EXPECT_STREQ("tcp", channel.proto);
	EXPECT_EQ(3, channel.frame_header_len);
	EXPECT_NE(nullptr, channel.decode_frame);
}

TEST_F(default_config_in_daemon, each_rule_serves_a_channel_that_names_only_its_model)
{
	for (const char *model : {"RM520N", "RM500S"}) {
		SCOPED_TRACE(model);
		harness::write_config("ravel_tools", read_text(files_dir / "ravel_tools.config") +
							     "\nconfig channel 'extra'\n\toption model '" +
							     model + "'\n");
		ASSERT_EQ(0, load_channel_config("extra"));
		EXPECT_STREQ(model, channel.model);
		EXPECT_STRNE("", channel.server);
		EXPECT_NE(0u, channel.port);
		EXPECT_NE(nullptr, channel.decode_frame);
	}
}

TEST(access_list, grants_only_at_cmd_on_ravel_objects)
{
	json_object *root = json_object_from_file((files_dir / "ravel_tools.acl.json").c_str());
	ASSERT_NE(nullptr, root) << "not valid JSON: " << json_util_get_last_err();
	ASSERT_TRUE(json_object_is_type(root, json_type_object));
	EXPECT_EQ(1, json_object_object_length(root));

	json_object *group = nullptr;
	ASSERT_TRUE(json_object_object_get_ex(root, "ravel_tools", &group));
	ASSERT_TRUE(json_object_is_type(group, json_type_object));

	json_object *desc = nullptr;
	ASSERT_TRUE(json_object_object_get_ex(group, "description", &desc));
	EXPECT_TRUE(json_object_is_type(desc, json_type_string));

	// Sending AT commands changes the module: a write grant, and nothing else.
	std::vector<std::string> keys;
	json_object_object_foreach(group, key, val)
	{
		(void)val;
		keys.push_back(key);
	}
	EXPECT_EQ((std::vector<std::string>{"description", "write"}), keys);

	json_object *write = nullptr, *ubus = nullptr, *methods = nullptr;
	ASSERT_TRUE(json_object_object_get_ex(group, "write", &write));
	ASSERT_TRUE(json_object_is_type(write, json_type_object));
	EXPECT_EQ(1, json_object_object_length(write));
	ASSERT_TRUE(json_object_object_get_ex(write, "ubus", &ubus));
	ASSERT_TRUE(json_object_is_type(ubus, json_type_object));
	EXPECT_EQ(1, json_object_object_length(ubus));
	ASSERT_TRUE(json_object_object_get_ex(ubus, "ravel*", &methods));
	ASSERT_TRUE(json_object_is_type(methods, json_type_array));
	ASSERT_EQ(1u, json_object_array_length(methods));
	json_object *m = json_object_array_get_idx(methods, 0);
	ASSERT_TRUE(json_object_is_type(m, json_type_string));
	EXPECT_STREQ("at_cmd", json_object_get_string(m));

	json_object_put(root);
}

} // namespace
