#include "voice_filter.h"

#include <util/platform.h>

#include "../detector/detector_pass.h"
#include "../detector/voice_profile.h"
#include "voice_teaching.h"

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

	const int16_t *samples = reinterpret_cast<const int16_t *>(resampled[0]);
	voice_session_capture(filter, samples, resampled_frames);
	float score = wake_detector_process(filter->detector, samples, resampled_frames);
	if (score == WAKE_NO_SCORE) {
		pthread_mutex_unlock(&filter->lock);
		return audio;
	}

	voice_gate_input gate = {};
	gate.enabled = filter->enabled;
	gate.base_score = score;
	const float *features = filter->profile ? wake_detector_features(filter->detector) : nullptr;
	gate.has_profile = features != nullptr;
	if (gate.has_profile) {
		gate.profile_score = voice_profile_score(filter->profile, features);
		gate.floor = filter->profile->floor;
	}
	gate.threshold = filter->confidence_min;
	gate.now_ns = os_gettime_ns();
	gate.cooldown_until_ns = filter->cooldown_until_ns;
	gate.cooldown_ns = filter->cooldown_ns;
	const voice_gate_decision decision = voice_gate_decide(&gate);
	if (decision.heard) {
		filter->heard_at = time(nullptr);
		filter->heard_score = decision.confidence;
	}
	if (decision.fire) {
		filter->cooldown_until_ns = decision.cooldown_until_ns;
		filter->trigger_score = decision.confidence;
		filter->trigger_pending = true;
		os_event_signal(filter->wake_event);
	}
	pthread_mutex_unlock(&filter->lock);
	return audio;
}
