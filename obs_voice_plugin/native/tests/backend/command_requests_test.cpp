#include <set>

#include <gtest/gtest.h>

#include <backend/backend_http.h>
#include <backend/command_requests.h>

#include "backend_support.h"

namespace {

class poll_test : public dashboard_test {
protected:
	static constexpr int CAPACITY = 20;
	control_command commands[CAPACITY + 1];
	int count = 0;

	int poll(int capacity = CAPACITY)
	{
		clear();
		count = backend_poll_commands(endpoints, commands, capacity);
		return count;
	}

	void clear()
	{
		for (int i = 0; i < count; i++)
			control_command_clear(&commands[i]);
		count = 0;
	}

	void set_body(const std::string &json) { dashboard_set_commands_body(dashboard, TENANT, &json); }

	void TearDown() override
	{
		clear();
		dashboard_test::TearDown();
	}
};

using ack_test = dashboard_test;

std::set<std::string> header_names(const dashboard_request &request)
{
	std::set<std::string> names;
	for (const auto &header : request.headers)
		names.insert(header.first);
	return names;
}

} // namespace

TEST_F(poll_test, takes_at_most_capacity_in_order_until_acknowledged)
{
	for (int i = 0; i < 25; i++) {
		std::string target = "scene " + std::to_string(i);
		dashboard_queue_command(dashboard, TENANT, "c" + std::to_string(i), "scene", &target);
	}
	captured_log log;
	ASSERT_EQ(poll(), 20);
	for (int i = 0; i < 20; i++) {
		EXPECT_EQ(commands[i].id, "c" + std::to_string(i));
		EXPECT_STREQ(commands[i].action, "scene");
		EXPECT_EQ(commands[i].target, "scene " + std::to_string(i));
	}
	for (int i = 0; i < 20; i++)
		backend_ack_command(endpoints, commands[i].id, "done", nullptr);

	ASSERT_EQ(poll(), 5);
	EXPECT_STREQ(commands[0].id, "c20");
	EXPECT_STREQ(commands[4].id, "c24");
	EXPECT_TRUE(log.lines().empty());

	auto request = dashboard_requests(dashboard, "commands").back();
	EXPECT_EQ(request.method, "GET");
	EXPECT_EQ(request.path, "/obs/t1/commands");
	EXPECT_EQ(header_names(request), (std::set<std::string>{"host", "accept", "x-tollivaren-plugin-key"}));
	EXPECT_EQ(request.headers["x-tollivaren-plugin-key"], KEY);
}

TEST_F(poll_test, invalid_items_are_skipped_without_gaps)
{
	set_body("{\"commands\":[{\"id\":\"a\",\"action\":\"scene\",\"target\":\"Main\"},"
		 "{\"action\":\"scene\"},{\"id\":\"\",\"action\":\"scene\"},{\"id\":\"x\",\"action\":\"\"},"
		 "{\"id\":5,\"action\":\"scene\"},\"text\",7,"
		 "{\"id\":\"b\",\"action\":\"mute_source\",\"target\":\"\"},"
		 "{\"id\":\"c\",\"action\":\"no_such_action\"}],\"other\":1}");
	control_command untouched = {(char *)"sentinel", nullptr, nullptr};
	commands[3] = untouched;
	ASSERT_EQ(poll(), 3);
	EXPECT_STREQ(commands[0].id, "a");
	EXPECT_STREQ(commands[0].target, "Main");
	EXPECT_STREQ(commands[1].id, "b");
	EXPECT_STREQ(commands[1].action, "mute_source");
	EXPECT_EQ(commands[1].target, nullptr);
	EXPECT_STREQ(commands[2].id, "c");
	EXPECT_STREQ(commands[2].action, "no_such_action");
	EXPECT_EQ(commands[2].target, nullptr);
	EXPECT_STREQ(commands[3].id, "sentinel");

	// Capacity counts stored commands, not items looked at.
	ASSERT_EQ(poll(2), 2);
	EXPECT_STREQ(commands[1].id, "b");
}

TEST_F(poll_test, answers_without_commands_give_zero)
{
	for (const char *body : {"{}", "{\"commands\":[]}", "{\"commands\":\"a\"}", "{\"commands\":{}}",
				 "{\"commands\":null}", "[{\"id\":\"a\",\"action\":\"scene\"}]"}) {
		set_body(body);
		EXPECT_EQ(poll(), 0) << body;
	}
}

TEST_F(poll_test, failures_give_minus_one_silently)
{
	dashboard_queue_command(dashboard, TENANT, "c1", "scene", nullptr);
	dashboard_fault server_error;
	server_error.status = 500;
	dashboard_fault not_json;
	not_json.body = "<html>";
	dashboard_fault empty;
	empty.empty_body = true;
	dashboard_fault too_long;
	too_long.body = padded_json("\"commands\":[{\"id\":\"c1\",\"action\":\"scene\"}]", BACKEND_BODY_LIMIT + 1);

	captured_log log;
	for (const dashboard_fault *fault : {&server_error, &not_json, &empty, &too_long}) {
		dashboard_set_fault(dashboard, "commands", *fault);
		EXPECT_EQ(poll(), -1) << fault->status << " " << fault->body.substr(0, 20);
	}
	dashboard_clear_faults(dashboard);
	backend_endpoints *wrong_key = backend_endpoints_create(base_url.c_str(), TENANT, "wrong");
	EXPECT_EQ(backend_poll_commands(wrong_key, commands, CAPACITY), -1);
	backend_endpoints_destroy(wrong_key);
	EXPECT_EQ(dashboard_requests(dashboard, "commands").back().status, 401);
	EXPECT_TRUE(log.lines().empty()) << log.lines()[0].text;

	// The limit is on the body: one of exactly that size is read.
	dashboard_fault at_limit;
	at_limit.body = padded_json("\"commands\":[{\"id\":\"c1\",\"action\":\"scene\"}]", BACKEND_BODY_LIMIT);
	dashboard_set_fault(dashboard, "commands", at_limit);
	EXPECT_EQ(poll(), 1);
}

