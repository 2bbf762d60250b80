// SPDX-License-Identifier: ISC
// Owners that cost nothing over the plain descriptor or pointer: they close
// or free what they hold when they go out of scope, unless it was released.
#pragma once

#include <stdlib.h>
#include <unistd.h>

// One file descriptor; -1 when empty.
class fd_owner {
public:
	fd_owner() = default;
	explicit fd_owner(int fd) : fd_(fd) {}
	fd_owner(const fd_owner &) = delete;
	fd_owner &operator=(const fd_owner &) = delete;
	~fd_owner() { reset(); }

	int get() const { return fd_; }
	explicit operator bool() const { return fd_ >= 0; }
	int release()
	{
		const int fd = fd_;
		fd_ = -1;
		return fd;
	}
	void reset(int fd = -1)
	{
		if (fd_ >= 0)
			close(fd_);
		fd_ = fd;
	}

private:
	int fd_ = -1;
};

// A heap text from malloc, calloc, realloc or strdup, freed with free().
class text_owner {
public:
	text_owner() = default;
	explicit text_owner(char *p) : p_(p) {}
	text_owner(const text_owner &) = delete;
	text_owner &operator=(const text_owner &) = delete;
	~text_owner() { free(p_); }

	char *get() const { return p_; }
	explicit operator bool() const { return p_ != nullptr; }
	char *release()
	{
		char *p = p_;
		p_ = nullptr;
		return p;
	}
	void reset(char *p = nullptr)
	{
		if (p != p_)
			free(p_);
		p_ = p;
	}

private:
	char *p_ = nullptr;
};
