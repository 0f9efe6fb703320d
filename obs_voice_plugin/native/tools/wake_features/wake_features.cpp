#include "wake_features.h"

#include <algorithm>
#include <memory>

bool wake_features_clip(wake_detector *detector, const int16_t *samples, uint64_t count, uint64_t first_end,
			uint64_t last_end, wake_feature_cache *cache, std::vector<float> *rows)
{
	// Silence before the clip for windows that start before it.
	const uint64_t lead = first_end < WAKE_WINDOW_SAMPLES ? WAKE_WINDOW_SAMPLES - first_end : 0;
	std::vector<int16_t> clip(lead, 0);
	clip.insert(clip.end(), samples, samples + count);
	std::vector<int64_t> ends;
	for (uint64_t end = first_end; end <= last_end && end <= count; end += WAKE_SCORE_HOP)
		ends.push_back((int64_t)(lead + end));
	if (ends.empty())
		return true;

	const size_t offset = rows->size();
	rows->resize(offset + ends.size() * WAKE_ROW_FLOATS);
	std::unique_ptr<bool[]> ok(new bool[ends.size()]);
	wake_feature_cache_passes(cache, detector, clip.data(), clip.size(), ends.data(), ends.size(),
				  rows->data() + offset, ok.get(), nullptr);
	return std::all_of(ok.get(), ok.get() + ends.size(), [](bool pass) { return pass; });
}
