// A back-end that accepts connections but never answers holds each request
// only for its total time-out (5 s; 8 s for the clip trigger).

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <backend/command_requests.h>
#include <backend/voice_requests.h>
#include <curl/curl.h>
#include <util/base.h>

#include "backend_support.h"

using silent_backend_test = dashboard_test;

TEST_F(silent_backend_test, requests_are_abandoned_at_their_time_outs)
{
	dashboard_fault silent;
	silent.delay_ms = 60000;
	for (const char *endpoint : {"ping", "voice-command", "commands", "ack"})
		dashboard_set_fault(dashboard, endpoint, silent);

	captured_log log;
	double seconds[4] = {};
	auto timed = [&seconds](int slot, auto request) {
		return std::thread([&seconds, slot, request] {
			auto start = std::chrono::steady_clock::now();
			request();
			seconds[slot] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
		});
	};
	bool pinged = true;
	int clip_status = -1, polled = 0;
	backend_endpoints *e = endpoints;
	std::thread threads[] = {
		timed(0,
		      [e, &pinged] {
			      tenant_settings s;
			      pinged = backend_ping(e, &s);
		      }),
		timed(1, [e, &clip_status] { clip_status = backend_post_clip(e, 0.9f, nullptr, "mic", nullptr); }),
		timed(2,
		      [e, &polled] {
			      control_command commands[4];
			      polled = backend_poll_commands(e, commands, 4);
		      }),
		timed(3, [e] { backend_ack_command(e, "c1", "done", nullptr); }),
	};
	for (std::thread &thread : threads)
		thread.join();

	EXPECT_FALSE(pinged);
	EXPECT_EQ(clip_status, 0);
	EXPECT_EQ(polled, -1);
	const double limits[] = {5, 8, 5, 5};
	for (int i = 0; i < 4; i++) {
		EXPECT_GE(seconds[i], limits[i] * 0.9) << "request " << i;
		EXPECT_LE(seconds[i], limits[i] * 2) << "request " << i;
	}
	std::string timed_out = curl_easy_strerror(CURLE_OPERATION_TIMEDOUT);
	EXPECT_EQ(log.matching(": " + timed_out).size(), 4u);
	EXPECT_EQ(log.lines().size(), 4u);
	EXPECT_EQ(log.matching("[tollivaren-voice] clip POST failed: " + timed_out).size(), 1u);
}
