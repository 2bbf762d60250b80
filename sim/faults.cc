// SPDX-License-Identifier: ISC
#include "sim/faults.h"

#include "sim/frame.h"

#include <algorithm>
#include <cstdio>

namespace sim {

std::vector<std::string> wire_writes(const wire_format &wire, std::string_view text, uint8_t frame_type)
{
	if (text.empty())
		return {};
	if (!wire.udp)
		return {wire.framed ? encode_frames(frame_type, text) : std::string(text)};
	size_t chunk = wire.udp_chunk - (wire.framed ? FRAME_HEADER_LEN : 0);
	chunk = std::clamp<size_t>(chunk, 1, FRAME_MAX_PAYLOAD);
	std::vector<std::string> out;
	for (size_t at = 0; at < text.size(); at += chunk) {
		std::string_view piece = text.substr(at, chunk);
		out.push_back(wire.framed ? encode_frame(frame_type, piece) : std::string(piece));
	}
	return out;
}

const char *fault_name(armed_fault::kind_t kind)
{
	switch (kind) {
	case armed_fault::TRICKLE:
		return "trickle";
	case armed_fault::SPLIT:
		return "split";
	case armed_fault::HUGE:
		return "huge";
	case armed_fault::CLOSE_AFTER:
		return "close-after";
	case armed_fault::NONE:
		break;
	}
	return "none";
}

uint64_t chance::next()
{
	// xorshift64*
	state_ ^= state_ >> 12;
	state_ ^= state_ << 25;
	state_ ^= state_ >> 27;
	return state_ * 2685821657736338717ULL;
}

bool chance::hit(int pct)
{
	if (pct <= 0)
		return false;
	return pct >= 100 || static_cast<int>(next() % 100) < pct;
}

int chance::spread(int span)
{
	if (span <= 0)
		return 0;
	return static_cast<int>(next() % (2 * static_cast<uint64_t>(span) + 1)) - span;
}

namespace {

std::string joined(const std::vector<std::string> &writes)
{
	std::string all;
	for (const auto &w : writes)
		all += w;
	return all;
}

size_t cut_point(long offset, size_t size)
{
	if (size < 2)
		return size;
	size_t at = offset < 0 ? size / 2 : static_cast<size_t>(offset);
	return std::clamp<size_t>(at, 1, size - 1);
}

} // namespace

std::vector<out_step> shape_answer(const wire_format &wire, std::string_view text, const armed_fault &fault)
{
	switch (fault.kind) {
	case armed_fault::NONE:
		return {out_step{0, wire_writes(wire, text), false}};
	case armed_fault::TRICKLE:
		return {};
	case armed_fault::HUGE: {
		std::string big = huge_text(fault.bytes) + "\r\nOK\r\n";
		return {out_step{0, wire_writes(wire, big), false}};
	}
	case armed_fault::SPLIT: {
		if (fault.split_frames || wire.udp) {
			size_t at = cut_point(fault.offset, text.size());
			return {out_step{0, wire_writes(wire, text.substr(0, at)), false},
				out_step{fault.pause_ms, wire_writes(wire, text.substr(at)), false}};
		}
		std::string all = joined(wire_writes(wire, text));
		size_t at = cut_point(fault.offset, all.size());
		return {out_step{0, {all.substr(0, at)}, false},
			out_step{fault.pause_ms, {all.substr(at)}, false}};
	}
	case armed_fault::CLOSE_AFTER: {
		if (wire.udp) {
			// No connection to close: the datagrams are simply cut short.
			size_t at = fault.bytes ? std::min(fault.bytes, text.size()) : text.size() / 2;
			return {out_step{0, wire_writes(wire, text.substr(0, at)), false}};
		}
		std::string all = joined(wire_writes(wire, text));
		size_t at = fault.bytes ? std::min(fault.bytes, all.size()) : all.size() / 2;
		return {out_step{0, {all.substr(0, at)}, true}};
	}
	}
	return {};
}

std::string huge_text(size_t bytes)
{
	static constexpr std::string_view filler =
		"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmnopqrstuvwxyz";
	std::string out;
	out.reserve(bytes);
	for (unsigned line = 0; out.size() < bytes; line++) {
		char head[32];
		snprintf(head, sizeof head, "+HUGE: %06u ", line % 1000000);
		std::string row = head;
		row += filler;
		row += "\r\n";
		out += row;
	}
	out.resize(bytes);
	return out;
}

std::string trickle_line(long index)
{
	return "+TRICKLE: " + std::to_string(index) + "\r\n";
}

std::vector<std::string> garbage_writes(const wire_format &wire, unsigned count, uint32_t *seed)
{
	auto rnd = [seed]() {
		// xorshift32: reproducible noise, no global state
		uint32_t x = *seed ? *seed : 0x9e3779b9u;
		x ^= x << 13;
		x ^= x >> 17;
		x ^= x << 5;
		*seed = x;
		return x;
	};
	static constexpr uint8_t unknown_types[] = {0x00, 0x13, 0x5A, 0x7F, 0xB1, 0xFF};
	std::vector<std::string> out;
	for (unsigned i = 0; i < count; i++) {
		std::string noise;
		size_t n = 1 + rnd() % 32;
		for (size_t k = 0; k < n; k++)
			noise += static_cast<char>(0x80 | (rnd() & 0x7f));
		if (!wire.framed) {
			out.push_back(noise);
			continue;
		}
		switch (i % 3) {
		case 0:
			out.push_back(encode_frame(unknown_types[rnd() % sizeof unknown_types], noise));
			break;
		case 1:
			out.push_back(encode_frame(0xA0, noise).substr(0, 2));
			break;
		default:
			out.push_back(encode_frame(0xA0, ""));
			break;
		}
	}
	return out;
}

} // namespace sim
