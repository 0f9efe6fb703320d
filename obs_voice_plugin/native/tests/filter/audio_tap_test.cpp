// The audio tap's trigger gate, with a detector whose classifier always
// scores 0.87, so every scoring pass is predictable.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <util/bmem.h>
#include <util/platform.h>

#include "backend/pairing.h"
#include "bmem_counter.h"
#include "detector/voice_profile.h"
#include "detector/wake_detector.h"
#include "filter/voice_filter.h"
#include "filter/voice_teaching.h"
#include "patience.h"

namespace fs = std::filesystem;

namespace {

const float CONSTANT_SCORE = 0.87f;
const uint32_t PACKET_FRAMES = 1024;

std::string tiny_models_dir()
{
	static std::string dir = [] {
		fs::path path = fs::temp_directory_path() / ("tv-tap-models-" + std::to_string(getpid()));
		fs::create_directories(path);
		std::string command = "/usr/bin/python3 '" TV_SOURCE_DIR
				      "/obs_voice_plugin/native/tests/detector/make_tiny_models.py' '" +
				      path.string() + "'";
		if (system(command.c_str()) != 0)
			return std::string();
		fs::copy_file(path / "mel_frames_200.onnx", path / "melspectrogram.onnx");
		fs::copy_file(path / "embedding_head.onnx", path / "embedding_model.onnx");
		return path.string();
	}();
	return dir;
}

class audio_tap_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_FALSE(tiny_models_dir().empty()) << "could not generate the tiny models";
		filter = static_cast<voice_filter *>(bzalloc(sizeof(voice_filter)));
		pthread_mutex_init(&filter->update_lock, nullptr);
		pthread_mutex_init(&filter->lock, nullptr);
		filter->models_dir = bstrdup(tiny_models_dir().c_str());
		filter->phrase = bstrdup("classifier constant");
		os_event_init(&filter->wake_event, OS_EVENT_TYPE_AUTO);
		resample_info from = {48000, AUDIO_FORMAT_FLOAT_PLANAR, SPEAKERS_STEREO};
		resample_info to = {16000, AUDIO_FORMAT_16BIT, SPEAKERS_MONO};
		filter->resampler = audio_resampler_create(&to, &from);
		filter->detector = wake_detector_create(tiny_models_dir().c_str(), "classifier_constant");
		filter->endpoints = backend_endpoints_create("http://127.0.0.1:9", "t", "k");
		filter->enabled = true;
		filter->confidence_min = CONSTANT_SCORE;
		filter->cooldown_ns = 15000000000ULL;
		ASSERT_NE(filter->resampler, nullptr);
		ASSERT_NE(filter->detector, nullptr);

		for (auto &plane : planes) {
			plane.resize(PACKET_FRAMES);
			for (uint32_t i = 0; i < PACKET_FRAMES; i++)
				plane[i] = 0.1f * (float)((i % 50) - 25) / 25.0f;
		}
	}

	void TearDown() override
	{
		pthread_mutex_lock(&filter->update_lock);
		voice_session_end(filter);
		pthread_mutex_unlock(&filter->update_lock);
		voice_profile_destroy(filter->profile);
		bfree(filter->profile_refused_text);
		bfree(filter->models_dir);
		bfree(filter->phrase);
		wake_detector_destroy(filter->detector);
		backend_endpoints_destroy(filter->endpoints);
		audio_resampler_destroy(filter->resampler);
		os_event_destroy(filter->wake_event);
		pthread_mutex_destroy(&filter->lock);
		pthread_mutex_destroy(&filter->update_lock);
		bfree(filter);
	}

	// A profile that scores every pass `score` (no weights, only a bias),
	// made for the tiny models.
	voice_profile *constant_profile(float score, float floor)
	{
		auto *profile = static_cast<voice_profile *>(bzalloc(sizeof(voice_profile)));
		EXPECT_TRUE(voice_profile_identity(filter->models_dir, "classifier_constant", profile->identity));
		profile->bias = std::log(score / (1.0f - score));
		profile->floor = floor;
		return profile;
	}

	// The filter's settings holding this profile text.
	static obs_data_t *settings_with_profile(const char *text)
	{
		obs_data_t *settings = obs_data_create();
		obs_data_set_string(settings, S_VOICE_PROFILE, text);
		return settings;
	}

	// Feeds one packet; true when it ran a scoring pass.
	bool feed()
	{
		obs_audio_data packet = {};
		packet.data[0] = reinterpret_cast<uint8_t *>(planes[0].data());
		packet.data[1] = reinterpret_cast<uint8_t *>(planes[1].data());
		packet.frames = PACKET_FRAMES;
		obs_audio_data *out = voice_filter_audio(filter, &packet);
		EXPECT_EQ(out, &packet);
		return filter->detector->window_fill == filter->detector->window_capacity &&
		       filter->detector->samples_since_score == 0;
	}

	// Feeds packets until the next scoring pass has run.
	void feed_until_scored()
	{
		for (int i = 0; i < 400; i++)
			if (feed())
				return;
		FAIL() << "no scoring pass";
	}

	voice_filter *filter = nullptr;
	std::vector<float> planes[2];
};

