// The real openWakeWord front end with the "hey jarvis" classifier, fed
// speech synthesised by espeak-ng, in the packet sizes a host might deliver.

#include "detector_test_support.h"

#include <algorithm>
#include <cstdio>

#include <wake_audio.h>

namespace {

const size_t PACKET_SIZES[] = {160, 341, 1280, 4096};

struct score_summary {
	float peak = -1.0f;
	int passes = 0;
};

// Speech at 16 kHz mono, after 2 s of silence and before 1 s of silence.
std::vector<int16_t> spoken(const std::string &voice_options, const std::string &text)
{
	temp_dir dir;
	std::string wav = dir.file("speech.wav");
	std::string command = "espeak-ng " + voice_options + " -w '" + wav + "' '" + text + "'";
	EXPECT_EQ(0, std::system(command.c_str())) << command;

	wav_audio audio;
	std::string error;
	std::vector<int16_t> speech;
	EXPECT_TRUE(wav_read(wav, &audio, &error)) << error;
	EXPECT_TRUE(wake_audio_to_16k_mono(audio, &speech, &error)) << error;
	EXPECT_GT(speech.size(), 8000u) << "espeak-ng gave under half a second of audio";

	std::vector<int16_t> samples(32000, 0);
	samples.insert(samples.end(), speech.begin(), speech.end());
	samples.resize(samples.size() + 16000, 0);
	return samples;
}

class detector_speech : public ::testing::Test {
protected:
	model_set models{real_model("melspectrogram.onnx"), real_model("embedding_model.onnx"),
			 real_model("hey_jarvis_v0.1.onnx"), "hey_jarvis"};

	// Feeds the samples to a fresh detector in packets of the given size.
	score_summary score(const std::vector<int16_t> &samples, size_t packet)
	{
		score_summary summary;
		detector_guard detector(wake_detector_create(models.dir.path().c_str(), "hey_jarvis"));
		EXPECT_NE(nullptr, detector.detector);
		if (!detector.detector)
			return summary;
		for (size_t start = 0; start < samples.size(); start += packet) {
			size_t count = std::min(packet, samples.size() - start);
			float value = wake_detector_process(detector.detector, samples.data() + start, count);
			if (detector->samples_since_score == 0) {
				EXPECT_GE(value, 0.0f) << "failed pass at sample " << start;
				summary.passes++;
				summary.peak = std::max(summary.peak, value);
			}
		}
		return summary;
	}

	// Every packet size runs the passes the audio allows and peaks as `check` says.
	template<typename Check> void for_each_packet_size(const std::vector<int16_t> &samples, Check check)
	{
		const int expected_passes_at_least = (int)((samples.size() - 32000) / 4096);
		for (size_t packet : PACKET_SIZES) {
			score_summary summary = score(samples, packet);
			EXPECT_GE(summary.passes, expected_passes_at_least) << "packet " << packet;
			printf("    peak %.6f over %d passes, packet %zu\n", summary.peak, summary.passes, packet);
			check(summary.peak, packet);
		}
	}
};

} // namespace

TEST_F(detector_speech, wake_phrase_scores_above_one_half)
{
	for (const char *voice : {"", "-v en-us -s 140"}) {
		std::vector<int16_t> samples = spoken(voice, "hey jarvis");
		for_each_packet_size(samples, [&](float peak, size_t packet) {
			EXPECT_GT(peak, 0.5f) << "voice '" << voice << "', packet " << packet;
		});
	}
}

TEST_F(detector_speech, other_speech_and_silence_stay_below_one_tenth)
{
	std::vector<int16_t> other = spoken("", "the weather is nice today and I like to read books");
	for_each_packet_size(other, [](float peak, size_t packet) { EXPECT_LT(peak, 0.1f) << "speech, packet " << packet; });

	std::vector<int16_t> silence(5 * 16000, 0);
	for_each_packet_size(silence,
			     [](float peak, size_t packet) { EXPECT_LT(peak, 0.1f) << "silence, packet " << packet; });
}
