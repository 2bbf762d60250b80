// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// How text goes out on this link: plain or framed, one TCP stream or UDP
// datagrams of bounded size.
struct wire_format {
	bool framed = false;
	bool udp = false;
	size_t udp_chunk = 1024;
};

// The writes that carry text: one write on TCP (several frames in it when
// the text exceeds a frame), one datagram per chunk on UDP.
std::vector<std::string> wire_writes(const wire_format &wire, std::string_view text,
				     uint8_t frame_type = 0xA0);

// Writes due some time after the previous step of the same answer.
struct out_step {
	int delay_ms = 0;
	std::vector<std::string> writes;
	bool close_after = false; // close the connection once these are out
};

// A misbehaviour armed for the next answer only.
struct armed_fault {
	enum kind_t { NONE, TRICKLE, SPLIT, HUGE, CLOSE_AFTER } kind = NONE;
	int pause_ms = 0;          // TRICKLE: interval; SPLIT: pause between parts
	long count = 0;            // TRICKLE: lines, 0 for no limit
	long offset = -1;          // SPLIT: cut point, -1 for the middle
	bool split_frames = false; // SPLIT: two whole frames instead of a cut frame
	size_t bytes = 0;          // HUGE: filler size; CLOSE_AFTER: bytes sent, 0 for half
};

const char *fault_name(armed_fault::kind_t kind);

// The state of the module's side of the link, applied to every answer that
// no one-shot fault shapes. Shares are percentages drawn per answer (per
// datagram for UDP loss) from the simulator's seeded generator.
struct link_conditions {
	int jitter_ms = 0;         // each answer's delay moves by up to this, either way
	int drop_pct = 0;          // UDP: datagrams lost; TCP: whole answers never sent
	int reorder_pct = 0;       // answers held back so that a later one overtakes them
	int reorder_hold_ms = 300; // how long a held answer waits
	int duplicate_pct = 0;     // answers sent twice
};

// A small deterministic generator, so that a seed replays a run.
class chance {
public:
	explicit chance(uint64_t seed = 1) : state_(seed ? seed : 1) {}
	uint64_t next();
	// True in `pct` cases of 100.
	bool hit(int pct);
	// Uniform in [-span, span].
	int spread(int span);

private:
	uint64_t state_;
};

// The steps that send an answer under a fault (TRICKLE is run by the caller,
// which owns the clock; here it yields nothing).
std::vector<out_step> shape_answer(const wire_format &wire, std::string_view text, const armed_fault &fault);

// Filler lines "+HUGE: <line number> ABC...\r\n" of exactly `bytes` bytes in
// all; they hold neither "OK" nor "ERROR" in any case.
std::string huge_text(size_t bytes);

// One trickle line; free of final results as well.
std::string trickle_line(long index);

// Writes of noise: frames of types the host does not know, a frame cut
// inside its header and an empty answer frame when framed; bytes outside
// ASCII when plain. Deterministic for a given seed, which it advances.
std::vector<std::string> garbage_writes(const wire_format &wire, unsigned count, uint32_t *seed);

} // namespace sim
