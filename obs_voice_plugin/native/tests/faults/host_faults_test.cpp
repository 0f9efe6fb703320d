// The module in a headless OBS host, its filter paired and audio flowing,
// while the back-end fails every way at once; then the back-end behaves and
// the next settings change brings everything back. The host environment
// checks at the end that every host allocation was freed.

#include <chrono>
#include <thread>

#include <curl/curl.h>
#include <util/platform.h>

#include <local_dashboard.h>

#include "filter_peek.h"
#include "host_environment.h"

namespace {

auto *const environment = ::testing::AddGlobalTestEnvironment(new host_environment);

const char *TENANT = "flaky-tenant";
const char *KEY = "host-fault-key-31337";

void update_filter(obs_source_t *filter)
{
	obs_data_t *settings = obs_source_get_settings(filter);
	obs_source_update(filter, settings);
	obs_data_release(settings);
}

} // namespace

TEST(host_faults, paired_filter_rides_out_a_failing_back_end)
{
	local_dashboard *dashboard = dashboard_start();
	ASSERT_NE(dashboard, nullptr);
	dashboard_add_tenant(dashboard, TENANT, KEY);
	const std::string pairing = dashboard_mint_pairing(dashboard, TENANT);
	// Any score fires and no cooldown holds the next one back, until the
	// back-end's Retry-After pushes the cooldown out.
	const char *answer = "{\"voice_clip_enabled\":true,\"voice_clip_confidence_min\":0.0,"
			     "\"voice_clip_cooldown_seconds\":0,\"voice_clip_allow_mixer_tap\":true}";
	dashboard_set_settings(dashboard, TENANT, answer);
	dashboard_fault storm;
	storm.status = 429;
	storm.retry_after = "99999999999";
	dashboard_set_fault(dashboard, "voice-command", storm);
	dashboard_fault broken;
	broken.status = 500;
	broken.body = "{\"commands\":[{\"id\":\"x\",\"action\":\"scene\"}]}";
	dashboard_set_fault(dashboard, "commands", broken);
	obs_host_log_clear();

	obs_source_t *input = obs_host_create_audio_input("flaky input");
	host_audio_stream stream;
	host_audio_stream_begin(&stream, input);
	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "pairing", pairing.c_str());
	obs_data_set_string(settings, "source_class", "mic");
	obs_source_t *filter = obs_host_attach_filter(input, "tollivaren_voice_filter", "voice", settings);
	obs_data_release(settings);
	ASSERT_NE(filter, nullptr);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", 1, TV_PATIENCE_MS));
	ASSERT_TRUE(voice_filter_wait_settings(filter, answer));

	// Scoring starts once two seconds are in; the first 429 stops the rest.
	const wav_audio tone = host_sine(4.0, 440.0);
	host_audio_stream_push(&stream, tone, 1024, false);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "voice-command", 1, TV_PATIENCE_MS));
	// Once the first 429 is handled no trigger fires; a trigger raised while
	// it was under way is posted once more. Count when that has settled.
	ASSERT_TRUE(wait_until([filter] {
		return voice_filter_read(filter, [](voice_filter *f) {
			return !f->trigger_pending && f->cooldown_until_ns > os_gettime_ns() + 3600 * 1000000000ull;
		});
	}));
	std::this_thread::sleep_for(std::chrono::milliseconds(1000));
	size_t posts = dashboard_count(dashboard, "voice-command");
	host_audio_stream_push(&stream, tone, 1024, false);
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	EXPECT_EQ(dashboard_count(dashboard, "voice-command"), posts) << "posted during a 38-year cooldown";
	EXPECT_LE(posts, 3u);

	// The ping's answer breaks off: the new worker keeps safe settings.
	dashboard_fault drop;
	drop.drop_connection = true;
	dashboard_set_fault(dashboard, "ping", drop);
	update_filter(filter);
	ASSERT_TRUE(obs_host_wait_log("[tollivaren-voice] ping failed: " +
					      std::string(curl_easy_strerror(CURLE_PARTIAL_FILE)),
				      1, TV_PATIENCE_MS));
	host_audio_stream_push(&stream, tone, 1024, false);
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	EXPECT_EQ(dashboard_count(dashboard, "voice-command"), posts) << "posted while the settings were unknown";

	// The back-end behaves again: the next update pings, scores and posts.
	dashboard_clear_faults(dashboard);
	size_t pings = dashboard_count(dashboard, "ping");
	update_filter(filter);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", pings + 1, TV_PATIENCE_MS));
	ASSERT_TRUE(voice_filter_wait_settings(filter, answer));
	host_audio_stream_push(&stream, tone, 1024, false);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "voice-command", posts + 1, TV_PATIENCE_MS));
	EXPECT_EQ(dashboard_requests(dashboard, "voice-command").back().status, 200);
	// The control service polled through the 500s and is polling still.
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", 1, 3000 + TV_PATIENCE_MS));
	size_t polls = dashboard_count(dashboard, "commands");
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", polls + 1, 3000 + TV_PATIENCE_MS));
	EXPECT_EQ(dashboard_requests(dashboard, "commands").back().status, 200);
	EXPECT_EQ(dashboard_count(dashboard, "ack"), 0u);

	obs_source_filter_remove(input, filter);
	obs_source_release(filter);
	obs_source_release(input);
	obs_host_flush_destroyed();
	for (const std::string &line : obs_host_log_lines()) {
		EXPECT_EQ(line.find(KEY), std::string::npos) << line;
		EXPECT_EQ(line.find(pairing), std::string::npos) << line;
	}
	dashboard_stop(dashboard);
}
