// Voice clipping end to end: a real libobs audio source with the filter,
// spoken audio, and the local dashboard receiving clip triggers. The test
// data directory installs openWakeWord's "hey jarvis" classifier under the
// built-in phrase's file name, as a known-good stand-in.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include <local_dashboard.h>

#include "filter/voice_teaching.h"
#include "filter_peek.h"
#include "host_environment.h"
#include "speech.h"

namespace fs = std::filesystem;

namespace {

const char *KEY = "e2e-key-5150";

std::string make_test_data_dir()
{
	fs::path dir = fs::temp_directory_path() / ("tv-e2e-data-" + std::to_string(getpid()));
	fs::create_directories(dir / "models");
	fs::copy(std::string(TV_PLUGIN_DATA_DIR) + "/locale", dir / "locale", fs::copy_options::recursive);
	const std::string oww = TV_OWW_MODELS_DIR;
	fs::create_symlink(oww + "/melspectrogram.onnx", dir / "models" / "melspectrogram.onnx");
	fs::create_symlink(oww + "/embedding_model.onnx", dir / "models" / "embedding_model.onnx");
	fs::create_symlink(oww + "/hey_jarvis_v0.1.onnx", dir / "models" / "tollivaren_clip_it.onnx");
	return dir.string();
}

// Presses OBS's "Tollivaren: teach my voice" hotkey as OBS's hotkey router
// (and obs-websocket's TriggerHotkeyByName) does; false when there is none.
bool press_teach_hotkey()
{
	obs_hotkey_id found = OBS_INVALID_HOTKEY_ID;
	obs_enum_hotkeys(
		[](void *data, obs_hotkey_id id, obs_hotkey_t *key) {
			if (strcmp(obs_hotkey_get_name(key), "tollivaren_voice.teach_my_voice") == 0 &&
			    obs_hotkey_get_registerer_type(key) == OBS_HOTKEY_REGISTERER_FRONTEND)
				*static_cast<obs_hotkey_id *>(data) = id;
			return true;
		},
		&found);
	if (found == OBS_INVALID_HOTKEY_ID)
		return false;
	obs_hotkey_enable_callback_rerouting(true);
	obs_hotkey_trigger_routed_callback(found, true);
	obs_hotkey_trigger_routed_callback(found, false);
	return true;
}

int session_state_of(obs_source_t *filter)
{
	return voice_filter_read(filter, [](voice_filter *f) { return f->session_state; });
}

const char LISTENING_LINE[] = "[tollivaren-voice] teach my voice: listening for 30 s";
const char CANCELLED_LINE[] = "[tollivaren-voice] teach my voice: session cancelled";

const std::string data_dir = make_test_data_dir();
auto *const environment = ::testing::AddGlobalTestEnvironment(new host_environment(data_dir));

class voice_clip_e2e : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		wav_audio speech;
		ASSERT_TRUE(speech_make("hey jarvis", "-v en-us -s 150", &speech));
		phrase = new wav_audio(speech_padded(speech, 2.0, 1.5));
	}

	static void TearDownTestSuite()
	{
		delete phrase;
		phrase = nullptr;
		fs::remove_all(data_dir);
	}

	void SetUp() override
	{
		dashboard = dashboard_start();
		ASSERT_NE(dashboard, nullptr);
		tenant = std::string("tenant-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
		dashboard_add_tenant(dashboard, tenant, KEY);
		pairing = dashboard_mint_pairing(dashboard, tenant);
		input = obs_host_create_audio_input(("input " + tenant).c_str());
		host_audio_stream_begin(&stream, input);
		obs_host_log_clear();
	}

	void TearDown() override
	{
		detach();
		obs_source_release(input);
		obs_host_flush_destroyed();
		dashboard_stop(dashboard);
		for (const auto &line : obs_host_log_lines()) {
			EXPECT_EQ(line.find(KEY), std::string::npos) << "key leaked: " << line;
			EXPECT_EQ(line.find(pairing), std::string::npos) << "pairing leaked: " << line;
		}
	}

	void settings(const std::string &json)
	{
		answer = json;
		dashboard_set_settings(dashboard, tenant, json);
	}

	// Waits until the filter's worker has stored the dashboard's answer.
	void await_settings(size_t pings)
	{
		ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", pings, TV_PATIENCE_MS));
		ASSERT_TRUE(voice_filter_wait_settings(filter, answer.c_str()));
	}

	// Attaches a paired filter and waits until its first refresh has landed.
	void attach(const char *source_class = "mic")
	{
		obs_data_t *s = obs_data_create();
		obs_data_set_string(s, "pairing", pairing.c_str());
		obs_data_set_string(s, "source_class", source_class);
		filter = obs_host_attach_filter(input, "tollivaren_voice_filter", "voice", s);
		obs_data_release(s);
		ASSERT_NE(filter, nullptr);
		await_settings(1);
	}

	void detach()
	{
		if (!filter)
			return;
		obs_source_filter_remove(input, filter);
		obs_source_release(filter);
		filter = nullptr;
		obs_host_flush_destroyed();
	}

	void say_phrase() { host_audio_stream_push(&stream, *phrase, 1024, false); }

	// Waits for the clips a test expects, then a second more for any extra.
	size_t clips_after_settling(size_t expected)
	{
		dashboard_wait_count(dashboard, "voice-command", expected ? expected : 1,
				     expected ? TV_PATIENCE_MS : 3000);
		std::this_thread::sleep_for(std::chrono::milliseconds(1000));
		return dashboard_count(dashboard, "voice-command");
	}

	static wav_audio *phrase;
	local_dashboard *dashboard = nullptr;
	std::string tenant, pairing;
	std::string answer = DASHBOARD_DEFAULT_SETTINGS; // the dashboard's ping answer
	obs_source_t *input = nullptr;
	obs_source_t *filter = nullptr;
	host_audio_stream stream;
};

