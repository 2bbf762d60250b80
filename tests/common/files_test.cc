// SPDX-License-Identifier: ISC
// The clocks and writers use fixed paths (/proc/uptime, /tmp/oriel), so these
// tests run in the harness's private sandbox.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/files.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;
using harness::read_file;

class files : public harness::sandbox_test {
protected:
	void SetUp() override
	{
		harness::sandbox_test::SetUp();
		if (IsSkipped() || HasFatalFailure())
			return; // never the host's /tmp
		fs::remove_all("/tmp/oriel");
	}
};

std::vector<std::string> entries(const std::string &dir)
{
	std::vector<std::string> names;
	std::error_code ec;
	for (const auto &e : fs::directory_iterator(dir, ec))
		names.push_back(e.path().filename());
	return names;
}

struct heap_text {
	char *p;
	~heap_text() { free(p); }
};

TEST_F(files, uptime_clocks_read_the_first_number)
{
	harness::set_uptime("12345.67 23456.78\n");
	EXPECT_EQ(uptime_seconds(), 12345u);
	EXPECT_EQ(uptime_ms(), 12345670u);

	harness::set_uptime("0.05 0.01\n");
	EXPECT_EQ(uptime_seconds(), 0u);
	EXPECT_EQ(uptime_ms(), 50u);

	// Past 2^32 ms (about 49.7 days) the millisecond clock keeps counting.
	harness::set_uptime("5000000.12 1.00\n");
	EXPECT_EQ(uptime_seconds(), 5000000u);
	EXPECT_EQ(uptime_ms(), 5000000120ull);
}

TEST_F(files, uptime_ms_across_a_second_boundary)
{
	harness::set_uptime("12345.99 100.00\n");
	uint64_t before = uptime_ms();
	harness::set_uptime("12346.00 100.00\n");
	uint64_t after = uptime_ms();
	EXPECT_EQ(after - before, 10u);
}

TEST_F(files, uptime_from_the_real_kernel_file_advances)
{
	uint64_t a = uptime_ms();
	uint32_t s = uptime_seconds();
	EXPECT_GT(a, 0u);
	EXPECT_LE(s, a / 1000 + 1);
	usleep(30000);
	EXPECT_GE(uptime_ms(), a);
}

TEST_F(files, read_whole_file_cases)
{
	harness::write_file("/tmp/empty", "");
	heap_text empty{read_whole_file("/tmp/empty")};
	ASSERT_NE(empty.p, nullptr);
	EXPECT_STREQ(empty.p, "");

	EXPECT_EQ(read_whole_file("/tmp/missing"), nullptr);
	EXPECT_EQ(read_whole_file(nullptr), nullptr);

	std::string big(100000, 'k');
	big[5] = '\n';
	harness::write_file("/tmp/big", big);
	heap_text whole{read_whole_file("/tmp/big")};
	ASSERT_NE(whole.p, nullptr);
	EXPECT_EQ(std::string(whole.p), big);

	// Kernel files report size 0: an empty text, not null. (Not /proc/self/stat:
	// qemu-user serves that one from a file of real size.)
	heap_text proc{read_whole_file("/proc/self/status")};
	ASSERT_NE(proc.p, nullptr);
	EXPECT_STREQ(proc.p, "");
}

TEST_F(files, write_cache_file_replaces_whole_content)
{
	write_cache_file("{\"state\":1,\"long\":\"xxxxxxxx\"}", "ravel_tools_cpe");
	write_cache_file("{\"state\":2}", "ravel_tools_cpe");
	EXPECT_EQ(read_file("/tmp/oriel/cache/ravel_tools_cpe"), "{\"state\":2}");

	write_cache_file("", "ravel_tools_cpe");
	EXPECT_EQ(read_file("/tmp/oriel/cache/ravel_tools_cpe"), "");

	// Only the file itself is left in the directory: no temporary file.
	EXPECT_EQ(entries("/tmp/oriel/cache"), std::vector<std::string>{"ravel_tools_cpe"});
}

