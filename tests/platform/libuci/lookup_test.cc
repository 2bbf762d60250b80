// SPDX-License-Identifier: ISC
// Path lookups: the captured results for a small package, by path text.
#include "uci_fixture.h"

#include <cstring>
#include <vector>

namespace {

const char *RAVEL = "config rule\n"
		    "\toption model 'a'\n"
		    "\tlist tags x\n"
		    "\tlist tags y\n"
		    "config rule\n"
		    "\toption model b\n"
		    "config cpe cpe\n"
		    "\toption server 'srv1'\n"
		    "config rule\n";

struct lookup_case {
	const char *path;
	bool extended;
	int rc;
	int flags;
	int target;          // 0: not checked
	const char *section; // name of ptr.s, "" for none
	const char *option;  // name of ptr.o, "" for none
	int last;            // type of ptr.last, 0 for none
};

constexpr int D = uci_ptr::UCI_LOOKUP_DONE;
constexpr int C = uci_ptr::UCI_LOOKUP_COMPLETE;
constexpr int X = uci_ptr::UCI_LOOKUP_EXTENDED;
constexpr int PKG = UCI_TYPE_PACKAGE, SEC = UCI_TYPE_SECTION, OPT = UCI_TYPE_OPTION;

class Lookup : public UciTest {
protected:
	void SetUp() override
	{
		UciTest::SetUp();
		write("ravel", RAVEL);
	}
};

TEST_F(Lookup, CapturedResults)
{
	const std::vector<lookup_case> cases = {
		{"ravel.cpe.server", true, 0, D | C, OPT, "cpe", "server", OPT},
		{"ravel.@rule[0].model", true, 0, D | C | X, OPT, "cfg0192bd", "model", OPT},
		{"ravel.@rule[0].tags", true, 0, D | C | X, OPT, "cfg0192bd", "tags", OPT},
		{"ravel.@rule[-1]", true, 0, D | C | X, SEC, "cfg0492bd", "", SEC},
		{"ravel.@rule[-3]", true, 0, D | C | X, SEC, "cfg0192bd", "", SEC},
		{"ravel.@rule[-4]", true, 0, D | X, SEC, "", "", PKG},
		{"ravel.@rule[5].model", true, 0, D | X, OPT, "", "", PKG},
		{"ravel.@nosuch[0]", true, 0, D | X, SEC, "", "", PKG},
		{"ravel.@[0]", true, 0, D | C | X, SEC, "cfg0192bd", "", SEC},
		{"ravel.@[2]", true, 0, D | C | X, SEC, "cpe", "", SEC},
		{"ravel.@[-1]", true, 0, D | C | X, SEC, "cfg0492bd", "", SEC},
		{"ravel.@rule[]", true, 0, D | C | X, SEC, "cfg0192bd", "", SEC},
		{"ravel.@rule[+1]", true, 0, D | C | X, SEC, "cfg0292bd", "", SEC},
		{"ravel.@rule[ 1]", true, 0, D | C | X, SEC, "cfg0292bd", "", SEC},
		{"ravel.@rule", true, UCI_ERR_INVAL, 0, 0, "", "", 0},
		{"ravel.@rule.model", true, UCI_ERR_INVAL, 0, 0, "", "", 0},
		{"ravel.@rule[abc]", true, UCI_ERR_INVAL, 0, 0, "", "", 0},
		{"ravel.@rule[0]x", true, UCI_ERR_INVAL, 0, 0, "", "", 0},
		{"ravel.@rule[1 ]", true, UCI_ERR_INVAL, 0, 0, "", "", 0},
		{"ravel.@rule[0x1]", true, UCI_ERR_INVAL, 0, 0, "", "", 0},
		{"ravel.cpe.missing", true, 0, D, OPT, "cpe", "", SEC},
		{"ravel.missing.server", true, 0, D, OPT, "", "", PKG},
		{"ravel.missing", true, 0, D, SEC, "", "", PKG},
		{"ravel", true, 0, D | C, PKG, "", "", PKG},
		{"nopkg.cpe.server", true, UCI_ERR_NOTFOUND, D, 0, "", "", 0},
		{"rav-el.cpe", true, UCI_ERR_NOTFOUND, D, 0, "", "", 0},
		{"rav@el.cpe", true, UCI_ERR_NOTFOUND, D, 0, "", "", 0},
		{"ravel.cpe.server.x", true, UCI_ERR_PARSE, 0, 0, "", "", 0},
		{"ravel.cpe.", true, UCI_ERR_PARSE, 0, 0, "", "", 0},
		{"", true, UCI_ERR_PARSE, 0, 0, "", "", 0},
		{".cpe", true, UCI_ERR_PARSE, 0, 0, "", "", 0},
		{"ravel.cpe.ser-ver", true, UCI_ERR_PARSE, 0, 0, "", "", 0},
		{"ravel..server", true, UCI_ERR_INVAL, 0, 0, "", "", 0},
		{"ravel.", true, UCI_ERR_INVAL, 0, 0, "", "", 0},
		{"ravel.cp-e.server", true, UCI_ERR_INVAL, 0, 0, "", "", 0},
		{"ravel.cpe.server=newval", true, 0, D | C, OPT, "cpe", "server", OPT},
		{"ravel.cpe=", true, 0, D | C, SEC, "cpe", "", SEC},
		{"ravel.cpe.server=a\x01"
		 "b",
		 true, UCI_ERR_PARSE, 0, 0, "", "", 0},
		{"ravel.@rule[0].model", false, UCI_ERR_INVAL, D | X, 0, "", "", PKG},
		{"ravel.cpe.server", false, 0, D | C, OPT, "cpe", "server", OPT},
	};
	for (const lookup_case &c : cases) {
		SCOPED_TRACE(c.path);
		char buf[128];
		strcpy(buf, c.path);
		uci_ptr ptr;
		memset(&ptr, 0x5a, sizeof(ptr));
		int rc = uci_lookup_ptr(ctx, &ptr, buf, c.extended);
		EXPECT_EQ(rc, c.rc);
		EXPECT_EQ(ctx->err, c.rc);
		EXPECT_EQ((int)ptr.flags, c.flags);
		if (c.target) {
			EXPECT_EQ((int)ptr.target, c.target);
		}
		EXPECT_STREQ(ptr.s ? ptr.s->e.name : "", c.section);
		EXPECT_STREQ(ptr.o ? ptr.o->e.name : "", c.option);
		EXPECT_EQ(ptr.last ? (int)ptr.last->type : 0, c.last);
		if (c.rc == UCI_ERR_INVAL && !(c.flags & D)) {
			EXPECT_EQ(ptr.p, nullptr);
			EXPECT_EQ(ptr.package, nullptr);
		}
	}
}

TEST_F(Lookup, ValuesAndSectionNamePointers)
{
	char path[] = "ravel.@rule[0].tags";
	uci_ptr ptr;
	ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, path, true), UCI_OK);
	EXPECT_STREQ(ptr.section, "cfg0192bd");
	EXPECT_EQ(ptr.section, ptr.s->e.name);
	ASSERT_EQ(ptr.o->type, UCI_TYPE_LIST);

	char set[] = "ravel.cpe.server=a=b";
	ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, set, true), UCI_OK);
	EXPECT_STREQ(ptr.package, "ravel");
	EXPECT_STREQ(ptr.option, "server");
	EXPECT_STREQ(ptr.value, "a=b");
	EXPECT_STREQ(ptr.o->v.string, "srv1");
	EXPECT_STREQ(uci_lookup_option_string(ctx, ptr.s, "server"), "srv1");
	EXPECT_EQ(uci_lookup_option_string(ctx, ptr.s, "nope"), nullptr);
	EXPECT_EQ(ctx->err, UCI_ERR_NOTFOUND);
}

