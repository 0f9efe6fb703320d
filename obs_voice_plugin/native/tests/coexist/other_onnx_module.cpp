// A test-only OBS module standing in for another plug-in that ships its own
// ONNX Runtime under the generic soname libonnxruntime.so.1, found beside it
// through $ORIGIN, as background-removal and transcription plug-ins do. On
// load, and again once every module has loaded, it logs the version of the
// runtime it got and runs openWakeWord's mel-spectrogram model on a tone.

#include <cmath>
#include <vector>

#include <obs-module.h>
#include <onnxruntime_c_api.h>

OBS_DECLARE_MODULE()

namespace {

// The C API level this module asks for: the runtime beside it has 20.
const uint32_t OTHER_API_LEVEL = 17;
const int64_t TONE_SAMPLES = 16000;

struct other_run {
	const OrtApi *api = nullptr;
	OrtEnv *env = nullptr;
	OrtSessionOptions *options = nullptr;
	OrtSession *session = nullptr;
	OrtAllocator *allocator = nullptr;
	OrtMemoryInfo *memory = nullptr;
	char *input_name = nullptr;
	char *output_name = nullptr;
	OrtValue *input = nullptr;
	OrtValue *output = nullptr;
};

void other_run_release(other_run *run)
{
	const OrtApi *api = run->api;
	if (run->input_name)
		run->allocator->Free(run->allocator, run->input_name);
	if (run->output_name)
		run->allocator->Free(run->allocator, run->output_name);
	if (run->output)
		api->ReleaseValue(run->output);
	if (run->input)
		api->ReleaseValue(run->input);
	if (run->memory)
		api->ReleaseMemoryInfo(run->memory);
	if (run->session)
		api->ReleaseSession(run->session);
	if (run->options)
		api->ReleaseSessionOptions(run->options);
	if (run->env)
		api->ReleaseEnv(run->env);
}

// The mel-spectrogram of one second of a 440 Hz tone: logs the number of
// values and their sum, or the runtime's error.
bool other_run_model(const char *when)
{
	other_run run;
	run.api = OrtGetApiBase()->GetApi(OTHER_API_LEVEL);
	if (!run.api) {
		blog(LOG_ERROR, "[other-onnx] %s: C API %u unavailable", when, OTHER_API_LEVEL);
		return false;
	}
	const OrtApi *api = run.api;
	char *model = obs_module_file("melspectrogram.onnx");
	std::vector<float> tone(TONE_SAMPLES);
	for (int64_t i = 0; i < TONE_SAMPLES; i++)
		tone[i] = (float)(8000.0 * std::sin(2.0 * M_PI * 440.0 * (double)i / 16000.0));
	const int64_t shape[] = {1, TONE_SAMPLES};

	OrtStatus *status = model ? nullptr : api->CreateStatus(ORT_NO_SUCHFILE, "melspectrogram.onnx missing");
	if (!status)
		status = api->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "other-onnx", &run.env);
	if (!status)
		status = api->CreateSessionOptions(&run.options);
	if (!status)
		status = api->CreateSession(run.env, model, run.options, &run.session);
	if (!status)
		status = api->GetAllocatorWithDefaultOptions(&run.allocator);
	if (!status)
		status = api->SessionGetInputName(run.session, 0, run.allocator, &run.input_name);
	if (!status)
		status = api->SessionGetOutputName(run.session, 0, run.allocator, &run.output_name);
	if (!status)
		status = api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &run.memory);
	if (!status)
		status = api->CreateTensorWithDataAsOrtValue(run.memory, tone.data(), tone.size() * sizeof(float),
							     shape, 2, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT,
							     &run.input);
	if (!status) {
		const OrtValue *const inputs[] = {run.input};
		const char *input_names[] = {run.input_name};
		const char *output_names[] = {run.output_name};
		status = api->Run(run.session, nullptr, input_names, inputs, 1, output_names, 1, &run.output);
	}
	OrtTensorTypeAndShapeInfo *info = nullptr;
	size_t count = 0;
	float *values = nullptr;
	if (!status)
		status = api->GetTensorTypeAndShape(run.output, &info);
	if (!status)
		status = api->GetTensorShapeElementCount(info, &count);
	if (!status)
		status = api->GetTensorMutableData(run.output, (void **)&values);
	if (info)
		api->ReleaseTensorTypeAndShapeInfo(info);

	bool ok = status == nullptr;
	if (ok) {
		double sum = 0;
		for (size_t i = 0; i < count; i++)
			sum += values[i];
		blog(LOG_INFO, "[other-onnx] %s: melspectrogram gave %zu values, sum %.3f", when, count, sum);
	} else {
		blog(LOG_ERROR, "[other-onnx] %s: %s", when, api->GetErrorMessage(status));
		api->ReleaseStatus(status);
	}
	other_run_release(&run);
	bfree(model);
	return ok;
}

} // namespace

extern "C" {

MODULE_EXPORT bool obs_module_load(void)
{
	blog(LOG_INFO, "[other-onnx] ONNX Runtime %s", OrtGetApiBase()->GetVersionString());
	return other_run_model("load");
}

MODULE_EXPORT void obs_module_post_load(void)
{
	other_run_model("post-load");
}

} // extern "C"
