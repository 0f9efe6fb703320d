// The local dashboard that the other tests rely on: its admin API, end to
// end with the plug-in's requests, and its faults.

#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include <backend/command_requests.h>
#include <backend/pairing.h>
#include <backend/voice_requests.h>
#include <util/platform.h>

#include "backend_support.h"

using local_dashboard_test = dashboard_test;

TEST_F(local_dashboard_test, drives_the_tenant_seen_by_the_plugin)
{
	httplib::Client admin(base_url);

	auto pairing = admin.Get("/admin/pairing/t1");
	ASSERT_TRUE(pairing);
	EXPECT_EQ(pairing->status, 200);
	EXPECT_EQ(pairing->body, dashboard_mint_pairing(dashboard, TENANT));
	pairing_info info;
	ASSERT_TRUE(pairing_decode(pairing->body.c_str(), nullptr, &info));
	EXPECT_EQ(info.url, base_url);
	EXPECT_STREQ(info.tenant_id, TENANT);
	EXPECT_STREQ(info.key, KEY);
	pairing_info_clear(&info);

	auto put = admin.Put("/admin/tenants/t1/settings", "{\"voice_clip_enabled\":true}", "application/json");
	ASSERT_TRUE(put);
	EXPECT_EQ(put->status, 200);
	tenant_settings settings;
	ASSERT_TRUE(backend_ping(endpoints, &settings));
	EXPECT_TRUE(settings.voice_clip_enabled);
	tenant_settings_clear(&settings);

	auto queued = admin.Post("/admin/tenants/t1/commands", "{\"id\":\"q1\",\"action\":\"scene\",\"target\":\"Main\"}",
				 "application/json");
	ASSERT_TRUE(queued);
	EXPECT_EQ(queued->status, 200);
	control_command commands[2];
	ASSERT_EQ(backend_poll_commands(endpoints, commands, 2), 1);
	EXPECT_STREQ(commands[0].id, "q1");
	EXPECT_STREQ(commands[0].target, "Main");
	control_command_clear(&commands[0]);
	backend_ack_command(endpoints, "q1", "failed", "no such \"scene\"");

	EXPECT_EQ(backend_post_clip(endpoints, 0.5f, nullptr, "mic", nullptr), 200);
	auto clips = admin.Get("/admin/tenants/t1/clips");
	ASSERT_TRUE(clips);
	EXPECT_EQ(clips->body, "[{\"command\":\"clip\",\"confidence\":0.5,\"source\":\"mic\"}]");
	auto acks = admin.Get("/admin/tenants/t1/acks");
	ASSERT_TRUE(acks);
	EXPECT_EQ(acks->body, "[{\"id\":\"q1\",\"status\":\"failed\",\"error\":\"no such \\\"scene\\\"\"}]");

	EXPECT_EQ(admin.Get("/admin/tenants/nobody/clips")->status, 404);
	EXPECT_EQ(admin.Post("/admin/tenants/t1/commands", "{\"id\":\"q2\"}", "application/json")->status, 400);
	EXPECT_EQ(admin.Put("/admin/tenants/t1/settings", "[]", "application/json")->status, 400);
	EXPECT_EQ(dashboard_count(dashboard, "other"), 0u); // admin requests are not recorded
}

// A streamer rotating a leaked key: the old key is refused from then on and
// the pairing string carries the new one.
TEST_F(local_dashboard_test, a_new_key_refuses_the_old_one)
{
	httplib::Client admin(base_url);
	auto put = admin.Put("/admin/tenants/t1/key", "{\"key\":\"k-rotated\"}", "application/json");
	ASSERT_TRUE(put);
	EXPECT_EQ(put->status, 200);
	tenant_settings settings;
	EXPECT_FALSE(backend_ping(endpoints, &settings));
	EXPECT_EQ(dashboard_requests(dashboard, "ping").back().status, 401);

	auto pairing = admin.Get("/admin/pairing/t1");
	ASSERT_TRUE(pairing);
	pairing_info info;
	ASSERT_TRUE(pairing_decode(pairing->body.c_str(), nullptr, &info));
	EXPECT_STREQ(info.tenant_id, TENANT);
	EXPECT_STREQ(info.key, "k-rotated");
	backend_endpoints *rotated = backend_endpoints_create(info.url, info.tenant_id, info.key);
	pairing_info_clear(&info);
	EXPECT_TRUE(backend_ping(rotated, &settings));
	tenant_settings_clear(&settings);
	backend_endpoints_destroy(rotated);
	EXPECT_EQ(dashboard_requests(dashboard, "ping").back().status, 200);

	EXPECT_EQ(admin.Put("/admin/tenants/t1/key", "{\"key\":\"\"}", "application/json")->status, 400);
	EXPECT_EQ(admin.Put("/admin/tenants/t1/key", "k-bare", "text/plain")->status, 400);
	EXPECT_EQ(admin.Put("/admin/tenants/nobody/key", "{\"key\":\"k\"}", "application/json")->status, 404);
	EXPECT_EQ(dashboard_mint_pairing(dashboard, TENANT), pairing->body) << "a refused change kept the new key";
}

