// The upload worker against a local dashboard: settings refresh, notices,
// clip posts, Retry-After and stopping.
#include <chrono>
#include <thread>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <util/bmem.h>
#include <util/platform.h>

#include <local_dashboard.h>

#include "backend/pairing.h"
#include "filter/voice_filter.h"
#include "log_capture.h"
#include "patience.h"

namespace {

const char *TENANT = "tenant-w";
const char *KEY = "worker-key-123";

class upload_worker_test : public ::testing::Test {
protected:
	static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_ALL); }

	void SetUp() override
	{
		dashboard = dashboard_start();
		ASSERT_NE(dashboard, nullptr);
		dashboard_add_tenant(dashboard, TENANT, KEY);
		filter = static_cast<voice_filter *>(bzalloc(sizeof(voice_filter)));
		pthread_mutex_init(&filter->lock, nullptr);
		os_event_init(&filter->wake_event, OS_EVENT_TYPE_AUTO);
		filter->phrase = bstrdup("tollivaren clip it");
		filter->source_class = bstrdup("mic");
		filter->confidence_min = 0.6f;
		filter->cooldown_ns = 15000000000ULL;
		filter->endpoints =
			backend_endpoints_create(dashboard_base_url(dashboard).c_str(), TENANT, KEY);
	}

	void TearDown() override
	{
		upload_worker_stop(filter);
		backend_endpoints_destroy(filter->endpoints);
		os_event_destroy(filter->wake_event);
		pthread_mutex_destroy(&filter->lock);
		bfree(filter->phrase);
		bfree(filter->source_class);
		bfree(filter);
		dashboard_stop(dashboard);
	}

	void settings(const std::string &json) { dashboard_set_settings(dashboard, TENANT, json); }

	// Starts the worker and waits for its first settings refresh to land.
	void start_and_refresh()
	{
		upload_worker_start(filter);
		ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", 1, TV_PATIENCE_MS));
		// The ping is recorded before the worker stores its answer: tests
		// that read the stored settings wait for them.
	}

	void raise_trigger(float score)
	{
		pthread_mutex_lock(&filter->lock);
		filter->trigger_score = score;
		filter->trigger_pending = true;
		os_event_signal(filter->wake_event);
		pthread_mutex_unlock(&filter->lock);
	}

	// The fields the worker writes, read under the filter's lock.
	struct gate {
		bool enabled;
		float confidence_min;
		uint64_t cooldown_ns;
		bool trigger_pending;
	};
	gate read_gate()
	{
		pthread_mutex_lock(&filter->lock);
		gate g = {filter->enabled, filter->confidence_min, filter->cooldown_ns, filter->trigger_pending};
		pthread_mutex_unlock(&filter->lock);
		return g;
	}

	uint64_t cooldown_until()
	{
		pthread_mutex_lock(&filter->lock);
		uint64_t until = filter->cooldown_until_ns;
		pthread_mutex_unlock(&filter->lock);
		return until;
	}

	local_dashboard *dashboard = nullptr;
	voice_filter *filter = nullptr;
	log_capture log;
};

TEST_F(upload_worker_test, refresh_applies_and_clamps_dashboard_settings)
{
	settings(R"({"voice_clip_enabled":true,"voice_clip_confidence_min":1.7,"voice_clip_cooldown_seconds":-5,
		    "voice_clip_allow_mixer_tap":true})");
	start_and_refresh();
	ASSERT_TRUE(wait_until([this] { return read_gate().enabled; }));
	gate g = read_gate();
	EXPECT_TRUE(g.enabled);
	EXPECT_EQ(g.confidence_min, 1.0f);
	EXPECT_EQ(g.cooldown_ns, 0u);

	settings(R"({"voice_clip_enabled":false,"voice_clip_confidence_min":-0.2,"voice_clip_cooldown_seconds":7})");
	upload_worker_refresh(filter);
	g = read_gate();
	EXPECT_FALSE(g.enabled);
	EXPECT_EQ(g.confidence_min, 0.0f);
	EXPECT_EQ(g.cooldown_ns, 7000000000ULL);
}

TEST_F(upload_worker_test, failed_refresh_keeps_previous_settings)
{
	dashboard_fault fault;
	fault.status = 500;
	dashboard_set_fault(dashboard, "ping", fault);
	start_and_refresh();
	std::this_thread::sleep_for(std::chrono::milliseconds(200));
	gate g = read_gate();
	EXPECT_FALSE(g.enabled);
	EXPECT_EQ(g.confidence_min, 0.6f);
	EXPECT_EQ(g.cooldown_ns, 15000000000ULL);
}

