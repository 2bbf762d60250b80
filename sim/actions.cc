// SPDX-License-Identifier: ISC
// What the control channel can make the module do on the spot.
#include "sim/simulator.h"

namespace sim {

bool simulator::send_now(std::string_view text, std::string *why)
{
	if (!connected()) {
		*why = "no connection";
		return false;
	}
	schedule(monotonic_us(), scheduled{wire_writes(wire_, text), false});
	run_due(monotonic_us());
	return true;
}

bool simulator::send_raw(std::string_view bytes, std::string *why)
{
	if (!connected()) {
		*why = "no connection";
		return false;
	}
	schedule(monotonic_us(), scheduled{{std::string(bytes)}, false});
	run_due(monotonic_us());
	return true;
}

bool simulator::send_frame(uint8_t type, std::string_view payload, std::string *why)
{
	if (payload.size() > FRAME_MAX_PAYLOAD) {
		*why = "payload too long for one frame";
		return false;
	}
	return send_raw(encode_frame(type, payload), why);
}

bool simulator::send_ready(std::string *why)
{
	if (!opt_.framed) {
		*why = "not a framed link";
		return false;
	}
	if (!send_frame(FRAME_STATUS, opt_.ready_token, why))
		return false;
	ready_sent_ = true;
	return true;
}

bool simulator::send_garbage(unsigned count, std::string *why)
{
	if (!connected()) {
		*why = "no connection";
		return false;
	}
	// One write each, a little apart, so that the host reads them one by one.
	long long due = monotonic_us();
	for (auto &w : garbage_writes(wire_, count, &garbage_seed_)) {
		schedule(due, scheduled{{std::move(w)}, false});
		due += 20000;
	}
	run_due(monotonic_us());
	return true;
}

bool simulator::drop(std::string *why)
{
	if (!connected()) {
		*why = "no connection";
		return false;
	}
	end_session("dropped");
	return true;
}

bool simulator::refuse(bool on, std::string *why)
{
	if (on) {
		if (!listener_)
			return true;
		listener_.reset();
		if (opt_.udp)
			end_session("refusing");
		log_.event("refusing");
		return true;
	}
	if (listener_)
		return true;
	if (!open_listener(why))
		return false;
	log_.event("listening " + std::to_string(port_));
	return true;
}

void simulator::disarm()
{
	fault_ = armed_fault{};
	trickling_ = false;
}

std::string simulator::status() const
{
	std::string s;
	s += "connected=" + std::to_string(connected() ? 1 : 0);
	if (connected())
		s += " peer=" + peer_text_;
	s += " port=" + std::to_string(port_);
	s += std::string(" link=") + (opt_.udp ? "udp" : "tcp") + (opt_.framed ? "/framed" : "/plain");
	s += " listening=" + std::to_string(listener_ ? 1 : 0);
	s += " connections=" + std::to_string(connections_);
	s += " commands=" + std::to_string(commands_);
	s += " frames=" + std::to_string(frames_in_);
	s += " ready_sent=" + std::to_string(ready_sent_ ? 1 : 0);
	s += " echo=" + std::to_string(modem_.echo() ? 1 : 0);
	s += " silence=" + std::to_string(silence_ ? 1 : 0);
	s += " delay=" + std::to_string(answer_delay_ms_);
	s += " jitter=" + std::to_string(cond_.jitter_ms);
	s += " loss=" + std::to_string(cond_.drop_pct);
	s += " reorder=" + std::to_string(cond_.reorder_pct);
	s += " duplicate=" + std::to_string(cond_.duplicate_pct);
	s += " pad=" + std::to_string(modem_.echo_pad());
	s += " dropped=" + std::to_string(dropped_);
	s += std::string(" fault=") + fault_name(fault_.kind);
	s += " trickling=" + std::to_string(trickling_ ? 1 : 0);
	return s;
}

} // namespace sim
