#pragma once

// The classifier input that the detector's scoring pass builds, computed for
// any two-second window of a longer clip, so that a classifier can be trained
// on exactly the rows it will see at run time.

#include <cstdint>
#include <vector>

#include "detector/feature_cache.h"

constexpr uint64_t WAKE_ROW_FLOATS = WAKE_PASS_FEATURES;

// Rows for every pass of a clip whose window ends at first_end, first_end +
// 1280, ..., last_end (sample positions one past the newest sample). Samples
// before the clip's start count as silence. Appends WAKE_ROW_FLOATS per pass.
// The cache (null: every embedding runs) reuses rows from pass to pass.
bool wake_features_clip(wake_detector *detector, const int16_t *samples, uint64_t count, uint64_t first_end,
			uint64_t last_end, wake_feature_cache *cache, std::vector<float> *rows);
