// SPDX-License-Identifier: ISC
// Temporary config folders and a readable dump of loaded packages.
#pragma once

extern "C" {
#include <uci.h>
}

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class UciTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/uci_test.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		std::filesystem::create_directory(dir + "/save");
		ctx = uci_alloc_context();
		ASSERT_NE(ctx, nullptr);
		ASSERT_EQ(uci_set_confdir(ctx, dir.c_str()), UCI_OK);
		ASSERT_EQ(uci_set_conf2dir(ctx, (dir + "/conf2").c_str()), UCI_OK);
		// Keep the host's own saved changes out of the tests.
		uci_element *e, *tmp;
		uci_foreach_element_safe (&ctx->delta_path, tmp, e) {
			e->list.prev->next = e->list.next;
			e->list.next->prev = e->list.prev;
			free(e->name);
			free(e);
		}
		ASSERT_EQ(uci_set_savedir(ctx, (dir + "/save").c_str()), UCI_OK);
	}

	void TearDown() override
	{
		uci_free_context(ctx);
		std::filesystem::remove_all(dir);
	}

	void write(const std::string &name, const std::string &content)
	{
		std::ofstream f(dir + "/" + name, std::ios::binary | std::ios::trunc);
		f << content;
	}

	// Loads `content` as package "ravel" from the config folder.
	int load(const std::string &content, uci_package **p)
	{
		write("ravel", content);
		return uci_load(ctx, "ravel", p);
	}

	std::string error_text()
	{
		char *s = nullptr;
		uci_get_errorstr(ctx, &s, nullptr);
		std::string out = s ? s : "";
		free(s);
		return out;
	}

	// "name(type) opt='v' list=['a','b']; name2(type,anon) ..."
	static std::string dump(uci_package *p)
	{
		std::string out;
		uci_element *se, *oe, *ie;
		uci_foreach_element (&p->sections, se) {
			uci_section *s = uci_to_section(se);
			if (!out.empty())
				out += "; ";
			out += se->name + std::string("(") + s->type + (s->anonymous ? ",anon)" : ")");
			uci_foreach_element (&s->options, oe) {
				uci_option *o = uci_to_option(oe);
				out += " " + std::string(oe->name) + "=";
				if (o->type == UCI_TYPE_STRING) {
					out += "'" + std::string(o->v.string) + "'";
					continue;
				}
				out += "[";
				bool first = true;
				uci_foreach_element (&o->v.list, ie) {
					out += (first ? "'" : ",'") + std::string(ie->name) + "'";
					first = false;
				}
				out += "]";
			}
		}
		return out;
	}

	std::string dir;
	uci_context *ctx = nullptr;
};
