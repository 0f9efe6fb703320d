#include "feature_cache.h"

#include <algorithm>
#include <cstring>

#include <util/bmem.h>
#include <util/threading.h>

namespace {

// Passes at most this many hops after the first of a stretch share its mel run.
constexpr uint64_t SPAN_HOPS = 8;
constexpr uint64_t SPAN_SAMPLES = WAKE_WINDOW_SAMPLES + SPAN_HOPS * WAKE_SCORE_HOP;

bool embed(wake_detector *detector, float *input, float *row)
{
	int64_t shape[] = {1, (int64_t)WAKE_EMBEDDING_FRAMES, (int64_t)WAKE_MEL_BINS, 1};
	output_guard out{detector->api, run_model(detector, detector->embedding_session, detector->embedding_input_name,
						  detector->embedding_output_name, input, shape, 4)};
	const float *data = output_floats(detector, out.value, WAKE_FEATURES);
	if (!data)
		return false;
	memcpy(row, data, WAKE_FEATURES * sizeof(float));
	return true;
}

// The last pass's row whose input is bit for bit `input`, or null.
const float *cached_row(const wake_feature_cache *cache, const float *input)
{
	if (!cache->filled)
		return nullptr;
	const float *inputs = cache->inputs[cache->last];
	for (uint64_t j = 0; j < WAKE_EMBEDDING_ROWS; j++)
		if (memcmp(inputs + j * WAKE_EMBEDDING_INPUT_FLOATS, input, WAKE_EMBEDDING_INPUT_FLOATS * sizeof(float)) == 0)
			return cache->rows + j * WAKE_FEATURES;
	return nullptr;
}

// A pass's features from its window's mel frames (frames x 32 floats), with
// the same frames and single-precision arithmetic as score_window.
bool features_from_mel(wake_feature_cache *cache, wake_detector *detector, const float *mel, uint64_t frames,
		       float *features)
{
	if (frames < WAKE_MEL_FRAMES_NEEDED)
		return false;
	float *next = cache->inputs[1 - cache->last];
	for (uint64_t i = 0; i < WAKE_EMBEDDING_ROWS; i++) {
		const uint64_t start = frames - WAKE_MEL_FRAMES_NEEDED + WAKE_EMBEDDING_HOP * i;
		const float *frame = mel + start * WAKE_MEL_BINS;
		float *input = next + i * WAKE_EMBEDDING_INPUT_FLOATS;
		for (uint64_t k = 0; k < WAKE_EMBEDDING_INPUT_FLOATS; k++)
			input[k] = frame[k] / 10.0f + 2.0f;

		float *row = features + i * WAKE_FEATURES;
		const float *reuse = cached_row(cache, input);
		if (reuse) {
			memcpy(row, reuse, WAKE_FEATURES * sizeof(float));
			cache->embedding_reuses++;
			continue;
		}
		if (!embed(detector, input, row))
			return false;
		cache->embedding_runs++;
	}
	cache->last = 1 - cache->last;
	memcpy(cache->rows, features, WAKE_PASS_FEATURES * sizeof(float));
	cache->filled = true;
	return true;
}

// The mel model over `count` samples (from `samples`) into *out; the frames,
// or 0 when the run fails.
uint64_t run_mel(wake_detector *detector, const int16_t *samples, uint64_t count, float *input, output_guard *out,
		 const float **mel)
{
	for (uint64_t i = 0; i < count; i++)
		input[i] = (float)samples[i];
	int64_t shape[] = {1, (int64_t)count};
	out->release();
	out->value = run_model(detector, detector->mel_session, detector->mel_input_name, detector->mel_output_name,
			       input, shape, 2);
	if (!out->value)
		return 0;
	const uint64_t frames = output_frame_count(detector, out->value);
	if (frames == 0 || frames > UINT64_MAX / WAKE_MEL_BINS)
		return 0;
	*mel = output_floats(detector, out->value, frames * WAKE_MEL_BINS);
	return *mel ? frames : 0;
}

float loudest(const float *values, uint64_t count)
{
	float top = values[0];
	for (uint64_t i = 1; i < count; i++)
		if (values[i] > top)
			top = values[i];
	return top;
}

} // namespace

