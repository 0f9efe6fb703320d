#pragma once

// The features of passes over stretches of audio, off the audio thread
// (enrollment, the training tools): the same floats, bit for bit, that
// wake_detector_features gives after the filter's pass over the same two
// seconds, with fewer model runs.
//
// Embedding: a pass one hop after another repeats 15 of its 16 embedding
// inputs; an input that is bit for bit one of the last pass's takes that
// pass's row instead of running the embedding model again.
//
// Mel: the mel model's frames are 160 samples apart and each depends only on
// its own samples, except for the floor, 80 dB under the loudest bin of the
// whole input. So passes a whole number of frames apart share one run of the
// mel model over the stretch they span: a pass whose frames hold that
// stretch's loudest bin has the stretch's floor and takes its frames from
// that run; any other pass runs the mel model over its own window. Inputs
// and maxima are compared, never assumed from positions.

#include <cstdint>

#include "detector_pass.h"

// One embedding input: 76 mel frames of 32 bins.
constexpr uint64_t WAKE_EMBEDDING_INPUT_FLOATS = WAKE_EMBEDDING_FRAMES * WAKE_MEL_BINS;
// Samples from one mel frame to the next.
constexpr uint64_t WAKE_MEL_HOP = 160;
static_assert(WAKE_SCORE_HOP == WAKE_EMBEDDING_HOP * WAKE_MEL_HOP, "a pass hop is 8 mel frames");

struct wake_feature_cache {
	// inputs[last]: the last pass's 16 embedding inputs, whose rows are
	// `rows`; the other half is where the next pass builds its inputs.
	float inputs[2][WAKE_EMBEDDING_ROWS * WAKE_EMBEDDING_INPUT_FLOATS];
	float rows[WAKE_PASS_FEATURES];
	int last;
	bool filled;            // a pass has completed
	uint64_t window_frames; // mel frames of one window, once a run has shown it
	uint64_t embedding_runs;
	uint64_t embedding_reuses;
	uint64_t mel_runs;        // over one pass's window
	uint64_t mel_span_runs;   // over a stretch several passes share
	uint64_t mel_span_reuses; // passes whose frames came from such a run
};

// Empty, counters at 0 (free it with wake_feature_cache_destroy).
wake_feature_cache *wake_feature_cache_create(void);
void wake_feature_cache_destroy(wake_feature_cache *cache);

// Passes over `samples` (16 kHz, `count` of them) whose windows end at
// ends[0], ends[1], ... (each at least WAKE_WINDOW_SAMPLES and at most count;
// others fail). Rising ends a few hops apart share mel runs. Writes pass i's 16 x 96 features at features + i *
// WAKE_PASS_FEATURES and ok[i] (false when a model run failed). Looks at
// *cancel (when given) before each pass and returns how many passes it
// looked at: `passes` unless cancelled. Without a cache (null) every pass
// still shares what it can with the passes of this call.
size_t wake_feature_cache_passes(wake_feature_cache *cache, wake_detector *detector, const int16_t *samples,
				 uint64_t count, const int64_t *ends, size_t passes, float *features, bool *ok,
				 const volatile bool *cancel);

// The classifier's score for one pass's features, as score_window computes
// it; WAKE_NO_SCORE when the run fails.
float wake_detector_score_features(wake_detector *detector, float *features);