// A back-end that never answers: the request counts as arrived at once, is
// listed only once answered, and stopping the dashboard releases it.
TEST_F(local_dashboard_test, a_held_answer_counts_as_arrived_and_stop_releases_it)
{
	local_dashboard *held = dashboard_start();
	ASSERT_NE(held, nullptr);
	dashboard_add_tenant(held, TENANT, KEY);
	dashboard_fault hang;
	hang.delay_ms = 600000;
	dashboard_set_fault(held, "commands", hang);
	const std::string url = dashboard_base_url(held);
	int status = -1;
	std::thread poll([&] {
		httplib::Client client(url);
		client.set_read_timeout(900, 0);
		auto answer = client.Get("/obs/t1/commands", httplib::Headers{{"X-Tollivaren-Plugin-Key", KEY}});
		status = answer ? answer->status : 0;
	});
	EXPECT_TRUE(dashboard_wait_arrivals(held, "commands", 1, 30000));
	httplib::Client admin(url);
	auto arrivals = admin.Get("/admin/arrivals/commands");
	ASSERT_TRUE(arrivals);
	EXPECT_EQ(arrivals->body, "{\"arrivals\":1}");
	EXPECT_EQ(admin.Get("/admin/arrivals/ack")->body, "{\"arrivals\":0}");
	EXPECT_EQ(admin.Get("/admin/requests/commands")->body, "[]");

	dashboard_stop(held);
	poll.join();
	EXPECT_EQ(status, 200) << "the held answer was not released by the stop";
}

TEST_F(local_dashboard_test, unknown_tenant_and_paths_are_refused)
{
	backend_endpoints *stranger = backend_endpoints_create(base_url.c_str(), "nobody", KEY);
	tenant_settings settings;
	EXPECT_FALSE(backend_ping(stranger, &settings));
	backend_endpoints_destroy(stranger);
	EXPECT_EQ(dashboard_requests(dashboard, "ping").back().status, 401);

	httplib::Client client(base_url);
	httplib::Headers key = {{"X-Tollivaren-Plugin-Key", KEY}};
	EXPECT_EQ(client.Get("/obs/t1/elsewhere", key)->status, 404);
	EXPECT_EQ(client.Post("/obs/t1/ping", key, "{}", "application/json")->status, 405);
	EXPECT_EQ(dashboard_count(dashboard, "other"), 1u);
}

TEST_F(local_dashboard_test, fault_applies_the_given_number_of_times)
{
	dashboard_fault twice;
	twice.status = 500;
	twice.times = 2;
	dashboard_set_fault(dashboard, "ping", twice);
	tenant_settings settings;
	EXPECT_FALSE(backend_ping(endpoints, &settings));
	EXPECT_FALSE(backend_ping(endpoints, &settings));
	EXPECT_TRUE(backend_ping(endpoints, &settings));

	dashboard_fault never;
	never.status = 500;
	never.times = 0;
	dashboard_set_fault(dashboard, "ping", never);
	EXPECT_TRUE(backend_ping(endpoints, &settings));

	std::vector<int> statuses;
	for (const dashboard_request &request : dashboard_requests(dashboard, "ping"))
		statuses.push_back(request.status);
	EXPECT_EQ(statuses, (std::vector<int>{500, 500, 200, 200}));
}

TEST_F(local_dashboard_test, admin_routes_set_faults_and_list_requests)
{
	httplib::Client admin(base_url);
	auto put = admin.Put("/admin/faults/ping", "{\"status\":503,\"times\":1}", "application/json");
	ASSERT_TRUE(put);
	EXPECT_EQ(put->status, 200);
	tenant_settings settings;
	EXPECT_FALSE(backend_ping(endpoints, &settings));
	EXPECT_TRUE(backend_ping(endpoints, &settings));
	tenant_settings_clear(&settings);
	EXPECT_EQ(httplib::Client(base_url).Get("/obs/t1/ping")->status, 401);

	// A delay range holds the answer back at least its lower end.
	ASSERT_EQ(admin.Put("/admin/faults/ping", "{\"delay_ms\":80,\"delay_max_ms\":90}", "application/json")->status,
		  200);
	uint64_t before = os_gettime_ns();
	EXPECT_TRUE(backend_ping(endpoints, &settings));
	EXPECT_GE(os_gettime_ns() - before, 80u * 1000000u);
	tenant_settings_clear(&settings);
	ASSERT_EQ(admin.Delete("/admin/faults")->status, 200);
	EXPECT_TRUE(backend_ping(endpoints, &settings));
	tenant_settings_clear(&settings);

	auto listing = admin.Get("/admin/requests/ping");
	ASSERT_TRUE(listing);
	std::vector<dashboard_request> pings = dashboard_requests(dashboard, "ping");
	ASSERT_EQ(pings.size(), 5u);
	std::string want = "[";
	const char *statuses[] = {"503", "200", "401", "200", "200"};
	const char *key_headers[] = {"true", "true", "false", "true", "true"};
	for (size_t i = 0; i < pings.size(); i++)
		want += std::string(i ? "," : "") + "{\"endpoint\":\"ping\",\"tenant\":\"t1\",\"command_id\":\"\",\"status\":" +
			statuses[i] + ",\"key_header\":" + key_headers[i] +
			",\"received_ms\":" + std::to_string(pings[i].received_ns / 1000000) + "}";
	EXPECT_EQ(listing->body, want + "]");
	EXPECT_EQ(admin.Get("/admin/requests/ack")->body, "[]");

	EXPECT_EQ(admin.Put("/admin/faults/ping", "not json", "application/json")->status, 400);
	EXPECT_EQ(admin.Put("/admin/faults", "{}", "application/json")->status, 404);
}
