// Bytes from the modem link: the frame decoder on one read, and the answer
// collection fed through a socketpair, plain and framed. The first input
// byte picks the collection mode; the rest is what the module sends.
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/log.h"
#include "link/chat.h"
#include "link/framing.h"

namespace {

void check_decode(const uint8_t *data, size_t size)
{
	// Exactly the read plus the zero byte the engine places after it, so any
	// access beyond is caught.
	char *bytes = static_cast<char *>(malloc(size + 1));
	if (!bytes)
		return;
	if (size)
		memcpy(bytes, data, size);
	bytes[size] = '\0';
	at_channel ch = {};
	ch.link_fd = -1;
	int len = -1;
	char *text = rgmii_decode(&ch, bytes, static_cast<int>(size), &len);
	if (text) {
		if (len < 0 || static_cast<size_t>(len) > size || text[len] != '\0')
			abort();
		free(text);
	}
	free(bytes);
}

void check_collect(const uint8_t *data, size_t size)
{
	if (size < 1 || size > 128 * 1024)
		return;
	int fds[2];
	if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
		return;
	const bool framed = data[0] & 1;
	const char *expect = (data[0] & 2) ? ">" : nullptr;
	int sndbuf = 256 * 1024;
	setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
	size_t off = 1;
	while (off < size) {
		ssize_t n = write(fds[1], data + off, size - off);
		if (n <= 0)
			break;
		off += static_cast<size_t>(n);
	}
	shutdown(fds[1], SHUT_WR);

	at_channel ch = {};
	ch.link_fd = fds[0];
	ch.link_state = LINK_ATTACHED;
	if (framed) {
		ch.frame_header_len = 3;
		ch.encode_at = rgmii_encode_at;
		ch.decode_frame = rgmii_decode;
		ch.encode_heartbeat = rgmii_encode_heartbeat;
		ch.rgmii_ready = 1;
	}
	char *answer = nullptr;
	int len = 0;
	int code = chat_recv(&ch, &answer, &len, expect, 0);
	if (code != CHAT_OK && code != CHAT_NO_ANSWER)
		abort();
	if (static_cast<size_t>(len) > size)
		abort();
	free(answer);

	char *pending = nullptr;
	chat_read_pending(&ch, &pending, &len, 0);
	free(pending);
	close(fds[0]);
	close(fds[1]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	log_threshold = -1;
	signal(SIGPIPE, SIG_IGN);
	check_decode(data, size);
	if (size > 0)
		check_decode(data + 1, size - 1);
	check_collect(data, size);
	return 0;
}
