// The four back-end requests against a back-end that is down, silent, slow,
// redirecting, refusing, or answering garbage. Every scenario ends with the
// checks of backend_fault_test: the behaving back-end is served at once, no
// host allocation is left, the key never reaches the log.

#include <cstring>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include <backend/backend_http.h>
#include <backend/command_requests.h>
#include <backend/voice_requests.h>

#include "fault_support.h"
#include "raw_servers.h"

namespace {

using request_faults = backend_fault_test;

struct request_results {
	bool pinged = true;
	int clip_status = -1;
	int polled = -2;
	double seconds[4] = {};
};

// The four requests, one after another, each timed.
request_results run_all(const backend_endpoints *e)
{
	request_results r;
	r.seconds[0] = seconds_of([&] {
		tenant_settings s;
		r.pinged = backend_ping(e, &s);
		tenant_settings_clear(&s);
	});
	r.seconds[1] = seconds_of([&] { r.clip_status = backend_post_clip(e, 0.9f, "phrase", "mic", nullptr); });
	r.seconds[2] = seconds_of([&] {
		control_command commands[4];
		r.polled = backend_poll_commands(e, commands, 4);
		for (int i = 0; i < r.polled; i++)
			control_command_clear(&commands[i]);
	});
	r.seconds[3] = seconds_of([&] { backend_ack_command(e, "c1", "done", nullptr); });
	return r;
}

// Time-outs in seconds: ping, clip, poll, ack.
const double TIME_OUTS[4] = {5, 8, 5, 5};

void expect_all_default(const tenant_settings &s)
{
	EXPECT_FALSE(s.voice_clip_enabled);
	EXPECT_FALSE(s.is_live);
	EXPECT_EQ(s.voice_clip_phrase, nullptr);
	EXPECT_EQ(s.voice_clip_confidence_min, 0.0f);
	EXPECT_EQ(s.voice_clip_cooldown_seconds, 0);
	EXPECT_FALSE(s.voice_clip_allow_mixer_tap);
	EXPECT_EQ(s.latest_plugin_version, nullptr);
}

std::string nested(size_t depth)
{
	return "{\"a\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

} // namespace

TEST_F(request_faults, unreachable_back_end_is_served_again_on_the_same_endpoints)
{
	local_dashboard *flaky = dashboard_start();
	ASSERT_NE(flaky, nullptr);
	const std::string url = dashboard_base_url(flaky);
	const int port = std::stoi(url.substr(url.rfind(':') + 1));
	dashboard_stop(flaky);
	backend_endpoints *e = backend_endpoints_create(url.c_str(), "down", "down-key");

	request_results down = run_all(e);
	EXPECT_FALSE(down.pinged);
	EXPECT_EQ(down.clip_status, 0);
	EXPECT_EQ(down.polled, -1);
	for (double seconds : down.seconds)
		EXPECT_LT(seconds, 6.0); // refused at once; 2x the connect time-out at most
	EXPECT_EQ(warnings(": " + curl_text(CURLE_COULDNT_CONNECT)), 4u);

	// The back-end comes back on its port: the very next requests get through.
	flaky = dashboard_start(port);
	ASSERT_NE(flaky, nullptr) << "port " << port << " taken meanwhile";
	dashboard_add_tenant(flaky, "down", "down-key");
	log.clear();
	request_results up = run_all(e);
	EXPECT_TRUE(up.pinged);
	EXPECT_EQ(up.clip_status, 200);
	EXPECT_EQ(up.polled, 0);
	EXPECT_EQ(dashboard_count(flaky, "ack"), 1u);
	EXPECT_EQ(log.plugin_lines(), 0u);
	dashboard_stop(flaky);
	backend_endpoints_destroy(e);
}

// A server that takes the connection and never reads, and one whose answer
// keeps coming a byte at a time: each request ends at its total time-out.
// All eight run at once, so the scenario costs one clip time-out.
TEST_F(request_faults, silent_and_trickling_back_ends_are_left_at_the_time_outs)
{
	silent_listener silent;
	trickle_server trickle(200);
	ASSERT_NE(silent.port(), 0);
	ASSERT_NE(trickle.port(), 0);
	backend_endpoints *targets[2] = {
		backend_endpoints_create(silent.base_url().c_str(), "t", "k"),
		backend_endpoints_create(trickle.base_url().c_str(), "t", "k"),
	};

	// Each thread writes its own fields of its target's results.
	request_results results[2];
	std::vector<std::thread> threads;
	for (int t = 0; t < 2; t++) {
		const backend_endpoints *e = targets[t];
		request_results *r = &results[t];
		threads.emplace_back([e, r] {
			r->seconds[0] = seconds_of([&] {
				tenant_settings s;
				r->pinged = backend_ping(e, &s);
				expect_all_default(s);
			});
		});
		threads.emplace_back([e, r] {
			r->seconds[1] = seconds_of([&] { r->clip_status = backend_post_clip(e, 0.5f, "", "mic", nullptr); });
		});
		threads.emplace_back([e, r] {
			r->seconds[2] = seconds_of([&] {
				control_command commands[2];
				r->polled = backend_poll_commands(e, commands, 2);
			});
		});
		threads.emplace_back(
			[e, r] { r->seconds[3] = seconds_of([&] { backend_ack_command(e, "c1", "done", nullptr); }); });
	}
	for (std::thread &thread : threads)
		thread.join();

	for (int t = 0; t < 2; t++) {
		SCOPED_TRACE(t == 0 ? "silent" : "trickle");
		EXPECT_FALSE(results[t].pinged);
		EXPECT_EQ(results[t].clip_status, 0);
		EXPECT_EQ(results[t].polled, -1);
		for (int i = 0; i < 4; i++) {
			EXPECT_GE(results[t].seconds[i], TIME_OUTS[i] * 0.9) << "request " << i;
			EXPECT_LE(results[t].seconds[i], TIME_OUTS[i] * 2) << "request " << i;
		}
	}
	EXPECT_EQ(trickle.connections(), 4);
	EXPECT_EQ(warnings(": " + curl_text(CURLE_OPERATION_TIMEDOUT)), 8u);
	EXPECT_EQ(log.plugin_lines(), 8u);
	backend_endpoints_destroy(targets[0]);
	backend_endpoints_destroy(targets[1]);
}

TEST_F(request_faults, redirects_are_answers_and_never_followed)
{
	for (int status : {301, 302, 303, 307, 308}) {
		SCOPED_TRACE(status);
		dashboard_clear_requests(dashboard);
		for (const char *endpoint : {"ping", "voice-command", "commands", "ack"}) {
			dashboard_fault fault;
			fault.status = status;
			// Back to the very same endpoint: following it would succeed.
			fault.location = std::string(endpoints->commands_url) + "/c1/ack";
			if (strcmp(endpoint, "ping") == 0)
				fault.location = endpoints->ping_url;
			else if (strcmp(endpoint, "voice-command") == 0)
				fault.location = endpoints->voice_command_url;
			else if (strcmp(endpoint, "commands") == 0)
				fault.location = endpoints->commands_url;
			set_fault(endpoint, fault);
		}
		request_results r = run_all(endpoints);
		EXPECT_FALSE(r.pinged);
		EXPECT_EQ(r.clip_status, status);
		EXPECT_EQ(r.polled, -1);
		EXPECT_EQ(dashboard_count(dashboard, ""), 4u);
	}
	EXPECT_EQ(log.plugin_lines(), 0u);
}

TEST_F(request_faults, refusals_are_answers_that_nobody_logs)
{
	const std::string target = "Main";
	dashboard_queue_command(dashboard, tenant, "queued", "scene", &target);
	for (int status : {400, 401, 403, 404, 405, 429, 500, 502, 503}) {
		SCOPED_TRACE(status);
		for (const char *endpoint : {"ping", "voice-command", "commands", "ack"}) {
			dashboard_fault fault;
			fault.status = status;
			// A body that would be read as settings and commands, were it read.
			fault.body = "{\"voice_clip_enabled\":true,\"commands\":[{\"id\":\"x\",\"action\":\"scene\"}]}";
			fault.retry_after = "30";
			set_fault(endpoint, fault);
		}
		request_results r = run_all(endpoints);
		EXPECT_FALSE(r.pinged);
		EXPECT_EQ(r.clip_status, status);
		EXPECT_EQ(r.polled, -1);
	}
	EXPECT_EQ(log.plugin_lines(), 0u);
	// The refused acknowledgements removed nothing.
	dashboard_clear_faults(dashboard);
	control_command commands[2];
	ASSERT_EQ(backend_poll_commands(endpoints, commands, 2), 1);
	backend_ack_command(endpoints, commands[0].id, "done", nullptr);
	control_command_clear(&commands[0]);
}

TEST_F(request_faults, unreadable_or_misshapen_ping_answers)
{
	struct answer {
		const char *name;
		std::string body;
		bool read; // true: a 200 with a JSON object or array, read member by member
	};
	const std::string long_phrase(100000, 'p');
	const std::vector<answer> answers = {
		{"empty", "", false},
		{"text", "not json", false},
		{"number", "42", false},
		{"string", "\"voice_clip_enabled\"", false},
		{"truncated", "{\"voice_clip_enabled\":true", false},
		{"invalid utf-8", "{\"voice_clip_enabled\":true,\"voice_clip_phrase\":\"\xC3\x28\"}", false},
		{"nul escape", "{\"voice_clip_enabled\":true,\"voice_clip_phrase\":\"a\\u0000b\"}", false},
		{"real out of range", "{\"voice_clip_enabled\":true,\"voice_clip_confidence_min\":1e400}", false},
		{"too deep", nested(100000), false},
		{"array", "[{\"voice_clip_enabled\":true}]", true},
		{"deep but allowed", nested(1500), true},
		{"wrong member types",
		 "{\"voice_clip_enabled\":[true],\"is_live\":\"true\",\"voice_clip_confidence_min\":{\"v\":0.5},"
		 "\"voice_clip_cooldown_seconds\":\"15\",\"voice_clip_phrase\":[\"a\"],\"voice_clip_allow_mixer_tap\":1,"
		 "\"latest_plugin_version\":null}",
		 true},
		{"long phrase", "{\"voice_clip_phrase\":\"" + long_phrase + "\"}", true},
	};
	for (const answer &a : answers) {
		SCOPED_TRACE(a.name);
		dashboard_fault fault;
		fault.empty_body = a.body.empty();
		fault.body = a.body;
		set_fault("ping", fault);
		tenant_settings s;
		s.voice_clip_enabled = true;
		ASSERT_EQ(backend_ping(endpoints, &s), a.read);
		if (std::string(a.name) == "long phrase") {
			ASSERT_NE(s.voice_clip_phrase, nullptr);
			EXPECT_EQ(s.voice_clip_phrase, long_phrase);
			tenant_settings_clear(&s);
		}
		// Every member of the wrong type reads as absent.
		expect_all_default(s);
	}
	EXPECT_EQ(log.plugin_lines(), 0u);
}

TEST_F(request_faults, unreadable_or_misshapen_commands_answers)
{
	struct answer {
		const char *name;
		std::string body;
		int count;
	};
	const std::string long_text(100000, 'x');
	const std::vector<answer> answers = {
		{"empty", "", -1},
		{"number", "7", -1},
		{"invalid utf-8", "{\"commands\":[{\"id\":\"\xFF\",\"action\":\"scene\"}]}", -1},
		{"lone surrogate", "{\"commands\":[{\"id\":\"\\udc00\",\"action\":\"scene\"}]}", -1},
		{"commands a number", "{\"commands\":12}", 0},
		{"commands an object", "{\"commands\":{\"id\":\"a\",\"action\":\"scene\"}}", 0},
		{"items not objects", "{\"commands\":[1,\"a\",null,true,[{\"id\":\"a\",\"action\":\"scene\"}]]}", 0},
		{"ids not strings",
		 "{\"commands\":[{\"id\":5,\"action\":\"scene\"},{\"id\":[\"a\"],\"action\":\"scene\"},"
		 "{\"id\":{\"a\":1},\"action\":\"scene\"},{\"id\":null,\"action\":\"scene\"},{\"id\":true,\"action\":\"scene\"}]}",
		 0},
		{"actions not strings", "{\"commands\":[{\"id\":\"a\",\"action\":1},{\"id\":\"b\",\"action\":{}}]}", 0},
		{"nested junk", "{\"commands\":[{\"id\":\"a\",\"action\":\"scene\",\"target\":" + nested(500) + "}]}", 1},
		{"long strings",
		 "{\"commands\":[{\"id\":\"" + long_text + "\",\"action\":\"" + long_text + "\",\"target\":\"" + long_text +
			 "\"}]}",
		 1},
	};
	for (const answer &a : answers) {
		SCOPED_TRACE(a.name);
		dashboard_fault fault;
		fault.empty_body = a.body.empty();
		fault.body = a.body;
		set_fault("commands", fault);
		control_command commands[4];
		int count = backend_poll_commands(endpoints, commands, 4);
		ASSERT_EQ(count, a.count);
		for (int i = 0; i < count; i++) {
			EXPECT_STREQ(commands[i].action, std::string(a.name) == "long strings" ? long_text.c_str() : "scene");
			EXPECT_EQ(commands[i].target == nullptr, std::string(a.name) == "nested junk");
			control_command_clear(&commands[i]);
		}
	}
	EXPECT_EQ(log.plugin_lines(), 0u);
}

// Answers far past the 1 MiB a GET may collect are abandoned silently, long
// before they end; an acknowledgement URL of 100 KB is still sent and its
// refusal is an answer like any other. The answer is 8 MiB, not more: the
// double builds it whole before sending, and under a sanitizer on a busy
// machine a bigger one can outlast the request time-out (which is logged).
TEST_F(request_faults, oversized_answers_and_urls)
{
	const std::string huge = "{\"commands\":[{\"id\":\"a\",\"action\":\"scene\",\"pad\":\"" +
				 std::string(8 * 1024 * 1024, 'x') + "\"}]}";
	dashboard_fault fault;
	fault.body = huge;
	set_fault("commands", fault);
	set_fault("ping", fault);
	int polled = 0;
	bool pinged = true;
	double seconds = seconds_of([&] {
		control_command commands[2];
		polled = backend_poll_commands(endpoints, commands, 2);
		tenant_settings s;
		pinged = backend_ping(endpoints, &s);
	});
	EXPECT_EQ(polled, -1);
	EXPECT_FALSE(pinged);
	EXPECT_LT(seconds, 10.0);

	const std::string long_id(100000, 'i');
	double ack_seconds = seconds_of([&] { backend_ack_command(endpoints, long_id.c_str(), "failed", "x"); });
	EXPECT_LT(ack_seconds, 10.0);
	EXPECT_EQ(log.plugin_lines(), 0u);
}

TEST_F(request_faults, connection_dropped_before_the_body)
{
	dashboard_fault drop;
	drop.drop_connection = true;
	for (const char *endpoint : {"ping", "voice-command", "commands", "ack"})
		set_fault(endpoint, drop);
	request_results r = run_all(endpoints);
	EXPECT_FALSE(r.pinged);
	EXPECT_EQ(r.polled, -1);
	EXPECT_EQ(r.clip_status, 0);
	for (double seconds : r.seconds)
		EXPECT_LT(seconds, 5.0);
	EXPECT_EQ(warnings("[tollivaren-voice] ping failed: " + curl_text(CURLE_PARTIAL_FILE)), 1u);
	EXPECT_EQ(warnings("[tollivaren-voice] commands poll failed: " + curl_text(CURLE_PARTIAL_FILE)), 1u);
	EXPECT_EQ(warnings("[tollivaren-voice] clip POST failed: " + curl_text(CURLE_PARTIAL_FILE)), 1u);
	EXPECT_EQ(warnings("[tollivaren-voice] command ack failed: " + curl_text(CURLE_PARTIAL_FILE)), 1u);
	EXPECT_EQ(log.plugin_lines(), 4u);
	EXPECT_EQ(dashboard_count(dashboard, ""), 4u);
}

// libcurl hands the body over in pieces; a piece that begins with a zero byte
// is kept like any other, so the collected text is the bytes received.
TEST(collect_body, keeps_every_piece_whatever_its_first_byte)
{
	collected_body body = {};
	const std::string pieces[] = {std::string("{\"voice_clip_enabled\":"), std::string("\0", 1), "true}"};
	for (const std::string &piece : pieces) {
		std::string copy = piece;
		EXPECT_EQ(collect_body(&copy[0], 1, copy.size(), &body), copy.size());
	}
	ASSERT_EQ(body.text.len, pieces[0].size() + 1 + pieces[2].size());
	EXPECT_EQ(std::string(body.text.array, body.text.len), pieces[0] + pieces[1] + pieces[2]);
	// What is read stops at the zero byte: here, a truncated object.
	EXPECT_EQ(backend_parse_body(&body), nullptr);
	dstr_free(&body.text);
}
