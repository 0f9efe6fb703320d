#pragma once

// Long audio streamed through wake_detector_process exactly as the filter
// feeds it: fixed-size packets, a pass whenever the detector runs one.

#include <cstdint>
#include <string>
#include <vector>

struct wake_stream_pass {
	uint64_t end; // samples fed when the pass ran
	float score;
};

// Splits the stream into `threads` contiguous parts, each scored by its own
// detector. A part starts feeding two seconds plus one hop before its first
// sample so that its window is full there; passes ending before the part's
// own start are dropped. Returns false when a detector cannot be created.
bool wake_stream_scores(const std::string &models_dir, const std::string &model_name, const int16_t *samples,
			uint64_t count, uint64_t packet, unsigned threads, std::vector<wake_stream_pass> *passes);
