#include "detector_pass.h"

#include <cstdlib>
#include <mutex>

#include <util/base.h>
#include <util/bmem.h>
#include <util/dstr.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

static const uint32_t ORT_API_LEVEL = 17;
static const char ORT_LOG_ID[] = "tollivaren-voice";

// ONNX Runtime's Linux build starts a telemetry client with the first
// environment of the process unless ORT_DISABLE_TELEMETRY is set: a thread
// that uploads usage events and a persistent device id to Microsoft's
// collector, a database under ~/.cache/Microsoft and a debug file in /tmp per
// process. Nothing of that is ours to send from a streamer's OBS. The thread
// also outlives every environment, so it still runs while the process's
// static objects are destroyed at exit. A value the user set stays as it is.
void wake_detector_prepare_runtime(void)
{
	static std::once_flag prepared;
	std::call_once(prepared, [] {
#ifdef _WIN32
		if (!getenv("ORT_DISABLE_TELEMETRY"))
			_putenv_s("ORT_DISABLE_TELEMETRY", "1");
#else
		setenv("ORT_DISABLE_TELEMETRY", "1", 0);
#endif
	});
}

// Opens one session from "<dir>/<file>" into *session.
static bool load_model_session(wake_detector *detector, const OrtSessionOptions *options,
			       const char *models_dir, const char *file_name, OrtSession **session)
{
	const OrtApi *api = detector->api;
	struct dstr path = {};
	dstr_printf(&path, "%s/%s", models_dir ? models_dir : ".", file_name);

#ifdef _WIN32
	int wide_length = MultiByteToWideChar(CP_UTF8, 0, path.array, -1, NULL, 0);
	if (wide_length <= 0) {
		blog(LOG_ERROR, "[tollivaren-voice] failed to widen model path: %s", path.array);
		dstr_free(&path);
		return false;
	}
	wchar_t *wide_path = (wchar_t *)bmalloc((size_t)wide_length * sizeof(wchar_t));
	MultiByteToWideChar(CP_UTF8, 0, path.array, -1, wide_path, wide_length);
	OrtStatus *status = api->CreateSession(detector->env, wide_path, options, session);
	bfree(wide_path);
#else
	OrtStatus *status = api->CreateSession(detector->env, path.array, options, session);
#endif

	if (status) {
		blog(LOG_ERROR, "[tollivaren-voice] failed to load %s: %s", path.array, api->GetErrorMessage(status));
		api->ReleaseStatus(status);
	}
	dstr_free(&path);
	return status == nullptr;
}

// Names of input 0 and output 0, allocated by the default allocator.
static bool query_io_names(wake_detector *detector, OrtSession *session, char **input_name, char **output_name)
{
	const OrtApi *api = detector->api;
	OrtStatus *status = api->SessionGetInputName(session, 0, detector->allocator, input_name);
	if (!status)
		status = api->SessionGetOutputName(session, 0, detector->allocator, output_name);
	if (status) {
		blog(LOG_ERROR, "[tollivaren-voice] onnx node-name query: %s", api->GetErrorMessage(status));
		api->ReleaseStatus(status);
		return false;
	}
	return true;
}

// Environment, default allocator and CPU memory info, stopping at the first failure.
static bool detector_init_runtime(wake_detector *detector)
{
	const OrtApi *api = detector->api;
	wake_detector_prepare_runtime();
	OrtStatus *status = api->CreateEnv(ORT_LOGGING_LEVEL_WARNING, ORT_LOG_ID, &detector->env);
	// The runtime's own events where the variable is not its switch (Windows);
	// not being able to turn them off does not stop detection.
	if (!status) {
		OrtStatus *telemetry = api->DisableTelemetryEvents(detector->env);
		if (telemetry)
			api->ReleaseStatus(telemetry);
		status = api->GetAllocatorWithDefaultOptions(&detector->allocator);
	}
	if (!status)
		status = api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &detector->memory_info);
	if (status) {
		blog(LOG_ERROR, "[tollivaren-voice] onnx init failed: %s", api->GetErrorMessage(status));
		api->ReleaseStatus(status);
		return false;
	}
	return true;
}

// The three sessions in chain order; a failed load skips the later ones.
static bool detector_load_sessions(wake_detector *detector, const char *models_dir)
{
	const OrtApi *api = detector->api;
	OrtSessionOptions *options = nullptr;
	OrtStatus *status = api->CreateSessionOptions(&options);
	if (status) {
		blog(LOG_ERROR, "[tollivaren-voice] onnx session options failed");
		api->ReleaseStatus(status);
		return false;
	}
	// Not fatal: the runtime's default thread count still works.
	status = api->SetIntraOpNumThreads(options, 1);
	if (status)
		api->ReleaseStatus(status);

	struct dstr classifier_file = {};
	dstr_printf(&classifier_file, "%s.onnx", detector->model_name);

	bool loaded = load_model_session(detector, options, models_dir, "melspectrogram.onnx", &detector->mel_session) &&
		      load_model_session(detector, options, models_dir, "embedding_model.onnx",
					 &detector->embedding_session) &&
		      load_model_session(detector, options, models_dir, classifier_file.array,
					 &detector->classifier_session);

	dstr_free(&classifier_file);
	api->ReleaseSessionOptions(options);
	return loaded;
}

wake_detector *wake_detector_create(const char *models_dir, const char *model_name)
{
	const OrtApi *api = OrtGetApiBase()->GetApi(ORT_API_LEVEL);
	if (!api) {
		blog(LOG_ERROR, "[tollivaren-voice] ONNX Runtime API unavailable");
		return nullptr;
	}

	wake_detector *detector = (wake_detector *)bzalloc(sizeof(*detector));
	detector->api = api;
	detector->model_name = bstrdup(model_name ? model_name : WAKE_DEFAULT_MODEL_NAME);
	detector->window = (float *)bzalloc(WAKE_WINDOW_SAMPLES * sizeof(float));
	detector->window_capacity = WAKE_WINDOW_SAMPLES;

	if (!detector_init_runtime(detector) || !detector_load_sessions(detector, models_dir) ||
	    !query_io_names(detector, detector->mel_session, &detector->mel_input_name, &detector->mel_output_name) ||
	    !query_io_names(detector, detector->embedding_session, &detector->embedding_input_name,
			    &detector->embedding_output_name) ||
	    !query_io_names(detector, detector->classifier_session, &detector->classifier_input_name,
			    &detector->classifier_output_name)) {
		wake_detector_destroy(detector);
		return nullptr;
	}

	blog(LOG_INFO, "[tollivaren-voice] openWakeWord detector ready (model='%s')", detector->model_name);
	return detector;
}
