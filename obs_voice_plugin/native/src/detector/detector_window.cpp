#include "detector_pass.h"

#include <cstring>

// The window stays one contiguous run in time order (oldest first) because
// the mel model reads it in place as its input tensor.
void window_push(wake_detector *detector, const int16_t *samples, uint64_t count)
{
	float *window = detector->window;
	const uint64_t capacity = detector->window_capacity;

	if (count >= capacity) {
		const int16_t *newest = samples + (count - capacity);
		for (uint64_t i = 0; i < capacity; i++)
			window[i] = (float)newest[i];
		detector->window_fill = capacity;
		return;
	}

	uint64_t keep = detector->window_fill + count <= capacity ? detector->window_fill : capacity - count;
	if (detector->window_fill > keep)
		memmove(window, window + (detector->window_fill - keep), keep * sizeof(float));
	for (uint64_t i = 0; i < count; i++)
		window[keep + i] = (float)samples[i];
	detector->window_fill = keep + count;
}

float wake_detector_process(wake_detector *detector, const int16_t *samples, uint64_t count)
{
	if (!detector || !samples || count == 0 || !detector->classifier_session)
		return WAKE_NO_SCORE;

	window_push(detector, samples, count);
	detector->samples_since_score += count;
	if (detector->samples_since_score < WAKE_SCORE_HOP)
		return WAKE_NO_SCORE;
	if (detector->window_fill < detector->window_capacity)
		return WAKE_NO_SCORE;

	// Reset before the pass: a failed pass also waits for a full hop, and
	// samples beyond the hop are not carried over.
	detector->samples_since_score = 0;
	return score_window(detector);
}