TEST_F(audio_tap_test, score_equal_to_the_threshold_fires_and_starts_the_cooldown)
{
	uint64_t before = os_gettime_ns();
	feed_until_scored();
	EXPECT_TRUE(filter->trigger_pending);
	EXPECT_EQ(filter->trigger_score, CONSTANT_SCORE);
	EXPECT_GE(filter->cooldown_until_ns, before + filter->cooldown_ns);
	EXPECT_LE(filter->cooldown_until_ns, os_gettime_ns() + filter->cooldown_ns);
	// The worker's event was signalled.
	EXPECT_EQ(os_event_try(filter->wake_event), 0);
}

TEST_F(audio_tap_test, gate_closed_by_threshold_disabled_or_cooldown)
{
	filter->confidence_min = 0.88f;
	feed_until_scored();
	EXPECT_FALSE(filter->trigger_pending);

	filter->confidence_min = CONSTANT_SCORE;
	filter->enabled = false;
	feed_until_scored(); // the detector keeps running while disabled
	EXPECT_FALSE(filter->trigger_pending);

	filter->enabled = true;
	filter->cooldown_until_ns = os_gettime_ns() + 60000000000ULL;
	feed_until_scored();
	EXPECT_FALSE(filter->trigger_pending);

	// The first scored packet at or after the cooldown's end fires again.
	filter->cooldown_until_ns = os_gettime_ns();
	feed_until_scored();
	EXPECT_TRUE(filter->trigger_pending);
}

TEST_F(audio_tap_test, zero_cooldown_fires_on_every_pass_but_not_between_passes)
{
	filter->cooldown_ns = 0;
	filter->confidence_min = 0.0f;
	feed_until_scored();
	ASSERT_TRUE(filter->trigger_pending);
	int passes = 0;
	for (int i = 0; i < 40; i++) {
		filter->trigger_pending = false;
		bool scored = feed();
		passes += scored;
		EXPECT_EQ(filter->trigger_pending, scored) << "packet " << i;
	}
	EXPECT_GT(passes, 5);
}

TEST_F(audio_tap_test, unpaired_or_empty_packets_are_not_scored)
{
	obs_audio_data empty = {};
	empty.data[0] = reinterpret_cast<uint8_t *>(planes[0].data());
	EXPECT_EQ(voice_filter_audio(filter, &empty), &empty);
	EXPECT_EQ(voice_filter_audio(filter, nullptr), nullptr);
	EXPECT_EQ(filter->detector->window_fill, 0u);

	backend_endpoints *endpoints = filter->endpoints;
	filter->endpoints = nullptr;
	for (int i = 0; i < 10; i++)
		feed();
	EXPECT_EQ(filter->detector->window_fill, 0u);
	filter->endpoints = endpoints;

	audio_resampler_t *resampler = filter->resampler;
	filter->resampler = nullptr;
	feed();
	EXPECT_EQ(filter->detector->window_fill, 0u);
	filter->resampler = resampler;
}

TEST_F(audio_tap_test, packet_samples_leave_untouched)
{
	std::vector<float> left = planes[0], right = planes[1];
	for (int i = 0; i < 100; i++)
		feed();
	EXPECT_EQ(planes[0], left);
	EXPECT_EQ(planes[1], right);
}

// With a voice profile the profile decides: the base score needs only the
// profile's floor, the profile's score the threshold, and the confidence
// posted is the profile's. Without one the gate is the base score's alone
// (the cases above).
TEST_F(audio_tap_test, profile_decides_above_the_floor_and_posts_its_own_score)
{
	filter->profile = constant_profile(0.95f, 0.3f);
	filter->confidence_min = 0.9f; // over the base score 0.87
	feed_until_scored();
	ASSERT_TRUE(filter->trigger_pending);
	EXPECT_NEAR(filter->trigger_score, 0.95f, 1e-5f);
	EXPECT_NEAR(filter->heard_score, 0.95f, 1e-5f);
	EXPECT_NE(filter->heard_at, 0);

	// The profile below the threshold: no trigger, however high the base score.
	voice_profile_destroy(filter->profile);
	filter->profile = constant_profile(0.5f, 0.3f);
	filter->confidence_min = 0.6f;
	filter->cooldown_until_ns = 0;
	filter->trigger_pending = false;
	feed_until_scored();
	EXPECT_FALSE(filter->trigger_pending);

	// The base score below the profile's floor: no trigger either.
	voice_profile_destroy(filter->profile);
	filter->profile = constant_profile(0.99f, 0.88f);
	feed_until_scored();
	EXPECT_FALSE(filter->trigger_pending);
}

