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
#include "failing_threads.h"
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

// The dashboard's texts reach the log with control bytes as '?': a line
// break in them cannot forge a log line of its own, nor can a C1 control, a
// line separator or a bidirectional override disguise the line they are in
// (each shown as one '?'; other characters stay as they are).
TEST_F(upload_worker_test, dashboard_texts_cannot_forge_log_lines)
{
	settings(R"({"voice_clip_allow_mixer_tap":true,)"
		 R"("voice_clip_phrase":"hey\n[tollivaren-voice] paired tenant=evil\u0007\u0085\u2028\u2029x",)"
		 R"("latest_plugin_version":"v2\r\n[tollivaren-voice] unloaded\u007f\u202e\u2066\u2069\u00e9\u20ac"})");
	upload_worker_refresh(filter);
	EXPECT_EQ(log.count("dashboard phrase is 'hey?[tollivaren-voice] paired tenant=evil????x' but"), 1u);
	EXPECT_EQ(log.count("(installed obs-voice-dev-36805275332, latest v2??[tollivaren-voice] unloaded????\xC3\xA9\xE2\x82\xAC)"), 1u);
	EXPECT_EQ(log.lines.size(), 2u);
	for (const std::string &line : log.lines) {
		EXPECT_EQ(line.find_first_of("\r\n\a\x7f"), std::string::npos) << line;
		for (const char *steering : {"\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAE", "\xE2\x81\xA6", "\xE2\x81\xA9"})
			EXPECT_EQ(line.find(steering), std::string::npos) << line;
	}
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

// The wait until the next refresh counts down from the end of the last one:
// never longer than the period, 0 once it is due (a wait that never reached
// 0 would postpone the refresh, one that reached it early would spin).
TEST_F(upload_worker_test, refresh_wait_counts_down_from_the_last_refresh)
{
	EXPECT_EQ(upload_worker_wait_ms(0), 30000ul);
	EXPECT_EQ(upload_worker_wait_ms(999999), 30000ul);
	EXPECT_EQ(upload_worker_wait_ms(1000000), 29999ul);
	EXPECT_EQ(upload_worker_wait_ms(12345678901ull), 17655ul);
	EXPECT_EQ(upload_worker_wait_ms(29999999999ull), 1ul);
	EXPECT_EQ(upload_worker_wait_ms(30000000000ull), 0ul);
	EXPECT_EQ(upload_worker_wait_ms(~0ull), 0ul);
}

// Real time, 30 s: triggers wake the worker every second and are posted at
// once, and the next refresh still comes 30 s after the first ended.
TEST_F(upload_worker_test, refreshes_every_30_s_however_often_triggers_wake_it)
{
	start_and_refresh();
	const uint64_t first_ping = dashboard_requests(dashboard, "ping")[0].received_ns;
	size_t raised = 0;
	while (dashboard_count(dashboard, "ping") < 2 && raised < 30 + TV_PATIENCE_MS / 1000) {
		raise_trigger(0.9f);
		raised++;
		ASSERT_TRUE(dashboard_wait_count(dashboard, "voice-command", raised, TV_PATIENCE_MS));
		std::this_thread::sleep_for(std::chrono::seconds(1));
	}
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", 2, TV_PATIENCE_MS));
	const double gap = (double)(dashboard_requests(dashboard, "ping")[1].received_ns - first_ping) / 1e9;
	// A wait never ends early; on a loaded machine the refresh may come late.
	EXPECT_GE(gap, 29.5);
	EXPECT_LE(gap, 30.0 + TV_PATIENCE_MS / 1000.0);
	EXPECT_GE(raised, 25u);
}

// A trigger raised while a refresh is under way is posted as soon as the
// refresh returns, not at the next wake.
TEST_F(upload_worker_test, trigger_raised_during_a_refresh_is_posted_right_after_it)
{
	dashboard_fault slow;
	slow.delay_ms = 2000;
	slow.times = 1;
	dashboard_set_fault(dashboard, "ping", slow);
	upload_worker_start(filter);
	ASSERT_TRUE(dashboard_wait_arrivals(dashboard, "ping", 1, TV_PATIENCE_MS));
	const auto raised_at = std::chrono::steady_clock::now();
	raise_trigger(0.75f);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "voice-command", 1, TV_PATIENCE_MS));
	const auto waited = std::chrono::steady_clock::now() - raised_at;
	// The refresh held it about 2 s; the next wake without it would be 30 s.
	EXPECT_LT(waited, std::chrono::seconds(15));
	auto requests = dashboard_requests(dashboard);
	ASSERT_EQ(requests.size(), 2u);
	EXPECT_EQ(requests[0].endpoint, "ping");
	EXPECT_EQ(requests[1].endpoint, "voice-command");
	EXPECT_NE(requests[1].body.find("0.75"), std::string::npos) << requests[1].body;
}

// The system refuses the thread: one error line, the instance stays idle
// (no request, nothing to join), and the next start works.
TEST_F(upload_worker_test, refused_thread_leaves_the_instance_idle_until_the_next_start)
{
	failing_threads_next(1);
	upload_worker_start(filter);
	EXPECT_FALSE(filter->worker_running);
	EXPECT_EQ(log.count("[tollivaren-voice] failed to start upload worker"), 1u);
	raise_trigger(0.9f);
	upload_worker_stop(filter); // nothing to stop
	EXPECT_EQ(dashboard_requests(dashboard).size(), 0u);

	upload_worker_start(filter);
	EXPECT_TRUE(filter->worker_running);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", 1, TV_PATIENCE_MS));
	EXPECT_EQ(log.count("[tollivaren-voice] failed to start upload worker"), 1u);
}

// A stop cancels the request in flight, ping or clip, whatever the back-end
// does: the host thread that updates or removes the filter never waits on
// it. A cancel is no transport failure: nothing is logged.
TEST_F(upload_worker_test, stop_cancels_the_request_in_flight)
{
	dashboard_fault hung;
	hung.delay_ms = 20000;
	dashboard_set_fault(dashboard, "ping", hung);
	upload_worker_start(filter);
	ASSERT_TRUE(dashboard_wait_arrivals(dashboard, "ping", 1, TV_PATIENCE_MS));
	auto t0 = std::chrono::steady_clock::now();
	upload_worker_stop(filter);
	// The ping's own time-out is 5 s; half of it is generous for a loaded machine.
	EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
	EXPECT_FALSE(filter->worker_running);

	dashboard_clear_faults(dashboard);
	dashboard_set_fault(dashboard, "voice-command", hung);
	start_and_refresh();
	raise_trigger(0.9f);
	ASSERT_TRUE(dashboard_wait_arrivals(dashboard, "voice-command", 1, TV_PATIENCE_MS));
	t0 = std::chrono::steady_clock::now();
	upload_worker_stop(filter);
	EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
	EXPECT_EQ(log.plugin_lines(), 0u);
}

} // namespace
