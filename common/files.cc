#include "common/files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char UPTIME_PATH[] = "/proc/uptime";
constexpr size_t PATH_SIZE = 256;

struct file_closer {
	FILE *f;
	~file_closer() { if (f) fclose(f); }
};

// Reads the first line of the uptime file; false when it cannot be opened or read.
bool read_uptime_line(char (&line)[256])
{
	file_closer f{fopen(UPTIME_PATH, "re")};
	if (!f.f)
		return false;
	return fgets(line, sizeof(line), f.f) != nullptr;
}

// Makes dir and its missing parents, as "mkdir -p" would, without a shell.
void make_dir_path(const char *dir)
{
	char path[PATH_SIZE];
	size_t len = strlen(dir);
	if (len >= sizeof(path))
		return;
	memcpy(path, dir, len + 1);
	for (size_t i = 1; i <= len; i++) {
		if (path[i] != '/' && path[i] != '\0')
			continue;
		char saved = path[i];
		path[i] = '\0';
		if (mkdir(path, 0777) != 0 && errno != EEXIST)
			return;
		path[i] = saved;
		if (saved == '\0')
			break;
	}
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
	file_closer f{fopen(path, "re")};
	if (!f.f)
		return nullptr;

	struct stat st;
	if (fstat(fileno(f.f), &st) != 0 || st.st_size < 0)
		return nullptr;
	size_t size = static_cast<size_t>(st.st_size);
	if (size == SIZE_MAX)
		return nullptr;

	char *text = static_cast<char *>(calloc(size + 1, 1));
	if (!text)
		return nullptr;
	if (size > 0)
		(void)!fread(text, 1, size, f.f);
	return text;
}

void write_cache_file(const char *data, const char *name)
{
	if (!data || !name || !valid_name(name))
		return;

	char path[PATH_SIZE];
	// Room for the temporary name of every name whose path fits.
	char temp[PATH_SIZE + 8];
	if (!form_path(path, cache_dir, "", name, "") || !form_path(temp, cache_dir, ".", name, ".tmp"))
		return;

	if (access(cache_dir, F_OK) != 0)
		make_dir_path(cache_dir);

	int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
	if (fd < 0)
		return;
	bool written = write_all(fd, data, strlen(data));
	if (close(fd) != 0)
		written = false;
	if (!written || rename(temp, path) != 0)
		unlink(temp);
}

void append_tmp_file(const char *name, const char *data)
{
	if (!data || !name || !valid_name(name))
		return;

	char path[PATH_SIZE];
	if (!form_path(path, tmp_dir, "", name, ""))
		return;

	if (access(tmp_dir, F_OK) != 0)
		make_dir_path(tmp_dir);

	file_closer f{fopen(path, "a+e")};
	if (!f.f)
		return;
	size_t len = strlen(data);
	if (len > 0)
		(void)!fwrite(data, len, 1, f.f);
}
