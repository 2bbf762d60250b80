// SPDX-License-Identifier: ISC
#pragma once

#include <unistd.h>

// Closes a test's socket whatever way the test ends.
struct fd_guard {
	int fd;
	explicit fd_guard(int f) : fd(f) {}
	~fd_guard()
	{
		if (fd >= 0)
			close(fd);
	}
	fd_guard(const fd_guard &) = delete;
	fd_guard &operator=(const fd_guard &) = delete;
	operator int() const { return fd; }
};
