#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include <backend/backend_http.h>
#include <backend/command_requests.h>
#include <backend/voice_requests.h>
#include <util/base.h>
#include <util/bmem.h>

#include "backend_support.h"

namespace {

std::set<std::string> header_names(const dashboard_request &request)
{
	std::set<std::string> names;
	for (const auto &header : request.headers)
		names.insert(header.first);
	return names;
}

tenant_settings garbage_settings()
{
	tenant_settings s;
	memset(&s, 0x5A, sizeof(s));
	return s;
}

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

int32_t parse_retry_after(const std::string &line, int32_t start = -1)
{
	std::string copy = line; // the callback gets a non-terminated buffer
	int32_t slot = start;
	EXPECT_EQ(retry_after_header(&copy[0], 1, copy.size(), &slot), copy.size());
	return slot;
}

} // namespace

TEST(request_headers, content_type_precedes_the_key_only_with_a_body)
{
	curl_slist *post = backend_header_list("X-Tollivaren-Plugin-Key: k", true);
	ASSERT_NE(post, nullptr);
	EXPECT_STREQ(post->data, "Content-Type: application/json");
	ASSERT_NE(post->next, nullptr);
	EXPECT_STREQ(post->next->data, "X-Tollivaren-Plugin-Key: k");
	EXPECT_EQ(post->next->next, nullptr);
	curl_slist_free_all(post);

	curl_slist *get = backend_header_list("X-Tollivaren-Plugin-Key: k", false);
	ASSERT_NE(get, nullptr);
	EXPECT_STREQ(get->data, "X-Tollivaren-Plugin-Key: k");
	EXPECT_EQ(get->next, nullptr);
	curl_slist_free_all(get);
}

TEST(retry_after_header, parses_seconds_only_in_the_exact_form)
{
	EXPECT_EQ(parse_retry_after("Retry-After: 30\r\n"), 30);
	EXPECT_EQ(parse_retry_after("RETRY-AFTER:\t 15\r\n"), 15);
	EXPECT_EQ(parse_retry_after("retry-after:15\r\n"), 15);
	EXPECT_EQ(parse_retry_after("retry-after:15"), 15); // digits up to the end
	EXPECT_EQ(parse_retry_after("Retry-After: 12abc\r\n"), 12);
	EXPECT_EQ(parse_retry_after("Retry-After: 0\r\n"), 0);

	EXPECT_EQ(parse_retry_after("Retry-After : 15\r\n"), -1);
	EXPECT_EQ(parse_retry_after("X-Retry-After: 15\r\n"), -1);
	EXPECT_EQ(parse_retry_after(" Retry-After: 15\r\n"), -1);
	EXPECT_EQ(parse_retry_after("Retry-After: Wed, 21 Oct 2015 07:28:00 GMT\r\n"), -1);
	EXPECT_EQ(parse_retry_after("Retry-After: -5\r\n"), -1);
	EXPECT_EQ(parse_retry_after("Retry-After: +5\r\n"), -1);
	EXPECT_EQ(parse_retry_after("Retry-After: \r\n"), -1);
	EXPECT_EQ(parse_retry_after("Retry-After:"), -1);
	EXPECT_EQ(parse_retry_after("Retry-Afte"), -1);
	EXPECT_EQ(parse_retry_after("Retry_After: 5\r\n"), -1);
	EXPECT_EQ(parse_retry_after("Content-Type: text/plain\r\n", 7), 7); // slot left alone

	// Wraps in 32 bits: 12345678901234567890 mod 2^32 = 3944680146.
	EXPECT_EQ(parse_retry_after("Retry-After: 12345678901234567890\r\n"), -350287150);
	EXPECT_EQ(parse_retry_after("Retry-After: 4294967311\r\n"), 15);
	std::string long_value = "Retry-After: " + std::string(5000, '9') + "\r\n";
	parse_retry_after(long_value); // no overflow trap under the sanitizers
}

class ping_test : public dashboard_test {};

TEST_F(ping_test, default_settings_and_the_request_on_the_wire)
{
	captured_log log;
	tenant_settings s = garbage_settings();
	ASSERT_TRUE(backend_ping(endpoints, &s));
	EXPECT_FALSE(s.voice_clip_enabled);
	EXPECT_FALSE(s.is_live);
	EXPECT_EQ(s.voice_clip_phrase, nullptr);
	EXPECT_EQ(s.voice_clip_confidence_min, 0.6f);
	EXPECT_EQ(s.voice_clip_cooldown_seconds, 15);
	EXPECT_TRUE(s.voice_clip_allow_mixer_tap);
	EXPECT_EQ(s.latest_plugin_version, nullptr);
	tenant_settings_clear(&s);

	auto requests = dashboard_requests(dashboard, "ping");
	ASSERT_EQ(requests.size(), 1u);
	EXPECT_EQ(requests[0].method, "GET");
	EXPECT_EQ(requests[0].path, "/obs/t1/ping");
	EXPECT_EQ(requests[0].body, "");
	EXPECT_EQ(header_names(requests[0]), (std::set<std::string>{"host", "accept", "x-tollivaren-plugin-key"}));
	EXPECT_EQ(requests[0].headers["x-tollivaren-plugin-key"], KEY);
	EXPECT_TRUE(log.lines().empty());
}

