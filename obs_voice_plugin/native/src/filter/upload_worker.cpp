#include "voice_filter.h"

#include <cstring>

#include <util/bmem.h>
#include <util/dstr.h>
#include <util/platform.h>

#include "../backend/voice_requests.h"
#include "../module/log_text.h"
#include "../module/plugin_module.h"

#define REFRESH_PERIOD_NS 30000000000ULL
#define REFRESH_PERIOD_MS 30000ULL
#define NS_PER_SEC 1000000000ULL

static void upload_worker_log_notices(const tenant_settings *settings, const char *source_class,
				      const char *phrase)
{
	if (strcmp(source_class, "mixer") == 0 && !settings->voice_clip_allow_mixer_tap)
		blog(LOG_WARNING,
		     "[tollivaren-voice] source is 'mixer' but the tenant has not enabled 'Trust mixer tap' "
		     "\xE2\x80\x94 triggers will be rejected (403). Enable it in the dashboard, or attach this "
		     "filter to the broadcaster mic and set the source to 'mic'.");
	if (settings->voice_clip_phrase && *settings->voice_clip_phrase &&
	    astrcmpi(settings->voice_clip_phrase, phrase) != 0) {
		char *shown = log_text_copy(settings->voice_clip_phrase);
		blog(LOG_INFO,
		     "[tollivaren-voice] dashboard phrase is '%s' but this filter detects the model phrase '%s' "
		     "\xE2\x80\x94 clips are audited as the model phrase (retrain/select a model to change it)",
		     shown, phrase);
		bfree(shown);
	}
	if (settings->latest_plugin_version && *settings->latest_plugin_version &&
	    strcmp(settings->latest_plugin_version, PLUGIN_VERSION) != 0) {
		char *shown = log_text_copy(settings->latest_plugin_version);
		blog(LOG_WARNING,
		     "[tollivaren-voice] a newer plugin build is available (installed %s, latest %s) "
		     "\xE2\x80\x94 download it from the Tollivaren dashboard's Voice Clip (OBS) card",
		     PLUGIN_VERSION, shown);
		bfree(shown);
	}
}

unsigned long upload_worker_wait_ms(uint64_t elapsed_ns)
{
	return elapsed_ns < REFRESH_PERIOD_NS ? (unsigned long)(REFRESH_PERIOD_MS - elapsed_ns / 1000000) : 0;
}

void upload_worker_refresh(voice_filter *filter)
{
	pthread_mutex_lock(&filter->lock);
	const backend_endpoints *endpoints = filter->endpoints;
	char *source_class = bstrdup(filter->source_class ? filter->source_class : "mixer");
	char *phrase = bstrdup(filter->phrase ? filter->phrase : "");
	pthread_mutex_unlock(&filter->lock);

	tenant_settings settings = {};
	if (endpoints && backend_ping(endpoints, &settings, &filter->cancel_requests)) {
		int32_t cooldown_s = settings.voice_clip_cooldown_seconds < 0 ? 0
									      : settings.voice_clip_cooldown_seconds;
		float threshold = settings.voice_clip_confidence_min;
		if (threshold < 0.0f)
			threshold = 0.0f;
		else if (threshold > 1.0f)
			threshold = 1.0f;

		pthread_mutex_lock(&filter->lock);
		filter->dashboard_answered = true;
		filter->enabled = settings.voice_clip_enabled;
		filter->confidence_min = threshold;
		filter->cooldown_ns = (uint64_t)cooldown_s * NS_PER_SEC;
		pthread_mutex_unlock(&filter->lock);

		upload_worker_log_notices(&settings, source_class, phrase);
		tenant_settings_clear(&settings);
	}
	bfree(source_class);
	bfree(phrase);
}

// Takes the pending trigger, if any, under the lock. False when the worker
// has been asked to stop: a trigger still pending then is never posted.
static bool upload_worker_take_trigger(voice_filter *filter, bool *pending, float *score,
				       const backend_endpoints **endpoints, char **phrase, char **source_class)
{
	pthread_mutex_lock(&filter->lock);
	if (filter->stop_requested) {
		pthread_mutex_unlock(&filter->lock);
		return false;
	}
	*phrase = bstrdup(filter->phrase ? filter->phrase : "");
	*pending = filter->trigger_pending;
	*score = filter->trigger_score;
	*endpoints = filter->endpoints;
	filter->trigger_pending = false;
	*source_class = bstrdup(filter->source_class ? filter->source_class : "mixer");
	pthread_mutex_unlock(&filter->lock);
	return true;
}

static void upload_worker_post(voice_filter *filter, const backend_endpoints *endpoints, float score,
			       const char *phrase, const char *source_class)
{
	int32_t retry_after_s = -1;
	int status =
		backend_post_clip(endpoints, score, phrase, source_class, &retry_after_s, &filter->cancel_requests);
	if (status != 429 || retry_after_s <= 0)
		return;
	uint64_t until = os_gettime_ns() + (uint64_t)retry_after_s * NS_PER_SEC;
	pthread_mutex_lock(&filter->lock);
	if (until > filter->cooldown_until_ns)
		filter->cooldown_until_ns = until;
	pthread_mutex_unlock(&filter->lock);
}

static void *upload_worker_main(void *data)
{
	auto *filter = static_cast<voice_filter *>(data);
	os_set_thread_name("tollivaren-voice: upload worker");

	upload_worker_refresh(filter);
	uint64_t cycle_start = os_gettime_ns();
	for (;;) {
		os_event_timedwait(filter->wake_event, upload_worker_wait_ms(os_gettime_ns() - cycle_start));

		bool pending = false;
		float score = 0.0f;
		const backend_endpoints *endpoints = nullptr;
		char *phrase = nullptr;
		char *source_class = nullptr;
		if (!upload_worker_take_trigger(filter, &pending, &score, &endpoints, &phrase, &source_class))
			break;
		if (pending && endpoints)
			upload_worker_post(filter, endpoints, score, phrase, source_class);
		bfree(phrase);
		bfree(source_class);

		if (os_gettime_ns() - cycle_start >= REFRESH_PERIOD_NS) {
			upload_worker_refresh(filter);
			cycle_start = os_gettime_ns();
		}
	}
	return nullptr;
}

// Both run under the filter's update_lock (its update or destroy), which
// alone touches worker_thread and worker_running.
void upload_worker_start(voice_filter *filter)
{
	if (filter->worker_running)
		return;
	pthread_mutex_lock(&filter->lock);
	filter->stop_requested = false;
	filter->trigger_pending = false;
	pthread_mutex_unlock(&filter->lock);
	os_atomic_set_bool(&filter->cancel_requests, false);
	if (pthread_create(&filter->worker_thread, nullptr, upload_worker_main, filter) != 0) {
		blog(LOG_ERROR, "[tollivaren-voice] failed to start upload worker");
		return;
	}
	filter->worker_running = true;
}

void upload_worker_stop(voice_filter *filter)
{
	if (!filter->worker_running)
		return;
	pthread_mutex_lock(&filter->lock);
	filter->stop_requested = true;
	pthread_mutex_unlock(&filter->lock);
	// A request in flight ends now, whatever the back-end does, so that the
	// host thread that updates or removes the filter never waits on it.
	os_atomic_set_bool(&filter->cancel_requests, true);
	os_event_signal(filter->wake_event);
	pthread_join(filter->worker_thread, nullptr);
	filter->worker_running = false;
}
