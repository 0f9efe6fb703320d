#include "voice_filter.h"

#include <cstring>

#include <util/bmem.h>
#include <util/dstr.h>

#include "../backend/pairing.h"
#include "../control/control.h"
#include "../detector/voice_profile.h"
#include "../detector/wake_detector.h"
#include "../module/log_text.h"
#include "voice_teaching.h"

static const char *voice_filter_get_name(void *)
{
	return obs_module_text("TollivarenVoiceClip");
}

static void voice_filter_get_defaults(obs_data_t *settings)
{
	obs_data_set_default_string(settings, S_SOURCE_CLASS, "mixer");
}

static obs_properties_t *voice_filter_get_properties(void *data)
{
	auto *filter = static_cast<voice_filter *>(data);
	obs_properties_t *props = obs_properties_create();
	obs_properties_add_text(props, S_PAIRING, obs_module_text("Pairing"), OBS_TEXT_PASSWORD);
	obs_properties_add_text(props, S_SERVER_URL_OVERRIDE, obs_module_text("ServerUrlOverride"),
				OBS_TEXT_DEFAULT);
	obs_property_t *list = obs_properties_add_list(props, S_SOURCE_CLASS, obs_module_text("SourceClass"),
						       OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
	obs_property_list_add_string(list, obs_module_text("SourceClass.Mixer"), "mixer");
	obs_property_list_add_string(list, obs_module_text("SourceClass.Mic"), "mic");
	// Without an instance (OBS asking for the type's properties) there is
	// nothing to show or teach.
	if (filter)
		voice_teaching_add_properties(filter, props);
	return props;
}

static wake_detector *voice_filter_load_detector(const voice_filter *filter)
{
	char *model_name = model_name_from_phrase(filter->phrase);
	wake_detector *detector = wake_detector_create(filter->models_dir, model_name);
	bfree(model_name);
	return detector;
}

static void voice_filter_apply(voice_filter *filter, obs_data_t *settings)
{

	const char *pairing = obs_data_get_string(settings, S_PAIRING);
	const char *url_override = obs_data_get_string(settings, S_SERVER_URL_OVERRIDE);
	const char *source_class_setting = obs_data_get_string(settings, S_SOURCE_CLASS);
	char *source_class =
		bstrdup(source_class_setting && *source_class_setting ? source_class_setting : "mixer");

	backend_endpoints *endpoints = nullptr;
	wake_detector *detector = nullptr;
	pairing_info info = {};
	if (pairing_decode(pairing, url_override, &info)) {
		endpoints = backend_endpoints_create(info.url, info.tenant_id, info.key);
		detector = voice_filter_load_detector(filter);
		char *shown_tenant = log_text_copy(info.tenant_id);
		char *shown_class = log_text_copy(source_class);
		blog(LOG_INFO, "[tollivaren-voice] paired tenant=%s source=%s", shown_tenant, shown_class);
		bfree(shown_tenant);
		bfree(shown_class);
		control_service_start(info.url, info.tenant_id, info.key);
		pairing_info_clear(&info);
	} else {
		blog(LOG_WARNING, "[tollivaren-voice] not paired \xE2\x80\x94 paste the pairing string from the "
				  "Tollivaren dashboard into this filter");
	}

	bool profile_refused = false;
	voice_profile *profile = voice_teaching_read_profile(filter, settings, &profile_refused);

	voice_session_end(filter);
	upload_worker_stop(filter);

	pthread_mutex_lock(&filter->lock);
	wake_detector *old_detector = filter->detector;
	backend_endpoints *old_endpoints = filter->endpoints;
	char *old_source_class = filter->source_class;
	voice_profile *old_profile = filter->profile;
	filter->detector = detector;
	filter->endpoints = endpoints;
	filter->source_class = source_class;
	filter->profile = profile;
	filter->profile_refused = profile_refused;
	filter->dashboard_answered = false;
	filter->cooldown_ns = VOICE_FILTER_DEFAULT_COOLDOWN_NS;
	filter->enabled = false;
	filter->confidence_min = VOICE_FILTER_DEFAULT_CONFIDENCE;
	filter->cooldown_until_ns = 0;
	pthread_mutex_unlock(&filter->lock);

	upload_worker_start(filter);

	backend_endpoints_destroy(old_endpoints);
	wake_detector_destroy(old_detector);
	voice_profile_destroy(old_profile);
	bfree(old_source_class);
}

static void voice_filter_update(void *data, obs_data_t *settings)
{
	auto *filter = static_cast<voice_filter *>(data);
	pthread_mutex_lock(&filter->update_lock);
	voice_filter_apply(filter, settings);
	pthread_mutex_unlock(&filter->update_lock);
}

static void *voice_filter_create(obs_data_t *settings, obs_source_t *source)
{
	auto *filter = static_cast<voice_filter *>(bzalloc(sizeof(voice_filter)));
	filter->filter_source = source;
	filter->phrase = bstrdup(VOICE_FILTER_PHRASE);
	struct dstr models_dir = {};
	const char *data_path = obs_get_module_data_path(obs_current_module());
	dstr_printf(&models_dir, "%s/%s", data_path ? data_path : "", "models");
	filter->models_dir = models_dir.array;
	filter->cooldown_ns = VOICE_FILTER_DEFAULT_COOLDOWN_NS;
	filter->confidence_min = VOICE_FILTER_DEFAULT_CONFIDENCE;

	if (pthread_mutex_init(&filter->update_lock, nullptr) != 0) {
		bfree(filter->models_dir);
		bfree(filter->phrase);
		bfree(filter);
		return nullptr;
	}
	if (pthread_mutex_init(&filter->lock, nullptr) != 0) {
		pthread_mutex_destroy(&filter->update_lock);
		bfree(filter->models_dir);
		bfree(filter->phrase);
		bfree(filter);
		return nullptr;
	}
	if (os_event_init(&filter->wake_event, OS_EVENT_TYPE_AUTO) != 0) {
		pthread_mutex_destroy(&filter->lock);
		pthread_mutex_destroy(&filter->update_lock);
		bfree(filter->models_dir);
		bfree(filter->phrase);
		bfree(filter);
		return nullptr;
	}

	obs_audio_info host_audio = {};
	if (obs_get_audio_info(&host_audio)) {
		resample_info from = {};
		from.samples_per_sec = host_audio.samples_per_sec;
		from.format = AUDIO_FORMAT_FLOAT_PLANAR;
		from.speakers = host_audio.speakers;
		resample_info to = {};
		to.samples_per_sec = 16000;
		to.format = AUDIO_FORMAT_16BIT;
		to.speakers = SPEAKERS_MONO;
		filter->resampler = audio_resampler_create(&to, &from);
	}

	voice_filter_update(filter, settings);
	voice_teaching_add_filter(filter);
	return filter;
}

static void voice_filter_destroy(void *data)
{
	auto *filter = static_cast<voice_filter *>(data);
	voice_teaching_remove_filter(filter);
	pthread_mutex_lock(&filter->update_lock);
	voice_session_end(filter);
	upload_worker_stop(filter);
	pthread_mutex_unlock(&filter->update_lock);

	backend_endpoints_destroy(filter->endpoints);
	wake_detector_destroy(filter->detector);
	if (filter->resampler)
		audio_resampler_destroy(filter->resampler);

	os_event_destroy(filter->wake_event);
	pthread_mutex_destroy(&filter->lock);
	pthread_mutex_destroy(&filter->update_lock);
	voice_profile_destroy(filter->profile);
	bfree(filter->profile_refused_text);
	bfree(filter->source_class);
	bfree(filter->models_dir);
	bfree(filter->phrase);
	bfree(filter);
}

static obs_source_info make_voice_filter_info()
{
	obs_source_info info = {};
	info.id = VOICE_FILTER_ID;
	info.type = OBS_SOURCE_TYPE_FILTER;
	info.output_flags = OBS_SOURCE_AUDIO;
	info.get_name = voice_filter_get_name;
	info.create = voice_filter_create;
	info.destroy = voice_filter_destroy;
	info.get_defaults = voice_filter_get_defaults;
	info.get_properties = voice_filter_get_properties;
	info.update = voice_filter_update;
	info.filter_audio = voice_filter_audio;
	return info;
}

struct obs_source_info voice_filter_info = make_voice_filter_info();