TEST_F(upload_worker_test, notices_appear_exactly_when_their_conditions_hold)
{
	const std::string mixer = "source is 'mixer' but the tenant has not enabled 'Trust mixer tap'";
	const std::string phrase = "dashboard phrase is 'hey streamer' but this filter detects the model phrase "
				   "'tollivaren clip it'";
	const std::string newer = "a newer plugin build is available (installed obs-voice-dev-36805275332, "
				  "latest obs-voice-dev-2)";

	bfree(filter->source_class);
	filter->source_class = bstrdup("mixer");
	settings(R"({"voice_clip_allow_mixer_tap":false,"voice_clip_phrase":"hey streamer",
		    "latest_plugin_version":"obs-voice-dev-2"})");
	upload_worker_refresh(filter);
	EXPECT_EQ(log.count(mixer), 1u);
	EXPECT_EQ(log.count(phrase), 1u);
	EXPECT_EQ(log.count(newer), 1u);

	// Repeated at every successful refresh while the condition holds.
	upload_worker_refresh(filter);
	EXPECT_EQ(log.count(mixer), 2u);

	log.clear();
	settings(R"({"voice_clip_allow_mixer_tap":true,"voice_clip_phrase":"Tollivaren CLIP it",
		    "latest_plugin_version":"obs-voice-dev-36805275332"})");
	upload_worker_refresh(filter);
	EXPECT_EQ(log.plugin_lines(), 0u);

	// Only exactly "mixer" draws the warning.
	bfree(filter->source_class);
	filter->source_class = bstrdup("Mixer");
	settings(R"({"voice_clip_allow_mixer_tap":false})");
	upload_worker_refresh(filter);
	EXPECT_EQ(log.plugin_lines(), 0u);
}

TEST_F(upload_worker_test, pending_trigger_is_posted_with_score_phrase_and_source)
{
	start_and_refresh();
	raise_trigger(0.8125f);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "voice-command", 1, TV_PATIENCE_MS));
	auto clips = dashboard_requests(dashboard, "voice-command");
	ASSERT_EQ(clips.size(), 1u);
	obs_data_t *body = obs_data_create_from_json(clips[0].body.c_str());
	ASSERT_NE(body, nullptr);
	EXPECT_STREQ(obs_data_get_string(body, "command"), "clip");
	EXPECT_EQ(obs_data_get_double(body, "confidence"), 0.8125);
	EXPECT_STREQ(obs_data_get_string(body, "source"), "mic");
	EXPECT_STREQ(obs_data_get_string(body, "phrase"), "tollivaren clip it");
	obs_data_release(body);
	EXPECT_EQ(clips[0].headers["x-tollivaren-plugin-key"], KEY);
	EXPECT_FALSE(read_gate().trigger_pending);
}

TEST_F(upload_worker_test, retry_after_pushes_the_cooldown_out_and_never_shortens_it)
{
	start_and_refresh();
	dashboard_fault fault;
	fault.status = 429;
	fault.retry_after = "120";
	dashboard_set_fault(dashboard, "voice-command", fault);

	uint64_t before = os_gettime_ns();
	raise_trigger(0.9f);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "voice-command", 1, TV_PATIENCE_MS));
	ASSERT_TRUE(wait_until([&] { return cooldown_until() >= before + 120000000000ULL; }));
	uint64_t first = cooldown_until();
	EXPECT_GE(first, before + 120000000000ULL);
	EXPECT_LE(first, os_gettime_ns() + 120000000000ULL);

	fault.retry_after = "30";
	dashboard_set_fault(dashboard, "voice-command", fault);
	raise_trigger(0.9f);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "voice-command", 2, TV_PATIENCE_MS));
	std::this_thread::sleep_for(std::chrono::milliseconds(200));
	EXPECT_EQ(cooldown_until(), first);

	// Any other refusal leaves the cooldown alone.
	fault.status = 503;
	fault.retry_after = "600";
	dashboard_set_fault(dashboard, "voice-command", fault);
	raise_trigger(0.9f);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "voice-command", 3, TV_PATIENCE_MS));
	std::this_thread::sleep_for(std::chrono::milliseconds(200));
	EXPECT_EQ(cooldown_until(), first);
}

TEST_F(upload_worker_test, trigger_pending_at_stop_is_never_posted)
{
	start_and_refresh();
	upload_worker_stop(filter);
	filter->trigger_score = 0.9f;
	filter->trigger_pending = true;
	upload_worker_start(filter);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", 2, TV_PATIENCE_MS));
	upload_worker_stop(filter);
	EXPECT_EQ(dashboard_count(dashboard, "voice-command"), 0u);
	EXPECT_FALSE(filter->trigger_pending);

	// A trigger raised just before a stop request is dropped as well.
	upload_worker_start(filter);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", 3, TV_PATIENCE_MS));
	pthread_mutex_lock(&filter->lock);
	filter->stop_requested = true;
	filter->trigger_pending = true;
	os_event_signal(filter->wake_event);
	pthread_mutex_unlock(&filter->lock);
	upload_worker_stop(filter);
	EXPECT_EQ(dashboard_count(dashboard, "voice-command"), 0u);
}

TEST_F(upload_worker_test, unpaired_worker_sends_nothing_and_stops_at_once)
{
	backend_endpoints_destroy(filter->endpoints);
	filter->endpoints = nullptr;
	upload_worker_start(filter);
	raise_trigger(0.9f);
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	auto t0 = std::chrono::steady_clock::now();
	upload_worker_stop(filter);
	// At once, not after the 30 s wait; generous for a loaded machine.
	EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
	EXPECT_EQ(dashboard_requests(dashboard).size(), 0u);
}

TEST_F(upload_worker_test, stop_waits_no_longer_than_the_request_time_out)
{
	dashboard_fault slow;
	slow.delay_ms = 20000;
	dashboard_set_fault(dashboard, "ping", slow);
	upload_worker_start(filter);
	// The dashboard records a request once it has answered: give the ping
	// time to be under way instead.
	std::this_thread::sleep_for(std::chrono::milliseconds(500));
	auto t0 = std::chrono::steady_clock::now();
	upload_worker_stop(filter);
	// The ping gives up after 5 s; allow twice that.
	EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
	EXPECT_FALSE(filter->worker_running);
}

} // namespace
