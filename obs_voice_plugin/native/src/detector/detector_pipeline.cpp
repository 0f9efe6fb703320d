#include "detector_pass.h"

#include <cstring>

float score_window(wake_detector *detector)
{
	const OrtApi *api = detector->api;
	detector->features_ready = false;

	int64_t mel_shape[] = {1, (int64_t)detector->window_fill};
	output_guard mel{api, run_model(detector, detector->mel_session, detector->mel_input_name,
					detector->mel_output_name, detector->window, mel_shape, 2)};
	if (!mel.value)
		return WAKE_NO_SCORE;

	const uint64_t frames = output_frame_count(detector, mel.value);
	if (frames < WAKE_MEL_FRAMES_NEEDED || frames > UINT64_MAX / WAKE_MEL_BINS)
		return WAKE_NO_SCORE;
	const float *mel_data = output_floats(detector, mel.value, frames * WAKE_MEL_BINS);
	if (!mel_data)
		return WAKE_NO_SCORE;

	// Automatic storage and the detector's own: a pass makes no heap
	// allocation of its own.
	float embedding_input[WAKE_EMBEDDING_FRAMES * WAKE_MEL_BINS];
	float *features = detector->features;
	int64_t embedding_shape[] = {1, (int64_t)WAKE_EMBEDDING_FRAMES, (int64_t)WAKE_MEL_BINS, 1};

	// Window i starts at frame F - 196 + 8i, so the last one ends on frame F - 1.
	for (uint64_t i = 0; i < WAKE_EMBEDDING_ROWS; i++) {
		const uint64_t start = frames - WAKE_MEL_FRAMES_NEEDED + WAKE_EMBEDDING_HOP * i;
		const float *frame = mel_data + start * WAKE_MEL_BINS;
		for (uint64_t k = 0; k < WAKE_EMBEDDING_FRAMES * WAKE_MEL_BINS; k++)
			embedding_input[k] = frame[k] / 10.0f + 2.0f;

		output_guard embedding{api, run_model(detector, detector->embedding_session,
						      detector->embedding_input_name, detector->embedding_output_name,
						      embedding_input, embedding_shape, 4)};
		if (!embedding.value)
			return WAKE_NO_SCORE;
		const float *row = output_floats(detector, embedding.value, WAKE_FEATURES);
		if (!row)
			return WAKE_NO_SCORE;
		memcpy(features + i * WAKE_FEATURES, row, WAKE_FEATURES * sizeof(float));
	}
	mel.release();
	detector->features_ready = true;

	int64_t classifier_shape[] = {1, (int64_t)WAKE_EMBEDDING_ROWS, (int64_t)WAKE_FEATURES};
	output_guard classifier{api, run_model(detector, detector->classifier_session, detector->classifier_input_name,
					       detector->classifier_output_name, features, classifier_shape, 3)};
	if (!classifier.value)
		return WAKE_NO_SCORE;
	const float *score = output_floats(detector, classifier.value, 1);
	return score ? score[0] : WAKE_NO_SCORE;
}

const float *wake_detector_features(const wake_detector *detector)
{
	return detector && detector->features_ready ? detector->features : nullptr;
}
