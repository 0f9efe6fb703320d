#include "detector_test_support.h"

#include <memory>

namespace {

// A full window whose mel frame f (as the slicing stand-ins see it) has
// f * 10 - 20 in bin 0 and zeros elsewhere, so that after the /10 + 2
// normalisation bin 0 of frame f reads exactly f.
std::vector<int16_t> frame_index_window()
{
	std::vector<int16_t> samples(32000, 0);
	for (size_t frame = 0; frame < 200; frame++)
		samples[frame * 32] = (int16_t)(frame * 10) - 20;
	return samples;
}

class detector_pass : public ::testing::Test {
protected:
	void SetUp() override { ASSERT_FALSE(tiny_models_dir().empty()) << "make_tiny_models.py failed"; }

	// Loads the given chain and scores one full window.
	float score_once(const std::string &mel, const std::string &embedding, const std::string &classifier)
	{
		model_set models(mel, embedding, classifier);
		detector_guard detector(wake_detector_create(models.dir.path().c_str(), "test_classifier"));
		EXPECT_NE(nullptr, detector.detector);
		if (!detector.detector)
			return -2.0f;
		log.lines.clear();
		std::vector<int16_t> window = frame_index_window();
		return wake_detector_process(detector.detector, window.data(), window.size());
	}

	log_capture log;
};

// sum over rows i of (i + 1) * (first frame of window i), with windows
// starting at F - 196 + 8i.
float expected_weighted(int frames)
{
	float sum = 0.0f;
	for (int i = 0; i < 16; i++)
		sum += (float)((i + 1) * (frames - 196 + 8 * i));
	return sum;
}

} // namespace

TEST_F(detector_pass, embedding_windows_cover_the_last_196_frames_in_order)
{
	ASSERT_EQ(10880.0f, expected_weighted(196));
	EXPECT_EQ(expected_weighted(196),
		  score_once(tiny_model("mel_frames_196"), tiny_model("embedding_head"), tiny_model("classifier_weighted")));
	EXPECT_EQ(expected_weighted(200),
		  score_once(tiny_model("mel_frames_200"), tiny_model("embedding_head"), tiny_model("classifier_weighted")));
}

TEST_F(detector_pass, frame_count_is_the_second_to_last_dimension_of_ranks_2_to_8)
{
	for (const char *mel : {"mel_rank2", "mel_rank8"})
		EXPECT_EQ(expected_weighted(196),
			  score_once(tiny_model(mel), tiny_model("embedding_head"), tiny_model("classifier_weighted")))
			<< mel;
	for (const char *mel : {"mel_rank1", "mel_rank9", "mel_frames_195"}) {
		EXPECT_EQ(-1.0f, score_once(tiny_model(mel), tiny_model("embedding_head"),
					    tiny_model("classifier_weighted")))
			<< mel;
		EXPECT_TRUE(log.lines.empty()) << mel << ": " << log.lines[0];
	}
}

TEST_F(detector_pass, outputs_shorter_than_what_the_pass_reads_fail_the_pass_quietly)
{
	const std::vector<std::vector<std::string>> chains = {
		{"mel_short", "embedding_head", "classifier_constant"},
		{"mel_frames_196", "embedding_short", "classifier_constant"},
		{"mel_frames_196", "embedding_head", "classifier_empty"},
		{"mel_frames_196", "embedding_head", "classifier_double"},
	};
	for (const auto &chain : chains) {
		EXPECT_EQ(-1.0f, score_once(tiny_model(chain[0]), tiny_model(chain[1]), tiny_model(chain[2])))
			<< chain[0] << " " << chain[1] << " " << chain[2];
		EXPECT_TRUE(log.lines.empty()) << log.lines[0];
	}
	// The same stand-ins with full-size outputs score.
	EXPECT_EQ(0.87f,
		  score_once(tiny_model("mel_frames_196"), tiny_model("embedding_head"), tiny_model("classifier_constant")));
}

TEST_F(detector_pass, classifier_score_comes_back_exactly_from_the_real_front_end)
{
	EXPECT_EQ(0.87f, score_once(real_model("melspectrogram.onnx"), real_model("embedding_model.onnx"),
				    tiny_model("classifier_constant")));
}

TEST_F(detector_pass, pass_keeps_exactly_the_features_the_classifier_scored_until_a_pass_fails)
{
	model_set models(tiny_model("mel_frames_196"), tiny_model("embedding_head"), tiny_model("classifier_weighted"));
	detector_guard detector(wake_detector_create(models.dir.path().c_str(), "test_classifier"));
	ASSERT_NE(nullptr, detector.detector);
	EXPECT_EQ(nullptr, wake_detector_features(detector.detector));
	std::vector<int16_t> window = frame_index_window();
	const float score = wake_detector_process(detector.detector, window.data(), window.size());
	const float *features = wake_detector_features(detector.detector);
	ASSERT_NE(nullptr, features);
	// Row i of the stand-in's features starts with window i's first frame.
	float weighted = 0.0f;
	for (int i = 0; i < 16; i++) {
		EXPECT_EQ((float)(8 * i), features[i * 96]) << "row " << i;
		weighted += (float)(i + 1) * features[i * 96];
	}
	EXPECT_EQ(score, weighted);

	// A pass that fails before the classifier leaves no features behind.
	model_set broken(tiny_model("mel_frames_195"), tiny_model("embedding_head"), tiny_model("classifier_weighted"));
	detector_guard failing(wake_detector_create(broken.dir.path().c_str(), "test_classifier"));
	ASSERT_NE(nullptr, failing.detector);
	EXPECT_EQ(-1.0f, wake_detector_process(failing.detector, window.data(), window.size()));
	EXPECT_EQ(nullptr, wake_detector_features(failing.detector));
	failing->features_ready = true;
	EXPECT_EQ(-1.0f, wake_detector_process(failing.detector, window.data(), window.size()));
	EXPECT_EQ(nullptr, wake_detector_features(failing.detector));
}

TEST_F(detector_pass, failing_run_logs_once_per_attempt_and_waits_a_full_hop)
{
	model_set models(tiny_model("mel_frames_196"), tiny_model("embedding_wrong"), tiny_model("classifier_constant"));
	detector_guard detector(wake_detector_create(models.dir.path().c_str(), "test_classifier"));
	ASSERT_NE(nullptr, detector.detector);
	log.lines.clear();
	std::vector<int16_t> samples(32000, 100);

	EXPECT_EQ(-1.0f, wake_detector_process(detector.detector, samples.data(), 32000));
	ASSERT_EQ(1u, log.matching("[tollivaren-voice] onnx run failed: ").size());
	EXPECT_EQ(0u, detector->samples_since_score);
	EXPECT_EQ(100.0f, detector->window[31999]);

	EXPECT_EQ(-1.0f, wake_detector_process(detector.detector, samples.data(), 1279));
	EXPECT_EQ(1u, log.matching("[tollivaren-voice] onnx run failed: ").size());
	EXPECT_EQ(-1.0f, wake_detector_process(detector.detector, samples.data(), 1));
	EXPECT_EQ(2u, log.matching("[tollivaren-voice] onnx run failed: ").size());
	EXPECT_EQ(2u, log.lines.size());
}
