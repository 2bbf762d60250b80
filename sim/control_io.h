// SPDX-License-Identifier: ISC
#pragma once

#include "sim/fd.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct pollfd;

namespace sim {

// The control channel's plumbing: a unix stream socket with any number of
// clients, and standard input. Each complete line goes to the handler, whose
// one-line reply goes back where the line came from.
class control_io {
public:
	using handler = std::function<std::string(std::string_view line)>;
	static constexpr size_t MAX_LINE = 65536;

	explicit control_io(handler h) : handler_(std::move(h)) {}
	~control_io();
	control_io(const control_io &) = delete;
	control_io &operator=(const control_io &) = delete;

	bool listen_unix(const std::string &path, std::string *error);
	void use_stdin() { stdin_open_ = true; }

	void add_pollfds(std::vector<pollfd> *fds) const;
	// Handles whatever the poll reported on the control descriptors.
	void handle(const std::vector<pollfd> &fds);

private:
	struct client {
		unique_fd fd;
		std::string buf;
	};
	bool read_lines(int fd, std::string *buf, bool is_stdin);

	handler handler_;
	unique_fd listener_;
	std::string path_;
	std::vector<client> clients_;
	bool stdin_open_ = false;
	std::string stdin_buf_;
};

} // namespace sim
