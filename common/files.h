// SPDX-License-Identifier: ISC
// Uptime clocks and the shared files under /tmp that other programs read.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Link-state files, replaced whole on each write.
inline constexpr char cache_dir[] = "/tmp/oriel/cache/";
// Files appended to (the scan cache).
inline constexpr char tmp_dir[] = "/tmp/oriel/tmp/";

// Whole seconds since system start from /proc/uptime; 0 when it cannot be read.
uint32_t uptime_seconds();
// Milliseconds since system start (hundredths resolution); 0 when it cannot be read.
uint64_t uptime_ms();

// The whole file plus a terminating zero as a new heap text (caller frees),
// or null when it cannot be opened, examined or allocated. Files whose size
// reads as 0 (empty files, /proc files) give an empty text.
char *read_whole_file(const char *path);

// What became of a write. The library never logs: callers decide what to
// say, and only the refusals below are worth a line.
enum file_status : int {
	FILE_WRITTEN = 0,
	FILE_DIR_SYMLINK = 1, // a directory on the way is a symbolic link
	FILE_DIR_NOT_DIR = 2, // a directory on the way is not a directory
	FILE_NOT_REGULAR = 3, // the file to append to is a symbolic link or not a regular file
	FILE_FAILED = 4,      // anything else (bad arguments, no room, I/O): nothing written
};

// Up to `limit` bytes of a regular file plus a terminating zero as a new heap
// text (caller frees), the bytes read in *len when len is not null. The open
// neither blocks (a FIFO) nor follows a symbolic link at the last component;
// anything but a regular file gives null, as a missing one does.
char *read_regular_file(const char *path, size_t limit, size_t *len);

// The shared directories are walked from "/" component by component. Below
// the first component (/tmp, the system's own), a component that is a
// symbolic link or not a directory is refused, never followed; a missing one
// is made (mode 0777 less the umask), so a removed directory comes back on the
// next write.

// Replaces cache_dir + name with data (without its zero byte). The new content
// is written to the temporary ".<name>.tmp" in the same directory (made
// afresh, never an existing file or link) and renamed over the old one, so
// readers see either the old or the new file, never a partial one, and a
// link planted under the name is replaced, not followed. A failed write
// leaves no temporary behind. Null arguments, an empty name, a name holding
// '/' or a path of 256 bytes or more give FILE_FAILED.
int write_cache_file(const char *data, const char *name);

// Appends data to tmp_dir + name (created when missing) in one write, with the
// same argument checks and directory walk as write_cache_file. A name that is
// a symbolic link or not a regular file is refused.
int append_tmp_file(const char *name, const char *data);

// Keeps tmp_dir + name within `cap` bytes: once it is larger, its oldest part
// is dropped so that at most the newest half of it, and at most cap / 2
// bytes, remain, starting after a line break when the kept part holds one.
// The file is replaced through the temporary ".<name>.tmp" as write_cache_file
// does, so neither it nor the temporary is followed if it is a link. The
// bytes dropped go to *dropped (0 when the file was within the cap).
int trim_tmp_file(const char *name, size_t cap, size_t *dropped);

// Removes the temporary of cache_dir + name that a writer killed mid-write
// left behind. Makes no directory.
void clean_cache_temp(const char *name);
