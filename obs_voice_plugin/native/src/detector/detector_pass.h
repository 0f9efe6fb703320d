#pragma once

// Pieces of the scoring pipeline shared by wake_detector_process, the score
// tool, the benchmark and the tests.

#include <cstddef>
#include <cstdint>

#include "wake_detector.h"

// Two seconds of 16 kHz audio.
constexpr uint64_t WAKE_WINDOW_SAMPLES = 32000;
// Fewest new samples (80 ms) between two scoring passes.
constexpr uint64_t WAKE_SCORE_HOP = 1280;
constexpr uint64_t WAKE_MEL_BINS = 32;
constexpr uint64_t WAKE_EMBEDDING_FRAMES = 76;
constexpr uint64_t WAKE_EMBEDDING_HOP = 8;
constexpr uint64_t WAKE_EMBEDDING_ROWS = 16;
constexpr uint64_t WAKE_FEATURES = 96;
static_assert(WAKE_PASS_FEATURES == WAKE_EMBEDDING_ROWS * WAKE_FEATURES, "one pass's features");
// Span of the 16 embedding windows: 76 + 15 * 8.
constexpr uint64_t WAKE_MEL_FRAMES_NEEDED =
	WAKE_EMBEDDING_FRAMES + (WAKE_EMBEDDING_ROWS - 1) * WAKE_EMBEDDING_HOP;
constexpr size_t WAKE_MEL_MAX_RANK = 8;
constexpr float WAKE_NO_SCORE = -1.0f;
// Classifier used when no model name is given.
constexpr char WAKE_DEFAULT_MODEL_NAME[] = "tollivaren_clip_it";

// Appends samples as floats, keeping the newest window_capacity in order.
void window_push(wake_detector *detector, const int16_t *samples, uint64_t count);

// One full pass over the window: mel, 16 embeddings, classifier.
float score_window(wake_detector *detector);

// Second-to-last dimension of a tensor's shape (ranks 2 to 8), else 0.
uint64_t output_frame_count(wake_detector *detector, const OrtValue *value);

// Number of floats a tensor holds; 0 for a tensor of another element type
// or when the runtime cannot tell.
uint64_t output_float_count(wake_detector *detector, const OrtValue *value);

// Releases a runtime output value when the pass leaves its scope.
struct output_guard {
	const OrtApi *api;
	OrtValue *value;

	~output_guard() { release(); }
	void release()
	{
		if (value)
			api->ReleaseValue(value);
		value = nullptr;
	}
};

// The output's floats, provided it holds at least `needed` of them; null
// otherwise (also for a null value).
const float *output_floats(wake_detector *detector, OrtValue *value, uint64_t needed);

// Runs a one-input, one-output model over caller memory. Returns the output
// (release it with ReleaseValue) or null after logging.
OrtValue *run_model(wake_detector *detector, OrtSession *session, const char *input_name,
		    const char *output_name, float *input, const int64_t *shape, size_t rank);
