#include "wake_features.h"

#include <cstring>

namespace {

struct value_guard {
	const OrtApi *api;
	OrtValue *value;
	~value_guard()
	{
		if (value)
			api->ReleaseValue(value);
	}
};

const float *tensor_floats(wake_detector *detector, OrtValue *value, uint64_t needed)
{
	if (!value || output_float_count(detector, value) < needed)
		return nullptr;
	void *data = nullptr;
	OrtStatus *status = detector->api->GetTensorMutableData(value, &data);
	if (status) {
		detector->api->ReleaseStatus(status);
		return nullptr;
	}
	return (const float *)data;
}

bool embed(wake_detector *detector, float *block, float *row)
{
	int64_t shape[] = {1, (int64_t)WAKE_EMBEDDING_FRAMES, (int64_t)WAKE_MEL_BINS, 1};
	value_guard out{detector->api, run_model(detector, detector->embedding_session, detector->embedding_input_name,
						 detector->embedding_output_name, block, shape, 4)};
	const float *data = tensor_floats(detector, out.value, WAKE_FEATURES);
	if (!data)
		return false;
	memcpy(row, data, WAKE_FEATURES * sizeof(float));
	return true;
}

} // namespace

void wake_feature_cache_reset(wake_feature_cache *cache)
{
	for (bool &valid : cache->valid)
		valid = false;
}

bool wake_features_window(wake_detector *detector, float *window, int64_t first_frame,
			  wake_feature_cache *cache, float *rows)
{
	int64_t mel_shape[] = {1, (int64_t)WAKE_WINDOW_SAMPLES};
	value_guard mel{detector->api, run_model(detector, detector->mel_session, detector->mel_input_name,
						 detector->mel_output_name, window, mel_shape, 2)};
	if (!mel.value)
		return false;
	const uint64_t frames = output_frame_count(detector, mel.value);
	if (frames < WAKE_MEL_FRAMES_NEEDED)
		return false;
	const float *mel_data = tensor_floats(detector, mel.value, frames * WAKE_MEL_BINS);
	if (!mel_data)
		return false;

	std::vector<float> inputs(WAKE_EMBEDDING_ROWS * WAKE_BLOCK_FLOATS);
	int64_t keys[WAKE_EMBEDDING_ROWS];
	for (uint64_t i = 0; i < WAKE_EMBEDDING_ROWS; i++) {
		// Same frames and the same single-precision arithmetic as score_window.
		const uint64_t start = frames - WAKE_MEL_FRAMES_NEEDED + WAKE_EMBEDDING_HOP * i;
		const float *frame = mel_data + start * WAKE_MEL_BINS;
		float *block = inputs.data() + i * WAKE_BLOCK_FLOATS;
		for (uint64_t k = 0; k < WAKE_BLOCK_FLOATS; k++)
			block[k] = frame[k] / 10.0f + 2.0f;
		keys[i] = first_frame + (int64_t)start;

		float *row = rows + i * WAKE_FEATURES;
		bool reused = false;
		for (uint64_t j = 0; cache && j < WAKE_EMBEDDING_ROWS && !reused; j++) {
			const float *old = cache->input.data() + j * WAKE_BLOCK_FLOATS;
			if (cache->valid[j] && cache->frame[j] == keys[i] &&
			    memcmp(old, block, WAKE_BLOCK_FLOATS * sizeof(float)) == 0) {
				memcpy(row, cache->row.data() + j * WAKE_FEATURES, WAKE_FEATURES * sizeof(float));
				reused = true;
			}
		}
		if (reused) {
			cache->embedding_reuses++;
			continue;
		}
		if (!embed(detector, block, row))
			return false;
		if (cache)
			cache->embedding_runs++;
	}

	if (cache) {
		cache->input.swap(inputs);
		memcpy(cache->row.data(), rows, WAKE_ROW_FLOATS * sizeof(float));
		for (uint64_t i = 0; i < WAKE_EMBEDDING_ROWS; i++) {
			cache->valid[i] = true;
			cache->frame[i] = keys[i];
		}
	}
	return true;
}

bool wake_features_clip(wake_detector *detector, const int16_t *samples, uint64_t count, uint64_t first_end,
			uint64_t last_end, wake_feature_cache *cache, std::vector<float> *rows)
{
	std::vector<float> window(WAKE_WINDOW_SAMPLES);
	if (cache)
		wake_feature_cache_reset(cache);
	for (uint64_t end = first_end; end <= last_end && end <= count; end += WAKE_SCORE_HOP) {
		// Window sample i is clip sample end - 32000 + i; earlier ones are silence.
		for (uint64_t i = 0; i < WAKE_WINDOW_SAMPLES; i++) {
			const int64_t at = (int64_t)end - (int64_t)WAKE_WINDOW_SAMPLES + (int64_t)i;
			window[i] = at >= 0 ? (float)samples[at] : 0.0f;
		}
		const size_t offset = rows->size();
		rows->resize(offset + WAKE_ROW_FLOATS);
		// Mel frames are 160 samples apart, so pass ends 1280 apart key the
		// cache by whole frames.
		const int64_t first_frame = (int64_t)(end - first_end) / 160;
		if (!wake_features_window(detector, window.data(), first_frame, cache, rows->data() + offset))
			return false;
	}
	return true;
}

float wake_features_score(wake_detector *detector, float *rows)
{
	int64_t shape[] = {1, (int64_t)WAKE_EMBEDDING_ROWS, (int64_t)WAKE_FEATURES};
	value_guard out{detector->api, run_model(detector, detector->classifier_session, detector->classifier_input_name,
						 detector->classifier_output_name, rows, shape, 3)};
	const float *score = tensor_floats(detector, out.value, 1);
	return score ? score[0] : WAKE_NO_SCORE;
}
