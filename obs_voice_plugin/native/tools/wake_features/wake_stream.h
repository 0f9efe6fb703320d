#pragma once

// Long audio streamed through wake_detector_process exactly as the filter
// feeds it: fixed-size packets, a pass whenever the detector runs one.

#include <cstdint>
#include <string>
#include <vector>

struct voice_profile;

struct wake_stream_pass {
	uint64_t end; // samples fed when the pass ran
	float score;
};

// Splits the stream into `threads` contiguous parts, each scored by its own
// detector. A part starts feeding two seconds plus one hop before its first
// sample so that its window is full there; passes ending before the part's
// own start are dropped. Returns false when a detector cannot be created.
// With `profiles`, each pass's features are also scored by every profile,
// as the filter scores them: profile_scores gets one row of profiles.size()
// scores per pass, in the passes' order.
bool wake_stream_scores(const std::string &models_dir, const std::string &model_name, const int16_t *samples,
			uint64_t count, uint64_t packet, unsigned threads, std::vector<wake_stream_pass> *passes,
			const std::vector<const voice_profile *> &profiles = {},
			std::vector<float> *profile_scores = nullptr);
