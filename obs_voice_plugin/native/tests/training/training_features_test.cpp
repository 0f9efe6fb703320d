// The training feature path (wake_features_*) against the detector's own
// scoring pass: a classifier trained on those rows must see at run time
// exactly what it saw in training.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <wav_file.h>

#include "detector/voice_profile.h"
#include "wake_features.h"
#include "wake_stream.h"

namespace fs = std::filesystem;

namespace {

// A folder holding the two front-end models and one classifier, as the
// detector expects them side by side.
struct model_dir {
	fs::path path;

	model_dir(const fs::path &classifier, const std::string &name)
	{
		path = fs::temp_directory_path() / ("tv-training-" + std::to_string(getpid()) + "-" + name);
		fs::create_directories(path);
		for (const char *file : {"melspectrogram.onnx", "embedding_model.onnx"})
			fs::copy_file(fs::path(TV_OWW_MODELS_DIR) / file, path / file,
				      fs::copy_options::overwrite_existing);
		fs::copy_file(classifier, path / (name + ".onnx"), fs::copy_options::overwrite_existing);
	}
	~model_dir() { fs::remove_all(path); }
};

struct detector_handle {
	wake_detector *detector;
	explicit detector_handle(wake_detector *d) : detector(d) {}
	~detector_handle() { wake_detector_destroy(detector); }
};

struct cache_handle {
	wake_feature_cache *cache = wake_feature_cache_create();
	~cache_handle() { wake_feature_cache_destroy(cache); }
	wake_feature_cache *operator->() const { return cache; }
};

// Six seconds that make the mel model's floor (80 dB under the loudest bin of
// each window) move between passes: digital silence, a sweep, near silence,
// loud bursts, a quiet tone.
std::vector<int16_t> test_audio()
{
	std::vector<int16_t> out(96000, 0);
	uint32_t seed = 12345;
	auto noise = [&seed]() {
		seed = seed * 1664525u + 1013904223u;
		return (double)(seed >> 8) / (double)(1u << 24) - 0.5;
	};
	double phase = 0.0;
	for (size_t i = 0; i < out.size(); i++) {
		const double t = (double)i / 16000.0;
		double v = 0.0;
		if (t >= 1.5 && t < 3.0) {
			phase += 2.0 * M_PI * (200.0 + 1200.0 * (t - 1.5)) / 16000.0;
			v = 3000.0 * sin(phase) + 200.0 * noise();
		} else if (t >= 3.0 && t < 3.5) {
			v = 10.0 * noise();
		} else if (t >= 3.5 && t < 4.5) {
			v = fmod(t, 0.25) < 0.1 ? 20000.0 * noise() : 0.0;
		} else if (t >= 4.5) {
			v = 800.0 * sin(2.0 * M_PI * 440.0 * t) + 50.0 * noise();
		}
		out[i] = (int16_t)lround(v);
	}
	return out;
}

struct pass_score {
	uint64_t end;
	float score;
	std::vector<float> features; // what the pass handed the classifier
};

// The production path: packets through wake_detector_process.
std::vector<pass_score> production_scores(wake_detector *detector, const std::vector<int16_t> &audio, size_t packet)
{
	std::vector<pass_score> out;
	for (size_t at = 0; at < audio.size(); at += packet) {
		const size_t n = std::min(packet, audio.size() - at);
		const float score = wake_detector_process(detector, audio.data() + at, n);
		// A pass (even a failed one) leaves the counter at 0 with the window full.
		if (detector->samples_since_score == 0 && detector->window_fill == detector->window_capacity) {
			const float *features = wake_detector_features(detector);
			out.push_back({at + n, score, {}});
			if (features)
				out.back().features.assign(features, features + WAKE_ROW_FLOATS);
		}
	}
	return out;
}

// The features of the filter's pass over the two seconds that end at `end`,
// from a detector that heard nothing before them.
std::vector<float> production_features(wake_detector *detector, const std::vector<int16_t> &audio, int64_t end)
{
	detector->window_fill = 0;
	detector->samples_since_score = 0;
	wake_detector_process(detector, audio.data() + end - (int64_t)WAKE_WINDOW_SAMPLES, WAKE_WINDOW_SAMPLES);
	const float *features = wake_detector_features(detector);
	EXPECT_NE(nullptr, features) << "pass ending at " << end;
	return features ? std::vector<float>(features, features + WAKE_ROW_FLOATS) : std::vector<float>();
}

std::vector<float> training_scores(wake_detector *detector, const std::vector<int16_t> &audio, uint64_t first_end,
				   wake_feature_cache *cache)
{
	std::vector<float> rows;
	EXPECT_TRUE(wake_features_clip(detector, audio.data(), audio.size(), first_end, audio.size(), cache, &rows));
	std::vector<float> scores;
	for (size_t p = 0; p < rows.size() / WAKE_ROW_FLOATS; p++)
		scores.push_back(wake_detector_score_features(detector, rows.data() + p * WAKE_ROW_FLOATS));
	return scores;
}

void expect_same_scores(const std::vector<pass_score> &production, const std::vector<float> &training,
			float tolerance)
{
	ASSERT_EQ(production.size(), training.size());
	ASSERT_GT(production.size(), 40u);
	for (size_t p = 0; p < production.size(); p++) {
		ASSERT_GE(production[p].score, -0.5f) << "pass " << p << " failed";
		EXPECT_NEAR(production[p].score, training[p], tolerance * (1.0f + fabsf(production[p].score)))
			<< "pass ending at sample " << production[p].end;
	}
}

const fs::path PROBE = fs::path(TV_TRAINING_TEST_DIR) / "data" / "feature_probe.onnx";
const fs::path SHIPPED = fs::path(TV_SHIPPED_MODELS_DIR) / "tollivaren_clip_it.onnx";

} // namespace

