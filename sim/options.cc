// SPDX-License-Identifier: ISC
#include "sim/options.h"

#include "sim/escape.h"

#include <cerrno>
#include <cstdlib>
#include <getopt.h>

namespace sim {

namespace {

enum long_only {
	OPT_READY_DELAY = 256,
	OPT_NO_READY,
	OPT_READY_TOKEN,
	OPT_READY_LOWER,
	OPT_HEARTBEAT_REPLY,
	OPT_DEFAULT_ANSWER,
	OPT_ANSWER_DELAY,
	OPT_UDP_CHUNK,
	OPT_NO_STDIN,
	OPT_PORT_FILE,
	OPT_JITTER,
	OPT_LOSS,
	OPT_REORDER,
	OPT_REORDER_HOLD,
	OPT_DUPLICATE,
	OPT_SEED,
	OPT_ECHO_PAD,
	OPT_ECHO_AHEAD,
};

const option long_options[] = {
	{"port", required_argument, nullptr, 'p'},
	{"bind", required_argument, nullptr, 'b'},
	{"udp", no_argument, nullptr, 'u'},
	{"framed", no_argument, nullptr, 'f'},
	{"ready-delay", required_argument, nullptr, OPT_READY_DELAY},
	{"no-ready", no_argument, nullptr, OPT_NO_READY},
	{"ready-token", required_argument, nullptr, OPT_READY_TOKEN},
	{"ready-lower", no_argument, nullptr, OPT_READY_LOWER},
	{"heartbeat-reply", no_argument, nullptr, OPT_HEARTBEAT_REPLY},
	{"echo", no_argument, nullptr, 'e'},
	{"answers", required_argument, nullptr, 'a'},
	{"default-answer", required_argument, nullptr, OPT_DEFAULT_ANSWER},
	{"answer-delay", required_argument, nullptr, OPT_ANSWER_DELAY},
	{"udp-chunk", required_argument, nullptr, OPT_UDP_CHUNK},
	{"jitter", required_argument, nullptr, OPT_JITTER},
	{"loss", required_argument, nullptr, OPT_LOSS},
	{"reorder", required_argument, nullptr, OPT_REORDER},
	{"reorder-hold", required_argument, nullptr, OPT_REORDER_HOLD},
	{"duplicate", required_argument, nullptr, OPT_DUPLICATE},
	{"seed", required_argument, nullptr, OPT_SEED},
	{"echo-pad", required_argument, nullptr, OPT_ECHO_PAD},
	{"echo-ahead", no_argument, nullptr, OPT_ECHO_AHEAD},
	{"control", required_argument, nullptr, 'c'},
	{"no-stdin", no_argument, nullptr, OPT_NO_STDIN},
	{"log", required_argument, nullptr, 'l'},
	{"port-file", required_argument, nullptr, OPT_PORT_FILE},
	{"quiet", no_argument, nullptr, 'q'},
	{"help", no_argument, nullptr, 'h'},
	{nullptr, 0, nullptr, 0},
};

bool parse_int(const char *text, long lo, long hi, int *out)
{
	errno = 0;
	char *end = nullptr;
	long v = strtol(text, &end, 10);
	if (errno || end == text || *end || v < lo || v > hi)
		return false;
	*out = static_cast<int>(v);
	return true;
}

} // namespace

const char *usage_text()
{
	return R"(Usage: ravel_modem_sim [options]

Plays a cellular modem module on a TCP or UDP port so that the daemon can be
run and tested without hardware. It answers AT commands from a table, can send
unsolicited text and misbehave on demand, and records what it received.

Link:
  -p, --port N            port to listen on; 0 (the default) picks a free one
  -b, --bind ADDR         IPv4 address to listen on (default 127.0.0.1)
  -u, --udp               UDP instead of TCP; answers go to the sender of the
                          latest datagram
      --udp-chunk N       largest UDP datagram payload (default 1024); longer
                          answers go out as several datagrams (frames)
      --port-file FILE    write the port number (and a newline) to FILE once
                          listening; the port is also printed on standard output
Framing:
  -f, --framed            framed link: commands arrive in 0xA4 frames (the
                          line with its CR or Ctrl-Z), heartbeats in 0xE4
                          frames; answers leave in 0xA0 frames, readiness in a
                          0xE0 frame
      --ready-delay MS    send the readiness frame MS after a connection is
                          accepted (UDP: after the first datagram); default 0
      --no-ready          never send the readiness frame by itself
      --ready-token TEXT  readiness payload (default RGMII_ATC_READY)
      --ready-lower       send the readiness payload in lower case
      --heartbeat-reply   answer each heartbeat frame with a 0xE4 frame
                          "HEARBEAT_RSP" (by default heartbeats get no answer)
Answers:
  -e, --echo              echo every command line before its answer, as a
                          module does after ATE1 (ATE0/ATE1 switch it too)
  -a, --answers FILE      load answer entries, one per line (see below)
      --default-answer T  answer to unknown commands (default "\r\nERROR\r\n")
      --answer-delay MS   wait MS before every answer
      --echo-ahead        the echo leaves at once and only the answer waits
                          for the delay (by default they leave together)
      --echo-pad BYTES    AT+ECHO answers carry BYTES of "+HUGE:" lines before
                          their "+ECHO:" line (default 0)
Link conditions (every answer no one-shot fault shapes; shares in percent,
drawn from a generator seeded by --seed, default 1):
      --jitter MS         each answer's delay moves by up to MS either way
                          (--answer-delay 500 --jitter 250: 250 to 750 ms)
      --loss PCT          UDP: each answer datagram is lost with this chance;
                          TCP: a whole answer (with its echo) is never sent
      --reorder PCT       an answer is held back --reorder-hold MS (default
                          300) so that the next one may overtake it
      --duplicate PCT     an answer is sent twice
      --seed N            seed of the link conditions
Control and records:
  -c, --control PATH      listen for control commands on a unix socket
      --no-stdin          do not read control commands from standard input
  -l, --log FILE          append one line per received command or frame:
                          "<monotonic s>.<us> cmd|text|frame <type>|event ..."
                          with the bytes escaped (\r \n \t \\ \xHH); the clock
                          is CLOCK_MONOTONIC
  -q, --quiet             no notes on standard error
  -h, --help              this text

Plain commands end with CR (LF and CRLF are taken too). Built-in answers:
AT, ATI, AT+CGMI, AT+CGMM, AT+CGMR, AT+CGSN, AT+CSQ ("+CSQ: 23,99"), AT+CPIN?,
AT+CREG?, AT+CEREG?, AT+COPS?, AT+CFUN?, AT+CMGF=..., and the two-step
AT+CMGS=... / AT+CMGW=...: a "> " prompt, then the text up to Ctrl-Z (ESC
cancels), then "+CMGS: <n>" and OK. AT+ECHO<tag> answers "+ECHO: <tag>" and
OK, so that every answer can be matched with its command (AT+ECHOxyzN17 with
echo on: "AT+ECHOxyzN17\r\r\n+ECHO: xyzN17\r\nOK\r\n"). Unknown commands
get the default answer. Empty lines get no answer.

Answer entries (file lines and the "answer" control command):
  COMMAND => ANSWER       one-step answer, sent as written
  COMMAND =>> ANSWER      two-step: prompt first, ANSWER after the text;
                          "%n" in it is a running reference number
  COMMAND is compared ignoring case; a trailing '*' matches any command that
  starts with the rest. ANSWER takes the escapes \r \n \t \\ \e \z \0 \xHH and
  may be empty (no answer). Later entries replace earlier ones. Lines starting
  with '#' are comments. Example:  AT+XTEMP => \r\n+XTEMP: 41\r\n\r\nOK\r\n

Control commands (one per line; each gets one reply line, "ok ..." or
"error ..."; TEXT takes the escapes above):
  status                  connection, counters and armed faults
  urc TEXT                send TEXT now (framed: in a 0xA0 frame)
  scan TEXT               send "\r\nQSCAN: TEXT\r\n" now
  raw TEXT                send TEXT now exactly as given, never framed
  frame TYPE TEXT         send one frame of TYPE (hex, e.g. e0) with TEXT
  ready                   send the readiness frame now
  answer COMMAND => ANSWER     add or replace an answer entry (also =>>)
  default TEXT            answer to unknown commands
  echo on|off             echo command lines
  echo-ahead on|off       the echo leaves before the delay
  delay MS [JITTER]       wait MS (give or take JITTER) before every answer
                          (0: at once)
  loss PCT                share of answers (TCP) or datagrams (UDP) lost
  reorder PCT [HOLD]      share of answers held back HOLD ms (default 300)
  duplicate PCT           share of answers sent twice
  pad BYTES               filler in front of the "+ECHO:" line of AT+ECHO
  silence on|off          read commands but answer none
  trickle MS [COUNT]      next answer: instead of it, a line "+TRICKLE: <i>"
                          every MS, never a final result; COUNT lines, or
                          until the next command or the end of the connection
  split MS [OFFSET] [wire|frames]
                          next answer in two writes MS apart, cut after
                          OFFSET bytes (default: the middle). wire (default)
                          cuts the bytes as sent, inside a frame if framed;
                          frames sends two whole frames
  huge [BYTES]            next answer: BYTES (default 102400) of "+HUGE:" lines,
                          then "\r\nOK\r\n"
  close-after [BYTES]     next answer: send its first BYTES (default: half)
                          then close the connection
  garbage [COUNT]         send COUNT (default 1) frames of unknown types and
                          stray bytes now, one write each
  drop                    close the connection now
  refuse on|off           stop listening (connections are refused) / listen
                          again on the same port
  clear                   disarm the one-shot faults (trickle, split, huge,
                          close-after) and stop a running trickle
  quit                    end the simulator

Only one connection is served: a new connection replaces the current one.
SIGINT and SIGTERM end the simulator; the control socket file is removed.
)";
}