TEST_F(Lookup, AutoLoadedPackageStaysAndIsNotReread)
{
	char a[] = "ravel.cpe.server";
	uci_ptr ptr;
	ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, a, true), UCI_OK);
	uci_package *first = ptr.p;
	write("ravel", "config cpe cpe\n\toption server other\n");
	char b[] = "ravel.cpe.server";
	ASSERT_EQ(uci_lookup_ptr(ctx, &ptr, b, true), UCI_OK);
	EXPECT_EQ(ptr.p, first);
	EXPECT_STREQ(ptr.o->v.string, "srv1");

	uci_package *p = nullptr;
	EXPECT_EQ(uci_load(ctx, "ravel", &p), UCI_ERR_DUPLICATE);
	EXPECT_EQ(p, nullptr);
	EXPECT_EQ(uci_lookup_package(ctx, "ravel"), first);
	ASSERT_EQ(uci_unload(ctx, first), UCI_OK);
	ASSERT_EQ(uci_load(ctx, "ravel", &p), UCI_OK);
	EXPECT_EQ(dump(p), "cpe(cpe) server='other'");
}

TEST_F(Lookup, BrokenPackageFailsEveryTime)
{
	write("bad", "config s x y\n");
	for (int i = 0; i < 2; i++) {
		char path[] = "bad.x.v";
		uci_ptr ptr;
		EXPECT_EQ(uci_lookup_ptr(ctx, &ptr, path, true), UCI_ERR_PARSE);
		EXPECT_EQ((int)ptr.flags, D);
		EXPECT_EQ(ptr.p, nullptr);
	}
	EXPECT_TRUE(uci_list_empty(&ctx->root));
}

