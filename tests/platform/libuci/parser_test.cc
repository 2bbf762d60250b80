// SPDX-License-Identifier: ISC
// Config file syntax: each case is a whole file and the package it loads to
// (or the parse error it fails with).
#include "uci_fixture.h"

#include <cstring>
#include <vector>

namespace {

struct parse_case {
	std::string input;
	std::string expect; // dump, or "Parse error (...) at line N" prefix
};

const std::string P = "config s x\n";

class Parser : public UciTest {
protected:
	std::string result(const std::string &input)
	{
		uci_package *p = nullptr;
		int rc = load(input, &p);
		std::string out;
		if (rc == UCI_OK) {
			out = dump(p);
			uci_unload(ctx, p);
		} else if (rc == UCI_ERR_PARSE) {
			EXPECT_EQ(p, nullptr);
			out = error_text();
		} else {
			out = "rc " + std::to_string(rc);
		}
		return out;
	}

	void check(const std::vector<parse_case> &cases)
	{
		for (const parse_case &c : cases) {
			std::string got = result(c.input);
			if (c.expect.rfind("Parse error", 0) == 0)
				EXPECT_EQ(got.substr(0, c.expect.size()), c.expect) << "input: " << c.input;
			else
				EXPECT_EQ(got, c.expect) << "input: " << c.input;
		}
	}
};

TEST_F(Parser, QuotingAndEscapes)
{
	check({
		{P + "option v 'a b'\n", "x(s) v='a b'"},
		{P + "option v \"a b\"\n", "x(s) v='a b'"},
		{P + "option v a\\ b\n", "x(s) v='a b'"},
		{P + "option v 'it'\\''s'\n", "x(s) v='it's'"},
		{P + "option v \"x\\\"y\"\n", "x(s) v='x\"y'"},
		{P + "option v 'say \"hi\"'\n", "x(s) v='say \"hi\"'"},
		{P + "option v 'a#b'\n", "x(s) v='a#b'"},
		{P + "option v a\\#b\n", "x(s) v='a#b'"},
		{P + "option v \"a\\#b\"\n", "x(s) v='a#b'"},
		{P + "option v '   '\n", "x(s) v='   '"},
		{P + "option v a\\nb\n", "x(s) v='anb'"},
		{P + "option v \"a\\tb\"\n", "x(s) v='atb'"},
		{P + "option v 'a\\nb'\n", "x(s) v='a\\nb'"},
		{P + "option v a\\\\b\n", "x(s) v='a\\b'"},
		{P + "option v \"a\\$b\"\n", "x(s) v='a$b'"},
		{P + "option v 'a'\"b\"c\n", "x(s) v='abc'"},
		{P + "option v a'b c'd\n", "x(s) v='ab cd'"},
		{P + "option v ''abc\n", "x(s) v='abc'"},
		{P + "option v ab\x01"
		     "cd\n",
		 "x(s) v='ab\x01"
		 "cd'"},
		{P + "option v caf\xc3\xa9\n", "x(s) v='caf\xc3\xa9'"},
		{P + "option v abc", "x(s) v='abc'"},
		{P + "option v 'abc'", "x(s) v='abc'"},
		{"\tconfig\ts\tx\t\n\t\toption\tv\t'a\tb'\t\n", "x(s) v='a\tb'"},
		{"config 's' \"x\"\n", "x(s)"},
	});
}

TEST_F(Parser, CommentsAndSeparators)
{
	check({
		{P + "option v a#b\n", "x(s) v='a'"},
		{P + "option v a #b\n", "x(s) v='a'"},
		{P + "option v \"a\"#b\n", "x(s) v='a'"},
		{P + "option v 'abc'#comment\n", "x(s) v='abc'"},
		{"config s x # hi\noption v 1", "x(s) v='1'"},
		{P + "option a#b 1\n", "x(s)"},
		{"config s x; option v 1; option w 2\n", "x(s)"},
		{"config s x ; option v 1 ; option w 2\n", "x(s) v='1' w='2'"},
		{P + "option v a;b\n", "x(s) v='a'"},
		{P + "option v 'a;b'\n", "x(s) v='a;b'"},
		{P + "option v 1;\n", "x(s) v='1'"},
		{";\n", "Parse error (invalid command) at line 1"},
		{"", ""},
		{"# nothing\n\n", ""},
	});
}

TEST_F(Parser, LinesSpanningBreaks)
{
	check({
		{P + "option v 'abc\ndef'\noption w 1\n", "x(s) v='abc\ndef' w='1'"},
		{P + "option v abc\\\ndef\noption w 1\n", "x(s) v='abcdef' w='1'"},
		{P + "option v \"abc\\\ndef\"\n", "x(s) v='abcdef'"},
		{P + "option v 'abc\\\ndef'\n", "x(s) v='abc\\\ndef'"},
		{P + "option \\\nv abc\n", "x(s) v='abc'"},
		{P + "option v abc\\", "x(s) v='abc'"},
		{P + "option v it's\nlist w '1\nlist z 2\n", "x(s) v='its\nlist w 1' z=['2']"},
		{P + "option v abc \\\ndef\n", "Parse error (too many arguments) at line 3"},
		{P + "option v it's\noption w 1\n", "Parse error (EOF with unterminated ') at line 3"},
		{P + "option v \"abc\n", "Parse error (EOF with unterminated \") at line 2"},
		// A NUL ends the line there and the next line takes its place.
		{P + std::string("option v ab\0cd\noption w 2\n", 26),
		 "Parse error (too many arguments) at line 2"},
	});
}

TEST_F(Parser, CarriageReturns)
{
	check({
		{"# c\r\n\r\nconfig s x\r\n\toption a 'q'\r\n\toption b \"w\"\r\n"
		 "\toption c plain\r\n\tlist l 1\r\n",
		 "x(s) a='q' b='w' c='plain' l=['1']"},
		{"config s\r\n\toption v 1\r\n", "cfg01b618(s,anon) v='1'"},
		{"config s x\r\n\toption a 'q\r\nr'\r\n", "x(s) a='q\r\nr'"},
		{"config s x\r\n\toption v abc\\\r\ndef\r\n", "x(s) v='abcdef'"},
		{"config s x\r\nconfig\r\n", "Parse error (invalid command) at line 2"},
		{"config s x\roption v 1\r", "Parse error (too many arguments) at line 0"},
	});
}

TEST_F(Parser, CommandsAndNames)
{
	check({
		{"c s x\no v 1\nl w 2", "x(s) v='1' w=['2']"},
		{"config s MyName_1\noption MyOpt 1\n", "MyName_1(s) MyOpt='1'"},
		{"config s 1abc\n", "1abc(s)"},
		{"config my-type.x@y x\n", "x(my-type.x@y)"},
		{P + "option 'abc' 1\n", "x(s) abc='1'"},
		{"package t\nconfig s x\n", "x(s)"},
		{"package other\nconfig s x\n", "x(s)"},
		{"Config s x\n", "Parse error (invalid command) at line 1"},
		{"configs s x\n", "Parse error (invalid command) at line 1"},
		{"config\fs x\n", "Parse error (invalid command) at line 1"},
		{"config\n", "Parse error (invalid command) at line 1"},
		{P + "option#x\n", "Parse error (invalid command) at line 2"},
		{"config   \n", "Parse error (insufficient arguments)"},
		{"config '' x\n", "Parse error (insufficient arguments)"},
		{P + "option '' 1\n", "Parse error (insufficient arguments)"},
		{"package \nconfig s x\n", "Parse error (insufficient arguments)"},
		{"config s x y\n", "Parse error (too many arguments) at line 1"},
		{P + "option v abc def\n", "Parse error (too many arguments) at line 2"},
		{P + "option v 'abc' def\n", "Parse error (too many arguments) at line 2"},
		{P + "option v a\vb\n", "Parse error (too many arguments) at line 2"},
		{"config s my-name\n", "Parse error (invalid character in name field)"},
		{"config s my.name\n", "Parse error (invalid character in name field)"},
		{"config s 'x y'\n", "Parse error (invalid character in name field)"},
		{P + "option my-opt 1\n", "Parse error (invalid character in name field)"},
		{"package a.b\nconfig s x\n", "Parse error (invalid character in name field)"},
		{"config 'a b' x\n", "Parse error (invalid character in type field)"},
		{"config t\xc3\xa9 x\n", "Parse error (invalid character in type field)"},
		{"option v 1\nconfig s x\n",
		 "Parse error (option/list command found before the first section) at line 1, byte 0"},
		{P + "option v 'abc\n", "Parse error (EOF with unterminated ') at line 2, byte 14"},
	});
}

// Arguments are read one at a time: an empty one may follow the last, a ';'
// after a quoted or escaped word separates commands, and each error points
// just past the argument at fault.
TEST_F(Parser, ArgumentsOneAtATime)
{
	check({
		{"config s x ''\n", "x(s)"},
		{P + "option v 'a' \"\"\n", "x(s) v='a'"},
		{P + "list l '1';list l 2\n", "x(s) l=['1','2']"},
		{P + "list l 1;list l 2\n", "x(s) l=['1']"},
		{"config s 'x';config t\n", "x(s); cfg02b619(t,anon)"},
		{"config s x\"\";config t\n", "x(s); cfg02b619(t,anon)"},
		{P + "option v 'a'b;option w 2\n", "x(s) v='ab' w='2'"},
		{P + "option v \\x;option w 2\n", "x(s) v='x' w='2'"},
		{"config s x '' ''\n", "Parse error (invalid command) at line 1, byte 14"},
		{"config s x '';option v 1\n", "Parse error (invalid command) at line 1, byte 13"},
		{"config s\"\";config t\n", "Parse error (too many arguments) at line 1, byte 18"},
		{P + "option \\v;w\n", "Parse error (too many arguments) at line 2, byte 12"},
		{P + "option v ab\\\n c\n", "Parse error (too many arguments) at line 3, byte 15"},
		{P + "option v a" + std::string(1, '\0') + "b\noption w 2\n",
		 "Parse error (too many arguments) at line 2, byte 19"},
		{P + "option my-opt 1 2\n",
		 "Parse error (invalid character in name field) at line 2, byte 14"},
		{P + "  c", "Parse error (config without name) at line 1, byte 2"},
		{P + "list", "Parse error (option without name) at line 1, byte 0"},
	});
}

TEST_F(Parser, EmptyValuesAndRepeats)
{
	check({
		{P + "option v ''\n", "x(s)"},
		{P + "option v \"\"\n", "x(s)"},
		{P + "option v   \n", "x(s)"},
		{P + "option v 1\noption v ''\n", "x(s) v='1'"},
		{P + "list v ''\n", "x(s) v=['']"},
		{P + "list v\n", "x(s) v=['']"},
		{P + "option a 1\noption b 2\nconfig s y\nconfig s x\noption a 3\noption c 4\n",
		 "x(s) a='3' b='2' c='4'; y(s)"},
		{P + "option a 1\nconfig t x\noption b 2\n",
		 "Parse error (section of different type overwrites prior section with same name) at line 3"},
		{P + "option a 1\noption b 2\noption a 333\n", "x(s) a='333' b='2'"},
		{P + "list a 1\nlist a 2\noption b 0\noption a 3\n", "x(s) a='3' b='0'"},
		{P + "option a 1\noption b 0\nlist a 2\nlist a 3\n", "x(s) a=['1','2','3'] b='0'"},
		{P + "list a z\nlist b q\nlist a y\nlist a z\n", "x(s) a=['z','y','z'] b=['q']"},
		{"config rule cfg0292bd\noption a 1\nconfig rule\noption b 2\nconfig rule cfg0292bd\noption "
		 "c 3\n",
		 "cfg0292bd(rule) a='1' c='3'; cfg0292bd(rule,anon) b='2'"},
		{"config rule\nconfig rule\nconfig cpe main\nconfig rule\nconfig interface\nconfig "
		 "zone\nconfig t\n",
		 "cfg0192bd(rule,anon); cfg0292bd(rule,anon); main(cpe); cfg0492bd(rule,anon); "
		 "cfg056d96(interface,anon); cfg06dc81(zone,anon); cfg07b619(t,anon)"},
	});
}

TEST_F(Parser, AnonymousCounterGrowsPastTwoDigits)
{
	std::string input;
	for (int i = 0; i < 260; i++)
		input += "config t\n";
	uci_package *p = nullptr;
	ASSERT_EQ(load(input, &p), UCI_OK);
	std::vector<std::string> names;
	uci_element *e;
	uci_foreach_element (&p->sections, e)
		names.push_back(e->name);
	ASSERT_EQ(names.size(), 260u);
	EXPECT_EQ(names[0], "cfg01b619");
	EXPECT_EQ(names[254], "cfgffb619");
	EXPECT_EQ(names[255], "cfg100b619");
	EXPECT_EQ(names[259], "cfg104b619");
	EXPECT_EQ(p->n_section, 260);
}

TEST_F(Parser, LongValuesKeptWhole)
{
	std::string a(100000, 'A'), b(70000, 'B'), name(300, 'n');
	uci_package *p = nullptr;
	ASSERT_EQ(load("config s " + name + "\noption v '" + a + "'\noption w " + b + "\n", &p), UCI_OK);
	EXPECT_EQ(dump(p), name + "(s) v='" + a + "' w='" + b + "'");
}

TEST_F(Parser, NonStrictSkipsBadLines)
{
	ctx->flags = (uci_flags)(ctx->flags & ~UCI_FLAG_STRICT);
	uci_package *p = nullptr;
	ASSERT_EQ(load("config s x\noption v a b\nbogus line\nconfig t x\noption w 'open\n", &p), UCI_OK);
	EXPECT_EQ(dump(p), "x(t) v='a'");
}

TEST_F(Parser, ParseErrorLeavesNothingLoaded)
{
	uci_package *p = reinterpret_cast<uci_package *>(0x1);
	EXPECT_EQ(load("config s x\noption v 1\nconfig s x y\n", &p), UCI_ERR_PARSE);
	EXPECT_EQ(p, reinterpret_cast<uci_package *>(0x1));
	EXPECT_EQ(ctx->err, UCI_ERR_PARSE);
	EXPECT_TRUE(uci_list_empty(&ctx->root));
	EXPECT_EQ(error_text(), "Parse error (too many arguments) at line 3, byte 13");

	// The same name parses again from scratch once the file is fixed; the
	// error text keeps the old position, as with the router's library.
	p = nullptr;
	ASSERT_EQ(load("config s x\n", &p), UCI_OK);
	EXPECT_EQ(dump(p), "x(s)");
	char *s = nullptr;
	uci_get_errorstr(ctx, &s, "E");
	EXPECT_STREQ(s, "E: Success (too many arguments) at line 3, byte 13");
	free(s);
}

TEST_F(Parser, HostileInputFailsCleanly)
{
	// Endless quotes, a file of only backslashes, binary noise: each either
	// loads or fails with a parse error, and nothing is left behind.
	std::vector<std::string> inputs = {
		"config s x\noption v '" + std::string(200000, 'q'),
		"config s x\noption v \"" + std::string(50000, '\n'),
		std::string(100000, '\\'),
		std::string(50000, ';'),
		"config s x\n" + std::string(100000, '\0'),
	};
	std::string noise;
	unsigned seed = 12345;
	for (int i = 0; i < 65536; i++) {
		seed = seed * 1103515245 + 12345;
		noise += (char)(seed >> 16);
	}
	inputs.push_back(noise);
	for (const std::string &in : inputs) {
		uci_package *p = nullptr;
		int rc = load(in, &p);
		EXPECT_TRUE(rc == UCI_OK || rc == UCI_ERR_PARSE) << rc;
		if (rc == UCI_OK)
			uci_unload(ctx, p);
		EXPECT_TRUE(uci_list_empty(&ctx->root));
	}
}

// No size limit of our own, as with the router's library: a file past 16 MiB
// loads whole.
TEST_F(Parser, LargeFileLoadsWhole)
{
	write("ravel", "config s x\n#" + std::string(17u << 20, 'c') + "\noption v 1\n");
	uci_package *p = nullptr;
	ASSERT_EQ(uci_load(ctx, "ravel", &p), UCI_OK);
	EXPECT_EQ(dump(p), "x(s) v='1'");
}

} // namespace
