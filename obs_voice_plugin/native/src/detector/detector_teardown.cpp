#include "detector_pass.h"

#include <util/bmem.h>

static void free_io_name(const OrtApi *api, OrtAllocator *allocator, char *name)
{
	if (!name)
		return;
	OrtStatus *status = api->AllocatorFree(allocator, name);
	if (status)
		api->ReleaseStatus(status);
}

// Also tears down a half-built detector, so every release is guarded.
void wake_detector_destroy(wake_detector *detector)
{
	if (!detector)
		return;

	const OrtApi *api = detector->api;
	if (api) {
		// The default allocator belongs to the runtime and is never released.
		if (detector->allocator) {
			OrtAllocator *allocator = detector->allocator;
			free_io_name(api, allocator, detector->mel_input_name);
			free_io_name(api, allocator, detector->mel_output_name);
			free_io_name(api, allocator, detector->embedding_input_name);
			free_io_name(api, allocator, detector->embedding_output_name);
			free_io_name(api, allocator, detector->classifier_input_name);
			free_io_name(api, allocator, detector->classifier_output_name);
		}
		if (detector->mel_session)
			api->ReleaseSession(detector->mel_session);
		if (detector->embedding_session)
			api->ReleaseSession(detector->embedding_session);
		if (detector->classifier_session)
			api->ReleaseSession(detector->classifier_session);
		if (detector->memory_info)
			api->ReleaseMemoryInfo(detector->memory_info);
		if (detector->env)
			api->ReleaseEnv(detector->env);
	}

	bfree(detector->window);
	bfree(detector->model_name);
	bfree(detector);
}