TEST_F(Lookup, LoadNames)
{
	uci_package *p = nullptr;
	EXPECT_EQ(uci_load(ctx, "", &p), UCI_ERR_INVAL);
	EXPECT_EQ(uci_load(ctx, "a b", &p), UCI_ERR_INVAL);
	EXPECT_EQ(uci_load(ctx, "caf\xc3\xa9", &p), UCI_ERR_INVAL);
	EXPECT_EQ(uci_load(ctx, ".hidden", &p), UCI_ERR_NOTFOUND);
	EXPECT_EQ(uci_load(ctx, "a.b", &p), UCI_ERR_NOTFOUND);
	EXPECT_EQ(uci_load(ctx, "save", &p), UCI_ERR_NOTFOUND); // a directory
#ifdef RAVEL_OWN_UCI
	// Ours refuses a null name or context; the router's library dereferences them.
	EXPECT_EQ(uci_load(ctx, nullptr, &p), UCI_ERR_INVAL);
	EXPECT_EQ(uci_load(nullptr, "ravel", &p), UCI_ERR_INVAL);
#endif
	EXPECT_EQ(p, nullptr);

	// A path load takes the name after the last slash and skips saved changes.
	ASSERT_EQ(uci_load(ctx, (dir + "/ravel").c_str(), &p), UCI_OK);
	EXPECT_STREQ(p->e.name, "ravel");
	EXPECT_EQ(std::string(p->path), dir + "/ravel");
	EXPECT_FALSE(p->has_delta);
	EXPECT_EQ(uci_unload(ctx, nullptr), UCI_ERR_INVAL);
}

TEST_F(Lookup, ContextDefaults)
{
	uci_context *c = uci_alloc_context();
	ASSERT_NE(c, nullptr);
	EXPECT_EQ((int)c->flags, UCI_FLAG_STRICT | UCI_FLAG_SAVED_DELTA);
	EXPECT_STREQ(c->confdir, "/etc/config");
	EXPECT_STREQ(c->savedir, "/tmp/.uci");
	ASSERT_FALSE(uci_list_empty(&c->delta_path));
	EXPECT_STREQ(list_to_element(c->delta_path.next)->name, "/tmp/.uci");
	EXPECT_EQ(uci_set_confdir(c, nullptr), UCI_ERR_INVAL);
	uci_free_context(c);
}

} // namespace
