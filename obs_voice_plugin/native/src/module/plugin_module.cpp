#include "plugin_module.h"

#include <curl/curl.h>
#include <onnxruntime_c_api.h>
#include <util/text-lookup.h>

#include "../control/control.h"
#include "../detector/wake_detector.h"
#include "../filter/voice_filter.h"
#include "../filter/voice_teaching.h"

#define DEFAULT_LOCALE "en-US"

static const char MODULE_DESCRIPTION[] =
	"Tollivaren hands-free voice clipping and chat-command OBS control \xE2\x80\x94 taps an OBS audio source "
	"to detect a wake phrase, and/or drives "
	"!scene/!sourceshow/!mutesource/!replaybufferon/!replaybufferoff/!replaybuffersave from chat.";

static obs_module_t *module_handle = nullptr;
static lookup_t *module_lookup = nullptr;

extern "C" {

MODULE_EXPORT void obs_module_set_pointer(obs_module_t *module)
{
	module_handle = module;
}

obs_module_t *obs_current_module(void)
{
	return module_handle;
}

MODULE_EXPORT uint32_t obs_module_ver(void)
{
	return PLUGIN_API_VERSION;
}

MODULE_EXPORT void obs_module_set_locale(const char *locale)
{
	if (module_lookup)
		text_lookup_destroy(module_lookup);
	module_lookup = obs_module_load_locale(module_handle, DEFAULT_LOCALE, locale);
}

MODULE_EXPORT void obs_module_free_locale(void)
{
	text_lookup_destroy(module_lookup);
	module_lookup = nullptr;
}

MODULE_EXPORT bool obs_module_get_string(const char *key, const char **out)
{
	return text_lookup_getstr(module_lookup, key, out);
}

const char *obs_module_text(const char *key)
{
	const char *text = key;
	text_lookup_getstr(module_lookup, key, &text);
	return text;
}

MODULE_EXPORT const char *obs_module_description(void)
{
	return MODULE_DESCRIPTION;
}

MODULE_EXPORT bool obs_module_load(void)
{
	// First: module load is the earliest and least threaded moment we get.
	wake_detector_prepare_runtime();
	CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
	if (code != CURLE_OK)
		blog(LOG_WARNING,
		     "[tollivaren-voice] curl_global_init failed (%d) \xE2\x80\x94 clip uploads may be unavailable",
		     (int)code);
	control_service_init();
	obs_register_source(&voice_filter_info);
	voice_teaching_module_load();
	blog(LOG_INFO, "[tollivaren-voice] loaded v%s", PLUGIN_VERSION);
	// Names the runtime copy the module calls into (its own, under a private
	// soname, even when another plug-in brought another one).
	blog(LOG_INFO, "[tollivaren-voice] ONNX Runtime %s", OrtGetApiBase()->GetVersionString());
	return true;
}

MODULE_EXPORT void obs_module_unload(void)
{
	voice_teaching_module_unload();
	control_service_shutdown();
	curl_global_cleanup();
	blog(LOG_INFO, "[tollivaren-voice] unloaded");
}

} // extern "C"