// The probe's score is a random projection of all 16 x 96 features: equal
// scores mean equal rows, in the same order.
TEST(training_features, rows_match_the_scoring_pass_for_every_hop)
{
	model_dir models(PROBE, "probe");
	detector_handle production(wake_detector_create(models.path.c_str(), "probe"));
	detector_handle training(wake_detector_create(models.path.c_str(), "probe"));
	ASSERT_NE(nullptr, production.detector);
	ASSERT_NE(nullptr, training.detector);

	const std::vector<int16_t> audio = test_audio();
	const std::vector<pass_score> expected = production_scores(production.detector, audio, WAKE_SCORE_HOP);
	ASSERT_EQ(WAKE_WINDOW_SAMPLES, expected.front().end);

	cache_handle cache;
	expect_same_scores(expected, training_scores(training.detector, audio, WAKE_WINDOW_SAMPLES, cache.cache), 1e-4f);
	// Most embedding inputs repeat from one hop to the next; the loud bursts
	// move the floor and force fresh runs.
	EXPECT_GT(cache->embedding_reuses, cache->embedding_runs);
	EXPECT_GT(cache->embedding_runs, 16u + 50u);
	// Most passes take their mel frames from a run over a longer stretch;
	// those whose window misses the stretch's loudest bin run their own.
	EXPECT_GT(cache->mel_span_reuses, 2 * (cache->mel_runs + cache->mel_span_runs));
	EXPECT_GT(cache->mel_runs, 5u);

	// The rows themselves are the filter's, bit for bit.
	std::vector<float> rows;
	ASSERT_TRUE(wake_features_clip(training.detector, audio.data(), audio.size(), WAKE_WINDOW_SAMPLES, audio.size(),
				       cache.cache, &rows));
	ASSERT_EQ(expected.size() * WAKE_ROW_FLOATS, rows.size());
	for (size_t p = 0; p < expected.size(); p++) {
		ASSERT_EQ(WAKE_ROW_FLOATS, expected[p].features.size());
		EXPECT_EQ(0, memcmp(expected[p].features.data(), rows.data() + p * WAKE_ROW_FLOATS,
				    WAKE_ROW_FLOATS * sizeof(float)))
			<< "pass ending at sample " << expected[p].end;
	}
}