TEST_F(ping_test, every_member_read)
{
	dashboard_set_settings(dashboard, TENANT,
			       "{\"voice_clip_enabled\":true,\"is_live\":true,\"voice_clip_phrase\":\"hey there\","
			       "\"voice_clip_confidence_min\":0.75,\"voice_clip_cooldown_seconds\":4294967311,"
			       "\"voice_clip_allow_mixer_tap\":false,\"latest_plugin_version\":\"obs-voice-9\","
			       "\"other\":[1,2]}");
	tenant_settings s;
	ASSERT_TRUE(backend_ping(endpoints, &s));
	EXPECT_TRUE(s.voice_clip_enabled);
	EXPECT_TRUE(s.is_live);
	EXPECT_STREQ(s.voice_clip_phrase, "hey there");
	EXPECT_EQ(s.voice_clip_confidence_min, 0.75f);
	EXPECT_EQ(s.voice_clip_cooldown_seconds, 15); // low 32 bits
	EXPECT_FALSE(s.voice_clip_allow_mixer_tap);
	EXPECT_STREQ(s.latest_plugin_version, "obs-voice-9");
	tenant_settings_clear(&s);
	EXPECT_EQ(s.voice_clip_phrase, nullptr);
	EXPECT_EQ(s.latest_plugin_version, nullptr);
	EXPECT_TRUE(s.voice_clip_enabled); // the rest is left as it was
	tenant_settings_clear(nullptr);

	dashboard_set_settings(dashboard, TENANT, "{\"voice_clip_cooldown_seconds\":-5}");
	ASSERT_TRUE(backend_ping(endpoints, &s));
	EXPECT_EQ(s.voice_clip_cooldown_seconds, -5);
	tenant_settings_clear(&s);
}

TEST_F(ping_test, missing_or_empty_members_give_defaults)
{
	dashboard_set_settings(dashboard, TENANT, "{\"voice_clip_phrase\":\"\",\"latest_plugin_version\":\"\"}");
	tenant_settings s = garbage_settings();
	ASSERT_TRUE(backend_ping(endpoints, &s));
	expect_all_default(s);
	tenant_settings_clear(&s);

	dashboard_set_settings(dashboard, TENANT, "{\"voice_clip_enabled\":true}");
	s = garbage_settings();
	ASSERT_TRUE(backend_ping(endpoints, &s));
	EXPECT_TRUE(s.voice_clip_enabled);
	EXPECT_EQ(s.voice_clip_confidence_min, 0.0f);
	tenant_settings_clear(&s);
}

TEST_F(ping_test, failed_answers_give_false_silently)
{
	dashboard_fault empty_200;
	empty_200.empty_body = true;
	dashboard_fault no_content;
	no_content.status = 204;
	dashboard_fault redirect;
	redirect.status = 302;
	redirect.location = base_url + "/obs/t1/ping";
	dashboard_fault server_error;
	server_error.status = 500;
	server_error.body = "{\"voice_clip_enabled\":true}";
	dashboard_fault not_json;
	not_json.body = "not json";
	dashboard_fault truncated;
	truncated.body = "{\"voice_clip_enabled\":true";
	dashboard_fault too_long;
	too_long.body = padded_json("\"voice_clip_enabled\":true", BACKEND_BODY_LIMIT + 1);

	captured_log log;
	for (const dashboard_fault *fault :
	     {&empty_200, &no_content, &redirect, &server_error, &not_json, &truncated, &too_long}) {
		dashboard_set_fault(dashboard, "ping", *fault);
		tenant_settings s = garbage_settings();
		EXPECT_FALSE(backend_ping(endpoints, &s)) << fault->status << " " << fault->body.substr(0, 30);
		expect_all_default(s);
	}
	EXPECT_TRUE(log.lines().empty()) << log.lines()[0].text;
	EXPECT_EQ(dashboard_count(dashboard, "ping"), 7u); // the redirect was not followed

	dashboard_clear_faults(dashboard);
	backend_endpoints *wrong_key = backend_endpoints_create(base_url.c_str(), TENANT, "wrong");
	EXPECT_FALSE(backend_ping(wrong_key, nullptr));
	tenant_settings s;
	EXPECT_FALSE(backend_ping(nullptr, &s));
	EXPECT_FALSE(backend_ping(wrong_key, &s));
	backend_endpoints_destroy(wrong_key);
	EXPECT_EQ(dashboard_requests(dashboard, "ping").back().status, 401);
	EXPECT_TRUE(log.lines().empty());
}

TEST_F(ping_test, answer_of_exactly_the_body_limit_is_read)
{
	dashboard_fault fault;
	fault.body = padded_json("\"voice_clip_enabled\":true", BACKEND_BODY_LIMIT);
	dashboard_set_fault(dashboard, "ping", fault);
	tenant_settings s;
	ASSERT_TRUE(backend_ping(endpoints, &s));
	EXPECT_TRUE(s.voice_clip_enabled);
	tenant_settings_clear(&s);
}

