// The exact request path of the ping and the commands poll, libcurl
// included, against a one-connection-at-a-time HTTP server on 127.0.0.1
// that answers with the fuzzed status and body. The result must match what
// the answer targets' reads give for the same body.
//
// Input: byte 0 picks the request (even: ping, odd: commands poll), byte 1
// the status and the framing (plain Content-Length or chunked), the rest is
// the body.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "answer_reads.h"
#include "fuzz_support.h"

namespace {

struct answer_server {
	int listener = -1;
	int port = 0;
	std::mutex lock;
	std::string answer; // the next answer, bytes on the wire
};

answer_server server;

void write_all(int fd, const std::string &bytes)
{
	size_t sent = 0;
	while (sent < bytes.size()) {
		ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
		if (n <= 0)
			return;
		sent += (size_t)n;
	}
}

void serve_forever()
{
	for (;;) {
		int fd = accept(server.listener, nullptr, nullptr);
		if (fd < 0)
			continue;
		timeval two_seconds = {2, 0};
		setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &two_seconds, sizeof(two_seconds));
		std::string request;
		char buffer[4096];
		while (request.find("\r\n\r\n") == std::string::npos) {
			ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
			if (n <= 0)
				break;
			request.append(buffer, (size_t)n);
		}
		std::string answer;
		{
			std::lock_guard<std::mutex> guard(server.lock);
			answer = server.answer;
		}
		write_all(fd, answer);
		// Wait for the client to hang up, then reset the connection, so
		// that a long run leaves no sockets waiting in TIME_WAIT.
		while (recv(fd, buffer, sizeof(buffer), 0) > 0) {
		}
		linger reset = {1, 0};
		setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
		close(fd);
	}
}

std::string wire_answer(int status, bool chunked, size_t chunk, const std::string &body)
{
	std::string wire = "HTTP/1.1 " + std::to_string(status) + " Fuzz\r\nContent-Type: application/json\r\n";
	if (!chunked)
		return wire + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
	wire += "Transfer-Encoding: chunked\r\n\r\n";
	for (size_t pos = 0; pos < body.size(); pos += chunk) {
		std::string piece = body.substr(pos, chunk);
		char size_line[32];
		snprintf(size_line, sizeof(size_line), "%zx\r\n", piece.size());
		wire += size_line + piece + "\r\n";
	}
	return wire + "0\r\n\r\n";
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	curl_global_init(CURL_GLOBAL_ALL);
	server.listener = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in address = {};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t length = sizeof(address);
	if (bind(server.listener, (sockaddr *)&address, sizeof(address)) != 0 || listen(server.listener, 16) != 0 ||
	    getsockname(server.listener, (sockaddr *)&address, &length) != 0) {
		perror("fuzz_backend_http: listen");
		abort();
	}
	server.port = ntohs(address.sin_port);
	std::thread(serve_forever).detach();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	static const int statuses[] = {200, 200, 200, 200, 204, 301, 404, 500};
	const bool poll = data[0] & 1;
	const int status = statuses[data[1] & 7];
	const bool chunked = data[1] & 0x80;
	const size_t chunk = 1 + ((data[1] >> 3) & 0x0F) * 16;
	const std::string body((const char *)data + 2, size - 2);
	{
		std::lock_guard<std::mutex> guard(server.lock);
		server.answer = wire_answer(status, chunked, chunk, body);
	}

	fuzz_log_capture();
	fuzz_alloc_balance balance;
	std::string base = "http://127.0.0.1:" + std::to_string(server.port);
	backend_endpoints *endpoints = backend_endpoints_create(base.c_str(), "tenant", "fuzz-key");

	// What the reads give for this body, when the status lets it be read.
	obs_data_t *expected = nullptr;
	if (status == 200) {
		collected_body collected = {};
		if (answer_collect(&collected, body, (uint32_t)size))
			expected = backend_parse_body(&collected);
		dstr_free(&collected.text);
	}
	fuzz_log_lines().clear();

	if (!poll) {
		tenant_settings settings;
		bool ok = backend_ping(endpoints, &settings);
		FUZZ_CHECK(ok == (expected != nullptr), "ping gave %d for status %d", ok, status);
		if (ok) {
			tenant_settings reference;
			answer_read_settings(expected, &reference);
			answer_check_settings(settings);
			FUZZ_CHECK(settings.voice_clip_enabled == reference.voice_clip_enabled &&
					   settings.is_live == reference.is_live &&
					   settings.voice_clip_allow_mixer_tap == reference.voice_clip_allow_mixer_tap &&
					   settings.voice_clip_cooldown_seconds == reference.voice_clip_cooldown_seconds,
				   "settings differ from the reads");
			FUZZ_CHECK(memcmp(&settings.voice_clip_confidence_min, &reference.voice_clip_confidence_min,
					  sizeof(float)) == 0,
				   "threshold differs");
			FUZZ_CHECK(!settings.voice_clip_phrase == !reference.voice_clip_phrase &&
					   (!settings.voice_clip_phrase ||
					    strcmp(settings.voice_clip_phrase, reference.voice_clip_phrase) == 0),
				   "phrase differs");
			tenant_settings_clear(&reference);
		}
		tenant_settings_clear(&settings);
	} else {
		control_command commands[20];
		int count = backend_poll_commands(endpoints, commands, 20);
		if (!expected) {
			FUZZ_CHECK(count == -1, "poll gave %d for status %d", count, status);
		} else {
			control_command reference[20];
			int reference_count = answer_read_commands(expected, reference, 20);
			FUZZ_CHECK(count == reference_count, "poll gave %d, the reads %d", count, reference_count);
			answer_check_commands(commands, count, 20);
			for (int i = 0; i < count; i++) {
				FUZZ_CHECK(strcmp(commands[i].id, reference[i].id) == 0 &&
						   strcmp(commands[i].action, reference[i].action) == 0 &&
						   !commands[i].target == !reference[i].target,
					   "command %d differs", i);
				control_command_clear(&reference[i]);
			}
		}
		for (int i = 0; i < count; i++)
			control_command_clear(&commands[i]);
	}
	obs_data_release(expected);
	backend_endpoints_destroy(endpoints);

	// Non-200 answers and unreadable bodies are not logged, and this server
	// never fails at the transport level.
	FUZZ_CHECK(fuzz_log_lines().empty(), "logged: %s", fuzz_log_lines()[0].c_str());
	return 0;
}