parse_result parse_options(int argc, char **argv, sim_options *opt, std::string *error)
{
	optind = 1;
	opterr = 0;
	int c;
	while ((c = getopt_long(argc, argv, ":p:b:ufea:c:l:qh", long_options, nullptr)) != -1) {
		switch (c) {
		case 'p':
			if (!parse_int(optarg, 0, 65535, &opt->port)) {
				*error = std::string("bad port: ") + optarg;
				return parse_result::ERROR;
			}
			break;
		case 'b':
			opt->bind_address = optarg;
			break;
		case 'u':
			opt->udp = true;
			break;
		case 'f':
			opt->framed = true;
			break;
		case OPT_READY_DELAY:
			if (!parse_int(optarg, 0, 3600000, &opt->ready_delay_ms)) {
				*error = std::string("bad ready delay: ") + optarg;
				return parse_result::ERROR;
			}
			break;
		case OPT_NO_READY:
			opt->ready_never = true;
			break;
		case OPT_READY_TOKEN:
			opt->ready_token = optarg;
			if (opt->ready_token.empty() || opt->ready_token.size() > 1024) {
				*error = "bad ready token";
				return parse_result::ERROR;
			}
			break;
		case OPT_READY_LOWER:
			opt->ready_lower = true;
			break;
		case OPT_HEARTBEAT_REPLY:
			opt->heartbeat_reply = true;
			break;
		case 'e':
			opt->echo = true;
			break;
		case 'a':
			opt->answers_file = optarg;
			break;
		case OPT_DEFAULT_ANSWER: {
			auto text = unescape_text(optarg);
			if (!text) {
				*error = std::string("bad escape in default answer: ") + optarg;
				return parse_result::ERROR;
			}
			opt->default_answer = std::move(*text);
			break;
		}
		case OPT_ANSWER_DELAY:
			if (!parse_int(optarg, 0, 3600000, &opt->answer_delay_ms)) {
				*error = std::string("bad answer delay: ") + optarg;
				return parse_result::ERROR;
			}
			break;
		case OPT_UDP_CHUNK:
			if (!parse_int(optarg, 4, 65000, &opt->udp_chunk)) {
				*error = std::string("bad UDP chunk size: ") + optarg;
				return parse_result::ERROR;
			}
			break;
		case OPT_JITTER:
			if (!parse_int(optarg, 0, 3600000, &opt->conditions.jitter_ms)) {
				*error = std::string("bad jitter: ") + optarg;
				return parse_result::ERROR;
			}
			break;
		case OPT_LOSS:
		case OPT_REORDER:
		case OPT_DUPLICATE: {
			int *share = c == OPT_LOSS      ? &opt->conditions.drop_pct
				     : c == OPT_REORDER ? &opt->conditions.reorder_pct
							: &opt->conditions.duplicate_pct;
			if (!parse_int(optarg, 0, 100, share)) {
				*error = std::string("bad share (0 to 100): ") + optarg;
				return parse_result::ERROR;
			}
			break;
		}
		case OPT_REORDER_HOLD:
			if (!parse_int(optarg, 0, 3600000, &opt->conditions.reorder_hold_ms)) {
				*error = std::string("bad reorder hold: ") + optarg;
				return parse_result::ERROR;
			}
			break;
		case OPT_SEED: {
			int seed = 0;
			if (!parse_int(optarg, 0, 2147483647, &seed)) {
				*error = std::string("bad seed: ") + optarg;
				return parse_result::ERROR;
			}
			opt->seed = static_cast<unsigned long>(seed);
			break;
		}
		case OPT_ECHO_AHEAD:
			opt->echo_ahead = true;
			break;
		case OPT_ECHO_PAD: {
			int pad = 0;
			if (!parse_int(optarg, 0, 16 * 1024 * 1024, &pad)) {
				*error = std::string("bad echo pad: ") + optarg;
				return parse_result::ERROR;
			}
			opt->echo_pad = static_cast<size_t>(pad);
			break;
		}
		case 'c':
			opt->control_path = optarg;
			break;
		case OPT_NO_STDIN:
			opt->control_stdin = false;
			break;
		case 'l':
			opt->log_path = optarg;
			break;
		case OPT_PORT_FILE:
			opt->port_file = optarg;
			break;
		case 'q':
			opt->quiet = true;
			break;
		case 'h':
			return parse_result::HELP;
		case ':':
			*error = std::string("option needs a value: ") + argv[optind - 1];
			return parse_result::ERROR;
		default:
			*error = std::string("unknown option: ") + argv[optind - 1];
			return parse_result::ERROR;
		}
	}
	if (optind < argc) {
		*error = std::string("unexpected argument: ") + argv[optind];
		return parse_result::ERROR;
	}
	return parse_result::RUN;
}

} // namespace sim