TEST_F(ping_test, connection_dropped_before_the_body_is_a_transport_failure)
{
	dashboard_fault fault;
	fault.drop_connection = true;
	dashboard_set_fault(dashboard, "ping", fault);
	captured_log log;
	tenant_settings s;
	EXPECT_FALSE(backend_ping(endpoints, &s));
	auto lines = log.lines();
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_EQ(lines[0].level, LOG_WARNING);
	EXPECT_EQ(lines[0].text.rfind("[tollivaren-voice] ping failed: ", 0), 0u) << lines[0].text;
}

class clip_test : public dashboard_test {};

TEST_F(clip_test, body_and_request_on_the_wire)
{
	captured_log log;
	int32_t retry_after = 99;
	EXPECT_EQ(backend_post_clip(endpoints, 0.5f, "tollivaren clip it", "mic", &retry_after), 200);
	EXPECT_EQ(retry_after, -1);

	auto requests = dashboard_requests(dashboard, "voice-command");
	ASSERT_EQ(requests.size(), 1u);
	EXPECT_EQ(requests[0].method, "POST");
	EXPECT_EQ(requests[0].path, "/obs/t1/voice-command");
	EXPECT_EQ(json_members(requests[0].body), (std::map<std::string, std::string>{{"command", "clip"},
										    {"confidence", "0.5"},
										    {"source", "mic"},
										    {"phrase", "tollivaren clip it"}}));
	EXPECT_EQ(header_names(requests[0]), (std::set<std::string>{"host", "accept", "content-type",
								     "content-length", "x-tollivaren-plugin-key"}));
	EXPECT_EQ(requests[0].headers["content-type"], "application/json");
	EXPECT_EQ(requests[0].headers["x-tollivaren-plugin-key"], KEY);
	EXPECT_TRUE(log.lines().empty());
}

TEST_F(clip_test, defaults_for_missing_phrase_and_source)
{
	EXPECT_EQ(backend_post_clip(endpoints, 0.85f, "", nullptr, nullptr), 200);
	EXPECT_EQ(backend_post_clip(endpoints, 0.25f, nullptr, "", nullptr), 200);
	auto requests = dashboard_requests(dashboard, "voice-command");
	ASSERT_EQ(requests.size(), 2u);

	// The single-precision score widened, not rounded to a decimal first.
	EXPECT_EQ(json_members(requests[0].body),
		  (std::map<std::string, std::string>{
			  {"command", "clip"}, {"confidence", "0.85000002384185791"}, {"source", "mixer"}}));
	EXPECT_EQ(json_members(requests[1].body),
		  (std::map<std::string, std::string>{{"command", "clip"}, {"confidence", "0.25"}, {"source", ""}}));
	EXPECT_EQ(backend_post_clip(nullptr, 0.5f, nullptr, nullptr, nullptr), 0);
}

TEST_F(clip_test, retry_after_reported_only_for_429)
{
	struct answer {
		int status;
		const char *retry_after;
		int32_t expected;
	} answers[] = {
		{429, "30", 30}, {429, "", -1}, {429, "Wed, 21 Oct 2015 07:28:00 GMT", -1}, {503, "30", -1},
		{200, "30", -1}, {302, "", -1},
	};
	captured_log log;
	for (const answer &a : answers) {
		dashboard_fault fault;
		fault.status = a.status;
		fault.retry_after = a.retry_after;
		if (a.status == 302)
			fault.location = base_url + "/elsewhere";
		dashboard_set_fault(dashboard, "voice-command", fault);
		int32_t retry_after = 12345;
		EXPECT_EQ(backend_post_clip(endpoints, 0.9f, nullptr, "mic", &retry_after), a.status);
		EXPECT_EQ(retry_after, a.expected) << a.status << " " << a.retry_after;
	}
	EXPECT_EQ(dashboard_count(dashboard, ""), 6u); // the 302 was not followed
	EXPECT_TRUE(log.lines().empty());
}

TEST(unreachable_backend, each_request_logs_one_warning)
{
	closed_port closed;
	ASSERT_NE(closed.port(), 0);
	backend_endpoints *e = backend_endpoints_create(closed.base_url().c_str(), "t1", "k");
	std::string reason = curl_easy_strerror(CURLE_COULDNT_CONNECT);
	captured_log log;

	tenant_settings s;
	EXPECT_FALSE(backend_ping(e, &s));
	EXPECT_EQ(backend_post_clip(e, 0.9f, nullptr, nullptr, nullptr), 0);
	control_command commands[2];
	EXPECT_EQ(backend_poll_commands(e, commands, 2), -1);
	backend_ack_command(e, "c1", "done", nullptr);
	backend_endpoints_destroy(e);

	auto lines = log.lines();
	ASSERT_EQ(lines.size(), 4u);
	const char *expected[] = {"ping failed", "clip POST failed", "commands poll failed", "command ack failed"};
	for (size_t i = 0; i < 4; i++) {
		EXPECT_EQ(lines[i].level, LOG_WARNING);
		EXPECT_EQ(lines[i].text, "[tollivaren-voice] " + std::string(expected[i]) + ": " + reason);
	}
}