wav_audio *voice_clip_e2e::phrase = nullptr;

TEST_F(voice_clip_e2e, spoken_phrase_posts_exactly_one_clip)
{
	settings(R"({"voice_clip_enabled":true,"voice_clip_confidence_min":0.5,"voice_clip_cooldown_seconds":15,
		    "voice_clip_allow_mixer_tap":true})");
	attach("mic");
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] openWakeWord detector ready (model='tollivaren_clip_it')"), 1u);
	say_phrase();
	ASSERT_EQ(clips_after_settling(1), 1u);

	auto clip = dashboard_requests(dashboard, "voice-command")[0];
	EXPECT_EQ(clip.method, "POST");
	EXPECT_EQ(clip.headers["x-tollivaren-plugin-key"], KEY);
	obs_data_t *body = obs_data_create_from_json(clip.body.c_str());
	ASSERT_NE(body, nullptr);
	EXPECT_STREQ(obs_data_get_string(body, "command"), "clip");
	EXPECT_GE(obs_data_get_double(body, "confidence"), 0.5);
	EXPECT_LE(obs_data_get_double(body, "confidence"), 1.0);
	EXPECT_STREQ(obs_data_get_string(body, "source"), "mic");
	EXPECT_STREQ(obs_data_get_string(body, "phrase"), "tollivaren clip it");
	obs_data_release(body);
}

TEST_F(voice_clip_e2e, no_clip_when_disabled_or_above_the_achievable_score)
{
	settings(R"({"voice_clip_enabled":false,"voice_clip_confidence_min":0.5})");
	attach();
	say_phrase();
	EXPECT_EQ(clips_after_settling(0), 0u);

	settings(R"({"voice_clip_enabled":true,"voice_clip_confidence_min":1.0})");
	obs_data_t *s = obs_source_get_settings(filter);
	obs_source_update(filter, s);
	obs_data_release(s);
	await_settings(2);
	say_phrase();
	EXPECT_EQ(clips_after_settling(0), 0u);
}

TEST_F(voice_clip_e2e, cooldown_spaces_the_clips)
{
	settings(R"({"voice_clip_enabled":true,"voice_clip_confidence_min":0.5,"voice_clip_cooldown_seconds":15})");
	attach();
	say_phrase();
	say_phrase();
	EXPECT_EQ(clips_after_settling(1), 1u);

	// A one-second cooldown: the same phrase after it has passed clips again.
	detach();
	dashboard_clear_requests(dashboard);
	settings(R"({"voice_clip_enabled":true,"voice_clip_confidence_min":0.5,"voice_clip_cooldown_seconds":1})");
	attach();
	say_phrase();
	// The cooldown started before the clip arrived: 1.5 s later it is over.
	ASSERT_TRUE(dashboard_wait_count(dashboard, "voice-command", 1, TV_PATIENCE_MS));
	std::this_thread::sleep_for(std::chrono::milliseconds(1500));
	say_phrase();
	EXPECT_EQ(clips_after_settling(2), 2u);
}

TEST_F(voice_clip_e2e, every_packet_leaves_bit_identical)
{
	settings(R"({"voice_clip_enabled":true,"voice_clip_confidence_min":0.5})");
	attach();
	host_audio_capture *capture = host_audio_capture_start(input);
	wav_audio sine = host_sine(3.0, 523.0);
	host_audio_stream_push(&stream, sine, 1024, false);
	auto planes = host_audio_capture_take(capture);
	host_audio_capture_stop(capture);
	ASSERT_EQ(planes.size(), 2u);
	ASSERT_EQ(planes[0].size(), sine.frames());
	for (size_t i = 0; i < sine.frames(); i++) {
		ASSERT_EQ(planes[0][i], sine.samples[2 * i]) << i;
		ASSERT_EQ(planes[1][i], sine.samples[2 * i + 1]) << i;
	}
}