TEST_F(poll_test, nothing_requested_without_room)
{
	EXPECT_EQ(poll(0), -1);
	EXPECT_EQ(poll(-3), -1);
	EXPECT_EQ(backend_poll_commands(endpoints, nullptr, 5), -1);
	EXPECT_EQ(backend_poll_commands(nullptr, commands, 5), -1);
	EXPECT_EQ(dashboard_count(dashboard, ""), 0u);
}

TEST_F(ack_test, url_body_and_headers)
{
	captured_log log;
	backend_ack_command(endpoints, "cmd-1", "done", nullptr);
	backend_ack_command(endpoints, "cmd-2", "failed", "no such scene");
	backend_ack_command(endpoints, "cmd-3", "failed", "");
	backend_ack_command(endpoints, "cmd-4", nullptr, nullptr);
	backend_ack_command(endpoints, "cmd-5", "", nullptr);

	auto acks = dashboard_requests(dashboard, "ack");
	ASSERT_EQ(acks.size(), 5u);
	using members = std::map<std::string, std::string>;
	const members bodies[] = {
		{{"status", "done"}},
		{{"status", "failed"}, {"error", "no such scene"}},
		{{"status", "failed"}},
		{{"status", "failed"}},
		{{"status", ""}},
	};
	for (size_t i = 0; i < acks.size(); i++) {
		EXPECT_EQ(acks[i].method, "POST");
		EXPECT_EQ(acks[i].path, "/obs/t1/commands/cmd-" + std::to_string(i + 1) + "/ack");
		EXPECT_EQ(json_members(acks[i].body), bodies[i]);
		EXPECT_EQ(header_names(acks[i]), (std::set<std::string>{"host", "accept", "content-type",
									 "content-length", "x-tollivaren-plugin-key"}));
		EXPECT_EQ(acks[i].headers["content-type"], "application/json");
		EXPECT_EQ(acks[i].headers["x-tollivaren-plugin-key"], KEY);
	}
	EXPECT_TRUE(log.lines().empty());
}

// The id is one path segment: ordinary ids go byte for byte, every other
// byte is percent-encoded, and no id can reach another path (a "/", "#",
// "?", a blank or a dot segment would otherwise move the POST and its key).
TEST_F(ack_test, id_goes_as_one_percent_encoded_segment)
{
	const std::pair<const char *, const char *> ids[] = {
		{"Cmd-1_a.b~C9", "Cmd-1_a.b~C9"},
		{"a%2Fb", "a%252Fb"},
		{"a/b", "a%2Fb"},
		{"../../t-elsewhere/commands/x", "..%2F..%2Ft-elsewhere%2Fcommands%2Fx"},
		{"..", "%2E%2E"},
		{".", "%2E"},
		{"...", "..."},
		{"frag#ment", "frag%23ment"},
		{"query?x=1&y", "query%3Fx%3D1%26y"},
		{"with space", "with%20space"},
		{"line\nbreak\t", "line%0Abreak%09"},
		{"caf\xC3\xA9", "caf%C3%A9"},
	};
	for (const auto &id : ids)
		backend_ack_command(endpoints, id.first, "done", nullptr);
	auto acks = dashboard_requests(dashboard, "ack");
	ASSERT_EQ(acks.size(), sizeof(ids) / sizeof(ids[0]));
	for (size_t i = 0; i < acks.size(); i++) {
		EXPECT_EQ(acks[i].path, std::string("/obs/t1/commands/") + ids[i].second + "/ack");
		EXPECT_EQ(acks[i].tenant_id, "t1");
		EXPECT_EQ(acks[i].command_id, ids[i].second);
		EXPECT_EQ(acks[i].status, 200);
	}
	EXPECT_EQ(dashboard_count(dashboard, "other"), 0u);
}

TEST_F(ack_test, nothing_sent_without_an_id_and_answers_ignored)
{
	captured_log log;
	backend_ack_command(endpoints, "", "done", nullptr);
	backend_ack_command(endpoints, nullptr, "done", nullptr);
	backend_ack_command(nullptr, "c1", "done", nullptr);
	EXPECT_EQ(dashboard_count(dashboard, ""), 0u);

	for (int status : {404, 500}) {
		dashboard_fault fault;
		fault.status = status;
		dashboard_set_fault(dashboard, "ack", fault);
		backend_ack_command(endpoints, "c1", "done", nullptr);
	}
	auto acks = dashboard_requests(dashboard, "ack");
	ASSERT_EQ(acks.size(), 2u);
	EXPECT_EQ(acks[1].status, 500);
	EXPECT_TRUE(log.lines().empty());
}
