// SPDX-License-Identifier: ISC
#include "sim/simulator.h"

#include "sim/control.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace sim {

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig)
{
	stop_signal = sig;
}

std::string address_text(const sockaddr_in &a)
{
	char ip[INET_ADDRSTRLEN] = "?";
	inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
	return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

} // namespace

simulator::simulator(sim_options opt)
    : opt_(std::move(opt)),
      modem_(answer_table::with_defaults()),
      control_([this](std::string_view line) { return control_execute(*this, line); })
{
	wire_.framed = opt_.framed;
	wire_.udp = opt_.udp;
	wire_.udp_chunk = static_cast<size_t>(opt_.udp_chunk);
	modem_.set_echo(opt_.echo);
	if (opt_.default_answer)
		modem_.set_default_answer(*opt_.default_answer);
	answer_delay_ms_ = opt_.answer_delay_ms;
	cond_ = opt_.conditions;
	echo_ahead_ = opt_.echo_ahead;
	chance_ = chance(opt_.seed);
	modem_.set_echo_pad(opt_.echo_pad);
	if (opt_.ready_lower)
		for (auto &c : opt_.ready_token)
			c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
}

simulator::~simulator() = default;

void simulator::note(const std::string &text) const
{
	if (!opt_.quiet)
		fprintf(stderr, "ravel_modem_sim: %s\n", text.c_str());
}

bool simulator::open_listener(std::string *error)
{
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(static_cast<uint16_t>(port_));
	if (inet_pton(AF_INET, opt_.bind_address.c_str(), &addr.sin_addr) != 1) {
		*error = "not an IPv4 address: " + opt_.bind_address;
		return false;
	}
	int type = opt_.udp ? SOCK_DGRAM : SOCK_STREAM;
	unique_fd fd(socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
	if (!fd) {
		*error = std::string("socket: ") + strerror(errno);
		return false;
	}
	int one = 1;
	setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
	if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
		*error = "bind " + opt_.bind_address + ":" + std::to_string(port_) + ": " + strerror(errno);
		return false;
	}
	if (!opt_.udp && listen(fd.get(), 4) < 0) {
		*error = std::string("listen: ") + strerror(errno);
		return false;
	}
	socklen_t len = sizeof addr;
	getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &len);
	port_ = ntohs(addr.sin_port);
	listener_ = std::move(fd);
	return true;
}

bool simulator::start(std::string *error)
{
	if (!opt_.answers_file.empty() && !modem_.table().load_file(opt_.answers_file, error))
		return false;
	if (!log_.open(opt_.log_path)) {
		*error = "cannot open log " + opt_.log_path + ": " + strerror(errno);
		return false;
	}
	port_ = opt_.port;
	if (!open_listener(error))
		return false;
	if (!opt_.control_path.empty() && !control_.listen_unix(opt_.control_path, error))
		return false;
	if (opt_.control_stdin)
		control_.use_stdin();
	if (!opt_.port_file.empty()) {
		// Written aside and renamed, so a reader never sees half a number.
		std::string tmp = opt_.port_file + ".tmp";
		FILE *f = fopen(tmp.c_str(), "we");
		if (!f || fprintf(f, "%d\n", port_) < 0 || fclose(f) != 0 ||
		    rename(tmp.c_str(), opt_.port_file.c_str()) != 0) {
			*error = "cannot write port file " + opt_.port_file;
			return false;
		}
	}
	printf("listening %s %s:%d %s\n", opt_.udp ? "udp" : "tcp", opt_.bind_address.c_str(), port_,
	       opt_.framed ? "framed" : "plain");
	fflush(stdout);
	log_.event("listening " + std::to_string(port_));
	return true;
}

bool simulator::connected() const
{
	return opt_.udp ? have_peer_ && listener_ : static_cast<bool>(conn_);
}

void simulator::new_session(const std::string &peer)
{
	connections_++;
	peer_text_ = peer;
	modem_.reset();
	frames_.clear();
	ready_sent_ = false;
	note("connection from " + peer);
	log_.event("connect " + peer);
	if (opt_.framed && !opt_.ready_never) {
		std::string token = opt_.ready_token;
		schedule(monotonic_us() + opt_.ready_delay_ms * 1000LL,
			 scheduled{wire_writes(wire_, token, FRAME_STATUS), false, true});
		// The readiness frame is not an answer: later answers need not wait for it.
		last_due_us_ = 0;
	}
}

void simulator::end_session(const char *why)
{
	if (connected()) {
		note(std::string("connection closed: ") + why);
		log_.event(std::string("disconnect ") + why);
	}
	conn_.reset();
	have_peer_ = false;
	out_.clear();
	close_when_flushed_ = false;
	queue_.clear();
	last_due_us_ = 0;
	trickling_ = false;
	modem_.reset();
	frames_.clear();
}

