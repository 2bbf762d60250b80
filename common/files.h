// Uptime clocks and the shared files under /tmp that other programs read.
#pragma once

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

// Replaces cache_dir + name with data (without its zero byte). The new content
// is written to a temporary file in the same directory and renamed over the
// old one, so readers see either the old or the new file, never a partial one.
// Null arguments, an empty name, a name holding '/' or a path of 256 bytes or
// more do nothing. The directory (and its parents) is made when missing.
// Nothing is reported.
void write_cache_file(const char *data, const char *name);

// Appends data to tmp_dir + name (created when missing), with the same
// argument checks and directory creation as write_cache_file.
void append_tmp_file(const char *name, const char *data);