// The profile kept in the settings: one made for these models is used; an
// empty text is none; garbage, a cut one or one made for other models is
// refused (the filter then runs without a profile) and logged once per text.
TEST_F(audio_tap_test, saved_profile_is_used_only_when_it_fits_these_models)
{
	voice_profile *made = constant_profile(0.75f, 0.3f);
	char *text = voice_profile_to_text(made);
	strcpy(made->identity, "0123456789abcdef");
	char *foreign = voice_profile_to_text(made);
	voice_profile_destroy(made);

	bool refused = true;
	obs_data_t *settings = settings_with_profile(text);
	voice_profile *read = voice_teaching_read_profile(filter, settings, &refused);
	obs_data_release(settings);
	ASSERT_NE(read, nullptr);
	EXPECT_FALSE(refused);
	std::vector<float> features(WAKE_PASS_FEATURES, 0.25f);
	EXPECT_NEAR(voice_profile_score(read, features.data()), 0.75f, 1e-5f);
	voice_profile_destroy(read);

	settings = settings_with_profile("");
	EXPECT_EQ(voice_teaching_read_profile(filter, settings, &refused), nullptr);
	EXPECT_FALSE(refused);
	obs_data_release(settings);

	const std::string cut(text, strlen(text) / 2);
	for (const char *bad : std::vector<const char *>{"garbage", cut.c_str(), foreign, "garbage"}) {
		settings = settings_with_profile(bad);
		EXPECT_EQ(voice_teaching_read_profile(filter, settings, &refused), nullptr) << bad;
		EXPECT_TRUE(refused);
		// Twice in a row, as every update reads it: the second is not logged again.
		EXPECT_EQ(voice_teaching_read_profile(filter, settings, &refused), nullptr);
		obs_data_release(settings);
	}
	bfree(text);
	bfree(foreign);
}

// True once a thread of the process bears the session thread's name.
bool session_thread_named()
{
	const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
	while (std::chrono::steady_clock::now() < until) {
		for (const auto &task : fs::directory_iterator("/proc/self/task")) {
			std::ifstream comm(task.path() / "comm");
			std::string name;
			std::getline(comm, name);
			if (name.rfind("tollivaren-voic", 0) == 0)
				return true;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	return false;
}

// A session listens on the audio thread into a buffer made before it began:
// the tap allocates nothing while it captures. It needs a paired filter, and
// an update (or the filter's removal) ends it.
TEST_F(audio_tap_test, session_captures_without_allocating_and_ends_with_an_update)
{
	backend_endpoints *endpoints = filter->endpoints;
	filter->endpoints = nullptr;
	EXPECT_FALSE(voice_session_start(filter));
	EXPECT_EQ(filter->session, nullptr);
	filter->endpoints = endpoints;

	ASSERT_TRUE(voice_session_start(filter));
	EXPECT_FALSE(voice_session_start(filter)); // one at a time
	feed_until_scored();
	// The counter sees every thread: the session's own thread allocates once
	// as it names itself, before it waits.
	ASSERT_TRUE(session_thread_named());
	// Passes scored by a profile with a template (of this very sound) on the
	// way: nothing allocated either.
	filter->profile = constant_profile(0.95f, 0.3f);
	ASSERT_TRUE(voice_templates_add(&filter->profile->templates, wake_detector_features(filter->detector)));
	filter->heard_at = 0;
	bmem_counter_reset();
	for (int i = 0; i < 200; i++)
		feed();
	EXPECT_EQ(bmem_counter_calls(), 0u);
	EXPECT_NE(filter->heard_at, 0) << "no pass got through the profile and its template";
	EXPECT_NEAR(filter->heard_score, 0.95f, 1e-3f);
	pthread_mutex_lock(&filter->lock);
	EXPECT_EQ(filter->session_state, VOICE_SESSION_LISTENING);
	pthread_mutex_unlock(&filter->lock);

	pthread_mutex_lock(&filter->update_lock);
	voice_session_end(filter);
	pthread_mutex_unlock(&filter->update_lock);
	EXPECT_EQ(filter->session, nullptr);
	EXPECT_EQ(filter->session_state, VOICE_SESSION_CANCELLED);
	feed(); // the tap carries on without it
	voice_profile_destroy(filter->profile);
	filter->profile = nullptr;

	// A whole session that never hears the phrase (this classifier scores
	// every pass alike): nothing stands out, nothing is learned, and the
	// status says so with the count.
	ASSERT_TRUE(voice_session_start(filter));
	const int packets = 16000 * VOICE_SESSION_SECONDS / 341 + 10;
	for (int i = 0; i < packets; i++)
		feed();
	auto state = [this] {
		pthread_mutex_lock(&filter->lock);
		const int value = filter->session_state;
		pthread_mutex_unlock(&filter->lock);
		return value;
	};
	ASSERT_TRUE(wait_until([&] { return state() != VOICE_SESSION_LISTENING && state() != VOICE_SESSION_LEARNING; }));
	EXPECT_EQ(state(), VOICE_SESSION_TOO_FEW_TAKES);
	EXPECT_EQ(filter->session_takes, 0);
	EXPECT_EQ(filter->profile, nullptr);
}

} // namespace