void simulator::accept_connection()
{
	sockaddr_in from{};
	socklen_t len = sizeof from;
	int fd = accept4(listener_.get(), reinterpret_cast<sockaddr *>(&from), &len,
			 SOCK_CLOEXEC | SOCK_NONBLOCK);
	if (fd < 0)
		return;
	if (conn_)
		end_session("replaced by a new connection");
	int one = 1;
	setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
	conn_.reset(fd);
	new_session(address_text(from));
}

void simulator::read_connection()
{
	char buf[65536];
	ssize_t n = read(conn_.get(), buf, sizeof buf);
	if (n < 0) {
		if (errno == EINTR || errno == EAGAIN)
			return;
		end_session(strerror(errno));
		return;
	}
	if (n == 0) {
		end_session("by peer");
		return;
	}
	on_bytes(std::string_view(buf, static_cast<size_t>(n)));
}

void simulator::read_datagram()
{
	char buf[65536];
	sockaddr_in from{};
	socklen_t len = sizeof from;
	ssize_t n = recvfrom(listener_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
	if (n < 0)
		return;
	if (!have_peer_ || from.sin_port != peer_.sin_port || from.sin_addr.s_addr != peer_.sin_addr.s_addr) {
		if (have_peer_)
			end_session("new peer");
		peer_ = from;
		have_peer_ = true;
		new_session(address_text(from));
	}
	// A datagram is a whole frame: never carry a broken one into the next.
	frames_.clear();
	on_bytes(std::string_view(buf, static_cast<size_t>(n)));
}

void simulator::on_bytes(std::string_view bytes)
{
	if (!opt_.framed) {
		modem_.feed(bytes);
		run_modem();
		return;
	}
	frames_.feed(bytes);
	while (auto f = frames_.next())
		on_frame(*f);
}

void simulator::on_frame(const frame &f)
{
	frames_in_++;
	log_.frame(f.type, f.payload);
	if (f.type == FRAME_AT) {
		modem_.feed(f.payload);
		run_modem();
	} else if (f.type == FRAME_HEARTBEAT) {
		if (opt_.heartbeat_reply && !silence_)
			schedule(monotonic_us(),
				 scheduled{wire_writes(wire_, "HEARBEAT_RSP", FRAME_HEARTBEAT), false});
	} else {
		note("ignored frame of type " + std::to_string(f.type));
	}
}

void simulator::run_modem()
{
	while (auto step = modem_.next()) {
		if (!opt_.framed) {
			if (step->input.kind == host_input::LINE)
				log_.command(step->input.raw);
			else if (step->input.kind != host_input::OVERLONG)
				log_.text(step->input.raw);
		}
		if (step->input.kind == host_input::OVERLONG)
			log_.event("overlong input dropped");
		answer(*step);
		if (!connected())
			return;
	}
}

void simulator::answer(const modem_step &step)
{
	commands_++;
	trickling_ = false; // a new command ends a trickle
	if (silence_)
		return;
	long long delay_us = (answer_delay_ms_ + chance_.spread(cond_.jitter_ms)) * 1000LL;
	long long base = std::max(monotonic_us() + std::max(delay_us, 0LL), last_due_us_);
	armed_fault fault;
	// A prompt is not the answer a fault is aimed at; the answer after the text is.
	if (step.final && !step.answer.empty()) {
		fault = fault_;
		fault_ = armed_fault{};
	}
	if (fault.kind == armed_fault::NONE) {
		// Echo and answer leave together, as a module's usually do, unless
		// the echo is to go ahead of the delay.
		bool ahead = echo_ahead_ && !step.echo.empty();
		if (ahead)
			schedule(std::max(monotonic_us(), last_due_us_),
				 scheduled{wire_writes(wire_, step.echo), false});
		scheduled item{wire_writes(wire_, ahead ? step.answer : step.echo + step.answer), false};
		item.lossy = true;
		if (chance_.hit(cond_.duplicate_pct)) {
			auto again = item.writes;
			item.writes.insert(item.writes.end(), again.begin(), again.end());
		}
		// A held answer does not hold back the ones after it.
		if (!item.writes.empty() && chance_.hit(cond_.reorder_pct))
			schedule(base + cond_.reorder_hold_ms * 1000LL, std::move(item), false);
		else
			schedule(base, std::move(item));
		return;
	}
	if (!step.echo.empty())
		schedule(base, scheduled{wire_writes(wire_, step.echo), false});
	if (fault.kind == armed_fault::TRICKLE) {
		trickling_ = true;
		trickle_ms_ = fault.pause_ms;
		trickle_left_ = fault.count > 0 ? fault.count : -1;
		trickle_index_ = 0;
		trickle_due_us_ = base;
		return;
	}
	long long due = base;
	for (auto &s : shape_answer(wire_, step.answer, fault)) {
		due += s.delay_ms * 1000LL;
		schedule(due, scheduled{std::move(s.writes), s.close_after});
	}
}

void simulator::schedule(long long due_us, scheduled item, bool keep_order)
{
	if (keep_order)
		last_due_us_ = std::max(last_due_us_, due_us);
	queue_.emplace(queue_key{due_us, seq_++}, std::move(item));
}

void simulator::send_writes(const std::vector<std::string> &writes)
{
	if (opt_.udp) {
		if (!have_peer_ || !listener_)
			return;
		for (const auto &w : writes)
			sendto(listener_.get(), w.data(), w.size(), 0,
			       reinterpret_cast<const sockaddr *>(&peer_), sizeof peer_);
		return;
	}
	if (!conn_)
		return;
	for (const auto &w : writes) {
		// Each write goes out on its own if the socket takes it; what it
		// does not take waits for POLLOUT.
		out_ += w;
		flush();
		if (!conn_)
			return;
	}
}

void simulator::flush()
{
	while (conn_ && !out_.empty()) {
		ssize_t n = send(conn_.get(), out_.data(), out_.size(), MSG_NOSIGNAL);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN || errno == EWOULDBLOCK)
				return;
			end_session(strerror(errno));
			return;
		}
		out_.erase(0, static_cast<size_t>(n));
	}
	if (conn_ && out_.empty() && close_when_flushed_)
		end_session("closed mid-answer");
}

