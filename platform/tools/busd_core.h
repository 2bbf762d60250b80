// The development bus: clients, objects, lookups, call routing and events.
// No I/O here: bytes go in through bus::receive() and come out of each
// client's output queue, so the core can be driven from a test or a fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libubus.h>
}

// Build options of the router's library; not every installed header has them.
#ifndef UBUS_MAX_MSGLEN
#define UBUS_MAX_MSGLEN 1048576
#endif
#ifndef UBUS_UNIX_SOCKET
#define UBUS_UNIX_SOCKET "/var/run/ubus/ubus.sock"
#endif

namespace busd {

using bytes = std::vector<uint8_t>;

constexpr size_t HEADER_LEN = 8;
constexpr size_t MAX_QUEUED = UBUS_MAX_MSGLEN; // per client, further messages are dropped

struct msg_header {
	uint8_t version = 0;
	uint8_t type = 0;
	uint16_t seq = 0;
	uint32_t peer = 0;
};

// Splits a byte stream into messages. A message whose body length is below 4
// or whose padded body exceeds UBUS_MAX_MSGLEN makes the stream bad.
class reader {
public:
	enum result { NEED_MORE, MESSAGE, BAD };
	void feed(const uint8_t *data, size_t len);
	// On MESSAGE, body holds the outer blob (padded with zeros to 4 bytes).
	result next(msg_header &hdr, bytes &body);
	size_t buffered() const { return buf_.size() - off_; }

private:
	bytes buf_;
	size_t off_ = 0;
};

struct client {
	uint32_t id = 0;
	int fd = -1;
	reader in;
	std::deque<bytes> out;
	size_t out_off = 0;   // bytes of out.front() already written
	size_t out_bytes = 0; // total queued
	std::string user, group;
	bool dead = false;
	bool wants_write = false; // EPOLLOUT armed
};

struct object {
	uint32_t id = 0;
	uint32_t owner = 0;
	std::string path; // empty: path-less
	uint32_t type = 0;
};

struct object_type {
	bytes signature; // the SIGNATURE attribute as received
	int refs = 0;
};

struct event_reg {
	uint32_t object;
	std::string pattern;
};

bool event_matches(const std::string &pattern, const std::string &name);

class bus {
public:
	explicit bus(uint32_t seed = std::random_device{}());
	~bus();
	bus(const bus &) = delete;
	bus &operator=(const bus &) = delete;

	// New connection: assigns an id and queues the HELLO.
	client &add_client(int fd, std::string user = "root", std::string group = "root");
	void remove_client(uint32_t id);
	client *find_client(uint32_t id);

	// Bytes read from a client. False when the client sent a malformed or
	// oversized message and must be dropped.
	bool receive(uint32_t id, const uint8_t *data, size_t len);

	// Handles one message of client `id`.
	void handle(uint32_t id, const msg_header &hdr, bytes &body);

	std::map<uint32_t, client> clients;
	std::map<uint32_t, object> objects;
	std::map<std::string, uint32_t> paths;
	std::map<uint32_t, object_type> types;
	std::vector<event_reg> events;
	std::vector<uint32_t> dirty; // clients with new output

private:
	uint32_t new_id(int space);
	// version: what a passed-on message carried (echoes and forwarded replies keep it)
	void queue(client &c, uint8_t type, uint16_t seq, uint32_t peer, const uint8_t *body, size_t len,
		   uint8_t version = 0);
	void queue_buf(client &c, uint8_t type, uint16_t seq, uint32_t peer);
	void send_status(client &c, const msg_header &hdr, int status);
	void lookup(client &c, const msg_header &hdr, struct blob_attr **tb);
	void add_object(client &c, const msg_header &hdr, struct blob_attr **tb);
	void remove_object(client &c, const msg_header &hdr, struct blob_attr **tb);
	void invoke(client &c, const msg_header &hdr, struct blob_attr **tb);
	void reply(client &c, const msg_header &hdr, bytes &body, struct blob_attr **tb);
	int event_register(client &c, struct blob_attr *data);
	int event_send(client &c, struct blob_attr *data);
	void deliver_event(uint32_t sender, const std::string &name, const void *data, size_t len);
	void object_event(const char *name, const object &o);
	uint32_t drop_object(uint32_t id); // returns the freed type id or 0

	std::mt19937 rng_;
	uint16_t event_seq_ = 0;
	struct blob_buf buf_ = {};
	struct blob_buf ev_buf_ = {};
};

} // namespace busd
