// SPDX-License-Identifier: ISC
#pragma once

#include <unistd.h>

namespace sim {

// Sole owner of a descriptor.
class unique_fd {
public:
	unique_fd() = default;
	explicit unique_fd(int fd) : fd_(fd) {}
	~unique_fd() { reset(); }
	unique_fd(unique_fd &&o) noexcept : fd_(o.release()) {}
	unique_fd &operator=(unique_fd &&o) noexcept
	{
		if (this != &o)
			reset(o.release());
		return *this;
	}
	unique_fd(const unique_fd &) = delete;
	unique_fd &operator=(const unique_fd &) = delete;

	int get() const { return fd_; }
	explicit operator bool() const { return fd_ >= 0; }
	int release()
	{
		int fd = fd_;
		fd_ = -1;
		return fd;
	}
	void reset(int fd = -1)
	{
		if (fd_ >= 0)
			::close(fd_);
		fd_ = fd;
	}

private:
	int fd_ = -1;
};

} // namespace sim
