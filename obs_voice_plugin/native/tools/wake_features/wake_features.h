#pragma once

// The classifier input that the detector's scoring pass builds, computed for
// any two-second window of a longer clip, so that a classifier can be trained
// on exactly the rows it will see at run time.

#include <cstdint>
#include <vector>

#include "detector/detector_pass.h"

constexpr uint64_t WAKE_ROW_FLOATS = WAKE_EMBEDDING_ROWS * WAKE_FEATURES;
constexpr uint64_t WAKE_BLOCK_FLOATS = WAKE_EMBEDDING_FRAMES * WAKE_MEL_BINS;

// Embeddings of the previous pass, keyed by their first frame's position in
// the clip. A pass one hop later repeats 15 of the 16 embedding inputs; an
// input that is bit for bit the same reuses its row instead of running the
// embedding model again. The mel model's floor (80 dB under the window's
// loudest bin) can change between passes, so inputs are compared, not assumed.
struct wake_feature_cache {
	bool valid[WAKE_EMBEDDING_ROWS] = {};
	int64_t frame[WAKE_EMBEDDING_ROWS] = {};
	std::vector<float> input = std::vector<float>(WAKE_EMBEDDING_ROWS * WAKE_BLOCK_FLOATS);
	std::vector<float> row = std::vector<float>(WAKE_ROW_FLOATS);
	uint64_t embedding_runs = 0;
	uint64_t embedding_reuses = 0;
};

void wake_feature_cache_reset(wake_feature_cache *cache);

// Runs the mel model over one 32000-sample window (int16-valued floats, as
// the detector's window holds them) and writes the 16 x 96 rows that
// score_window would hand the classifier. `first_frame` is the clip position
// (in mel frames) of the window's frame 0; it only keys the cache, which may
// be null. Returns false when a model run fails.
bool wake_features_window(wake_detector *detector, float *window, int64_t first_frame,
			  wake_feature_cache *cache, float *rows);

// Rows for every pass of a clip whose window ends at first_end, first_end +
// 1280, ..., last_end (sample positions one past the newest sample). Samples
// before the clip's start count as silence. Appends WAKE_ROW_FLOATS per pass.
bool wake_features_clip(wake_detector *detector, const int16_t *samples, uint64_t count, uint64_t first_end,
			uint64_t last_end, wake_feature_cache *cache, std::vector<float> *rows);

// The classifier's score for one set of rows; -1 when the run fails.
float wake_features_score(wake_detector *detector, float *rows);