wake_feature_cache *wake_feature_cache_create(void)
{
	return (wake_feature_cache *)bzalloc(sizeof(wake_feature_cache));
}

void wake_feature_cache_destroy(wake_feature_cache *cache)
{
	bfree(cache);
}

size_t wake_feature_cache_passes(wake_feature_cache *cache, wake_detector *detector, const int16_t *samples,
				 uint64_t count, const int64_t *ends, size_t passes, float *features, bool *ok,
				 const volatile bool *cancel)
{
	wake_feature_cache *own = cache ? nullptr : wake_feature_cache_create();
	if (own)
		cache = own;
	float *input = (float *)bmalloc(SPAN_SAMPLES * sizeof(float));
	output_guard span{detector->api, nullptr};
	const float *span_mel = nullptr;
	uint64_t span_frames = 0;
	int64_t span_first = 0, span_last = -1; // ends the span run covers
	float span_top = 0.0f;

	size_t i = 0;
	for (; i < passes; i++) {
		if (cancel && os_atomic_load_bool(cancel))
			break;
		const int64_t end = ends[i];
		float *out = features + i * WAKE_PASS_FEATURES;
		ok[i] = false;
		if (end < (int64_t)WAKE_WINDOW_SAMPLES || end > (int64_t)count)
			continue;

		// A new stretch: this pass and those after it within SPAN_HOPS hops,
		// a whole number of mel frames apart.
		if (end < span_first || end > span_last || (end - span_first) % (int64_t)WAKE_MEL_HOP != 0) {
			// Until a window's own run has shown its frame count, passes go one by one.
			size_t last = i;
			while (cache->window_frames && last + 1 < passes) {
				const int64_t after = ends[last + 1] - end;
				if (ends[last + 1] > (int64_t)count || after < 0 ||
				    after > (int64_t)(SPAN_HOPS * WAKE_SCORE_HOP) || after % (int64_t)WAKE_MEL_HOP != 0)
					break;
				last++;
			}
			span_first = end;
			span_last = ends[last];
			span.release();
			span_frames = 0;
			if (last > i) {
				const uint64_t length = WAKE_WINDOW_SAMPLES + (uint64_t)(span_last - span_first);
				span_frames = run_mel(detector, samples + (end - (int64_t)WAKE_WINDOW_SAMPLES), length,
						      input, &span, &span_mel);
				const uint64_t extra = (uint64_t)(span_last - span_first) / WAKE_MEL_HOP;
				// The frame count must be the window's plus one per 160 samples.
				if (span_frames != cache->window_frames + extra)
					span_frames = 0;
				if (span_frames)
					span_top = loudest(span_mel, span_frames * WAKE_MEL_BINS);
				cache->mel_span_runs++;
			}
		}

		// The stretch's frames serve a window that holds its loudest bin.
		if (span_frames) {
			const float *slice = span_mel + (uint64_t)(end - span_first) / WAKE_MEL_HOP * WAKE_MEL_BINS;
			const uint64_t frames = cache->window_frames;
			if (loudest(slice, frames * WAKE_MEL_BINS) == span_top) {
				ok[i] = features_from_mel(cache, detector, slice, frames, out);
				cache->mel_span_reuses++;
				continue;
			}
		}
		output_guard mel{detector->api, nullptr};
		const float *window_mel = nullptr;
		const uint64_t frames = run_mel(detector, samples + (end - (int64_t)WAKE_WINDOW_SAMPLES),
						WAKE_WINDOW_SAMPLES, input, &mel, &window_mel);
		cache->mel_runs++;
		if (frames)
			cache->window_frames = frames;
		ok[i] = frames && features_from_mel(cache, detector, window_mel, frames, out);
	}
	bfree(input);
	wake_feature_cache_destroy(own);
	return i;
}

float wake_detector_score_features(wake_detector *detector, float *features)
{
	int64_t shape[] = {1, (int64_t)WAKE_EMBEDDING_ROWS, (int64_t)WAKE_FEATURES};
	output_guard out{detector->api, run_model(detector, detector->classifier_session, detector->classifier_input_name,
						  detector->classifier_output_name, features, shape, 3)};
	const float *score = output_floats(detector, out.value, 1);
	return score ? score[0] : WAKE_NO_SCORE;
}
