// SPDX-License-Identifier: ISC
#pragma once

#include "sim/control_io.h"
#include "sim/faults.h"
#include "sim/fd.h"
#include "sim/frame.h"
#include "sim/modem.h"
#include "sim/options.h"
#include "sim/recv_log.h"

#include <map>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// The module on its port: accepts the host's connection (one at a time),
// turns what arrives into commands for the modem, and sends the answers,
// announcements and faults at their times. Single-threaded, driven by poll.
class simulator {
public:
	explicit simulator(sim_options opt);
	~simulator();
	simulator(const simulator &) = delete;
	simulator &operator=(const simulator &) = delete;

	bool start(std::string *error);
	int port() const { return port_; }
	// Runs until quit() or SIGINT/SIGTERM; returns the exit status.
	int run();
	void quit() { quit_ = true; }

	// Actions for the control channel. They return false with a reason when
	// they cannot act (for instance without a connection).
	bool connected() const;
	bool send_now(std::string_view text, std::string *why);  // answer text, framed if framed
	bool send_raw(std::string_view bytes, std::string *why); // exactly these bytes
	bool send_frame(uint8_t type, std::string_view payload, std::string *why);
	bool send_ready(std::string *why);
	bool send_garbage(unsigned count, std::string *why);
	bool drop(std::string *why);
	bool refuse(bool on, std::string *why);
	void arm(const armed_fault &fault) { fault_ = fault; }
	void disarm();
	void set_silence(bool on) { silence_ = on; }
	void set_echo_ahead(bool on) { echo_ahead_ = on; }
	void set_answer_delay(int ms) { answer_delay_ms_ = ms; }
	link_conditions &conditions() { return cond_; }
	modem &the_modem() { return modem_; }
	std::string status() const;

private:
	struct scheduled {
		std::vector<std::string> writes;
		bool close_after = false;
		bool readiness = false;
		bool lossy = false; // an answer under the link conditions' loss
	};
	using queue_key = std::pair<long long, unsigned long long>; // due (us), order

	bool open_listener(std::string *error);
	void accept_connection();
	void read_connection();
	void read_datagram();
	void on_bytes(std::string_view bytes);
	void on_frame(const frame &f);
	void run_modem();
	void answer(const modem_step &step);
	void new_session(const std::string &peer);
	void end_session(const char *why);
	// Items that keep order are never due before an earlier one.
	void schedule(long long due_us, scheduled item, bool keep_order = true);
	void send_writes(const std::vector<std::string> &writes);
	void flush();
	void run_due(long long now_us);
	int poll_timeout_ms(long long now_us) const;
	void note(const std::string &text) const;

	sim_options opt_;
	wire_format wire_;
	modem modem_;
	recv_log log_;
	control_io control_;
	unique_fd listener_; // TCP listener, or the UDP socket
	unique_fd conn_;     // TCP connection
	sockaddr_in peer_{}; // UDP: where answers go
	bool have_peer_ = false;
	std::string peer_text_;
	int port_ = 0;
	frame_reader frames_;
	std::string out_; // TCP bytes not yet written
	bool close_when_flushed_ = false;
	std::map<queue_key, scheduled> queue_;
	unsigned long long seq_ = 0;
	long long last_due_us_ = 0;
	armed_fault fault_;
	bool silence_ = false;
	bool echo_ahead_ = false;
	int answer_delay_ms_ = 0;
	link_conditions cond_;
	chance chance_;
	unsigned long dropped_ = 0; // answers or datagrams lost to the conditions
	// a running trickle
	bool trickling_ = false;
	long trickle_left_ = 0; // -1: no limit
	long trickle_index_ = 0;
	int trickle_ms_ = 0;
	long long trickle_due_us_ = 0;
	uint32_t garbage_seed_ = 0x2545F491u;
	unsigned long connections_ = 0;
	unsigned long commands_ = 0;
	unsigned long frames_in_ = 0;
	bool ready_sent_ = false;
	bool quit_ = false;
};

} // namespace sim
