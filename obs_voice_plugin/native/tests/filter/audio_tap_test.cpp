// The audio tap's trigger gate, with a detector whose classifier always
// scores 0.87, so every scoring pass is predictable.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <util/bmem.h>
#include <util/platform.h>

#include "backend/pairing.h"
#include "detector/wake_detector.h"
#include "filter/voice_filter.h"

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
		pthread_mutex_init(&filter->lock, nullptr);
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
		wake_detector_destroy(filter->detector);
		backend_endpoints_destroy(filter->endpoints);
		audio_resampler_destroy(filter->resampler);
		os_event_destroy(filter->wake_event);
		pthread_mutex_destroy(&filter->lock);
		bfree(filter);
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

} // namespace
