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

// A handle that a C function releases: a heap text with free, a FILE with
// fclose, a configuration handle with config_close, a bus context with
// ubus_free, the heap data of a blob_buf with blob_buf_free. One owner type
// for all of them, used at every exit.
template <typename T, auto Release>
class handle_owner {
public:
	handle_owner() = default;
	explicit handle_owner(T *p) : p_(p) {}
	handle_owner(const handle_owner &) = delete;
	handle_owner &operator=(const handle_owner &) = delete;
	~handle_owner() { reset(); }

	T *get() const { return p_; }
	T *operator->() const { return p_; }
	explicit operator bool() const { return p_ != nullptr; }
	T *release()
	{
		T *p = p_;
		p_ = nullptr;
		return p;
	}
	void reset(T *p = nullptr)
	{
		if (p_ && p != p_)
			Release(p_);
		p_ = p;
	}

private:
	T *p_ = nullptr;
};

// A heap text from malloc, calloc, realloc or strdup.
using text_owner = handle_owner<char, free>;
