// SPDX-License-Identifier: ISC
// The development bus: clients, objects, lookups, call routing and events.
// No I/O here: bytes go in through bus::receive() and come out of each
// client's output queue, so the core can be driven from a test or a fuzzer.
// Plain structures on malloc and the platform's AVL trees, so that the daemon
// carries no C++ runtime (it is measured beside the router's bus).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

extern "C" {
#include <libubox/avl.h>
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

constexpr size_t HEADER_LEN = 8;
// Bytes waiting for one client beyond which further messages are dropped. An
// empty queue takes any message, so a reader gets everything the protocol allows.
constexpr size_t MAX_QUEUED = UBUS_MAX_MSGLEN;

// A growable array of plain values; allocation failure ends the program.
template <typename T>
struct vec {
	T *items = nullptr;
	size_t len = 0, cap = 0;

	vec() = default;
	vec(const vec &) = delete;
	vec &operator=(const vec &) = delete;
	~vec() { free(items); }
	void push(const T &v)
	{
		if (len == cap) {
			cap = cap ? cap * 2 : 8;
			items = static_cast<T *>(realloc(static_cast<void *>(items), cap * sizeof(T)));
			if (!items)
				abort();
		}
		items[len++] = v;
	}
	T &operator[](size_t i) { return items[i]; }
	T *begin() { return items; }
	T *end() { return items + len; }
	bool empty() const { return len == 0; }
	void clear() { len = 0; }
	void swap(vec &o)
	{
		T *i = items;
		size_t l = len, c = cap;
		items = o.items, len = o.len, cap = o.cap;
		o.items = i, o.len = l, o.cap = c;
	}
};

// Ids to records, open addressing with linear probing. Id 0 marks a free
// slot (the bus never hands it out). Cost per lookup does not depend on size.
struct id_map {
	struct slot {
		uint32_t key;
		void *value;
	};
	slot *slots = nullptr;
	size_t mask = 0; // slots - 1, a power of two minus one
	size_t count = 0;

	id_map() = default;
	id_map(const id_map &) = delete;
	id_map &operator=(const id_map &) = delete;
	~id_map() { free(slots); }
	void *get(uint32_t key) const;
	void put(uint32_t key, void *value); // key must not be present
	void erase(uint32_t key);
	// any one value, or null when empty
	void *any() const;
};

struct msg_header {
	uint8_t version = 0;
	uint8_t type = 0;
	uint16_t seq = 0;
	uint32_t peer = 0;
};

// One message on its way to a client: header and body as they go on the wire.
struct out_msg {
	out_msg *next;
	size_t len;
	uint8_t data[];
};

struct out_queue {
	out_msg *head = nullptr, *tail = nullptr;
	size_t count = 0;

	bool empty() const { return !head; }
	void push(out_msg *m);
	void pop(); // frees the head
	void clear();
};

struct client {
	uint32_t id = 0;
	int fd = -1;
	// the start of a message that has not fully arrived
	uint8_t *in = nullptr;
	size_t in_len = 0, in_cap = 0;
	out_queue out;
	size_t out_off = 0;   // bytes of out.head already written
	size_t out_bytes = 0; // total queued
	char *user = nullptr, *group = nullptr;
	bool dead = false;
	bool wants_write = false; // EPOLLOUT armed
};

struct object {
	struct avl_node path_node; // by path, when it has one
	uint32_t id = 0;
	uint32_t owner = 0;
	uint32_t type = 0;
	char *path = nullptr; // null: path-less
};

struct object_type {
	uint32_t id = 0;
	int refs = 0;
	uint8_t *signature = nullptr; // the SIGNATURE attribute as received, padded
	size_t signature_len = 0;
};

struct event_reg {
	uint32_t object;
	char *pattern;
};

bool event_matches(const char *pattern, const char *name);

class bus {
public:
	explicit bus(uint32_t seed = random_seed());
	~bus();
	bus(const bus &) = delete;
	bus &operator=(const bus &) = delete;

	static uint32_t random_seed();

	// New connection: assigns an id and queues the HELLO.
	client &add_client(int fd, const char *user = "root", const char *group = "root");
	void remove_client(uint32_t id);
	client *find_client(uint32_t id);
	object *find_object(uint32_t id);
	object *find_path(const char *path);

	// Bytes read from a client. False when the client sent a malformed or
	// oversized message and must be dropped.
	bool receive(uint32_t id, const uint8_t *data, size_t len);

	// Called when a message does not fit a client's queue, to write out what
	// the socket takes before the message is dropped. Unset in tests.
	void (*drain)(void *arg, client &c) = nullptr;
	void *drain_arg = nullptr;

	id_map clients, objects, types;
	struct avl_tree paths; // objects with a path, in order
	vec<event_reg> events;
	vec<uint32_t> dirty; // clients with new output

private:
	uint32_t new_id(const id_map &space);
	// body: the outer blob padded to 4 bytes with zeros
	void handle(client &c, const msg_header &hdr, const uint8_t *body, size_t len);
	void dispatch(uint32_t id, const uint8_t *msg);
	// version: what a passed-on message carried (echoes and forwarded replies keep it)
	void queue(client &c, uint8_t type, uint16_t seq, uint32_t peer, const void *body, size_t len,
		   uint8_t version = 0);
	void queue_buf(client &c, uint8_t type, uint16_t seq, uint32_t peer);
	void send_status(client &c, const msg_header &hdr, int status);
	void lookup(client &c, const msg_header &hdr, struct blob_attr **tb);
	void add_object(client &c, const msg_header &hdr, struct blob_attr **tb);
	void remove_object(client &c, const msg_header &hdr, struct blob_attr **tb);
	void invoke(client &c, const msg_header &hdr, struct blob_attr **tb);
	void reply(client &c, const msg_header &hdr, const uint8_t *body, struct blob_attr **tb);
	int event_register(client &c, struct blob_attr *data);
	int event_send(client &c, struct blob_attr *data);
	void deliver_event(uint32_t sender, const char *name, const void *data, size_t len);
	void object_event(const char *name, const object &o);
	uint32_t drop_object(uint32_t id); // returns the freed type id or 0

	uint64_t rng_;
	uint16_t event_seq_ = 0;
	struct blob_buf buf_ = {};
	struct blob_buf ev_buf_ = {};
	uint8_t *scratch_ = nullptr; // a received body copied to be aligned and padded
	size_t scratch_cap_ = 0;
};

} // namespace busd
