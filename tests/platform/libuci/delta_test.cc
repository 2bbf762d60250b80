// SPDX-License-Identifier: ISC
// Saved changes applied on load.
#include "uci_fixture.h"

namespace {

const char *RT = "config rule\n"
		 "\toption model 'a'\n"
		 "config rule\n"
		 "\toption model b\n"
		 "config cpe cpe\n"
		 "\toption server 'srv1'\n"
		 "\tlist tag x\n";

class Delta : public UciTest {
protected:
	void save(const std::string &dirname, const std::string &content)
	{
		std::filesystem::create_directories(dir + "/" + dirname);
		std::ofstream f(dir + "/" + dirname + "/rt", std::ios::binary);
		f << content;
	}

	std::string load_rt()
	{
		uci_package *p = nullptr;
		int rc = uci_load(ctx, "rt", &p);
		if (rc != UCI_OK)
			return "rc " + std::to_string(rc);
		std::string out = dump(p);
		last_count = p->n_section;
		uci_unload(ctx, p);
		return out;
	}

	int last_count = 0;
};

TEST_F(Delta, EveryCommandApplies)
{
	write("rt", RT);
	save("save", "rt.cpe.server='new srv'\n"
		     "rt.cpe.quote='it'\\''s'\n"
		     "rt.newsec='cpe'\n"
		     "|rt.cpe.tag='y'\n"
		     "|rt.cfg0192bd.alist='one two'\n"
		     "~rt.cpe.tag='x'\n"
		     "-rt.cfg0292bd.model\n"
		     "-rt.cfg0292bd\n"
		     "+rt.cfg0592bd='rule'\n"
		     "@rt.cpe.server='srv'\n"
		     "@rt.cfg0192bd='first'\n"
		     "^rt.cpe='0'\n"
		     "-rt.cpe.tag='0'\n");
	EXPECT_EQ(load_rt(), "cpe(cpe) srv='new srv' tag=[] quote='it's'; "
			     "first(rule) model='a' alist=['one two']; "
			     "newsec(cpe); cfg0592bd(rule,anon)");
	EXPECT_EQ(last_count, 5);
}

TEST_F(Delta, BadLinesAreSkippedOneByOne)
{
	write("rt", RT);
	save("save", "other.cpe.b='x'\n"
		     "*rt.cpe.c='x'\n"
		     "rt.cpe.d\n"
		     "rt.@rule[0].e='x'\n"
		     "rt.cpe.g='x' trailing\n"
		     "rt.cpe.i=a b\n"
		     "# rt.cpe.j='x'\n"
		     "rt.cpe.k='x'\r\n"
		     "rt.cpe.l='a\x01'\n"
		     "@rt.cpe.server='bad-name'\n"
		     "^rt.cpe.server='0'\n"
		     "|rt.cpe='x'\n"
		     "-rt.nosuch\n"
		     "rt.nosuch.m='x'\n"
		     "\n"
		     "  rt.cpe.h=plain\n"
		     "rt.cpe.q=\"double\"\n"
		     "rt.cpe.nl='a\nb'\n"
		     "rt.cfg0192bd.model=''\n"
		     "rt.cpe.server=x=y\n");
	EXPECT_EQ(load_rt(), "cfg0192bd(rule,anon); cfg0292bd(rule,anon) model='b'; "
			     "cpe(cpe) server='x=y' tag=['x'] h='plain' q='double' nl='a\nb'");
}

TEST_F(Delta, UnbalancedQuoteSwallowsTheRest)
{
	write("rt", RT);
	save("save", "rt.cpe.a='1'\nrt.cpe.n='unterminated\nrt.cpe.b='2'\nrt.cpe.c='3'\n");
	EXPECT_EQ(load_rt(), "cfg0192bd(rule,anon) model='a'; cfg0292bd(rule,anon) model='b'; "
			     "cpe(cpe) server='srv1' tag=['x'] a='1'");
}

TEST_F(Delta, DirectoriesApplyInOrder)
{
	write("rt", "config cpe cpe\n");
	save("first", "rt.cpe.v='first'\nrt.cpe.only='first'\n");
	save("save", "rt.cpe.v='save'\n");
	ASSERT_EQ(uci_add_delta_path(ctx, (dir + "/first").c_str()), UCI_OK);
	ASSERT_EQ(uci_set_savedir(ctx, (dir + "/save").c_str()), UCI_OK);
	EXPECT_EQ(load_rt(), "cpe(cpe) v='save' only='first'");

	// The save folder's changes come last whatever was added after it; a
	// former save folder is an ordinary one.
	save("second", "rt.cpe.v='second'\n");
	ASSERT_EQ(uci_add_delta_path(ctx, (dir + "/second").c_str()), UCI_OK);
	EXPECT_EQ(load_rt(), "cpe(cpe) v='save' only='first'");
	ASSERT_EQ(uci_set_savedir(ctx, (dir + "/second").c_str()), UCI_OK);
	EXPECT_EQ(load_rt(), "cpe(cpe) v='second' only='first'");
}

TEST_F(Delta, PathLoadsIgnoreSavedChanges)
{
	write("rt", "config cpe cpe\n");
	save("save", "rt.cpe.v='x'\n");
	uci_package *p = nullptr;
	ASSERT_EQ(uci_load(ctx, (dir + "/rt").c_str(), &p), UCI_OK);
	EXPECT_EQ(dump(p), "cpe(cpe)");
}

TEST_F(Delta, ListItemsRemovedByIndexAndValue)
{
	write("rt", "config s x\nlist l a\nlist l b\nlist l a\nlist l c\noption str v\n");
	save("save", "-rt.x.l=1\n~rt.x.l=a\n-rt.x.l=9\n-rt.x.l=abc\n~rt.x.str=v\n|rt.x.str=w\n");
	EXPECT_EQ(load_rt(), "x(s) l=['c'] str=['v','w']");
}

} // namespace

namespace {

TEST_F(UciTest, OverrideFolderTakesPrecedence)
{
	write("rt", "config s x\n");
	std::filesystem::create_directory(dir + "/conf2");
	write("conf2/rt", "config s y\n");
	uci_package *p = nullptr;
	ASSERT_EQ(uci_load(ctx, "rt", &p), UCI_OK);
	EXPECT_EQ(dump(p), "y(s)");
	EXPECT_TRUE(p->uses_conf2);
	EXPECT_EQ(std::string(p->path), dir + "/conf2/rt");
}

} // namespace