// One cache over passes in any order, over other audio, a window twice,
// ends off the hop grid: every pass still gets the filter's rows bit for bit,
// while rows and mel frames are shared wherever they can be.
TEST(training_features, shared_rows_equal_the_filters_for_passes_in_any_order)
{
	model_dir models(PROBE, "probe");
	detector_handle production(wake_detector_create(models.path.c_str(), "probe"));
	detector_handle training(wake_detector_create(models.path.c_str(), "probe"));
	ASSERT_NE(nullptr, production.detector);
	ASSERT_NE(nullptr, training.detector);
	const std::vector<int16_t> audio = test_audio();
	std::vector<int16_t> quieter(audio.size());
	for (size_t i = 0; i < audio.size(); i++)
		quieter[i] = (int16_t)(audio[i] / 2);

	struct call {
		const std::vector<int16_t> *audio;
		std::vector<int64_t> ends;
	};
	const int64_t hop = (int64_t)WAKE_SCORE_HOP;
	const call calls[] = {
		{&audio, {40960, 40960 + hop, 40960 + 2 * hop, 40960 + 3 * hop, 40960 + 4 * hop}},
		// Half a hop on: the same frames, other embedding inputs.
		{&audio, {40960 + hop / 2, 40960 + 3 * hop / 2, 40960 + 5 * hop / 2}},
		// Back before the last pass: its inputs come round again in other slots.
		{&audio, {40960 - hop / 2, 40960 + hop / 2, 40960 + hop / 2, 40960 + 3 * hop / 2}},
		// The same positions in other audio share nothing.
		{&quieter, {40960 + hop / 2, 40960 + 3 * hop / 2}},
		// Ends a few samples off one another and the digital silence at the start.
		{&audio, {32000, 32007, 32007 + hop, 32160, 32160 + hop}},
		// The loud bursts: windows with and without the stretch's loudest bin.
		{&audio, {75000, 75000 + hop, 75000 + 2 * hop, 75000 + 3 * hop, 75000 + 4 * hop, 75000 + 5 * hop,
			  75000 + 6 * hop, 75000 + 7 * hop, 75000 + 8 * hop}},
	};
	cache_handle cache;
	for (const call &c : calls) {
		const uint64_t embedding_reuses = cache->embedding_reuses;
		std::vector<float> rows(c.ends.size() * WAKE_ROW_FLOATS);
		std::unique_ptr<bool[]> ok(new bool[c.ends.size()]);
		ASSERT_EQ(c.ends.size(), wake_feature_cache_passes(cache.cache, training.detector, c.audio->data(),
								   c.audio->size(), c.ends.data(), c.ends.size(),
								   rows.data(), ok.get(), nullptr));
		for (size_t p = 0; p < c.ends.size(); p++) {
			ASSERT_TRUE(ok[p]) << "pass ending at " << c.ends[p];
			const std::vector<float> expected = production_features(production.detector, *c.audio, c.ends[p]);
			ASSERT_EQ(WAKE_ROW_FLOATS, expected.size());
			EXPECT_EQ(0, memcmp(expected.data(), rows.data() + p * WAKE_ROW_FLOATS, WAKE_ROW_FLOATS * sizeof(float)))
				<< "call starting at " << c.ends[0] << ", pass ending at " << c.ends[p];
		}
		printf("    passes from %lld: %llu embedding rows reused\n", (long long)c.ends[0],
		       (unsigned long long)(cache->embedding_reuses - embedding_reuses));
	}
	EXPECT_GT(cache->embedding_reuses, cache->embedding_runs);
	EXPECT_GT(cache->mel_span_reuses, 0u);
	EXPECT_GT(cache->mel_runs, 0u);

	// A cancel stops before the next pass.
	volatile bool cancel = true;
	std::vector<float> rows(WAKE_ROW_FLOATS);
	bool ok = true;
	const int64_t end = 40960;
	EXPECT_EQ(0u, wake_feature_cache_passes(cache.cache, training.detector, audio.data(), audio.size(), &end, 1,
						 rows.data(), &ok, &cancel));
}

