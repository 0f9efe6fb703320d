#pragma once

#include <cstdint>

#include <onnxruntime_c_api.h>

// The classifier's input for one pass: 16 embedding rows of 96 features.
constexpr uint64_t WAKE_PASS_FEATURES = 16 * 96;

// The openWakeWord chain (mel spectrogram, speech embedding, phrase
// classifier) and the newest two seconds of 16 kHz audio it scores.
struct wake_detector {
	const OrtApi *api;
	OrtEnv *env;
	OrtAllocator *allocator;
	OrtMemoryInfo *memory_info;
	OrtSession *mel_session;
	OrtSession *embedding_session;
	OrtSession *classifier_session;
	char *mel_input_name;
	char *mel_output_name;
	char *embedding_input_name;
	char *embedding_output_name;
	char *classifier_input_name;
	char *classifier_output_name;
	char *model_name;
	float *window;
	uint64_t window_capacity;
	uint64_t window_fill;
	uint64_t samples_since_score;
	// What the last pass handed the classifier, kept so that the same pass
	// can be scored again (by a voice profile) without any allocation.
	float features[WAKE_PASS_FEATURES];
	bool features_ready;
};

// Lower-case [a-z0-9] runs joined by single '_'; never null (bfree it).
char *model_name_from_phrase(const char *phrase);

// Keeps ONNX Runtime's telemetry client from starting in this process (see
// detector_setup.cpp). Takes effect only before the runtime's first
// environment; wake_detector_create calls it too. Call it early, with as few
// threads running as possible: it may set an environment variable.
void wake_detector_prepare_runtime(void);

wake_detector *wake_detector_create(const char *models_dir, const char *model_name);
void wake_detector_destroy(wake_detector *detector);

// Appends 16 kHz mono samples; returns the classifier score when a scoring
// pass ran, else -1.
float wake_detector_process(wake_detector *detector, const int16_t *samples, uint64_t count);

// The 16 x 96 features (row-major) of the last pass, or null when no pass
// ran yet or the last one failed before the classifier. Valid until the next
// call of wake_detector_process.
const float *wake_detector_features(const wake_detector *detector);