TEST_F(files, write_cache_file_is_atomic_for_readers)
{
	write_cache_file("old content", "state");
	int reader = open("/tmp/oriel/cache/state", O_RDONLY);
	ASSERT_GE(reader, 0);
	struct stat before;
	ASSERT_EQ(fstat(reader, &before), 0);

	write_cache_file("new", "state");

	// A reader that opened the old file still sees it whole, and the new
	// file took its place under the same name.
	char buf[64] = {};
	ASSERT_EQ(pread(reader, buf, sizeof(buf) - 1, 0), 11);
	EXPECT_STREQ(buf, "old content");
	close(reader);
	struct stat after;
	ASSERT_EQ(stat("/tmp/oriel/cache/state", &after), 0);
	EXPECT_NE(before.st_ino, after.st_ino);
	EXPECT_EQ(read_file("/tmp/oriel/cache/state"), "new");
}

TEST_F(files, append_tmp_file_adds_without_separator)
{
	append_tmp_file("lumen_cache", "ab");
	append_tmp_file("lumen_cache", "cd");
	append_tmp_file("lumen_cache", "");
	EXPECT_EQ(read_file("/tmp/oriel/tmp/lumen_cache"), "abcd");
}

TEST_F(files, writers_make_removed_directories_again)
{
	write_cache_file("1", "a");
	append_tmp_file("b", "2");
	fs::remove_all("/tmp/oriel");

	write_cache_file("3", "a");
	EXPECT_EQ(read_file("/tmp/oriel/cache/a"), "3");
	fs::remove_all("/tmp/oriel/tmp");
	append_tmp_file("b", "4");
	EXPECT_EQ(read_file("/tmp/oriel/tmp/b"), "4");

	struct stat st;
	ASSERT_EQ(stat("/tmp/oriel/cache", &st), 0);
	mode_t mask = umask(0);
	umask(mask);
	EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask);
}

TEST_F(files, refused_arguments_create_nothing)
{
	write_cache_file(nullptr, "a");
	write_cache_file("x", nullptr);
	append_tmp_file(nullptr, "x");
	append_tmp_file("a", nullptr);
	EXPECT_FALSE(harness::path_exists("/tmp/oriel"));

	// Names are file names inside the directory, never paths out of it.
	write_cache_file("x", "");
	write_cache_file("x", "../escape");
	append_tmp_file("../../escape", "x");
	EXPECT_FALSE(harness::path_exists("/tmp/oriel/escape"));
	EXPECT_FALSE(harness::path_exists("/tmp/escape"));
}

TEST_F(files, names_that_do_not_fit_the_path_buffer_are_refused)
{
	// "/tmp/oriel/cache/" is 17 bytes: 238 more make 255, the longest path.
	std::string longest(238, 'n');
	write_cache_file("fits", longest.c_str());
	std::string too_long(239, 'n');
	write_cache_file("no", too_long.c_str());
	append_tmp_file(std::string(241, 't').c_str(), "no");
	append_tmp_file(std::string(240, 't').c_str(), "fits");

	EXPECT_EQ(entries("/tmp/oriel/cache"), std::vector<std::string>{longest});
	EXPECT_EQ(read_file("/tmp/oriel/cache/" + longest), "fits");
	EXPECT_EQ(entries("/tmp/oriel/tmp"), std::vector<std::string>{std::string(240, 't')});
}