void simulator::run_due(long long now_us)
{
	while (!queue_.empty() && queue_.begin()->first.first <= now_us) {
		scheduled item = std::move(queue_.begin()->second);
		queue_.erase(queue_.begin());
		if (item.lossy && cond_.drop_pct > 0) {
			// UDP loses datagrams; a stream loses the whole answer or nothing.
			size_t before = item.writes.size();
			if (opt_.udp)
				std::erase_if(item.writes, [this](const std::string &) {
					return chance_.hit(cond_.drop_pct);
				});
			else if (chance_.hit(cond_.drop_pct))
				item.writes.clear();
			dropped_ += before - item.writes.size();
		}
		send_writes(item.writes);
		if (item.readiness)
			ready_sent_ = true;
		if (item.close_after) {
			if (opt_.udp) {
				end_session("closed mid-answer");
			} else if (conn_) {
				close_when_flushed_ = true;
				flush();
			}
		}
		if (!connected())
			return;
	}
	if (trickling_ && trickle_due_us_ <= now_us) {
		send_writes(wire_writes(wire_, trickle_line(trickle_index_++)));
		if (trickle_left_ > 0 && --trickle_left_ == 0)
			trickling_ = false;
		trickle_due_us_ = now_us + trickle_ms_ * 1000LL;
	}
}

int simulator::poll_timeout_ms(long long now_us) const
{
	long long next = -1;
	if (!queue_.empty())
		next = queue_.begin()->first.first;
	if (trickling_ && (next < 0 || trickle_due_us_ < next))
		next = trickle_due_us_;
	if (next < 0)
		return -1;
	long long ms = (next - now_us + 999) / 1000;
	return static_cast<int>(std::clamp(ms, 0LL, 60000LL));
}

int simulator::run()
{
	struct sigaction sa {};
	sa.sa_handler = on_stop_signal;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	// Stop signals are only taken inside ppoll, so none is lost between checks.
	sigset_t block, wait_mask;
	sigemptyset(&block);
	sigaddset(&block, SIGINT);
	sigaddset(&block, SIGTERM);
	sigprocmask(SIG_BLOCK, &block, &wait_mask);
	sigdelset(&wait_mask, SIGINT);
	sigdelset(&wait_mask, SIGTERM);

	std::vector<pollfd> fds;
	while (!quit_ && !stop_signal) {
		long long now = monotonic_us();
		run_due(now);
		fds.clear();
		if (listener_)
			fds.push_back({listener_.get(), POLLIN, 0});
		if (conn_)
			fds.push_back(
				{conn_.get(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0});
		control_.add_pollfds(&fds);
		int timeout = poll_timeout_ms(monotonic_us());
		timespec ts{timeout / 1000, (timeout % 1000) * 1000000L};
		int n = ppoll(fds.data(), fds.size(), timeout < 0 ? nullptr : &ts, &wait_mask);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			note(std::string("poll: ") + strerror(errno));
			return 1;
		}
		if (n == 0)
			continue;
		int listen_fd = listener_.get();
		int conn_fd = conn_.get();
		for (const auto &p : fds) {
			if (!p.revents)
				continue;
			if (p.fd == listen_fd && listener_.get() == listen_fd) {
				if (opt_.udp)
					read_datagram();
				else
					accept_connection();
			} else if (p.fd == conn_fd && conn_.get() == conn_fd) {
				if (p.revents & POLLOUT)
					flush();
				if (conn_ && (p.revents & (POLLIN | POLLHUP | POLLERR)))
					read_connection();
			}
		}
		control_.handle(fds);
	}
	sigprocmask(SIG_SETMASK, &wait_mask, nullptr);
	end_session("simulator ends");
	return 0;
}

} // namespace sim
