// SPDX-License-Identifier: ISC
#include "common/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/own.h"

namespace {

constexpr char UPTIME_PATH[] = "/proc/uptime";
constexpr size_t PATH_SIZE = 256;

using file_owner = handle_owner<FILE, fclose>;

// Reads the first line of the uptime file; false when it cannot be opened or read.
bool read_uptime_line(char (&line)[256])
{
	file_owner f(fopen(UPTIME_PATH, "re"));
	if (!f.get())
		return false;
	return fgets(line, sizeof(line), f.get()) != nullptr;
}

// Opens the directory dir (absolute, '/'-separated), making missing
// components when `make` is set. The first component is opened by its
// absolute name and followed like any path; every later one is opened below
// its parent and must be a real directory. The walk never opens "/" itself,
// which user-mode emulators map to their target's library root. Returns
// FILE_WRITTEN with the descriptor in out, or the cause of the refusal.
int open_dir(const char *dir, bool make, fd_owner &out)
{
	char path[PATH_SIZE];
	size_t len = strlen(dir);
	if (dir[0] != '/' || len >= sizeof(path))
		return FILE_FAILED;
	memcpy(path, dir, len + 1);

	fd_owner fd;
	bool first = true;
	char *save = nullptr;
	for (char *part = strtok_r(path + 1, "/", &save); part; part = strtok_r(nullptr, "/", &save)) {
		// The first part keeps the '/' before it: strtok_r left it in place.
		const char *name = first ? part - 1 : part;
		const int at = first ? AT_FDCWD : fd.get();
		const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (first ? 0 : O_NOFOLLOW);
		int next = openat(at, name, flags);
		if (next < 0 && errno == ENOENT && make) {
			if (mkdirat(at, name, 0777) != 0 && errno != EEXIST)
				return FILE_FAILED;
			next = openat(at, name, flags);
		}
		if (next < 0) {
			// O_DIRECTORY wins over O_NOFOLLOW: a link gives ENOTDIR too.
			struct stat st;
			int status = FILE_FAILED;
			if ((errno == ENOTDIR || errno == ELOOP) &&
			    fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
				status = S_ISLNK(st.st_mode) ? FILE_DIR_SYMLINK : FILE_DIR_NOT_DIR;
			return status;
		}
		fd.reset(next);
		first = false;
	}
	if (!fd)
		return FILE_FAILED;
	out.reset(fd.release());
	return FILE_WRITTEN;
}

// A file name for one of the shared directories: not empty, no directory part.
bool valid_name(const char *name)
{
	return name[0] != '\0' && strchr(name, '/') == nullptr;
}

// Forms the path in out; false when it would not fit.
template <size_t N>
bool form_path(char (&out)[N], const char *dir, const char *prefix, const char *name, const char *suffix)
{
	int n = snprintf(out, sizeof(out), "%s%s%s%s", dir, prefix, name, suffix);
	return n >= 0 && static_cast<size_t>(n) < sizeof(out);
}

bool write_all(int fd, const char *data, size_t len)
{
	while (len > 0) {
		ssize_t n = write(fd, data, len);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return false;
		}
		data += n;
		len -= static_cast<size_t>(n);
	}
	return true;
}

// Replaces name in dir with data through the temporary temp: whatever sits
// under the temporary (a stale file, a planted link) goes, the temporary is
// made new or not at all, and it never outlives a failed write.
int replace_in_dir(int dir, const char *temp, const char *name, const char *data, size_t len)
{
	unlinkat(dir, temp, 0);
	int fd = openat(dir, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
	bool written = fd >= 0 && write_all(fd, data, len);
	if (fd >= 0 && close(fd) != 0)
		written = false;
	if (!written || renameat(dir, temp, dir, name) != 0) {
		unlinkat(dir, temp, 0);
		return FILE_FAILED;
	}
	return FILE_WRITTEN;
}

} // namespace

uint32_t uptime_seconds()
{
	char line[256];
	if (!read_uptime_line(line))
		return 0;
	if (char *dot = strchr(line, '.'))
		*dot = '\0';
	return static_cast<uint32_t>(atol(line));
}

uint64_t uptime_ms()
{
	char line[256];
	if (!read_uptime_line(line))
		return 0;
	if (char *dot = strchr(line, '.'))
		*dot = ' ';
	unsigned long long seconds = 0;
	unsigned int hundredths = 0;
	if (sscanf(line, "%llu %u", &seconds, &hundredths) < 1)
		return 0;
	return seconds * 1000 + static_cast<uint64_t>(hundredths) * 10;
}

char *read_whole_file(const char *path)
{
	if (!path)
		return nullptr;
	file_owner f(fopen(path, "re"));
	if (!f.get())
		return nullptr;

	struct stat st;
	if (fstat(fileno(f.get()), &st) != 0 || st.st_size < 0)
		return nullptr;
	size_t size = static_cast<size_t>(st.st_size);
	if (size == SIZE_MAX)
		return nullptr;

	char *text = static_cast<char *>(calloc(size + 1, 1));
	if (!text)
		return nullptr;
	if (size > 0)
		(void)!fread(text, 1, size, f.get());
	return text;
}

char *read_regular_file(const char *path, size_t limit, size_t *len)
{
	if (len)
		*len = 0;
	if (!path || limit == SIZE_MAX)
		return nullptr;
	fd_owner f(open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
	if (!f)
		return nullptr;
	struct stat st;
	if (fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode))
		return nullptr;

	char *text = static_cast<char *>(calloc(limit + 1, 1));
	if (!text)
		return nullptr;
	size_t got = 0;
	while (got < limit) {
		ssize_t n = read(f.get(), text + got, limit - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		got += static_cast<size_t>(n);
	}
	if (len)
		*len = got;
	return text;
}

int write_cache_file(const char *data, const char *name)
{
	if (!data || !name || !valid_name(name))
		return FILE_FAILED;

	char path[PATH_SIZE];
	// Room for the temporary name of every name whose path fits.
	char temp[PATH_SIZE + 8];
	if (!form_path(path, cache_dir, "", name, "") || !form_path(temp, "", ".", name, ".tmp"))
		return FILE_FAILED;

	fd_owner dir;
	if (int status = open_dir(cache_dir, true, dir); status != FILE_WRITTEN)
		return status;

	return replace_in_dir(dir.get(), temp, name, data, strlen(data));
}

int append_tmp_file(const char *name, const char *data)
{
	if (!data || !name || !valid_name(name))
		return FILE_FAILED;

	char path[PATH_SIZE];
	if (!form_path(path, tmp_dir, "", name, ""))
		return FILE_FAILED;

	fd_owner dir;
	if (int status = open_dir(tmp_dir, true, dir); status != FILE_WRITTEN)
		return status;

	fd_owner f(openat(dir.get(), name,
			  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
	if (!f)
		return errno == ELOOP || errno == ENXIO ? FILE_NOT_REGULAR : FILE_FAILED;
	struct stat st;
	if (fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode))
		return FILE_NOT_REGULAR;
	return write_all(f.get(), data, strlen(data)) ? FILE_WRITTEN : FILE_FAILED;
}

int trim_tmp_file(const char *name, size_t cap, size_t *dropped)
{
	*dropped = 0;
	char temp[PATH_SIZE + 8];
	if (!name || !valid_name(name) || !form_path(temp, "", ".", name, ".tmp"))
		return FILE_FAILED;
	fd_owner dir;
	if (int status = open_dir(tmp_dir, false, dir); status != FILE_WRITTEN)
		return status;

	fd_owner f(openat(dir.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
	if (!f)
		return errno == ELOOP || errno == ENXIO ? FILE_NOT_REGULAR : FILE_FAILED;
	struct stat st;
	if (fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode))
		return FILE_NOT_REGULAR;
	const size_t size = static_cast<size_t>(st.st_size);
	if (size <= cap)
		return FILE_WRITTEN;

	size_t keep = size / 2 < cap / 2 ? size / 2 : cap / 2;
	text_owner owned(static_cast<char *>(malloc(keep + 1)));
	char *kept = owned.get();
	if (!kept)
		return FILE_FAILED;
	size_t got = 0;
	while (got < keep) {
		ssize_t n = pread(f.get(), kept + got, keep - got, static_cast<off_t>(size - keep + got));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		got += static_cast<size_t>(n);
	}
	keep = got;
	size_t from = 0;
	if (const void *line_end = memchr(kept, '\n', keep))
		from = static_cast<size_t>(static_cast<const char *>(line_end) - kept) + 1;

	if (replace_in_dir(dir.get(), temp, name, kept + from, keep - from) != FILE_WRITTEN)
		return FILE_FAILED;
	*dropped = size - (keep - from);
	return FILE_WRITTEN;
}

void clean_cache_temp(const char *name)
{
	char temp[PATH_SIZE + 8];
	if (!name || !valid_name(name) || !form_path(temp, "", ".", name, ".tmp"))
		return;
	fd_owner dir;
	if (open_dir(cache_dir, false, dir) != FILE_WRITTEN)
		return;
	unlinkat(dir.get(), temp, 0);
}