TEST_F(files, read_regular_file_neither_blocks_nor_follows)
{
	// A FIFO would block the open for good; links and directories lead
	// elsewhere. All read as no file, at once.
	ASSERT_EQ(mkfifo("/tmp/fifo", 0600), 0);
	harness::write_file("/tmp/real", "MARK");
	ASSERT_EQ(symlink("/tmp/real", "/tmp/link"), 0);
	for (const char *path : {"/tmp/fifo", "/tmp/link", "/tmp", "/tmp/missing"}) {
		size_t len = 7;
		EXPECT_EQ(read_regular_file(path, 4096, &len), nullptr) << path;
		EXPECT_EQ(len, 0u) << path;
	}

	// A regular file is read up to the limit.
	size_t len = 0;
	heap_text small{read_regular_file("/tmp/real", 4096, &len)};
	ASSERT_NE(small.p, nullptr);
	EXPECT_STREQ(small.p, "MARK");
	EXPECT_EQ(len, 4u);
	harness::write_file("/tmp/big", std::string(10000, 'b'));
	heap_text big{read_regular_file("/tmp/big", 4096, &len)};
	ASSERT_NE(big.p, nullptr);
	EXPECT_EQ(len, 4096u);
	EXPECT_EQ(std::string(big.p), std::string(4096, 'b'));
}

TEST_F(files, planted_links_and_non_directories_are_refused)
{
	// A link at the file's own name: the append refuses it, the replace
	// puts a file in its place; the target stays untouched either way.
	harness::write_file("/tmp/target", "keep");
	fs::create_directories("/tmp/oriel/tmp");
	fs::create_directories("/tmp/oriel/cache");
	fs::create_symlink("/tmp/target", "/tmp/oriel/tmp/lumen_cache");
	fs::create_symlink("/tmp/target", "/tmp/oriel/cache/state");
	fs::create_symlink("/tmp/target", "/tmp/oriel/cache/.state.tmp");
	ASSERT_EQ(mkfifo("/tmp/oriel/tmp/fifo", 0600), 0);
	EXPECT_EQ(append_tmp_file("lumen_cache", "x"), FILE_NOT_REGULAR);
	EXPECT_EQ(append_tmp_file("fifo", "x"), FILE_NOT_REGULAR);
	EXPECT_EQ(write_cache_file("new", "state"), FILE_WRITTEN);
	EXPECT_FALSE(fs::is_symlink("/tmp/oriel/cache/state"));
	EXPECT_EQ(read_file("/tmp/oriel/cache/state"), "new");
	EXPECT_EQ(read_file("/tmp/target"), "keep");

	// A directory on the way that is a link, or not a directory.
	fs::remove_all("/tmp/oriel");
	fs::create_directories("/tmp/elsewhere");
	fs::create_symlink("/tmp/elsewhere", "/tmp/oriel");
	EXPECT_EQ(write_cache_file("x", "state"), FILE_DIR_SYMLINK);
	EXPECT_EQ(append_tmp_file("lumen_cache", "x"), FILE_DIR_SYMLINK);
	EXPECT_TRUE(entries("/tmp/elsewhere").empty());
	fs::remove("/tmp/oriel");
	fs::create_directories("/tmp/oriel");
	harness::write_file("/tmp/oriel/tmp", "");
	EXPECT_EQ(append_tmp_file("lumen_cache", "x"), FILE_DIR_NOT_DIR);
	EXPECT_EQ(write_cache_file("x", "state"), FILE_WRITTEN);
}

TEST_F(files, no_temporary_outlives_a_write)
{
	// A write that cannot be renamed into place (a directory holds the name).
	fs::create_directories("/tmp/oriel/cache/state");
	EXPECT_EQ(write_cache_file("x", "state"), FILE_FAILED);
	EXPECT_EQ(entries("/tmp/oriel/cache"), std::vector<std::string>{"state"});

	// A killed writer's temporary is removed, and nothing else.
	harness::write_file("/tmp/oriel/cache/.ravel_tools_cpe.tmp", "half");
	harness::write_file("/tmp/oriel/cache/ravel_tools_cpe", "whole");
	clean_cache_temp("ravel_tools_cpe");
	EXPECT_FALSE(harness::path_exists("/tmp/oriel/cache/.ravel_tools_cpe.tmp"));
	EXPECT_EQ(read_file("/tmp/oriel/cache/ravel_tools_cpe"), "whole");
	fs::remove_all("/tmp/oriel");
	clean_cache_temp("ravel_tools_cpe"); // makes no directory
	EXPECT_FALSE(harness::path_exists("/tmp/oriel"));
}

} // namespace
