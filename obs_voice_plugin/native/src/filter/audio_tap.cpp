#include "voice_filter.h"

#include <util/platform.h>

#include "../detector/wake_detector.h"

// Scores the packet and, when the gate opens, leaves a trigger for the upload
// worker. Runs on the host's audio thread; never touches the network and
// always hands the packet back untouched.
obs_audio_data *voice_filter_audio(void *data, obs_audio_data *audio)
{
	auto *filter = static_cast<voice_filter *>(data);
	if (!audio || audio->frames == 0 || !filter->resampler)
		return audio;

	pthread_mutex_lock(&filter->lock);
	if (!filter->detector || !filter->endpoints) {
		pthread_mutex_unlock(&filter->lock);
		return audio;
	}

	uint8_t *resampled[MAX_AV_PLANES] = {};
	uint32_t resampled_frames = 0;
	uint64_t ts_offset = 0;
	if (!audio_resampler_resample(filter->resampler, resampled, &resampled_frames, &ts_offset,
				      (const uint8_t *const *)audio->data, audio->frames) ||
	    resampled_frames == 0) {
		pthread_mutex_unlock(&filter->lock);
		return audio;
	}

	float score = wake_detector_process(filter->detector, reinterpret_cast<const int16_t *>(resampled[0]),
					    resampled_frames);
	uint64_t now = os_gettime_ns();
	bool cooling_down = filter->cooldown_until_ns != 0 && now < filter->cooldown_until_ns;
	// Written so that a NaN score compares false and never fires.
	if (filter->enabled && score >= filter->confidence_min && !cooling_down) {
		filter->cooldown_until_ns = now + filter->cooldown_ns;
		filter->trigger_score = score;
		filter->trigger_pending = true;
		os_event_signal(filter->wake_event);
	}
	pthread_mutex_unlock(&filter->lock);
	return audio;
}
