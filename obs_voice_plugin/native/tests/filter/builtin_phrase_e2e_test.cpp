// The shipped classifier out of the box: the plug-in's own data directory,
// a voice the classifier never heard in training saying the phrase, and a
// minute of ordinary stream talk that must not clip.
#include <chrono>
#include <thread>

#include <local_dashboard.h>

#include "filter_peek.h"
#include "host_environment.h"
#include "speech.h"

namespace {

auto *const environment = ::testing::AddGlobalTestEnvironment(new host_environment);

const char *STREAM_TALK =
	"Alright chat, welcome back to the stream. Today we are finishing the northern valley and then we will "
	"try the arena again. If you just joined, the goal is to collect all twelve crystals before the storm "
	"reaches the village. Last night we got close, but the timing on the bridge was terrible. I think the "
	"trick is to wait for the guard to turn around, then sprint across and jump at the very last moment. "
	"Thanks for the follows, and thank you for the gift subs, that is really kind. Someone asked about my "
	"settings: I play with a controller, sensitivity around six, and the camera set to classic. Let me "
	"check the map quickly. Okay, we need to go left, past the old mill, and then climb the tower. Oh no, "
	"there is a patrol coming. Hide, hide, hide. Okay, that was close. Let us take a short break after this "
	"level, grab some water, and then we will read the questions from chat. Remember to be nice to each "
	"other in the comments.";

const char ANSWER[] = R"({"voice_clip_enabled":true,"voice_clip_confidence_min":0.6,)"
		      R"("voice_clip_cooldown_seconds":15,"voice_clip_allow_mixer_tap":true})";

class builtin_phrase_e2e : public ::testing::Test {
protected:
	void SetUp() override
	{
		dashboard = dashboard_start();
		ASSERT_NE(dashboard, nullptr);
		dashboard_add_tenant(dashboard, "streamer", "builtin-key");
		dashboard_set_settings(dashboard, "streamer", ANSWER);
		input = obs_host_create_audio_input("builtin mic");
		obs_data_t *s = obs_data_create();
		obs_data_set_string(s, "pairing", dashboard_mint_pairing(dashboard, "streamer").c_str());
		obs_data_set_string(s, "source_class", "mic");
		filter = obs_host_attach_filter(input, "tollivaren_voice_filter", "voice", s);
		obs_data_release(s);
		ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", 1, TV_PATIENCE_MS));
		ASSERT_TRUE(voice_filter_wait_settings(filter, ANSWER));
		host_audio_stream_begin(&stream, input);
	}

	void TearDown() override
	{
		obs_source_filter_remove(input, filter);
		obs_source_release(filter);
		obs_source_release(input);
		obs_host_flush_destroyed();
		dashboard_stop(dashboard);
	}

	// Waits for the clips a test expects, then a second more for any extra.
	size_t clips_after_settling(size_t expected)
	{
		dashboard_wait_count(dashboard, "voice-command", expected ? expected : 1,
				     expected ? TV_PATIENCE_MS : 3000);
		std::this_thread::sleep_for(std::chrono::milliseconds(1000));
		return dashboard_count(dashboard, "voice-command");
	}

	local_dashboard *dashboard = nullptr;
	obs_source_t *input = nullptr;
	obs_source_t *filter = nullptr;
	host_audio_stream stream;
};

TEST_F(builtin_phrase_e2e, held_out_voice_saying_the_phrase_clips)
{
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] openWakeWord detector ready (model='tollivaren_clip_it')"), 1u);
	wav_audio phrase;
	ASSERT_TRUE(speech_make("tollivaren clip it", "-v en-us+f3 -s 140", &phrase));
	host_audio_stream_push(&stream, speech_padded(phrase, 2.0, 1.5), 1024, false);
	EXPECT_EQ(clips_after_settling(1), 1u);
}

TEST_F(builtin_phrase_e2e, a_minute_of_stream_talk_does_not_clip)
{
	wav_audio talk;
	ASSERT_TRUE(speech_make(STREAM_TALK, "-v en-029+m6", &talk));
	ASSERT_GT(talk.frames(), 50u * talk.sample_rate);
	host_audio_stream_push(&stream, speech_padded(talk, 2.0, 1.0), 1024, false);
	EXPECT_EQ(clips_after_settling(0), 0u);
}

} // namespace
