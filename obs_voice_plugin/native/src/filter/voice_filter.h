#pragma once

#include <cstdint>
#include <ctime>
#include <pthread.h>

#include <obs-module.h>
#include <media-io/audio-resampler.h>
#include <util/threading.h>

struct wake_detector;
struct backend_endpoints;

#define VOICE_FILTER_ID "tollivaren_voice_filter"
// The filter's settings.
#define S_PAIRING "pairing"
#define S_SERVER_URL_OVERRIDE "server_url_override"
#define S_SOURCE_CLASS "source_class"
#define VOICE_FILTER_PHRASE "tollivaren clip it"
#define VOICE_FILTER_DEFAULT_COOLDOWN_NS 15000000000ULL
#define VOICE_FILTER_DEFAULT_CONFIDENCE 0.6f

// One attached filter. `lock` guards detector, endpoints, source_class, the
// trigger settings, the cooldown, stop_requested and the pending trigger.
// `update_lock` makes the host's update and destroy calls, which may come on
// several host threads at once, run one at a time: it is held across the
// whole of each (worker stop and start included), and neither the worker nor
// the audio thread ever takes it, so nothing it waits for can wait on it.
// worker_thread and worker_running are touched only under it.
struct voice_filter {
	obs_source_t *filter_source;
	audio_resampler_t *resampler;
	pthread_mutex_t update_lock;
	pthread_mutex_t lock;
	wake_detector *detector;
	backend_endpoints *endpoints;
	char *source_class;
	char *phrase;
	char *models_dir; // the module's data/models, fixed at create
	float confidence_min;
	bool enabled;
	uint64_t cooldown_until_ns;
	uint64_t cooldown_ns;
	pthread_t worker_thread;
	bool worker_running;
	os_event_t *wake_event;
	bool stop_requested;
	volatile bool cancel_requests; // os_atomic: ends the worker's request in flight at a stop
	bool trigger_pending;
	float trigger_score;
	bool dashboard_answered; // a ping was answered since the last update

	// Teaching it the streamer's voice (voice_teaching.cpp). Under `lock`
	// unless said otherwise: the audio thread's gate uses the profile, and
	// its capture the session.
	struct voice_profile *profile;
	bool profile_refused;       // the saved profile could not be used
	char *profile_refused_text; // under update_lock: logged once per text
	struct voice_session *session; // changed under both locks
	int session_state;
	int session_takes;
	uint64_t session_started_ns;
	time_t heard_at; // the last pass the gate's scores let through, and its score
	float heard_score;
};

extern struct obs_source_info voice_filter_info;

// Audio tap, on the host's audio thread.
obs_audio_data *voice_filter_audio(void *data, obs_audio_data *audio);

void upload_worker_start(voice_filter *filter);
void upload_worker_stop(voice_filter *filter);
void upload_worker_refresh(voice_filter *filter);
// How long the worker waits for a trigger when the last refresh ended
// elapsed_ns ago: until the next refresh falls due, 30 s after it.
unsigned long upload_worker_wait_ms(uint64_t elapsed_ns);