// A pass ending before two seconds of clip sees silence before the clip, as a
// detector that was fed that silence first.
TEST(training_features, short_clip_counts_as_preceded_by_silence)
{
	model_dir models(PROBE, "probe");
	detector_handle production(wake_detector_create(models.path.c_str(), "probe"));
	detector_handle training(wake_detector_create(models.path.c_str(), "probe"));
	ASSERT_NE(nullptr, production.detector);
	ASSERT_NE(nullptr, training.detector);

	const std::vector<int16_t> full = test_audio();
	const size_t lead = 20000; // silence the training path has to supply
	std::vector<int16_t> clip(full.begin() + (long)lead, full.end());
	const std::vector<pass_score> expected = production_scores(production.detector, full, WAKE_SCORE_HOP);
	expect_same_scores(expected, training_scores(training.detector, clip, WAKE_WINDOW_SAMPLES - lead, nullptr),
			   1e-4f);
}

TEST(training_features, stream_split_across_threads_scores_like_one_detector)
{
	model_dir models(PROBE, "probe");
	const std::vector<int16_t> audio = test_audio();
	std::vector<wake_stream_pass> one, two;
	ASSERT_TRUE(wake_stream_scores(models.path.string(), "probe", audio.data(), audio.size(), WAKE_SCORE_HOP, 1, &one));
	ASSERT_TRUE(wake_stream_scores(models.path.string(), "probe", audio.data(), audio.size(), WAKE_SCORE_HOP, 2, &two));
	ASSERT_EQ(one.size(), two.size());
	for (size_t p = 0; p < one.size(); p++) {
		EXPECT_EQ(one[p].end, two[p].end);
		EXPECT_NEAR(one[p].score, two[p].score, 1e-4f * (1.0f + fabsf(one[p].score)));
	}
	EXPECT_FALSE(wake_stream_scores("/nonexistent", "probe", audio.data(), audio.size(), WAKE_SCORE_HOP, 2, &two));

	// Voice profiles score each pass's features in the passes' order, one
	// column per profile, however the stream is split.
	voice_profile a{}, b{};
	for (size_t j = 0; j < WAKE_PASS_FEATURES; j++) {
		a.weights[j] = 0.02f * (float)((int)(j % 5) - 2);
		b.weights[j] = j < WAKE_PASS_FEATURES / 2 ? 0.01f : -0.03f;
	}
	b.bias = 0.5f;
	std::vector<wake_stream_pass> passes;
	std::vector<float> columns;
	ASSERT_TRUE(wake_stream_scores(models.path.string(), "probe", audio.data(), audio.size(), WAKE_SCORE_HOP, 2,
				       &passes, {&a, &b}, &columns));
	detector_handle single(wake_detector_create(models.path.c_str(), "probe"));
	ASSERT_NE(nullptr, single.detector);
	const std::vector<pass_score> expected = production_scores(single.detector, audio, WAKE_SCORE_HOP);
	ASSERT_EQ(expected.size(), passes.size());
	ASSERT_EQ(2 * passes.size(), columns.size());
	for (size_t p = 0; p < passes.size(); p++) {
		ASSERT_EQ(expected[p].end, passes[p].end);
		ASSERT_EQ(WAKE_ROW_FLOATS, expected[p].features.size());
		EXPECT_NEAR(voice_profile_score(&a, expected[p].features.data()), columns[2 * p], 1e-4f) << p;
		EXPECT_NEAR(voice_profile_score(&b, expected[p].features.data()), columns[2 * p + 1], 1e-4f) << p;
	}
}

