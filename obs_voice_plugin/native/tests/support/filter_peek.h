#pragma once

// A look inside a filter instance made by the loaded module (its record is a
// voice_filter, laid out by the same header): the dashboard records a ping
// before the upload worker has stored its answer, so a test that needs the
// new trigger settings in place waits for them here.

#include <obs.h>

#include "filter/voice_filter.h"
#include "patience.h"

inline voice_filter *voice_filter_of(obs_source_t *source)
{
	return static_cast<voice_filter *>(obs_obj_get_data(source));
}

// Reads the record under its lock: voice_filter_read(source, [](voice_filter *f) { return f->enabled; }).
template <typename Reader> auto voice_filter_read(obs_source_t *source, Reader reader)
{
	voice_filter *filter = voice_filter_of(source);
	pthread_mutex_lock(&filter->lock);
	auto value = reader(filter);
	pthread_mutex_unlock(&filter->lock);
	return value;
}

// True once the worker has stored the trigger settings of this ping answer
// (its "voice_clip_enabled" and "voice_clip_confidence_min", the latter
// limited to [0, 1] as the worker does).
inline bool voice_filter_wait_settings(obs_source_t *source, const char *answer_json,
				       int timeout_ms = TV_PATIENCE_MS)
{
	obs_data_t *answer = obs_data_create_from_json(answer_json);
	if (!answer)
		return false;
	const bool enabled = obs_data_get_bool(answer, "voice_clip_enabled");
	double threshold = obs_data_get_double(answer, "voice_clip_confidence_min");
	obs_data_release(answer);
	threshold = threshold < 0.0 ? 0.0 : threshold > 1.0 ? 1.0 : threshold;

	return wait_until(
		[source, enabled, threshold] {
			return voice_filter_read(source, [enabled, threshold](voice_filter *f) {
				return f->enabled == enabled && f->confidence_min == (float)threshold;
			});
		},
		timeout_ms);
}