TEST_F(voice_clip_e2e, every_settings_change_pings_again_and_reloads)
{
	attach();
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] paired tenant=" + tenant + " source=mic"), 1u);
	obs_data_t *s = obs_data_create();
	obs_data_set_string(s, "pairing", pairing.c_str());
	obs_data_set_string(s, "source_class", "");
	obs_source_update(filter, s);
	obs_data_release(s);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", 2, TV_PATIENCE_MS));
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] paired tenant=" + tenant + " source=mixer"), 1u);
	EXPECT_EQ(obs_host_log_count("openWakeWord detector ready"), 2u);
}

// Settings edits and removal return at once while the back-end hangs: the
// worker's request in flight is cancelled, not waited for.
TEST_F(voice_clip_e2e, editing_and_destroying_return_at_once_while_the_back_end_hangs)
{
	attach();
	dashboard_fault hang;
	hang.delay_ms = 20000;
	dashboard_set_fault(dashboard, "ping", hang);
	obs_data_t *s = obs_source_get_settings(filter);
	for (size_t edit = 1; edit <= 3; edit++) {
		obs_source_update(filter, s); // the new worker's ping hangs
		ASSERT_TRUE(dashboard_wait_arrivals(dashboard, "ping", 1 + edit, TV_PATIENCE_MS));
	}
	auto t0 = std::chrono::steady_clock::now();
	obs_source_update(filter, s);
	const auto update_took = std::chrono::steady_clock::now() - t0;
	obs_data_release(s);
	ASSERT_TRUE(dashboard_wait_arrivals(dashboard, "ping", 5, TV_PATIENCE_MS));
	t0 = std::chrono::steady_clock::now();
	detach();
	const auto destroy_took = std::chrono::steady_clock::now() - t0;
	// Model loading is the only slow step left in an update; the ping's own
	// time-out is 5 s.
	EXPECT_LT(update_took, std::chrono::milliseconds(2500));
	EXPECT_LT(destroy_took, std::chrono::milliseconds(2500));
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] ping failed"), 0u);
	printf("  update %.0f ms, destroy %.0f ms with the back-end hung\n",
	       std::chrono::duration<double, std::milli>(update_took).count(),
	       std::chrono::duration<double, std::milli>(destroy_took).count());
}

TEST_F(voice_clip_e2e, unpaired_filter_sends_no_request)
{
	filter = obs_host_attach_filter(input, "tollivaren_voice_filter", "voice", nullptr);
	ASSERT_NE(filter, nullptr);
	// Teaching it a voice needs a pairing: the hotkey says so and does nothing.
	ASSERT_TRUE(press_teach_hotkey());
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] teach my voice: pair this filter first"), 1u);
	EXPECT_EQ(session_state_of(filter), (int)VOICE_SESSION_NONE);
	say_phrase();
	std::this_thread::sleep_for(std::chrono::milliseconds(500));
	detach();
	EXPECT_EQ(dashboard_count(dashboard, "ping"), 0u);
	EXPECT_EQ(dashboard_count(dashboard, "voice-command"), 0u);
}

// The hotkey starts a listening session; a settings change ends it (the
// properties' button starts it the same way), and so does removing the
// filter while a session listens. Neither waits for the session's 30 s.
TEST_F(voice_clip_e2e, teaching_session_ends_with_an_update_or_the_filter)
{
	attach();
	ASSERT_TRUE(press_teach_hotkey());
	EXPECT_EQ(obs_host_log_count(LISTENING_LINE), 1u);
	EXPECT_EQ(session_state_of(filter), (int)VOICE_SESSION_LISTENING);
	ASSERT_TRUE(press_teach_hotkey()); // a second press while it listens changes nothing
	EXPECT_EQ(obs_host_log_count(LISTENING_LINE), 1u);
	say_phrase();

	auto t0 = std::chrono::steady_clock::now();
	obs_data_t *s = obs_source_get_settings(filter);
	obs_source_update(filter, s);
	obs_data_release(s);
	EXPECT_EQ(session_state_of(filter), (int)VOICE_SESSION_CANCELLED);
	EXPECT_EQ(obs_host_log_count(CANCELLED_LINE), 1u);
	obs_properties_t *props = obs_source_properties(filter);
	EXPECT_NE(std::string(obs_property_description(obs_properties_get(props, "status"))).find("Session cancelled"),
		  std::string::npos);
	// The properties' button starts the next one.
	obs_property_button_clicked(obs_properties_get(props, "teach_my_voice"), filter);
	obs_properties_destroy(props);
	EXPECT_EQ(obs_host_log_count(LISTENING_LINE), 2u);
	say_phrase();
	detach();
	const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	EXPECT_EQ(obs_host_log_count(CANCELLED_LINE), 2u);
	EXPECT_LT(took, 20.0) << "waited for a session to end by itself";
}

} // namespace
