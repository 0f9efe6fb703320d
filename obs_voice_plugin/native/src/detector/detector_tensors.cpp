#include "detector_pass.h"

#include <util/base.h>

OrtValue *run_model(wake_detector *detector, OrtSession *session, const char *input_name,
		    const char *output_name, float *input, const int64_t *shape, size_t rank)
{
	const OrtApi *api = detector->api;
	size_t element_count = 1;
	for (size_t i = 0; i < rank; i++)
		element_count *= (size_t)shape[i];

	// The input tensor wraps the caller's memory; only the output is allocated.
	OrtValue *input_value = nullptr;
	OrtValue *output_value = nullptr;
	OrtStatus *status = api->CreateTensorWithDataAsOrtValue(detector->memory_info, input,
								 element_count * sizeof(float), shape, rank,
								 ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &input_value);
	if (!status) {
		const OrtValue *const inputs[] = {input_value};
		status = api->Run(session, nullptr, &input_name, inputs, 1, &output_name, 1, &output_value);
	}
	if (input_value)
		api->ReleaseValue(input_value);

	if (status) {
		blog(LOG_ERROR, "[tollivaren-voice] onnx run failed: %s", api->GetErrorMessage(status));
		api->ReleaseStatus(status);
		if (output_value)
			api->ReleaseValue(output_value);
		return nullptr;
	}
	return output_value;
}

uint64_t output_frame_count(wake_detector *detector, const OrtValue *value)
{
	const OrtApi *api = detector->api;
	OrtTensorTypeAndShapeInfo *info = nullptr;
	OrtStatus *status = api->GetTensorTypeAndShape(value, &info);
	if (status) {
		api->ReleaseStatus(status);
		return 0;
	}

	uint64_t frames = 0;
	size_t rank = 0;
	status = api->GetDimensionsCount(info, &rank);
	if (!status && rank >= 2 && rank <= WAKE_MEL_MAX_RANK) {
		int64_t dims[WAKE_MEL_MAX_RANK] = {};
		status = api->GetDimensions(info, dims, rank);
		if (!status)
			frames = (uint64_t)dims[rank - 2];
	}
	if (status)
		api->ReleaseStatus(status);
	api->ReleaseTensorTypeAndShapeInfo(info);
	return frames;
}

uint64_t output_float_count(wake_detector *detector, const OrtValue *value)
{
	const OrtApi *api = detector->api;
	OrtTensorTypeAndShapeInfo *info = nullptr;
	OrtStatus *status = api->GetTensorTypeAndShape(value, &info);
	if (status) {
		api->ReleaseStatus(status);
		return 0;
	}

	ONNXTensorElementDataType type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
	size_t count = 0;
	status = api->GetTensorElementType(info, &type);
	if (!status)
		status = api->GetTensorShapeElementCount(info, &count);
	if (status) {
		api->ReleaseStatus(status);
		count = 0;
	}
	api->ReleaseTensorTypeAndShapeInfo(info);
	return type == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT ? (uint64_t)count : 0;
}

// Models whose outputs are shorter than the pass reads are refused here.
const float *output_floats(wake_detector *detector, OrtValue *value, uint64_t needed)
{
	const OrtApi *api = detector->api;
	if (!value || output_float_count(detector, value) < needed)
		return nullptr;
	void *data = nullptr;
	OrtStatus *status = api->GetTensorMutableData(value, &data);
	if (status) {
		api->ReleaseStatus(status);
		return nullptr;
	}
	return (const float *)data;
}