// The shipped classifier scores the same through both paths, with packets of
// the size the host's resampler delivers.
TEST(training_features, shipped_classifier_scores_alike_on_both_paths)
{
	ASSERT_TRUE(fs::exists(SHIPPED)) << SHIPPED;
	model_dir models(SHIPPED, "tollivaren_clip_it");
	detector_handle production(wake_detector_create(models.path.c_str(), "tollivaren_clip_it"));
	detector_handle training(wake_detector_create(models.path.c_str(), "tollivaren_clip_it"));
	ASSERT_NE(nullptr, production.detector);
	ASSERT_NE(nullptr, training.detector);

	const std::vector<int16_t> audio = test_audio();
	const std::vector<pass_score> expected = production_scores(production.detector, audio, 341);
	std::vector<float> scores;
	std::vector<float> rows;
	for (const pass_score &pass : expected) {
		rows.clear();
		ASSERT_TRUE(wake_features_clip(training.detector, audio.data(), audio.size(), pass.end, pass.end, nullptr,
					       &rows));
		scores.push_back(wake_detector_score_features(training.detector, rows.data()));
	}
	expect_same_scores(expected, scores, 1e-5f);
}

namespace {

// espeak-ng speech at 16 kHz (sox resamples), after 2 s and before 1 s of
// near silence; empty when either tool fails.
std::vector<int16_t> spoken(const std::string &voice, const std::string &text)
{
	const fs::path wav = fs::temp_directory_path() / ("tv-training-speech-" + std::to_string(getpid()) + ".wav");
	const std::string command = "espeak-ng -v " + voice + " --stdout '" + text + "' | sox -q -t wav - -r 16000 -c 1 -b 16 '" +
				    wav.string() + "'";
	wav_audio audio;
	const bool ok = std::system(command.c_str()) == 0 && wav_read(wav.string(), &audio, nullptr);
	fs::remove(wav);
	if (!ok || audio.sample_rate != 16000 || audio.channels != 1)
		return {};
	std::vector<int16_t> out(32000, 0);
	for (float sample : audio.samples)
		out.push_back((int16_t)lround(sample * 32767.0f));
	out.resize(out.size() + 16000, 0);
	uint32_t seed = 99;
	for (int16_t &sample : out) { // a hiss floor about 70 dB down, not digital zero
		seed = seed * 1664525u + 1013904223u;
		sample = (int16_t)std::clamp((int)sample + (int)(seed >> 28) - 8, -32768, 32767);
	}
	return out;
}

float production_peak(wake_detector *detector, const std::vector<int16_t> &audio)
{
	float peak = -1.0f;
	for (const pass_score &pass : production_scores(detector, audio, 341))
		peak = std::max(peak, pass.score);
	return peak;
}

} // namespace

// The committed classifier on voices that its training never used (espeak-ng's
// Caribbean English and the f3 variant), at the dashboard's default threshold.
TEST(shipped_classifier, accepts_the_phrase_and_refuses_other_speech)
{
	model_dir models(SHIPPED, "tollivaren_clip_it");
	struct sample {
		const char *voice;
		const char *text;
		bool wake;
	};
	const sample samples[] = {
		{"en-029+m3", "tollivaren clip it", true},
		{"en-gb-scotland+f3", "tollivaren clip it", true},
		{"en-029", "okay tollivaren clip it", true},
		{"en-029+m3", "please turn the music down a little", false},
		{"en-gb-scotland+f3", "clip it", false},
		{"en-029", "we should call it even", false},
	};
	for (const sample &s : samples) {
		detector_handle detector(wake_detector_create(models.path.c_str(), "tollivaren_clip_it"));
		ASSERT_NE(nullptr, detector.detector);
		const std::vector<int16_t> audio = spoken(s.voice, s.text);
		ASSERT_FALSE(audio.empty()) << "espeak-ng or sox failed for " << s.voice;
		const float peak = production_peak(detector.detector, audio);
		if (s.wake)
			EXPECT_GE(peak, 0.6f) << s.voice << ": " << s.text;
		else
			EXPECT_LT(peak, 0.6f) << s.voice << ": " << s.text;
	}
}
