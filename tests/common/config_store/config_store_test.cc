// SPDX-License-Identifier: ISC
// config_get against packages in a temporary folder. config_open always reads
// the system folder, so most handles here are made the way it makes them but
// with the context pointed at the temporary folder.
#include "common/config_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <cstdarg>
#include <syslog.h>

// The log goes here instead of the system log: the last line logged.
static std::string last_log;
extern "C" void vsyslog(int, const char *fmt, va_list ap)
{
	char line[512];
	vsnprintf(line, sizeof(line), fmt, ap);
	last_log = line;
}

namespace {

const char *PACKAGE = "config channel cpe\n"
		      "\toption server '192.168.1.1'\n"
		      "\toption greeting 'hello  world '\n"
		      "\tlist methods one\n"
		      "\tlist methods two\n"
		      "\tlist methods three\n"
		      "\tlist blank ''\n"
		      "config rule\n"
		      "\toption model first\n"
		      "config rule\n"
		      "\toption model second\n";

struct text_free {
	void operator()(char *s) const { free(s); }
};
using text = std::unique_ptr<char, text_free>;

class ConfigStore : public ::testing::Test {
protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/config_store_test.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		write("rvtest", PACKAGE);
	}

	void TearDown() override
	{
		config_close(h);
		std::filesystem::remove_all(dir);
	}

	void write(const std::string &name, const std::string &content)
	{
		std::ofstream(dir + "/" + name, std::ios::binary) << content;
	}

	// A handle on `name` in the temporary folder, as config_open builds one.
	config_handle *open_here(const char *name)
	{
		config_handle *c = (config_handle *)calloc(1, sizeof(*c));
		strncpy(c->package_name, name, sizeof(c->package_name) - 1);
		c->ctx = uci_alloc_context();
		uci_set_confdir(c->ctx, dir.c_str());
		uci_set_conf2dir(c->ctx, (dir + "/conf2").c_str());
		uci_set_savedir(c->ctx, (dir + "/save").c_str());
		// Only this test's own saved changes count.
		uci_element *e = list_to_element(c->ctx->delta_path.next);
		c->ctx->delta_path.next = e->list.next;
		e->list.next->prev = &c->ctx->delta_path;
		free(e->name);
		free(e);
		if (uci_load(c->ctx, name, &c->pkg) != UCI_OK) {
			config_close(c);
			return nullptr;
		}
		return c;
	}

	std::string get(const char *section, const char *option)
	{
		text v(config_get(h, section, option));
		return v ? v.get() : "(null)";
	}

	std::string dir;
	config_handle *h = nullptr;
};

TEST_F(ConfigStore, ValuesByKind)
{
	h = open_here("rvtest");
	ASSERT_NE(h, nullptr);
	EXPECT_EQ(get("cpe", "server"), "192.168.1.1");
	EXPECT_EQ(get("cpe", "greeting"), "hello  world ");
	EXPECT_EQ(get("cpe", "methods"), "one two three");
	EXPECT_EQ(get("cpe", "blank"), "");
	EXPECT_EQ(get("@rule[0]", "model"), "first");
	EXPECT_EQ(get("@rule[-1]", "model"), "second");
	EXPECT_EQ(get("@channel[0]", "server"), "192.168.1.1");
}

TEST_F(ConfigStore, MissingPiecesGiveNull)
{
	h = open_here("rvtest");
	ASSERT_NE(h, nullptr);
	EXPECT_EQ(get("cpe", "nosuch"), "(null)");
	EXPECT_EQ(get("nosuch", "server"), "(null)");
	EXPECT_EQ(get("@rule[2]", "model"), "(null)");
	EXPECT_EQ(get("cp-e", "server"), "(null)");
	EXPECT_EQ(get("cpe", "ser.ver"), "(null)");
	EXPECT_EQ(get(nullptr, "server"), "(null)");
	EXPECT_EQ(get("cpe", nullptr), "(null)");
	EXPECT_EQ(config_get(nullptr, "cpe", "server"), nullptr);
	config_handle empty{};
	EXPECT_EQ(config_get(&empty, "cpe", "server"), nullptr);
	// The lookups above must not have loaded anything else.
	EXPECT_EQ(h->ctx->root.next, &h->pkg->e.list);
	EXPECT_EQ(h->ctx->root.prev, &h->pkg->e.list);
}

TEST_F(ConfigStore, EmptyListGivesNull)
{
	std::filesystem::create_directory(dir + "/save");
	write("save/rvtest", "-rvtest.cpe.methods=0\n-rvtest.cpe.methods=0\n-rvtest.cpe.methods=0\n");
	h = open_here("rvtest");
	ASSERT_NE(h, nullptr);
	ASSERT_NE(h->pkg, nullptr);
	EXPECT_EQ(get("cpe", "methods"), "(null)");
	EXPECT_EQ(get("cpe", "server"), "192.168.1.1");
}

TEST_F(ConfigStore, CutNameNeverReadsAnotherPackage)
{
	// package_name keeps only 127 bytes; a package that happens to have the
	// cut name must not answer for this handle.
	std::string name(130, 'n');
	write(name, "config s x\n\toption v mine\n");
	write(name.substr(0, 127), "config s x\n\toption v other\n");
	h = open_here(name.c_str());
	ASSERT_NE(h, nullptr);
	EXPECT_EQ(get("x", "v"), "(null)");
	EXPECT_EQ(h->ctx->root.next, &h->pkg->e.list);
	EXPECT_EQ(h->ctx->root.prev, &h->pkg->e.list);
}

TEST_F(ConfigStore, MissingOrBrokenPackage)
{
	EXPECT_EQ(open_here("nosuch"), nullptr);
	write("broken", "config s x\noption v 'open\n");
	EXPECT_EQ(open_here("broken"), nullptr);
}

// A package that exists but cannot be loaded is logged with the library's
// reason; a missing one is not logged.
TEST_F(ConfigStore, RefusedPackageSaysWhy)
{
	last_log.clear();
	EXPECT_EQ(config_open((dir + "/nosuch").c_str()), nullptr);
	EXPECT_EQ(last_log, "");
	write("broken", "config s x\noption v 'open\n");
	EXPECT_EQ(config_open((dir + "/broken").c_str()), nullptr);
	EXPECT_EQ(last_log, "config " + dir +
				    "/broken cannot be loaded: "
				    "Parse error (EOF with unterminated ') at line 2, byte 15");
}

TEST_F(ConfigStore, OpenAndClose)
{
	EXPECT_EQ(config_open(nullptr), nullptr);
	config_close(nullptr);

	// A path names the file directly, so config_open works without the
	// system folder; the package name is kept as given.
	std::string path = dir + "/rvtest";
	h = config_open(path.c_str());
	ASSERT_NE(h, nullptr);
	ASSERT_NE(h->pkg, nullptr);
	EXPECT_STREQ(h->package_name, path.c_str());
	EXPECT_STREQ(h->pkg->e.name, "rvtest");

	write("broken", "config s x y\n");
	EXPECT_EQ(config_open((dir + "/broken").c_str()), nullptr);

	std::string long_name = dir + "/" + std::string(200, 'n');
	write(std::string(200, 'n'), "config s x\n");
	config_handle *l = config_open(long_name.c_str());
	ASSERT_NE(l, nullptr);
	EXPECT_EQ(strlen(l->package_name), 127u);
	EXPECT_EQ(std::string(l->package_name), long_name.substr(0, 127));
	config_close(l);
}

} // namespace
