#include "voice_teaching.h"

#include <cstring>
#include <ctime>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <obs-frontend-api.h>
#include <util/bmem.h>
#include <util/config-file.h>
#include <util/darray.h>
#include <util/dstr.h>
#include <util/platform.h>
#include <util/threading.h>

#include "voice_filter.h"
#include "../detector/voice_enrollment.h"
#include "../detector/voice_profile.h"

#define SESSION_SAMPLES ((size_t)16000 * VOICE_SESSION_SECONDS)
// A session whose source delivers no audio (muted at the device, a stalled
// capture) learns from what it has after this long.
#define SESSION_WALL_LIMIT_MS ((VOICE_SESSION_SECONDS + 15) * 1000)

// One listening session and the thread that learns from it.
struct voice_session {
	voice_filter *filter;
	int16_t *audio;  // made before the session starts
	size_t fill;     // written by the audio thread under the filter's lock
	bool listening;  // under the filter's lock
	os_event_t *event; // the buffer is full, or the session is cancelled
	volatile bool cancel;
	pthread_t thread;
	bool thread_running;
	char *models_dir;
	char *model_name;
};

// ---- the profile in the settings ----

struct profile_write {
	obs_weak_source_t *source;
	char *text; // null: forget
};

// On OBS's UI thread, where the host's settings may be written: the profile
// goes into the filter's own settings (saved with the scene collection),
// without an update, so nothing is reloaded.
extern "C" void voice_teaching_write_task(void *param)
{
	auto *write = static_cast<profile_write *>(param);
	obs_source_t *source = obs_weak_source_get_source(write->source);
	if (source) {
		obs_data_t *settings = obs_source_get_settings(source);
		obs_data_set_string(settings, S_VOICE_PROFILE, write->text);
		obs_data_release(settings);
		obs_source_update_properties(source);
		obs_source_release(source);
	}
	obs_weak_source_release(write->source);
	bfree(write->text);
	bfree(write);
}

static void voice_teaching_queue_write(voice_filter *filter, char *text)
{
	auto *write = static_cast<profile_write *>(bzalloc(sizeof(profile_write)));
	write->source = obs_source_get_weak_source(filter->filter_source);
	write->text = text;
	obs_queue_task(OBS_TASK_UI, voice_teaching_write_task, write, false);
}

voice_profile *voice_teaching_read_profile(voice_filter *filter, obs_data_t *settings, bool *refused)
{
	*refused = false;
	const char *text = obs_data_get_string(settings, S_VOICE_PROFILE);
	if (!text || !*text) {
		bfree(filter->profile_refused_text);
		filter->profile_refused_text = nullptr;
		return nullptr;
	}

	char identity[VOICE_IDENTITY_CHARS + 1] = {};
	char *model_name = model_name_from_phrase(filter->phrase);
	const char *reason = "the plug-in's model files cannot be read";
	voice_profile *profile = nullptr;
	if (voice_profile_identity(filter->models_dir, model_name, identity))
		profile = voice_profile_from_text(text, identity, &reason);
	bfree(model_name);

	// Logged once for each text that is refused, not at every update.
	*refused = profile == nullptr;
	const bool seen = filter->profile_refused_text && strcmp(filter->profile_refused_text, text) == 0;
	bfree(filter->profile_refused_text);
	filter->profile_refused_text = profile ? nullptr : bstrdup(text);
	if (!profile && !seen)
		blog(LOG_WARNING,
		     "[tollivaren-voice] the saved voice profile cannot be used (%s) \xE2\x80\x94 the filter listens "
		     "without it; teach it your voice again from the filter's properties",
		     reason);
	return profile;
}

void voice_teaching_forget(voice_filter *filter, obs_data_t *settings)
{
	pthread_mutex_lock(&filter->update_lock);
	if (settings)
		obs_data_erase(settings, S_VOICE_PROFILE);
	bfree(filter->profile_refused_text);
	filter->profile_refused_text = nullptr;
	pthread_mutex_lock(&filter->lock);
	voice_profile *old = filter->profile;
	filter->profile = nullptr;
	filter->profile_refused = false;
	pthread_mutex_unlock(&filter->lock);
	pthread_mutex_unlock(&filter->update_lock);
	voice_profile_destroy(old);
	if (old)
		blog(LOG_INFO, "[tollivaren-voice] voice profile forgotten: the built-in model alone decides");
}

// ---- the session ----

// The negative bank beside the models, when there is one; without it (or
// with one made for other models, which is logged) the profile learns from
// the session alone.
static voice_bank *voice_teaching_load_bank(const char *models_dir)
{
	char identity[VOICE_IDENTITY_CHARS + 1] = {};
	if (!voice_features_identity(models_dir, identity))
		return nullptr;
	struct dstr path = {};
	dstr_printf(&path, "%s/%s", models_dir, VOICE_BANK_FILE);
	const char *reason = nullptr;
	voice_bank *bank = os_file_exists(path.array) ? voice_bank_load(path.array, identity, &reason) : nullptr;
	dstr_free(&path);
	if (!bank && reason)
		blog(LOG_WARNING, "[tollivaren-voice] teach my voice: the negative bank cannot be used (%s); "
				  "learning from the session alone",
		     reason);
	return bank;
}

void voice_session_capture(voice_filter *filter, const int16_t *samples, uint32_t count)
{
	voice_session *session = filter->session;
	if (!session || !session->listening)
		return;
	size_t room = SESSION_SAMPLES - session->fill;
	size_t taken = count < room ? count : room;
	memcpy(session->audio + session->fill, samples, taken * sizeof(int16_t));
	session->fill += taken;
	if (session->fill == SESSION_SAMPLES) {
		session->listening = false;
		os_event_signal(session->event);
	}
}

static void voice_session_set_state(voice_filter *filter, voice_session_state state, int takes)
{
	pthread_mutex_lock(&filter->lock);
	filter->session_state = state;
	filter->session_takes = takes;
	pthread_mutex_unlock(&filter->lock);
}

static void voice_teaching_lower_priority(void)
{
#ifdef __linux__
	// On Linux a thread has a nice value of its own.
	setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), 19);
#endif
}

static void *voice_session_main(void *data)
{
	auto *session = static_cast<voice_session *>(data);
	voice_filter *filter = session->filter;
	os_set_thread_name("tollivaren-voice: voice teaching");

	os_event_timedwait(session->event, SESSION_WALL_LIMIT_MS);
	pthread_mutex_lock(&filter->lock);
	session->listening = false;
	const size_t heard = session->fill;
	pthread_mutex_unlock(&filter->lock);
	if (os_atomic_load_bool(&session->cancel))
		return nullptr;

	// Learning takes some seconds of one core: let OBS's own threads (the
	// encoders, the audio) go first.
	voice_teaching_lower_priority();
	voice_session_set_state(filter, VOICE_SESSION_LEARNING, 0);
	voice_bank *bank = voice_teaching_load_bank(session->models_dir);
	const voice_session_audio audio = {session->audio, heard};
	voice_enrollment_report report = {};
	voice_profile *profile = voice_enrollment_learn(session->models_dir, session->model_name, &audio, 1, bank,
							&report, &session->cancel);
	voice_bank_destroy(bank);
	// The audio is not kept a moment longer than learning needs it (the
	// audio thread stopped writing when listening ended).
	bfree(session->audio);
	session->audio = nullptr;
	if (os_atomic_load_bool(&session->cancel)) {
		voice_profile_destroy(profile);
		return nullptr;
	}
	if (!profile) {
		const bool too_few = report.takes < VOICE_ENROLLMENT_MIN_TAKES && report.seconds > 0;
		voice_session_set_state(filter, too_few ? VOICE_SESSION_TOO_FEW_TAKES : VOICE_SESSION_FAILED,
					(int)report.takes);
		blog(LOG_INFO, "[tollivaren-voice] teach my voice: nothing learned: %s", report.reason);
		return nullptr;
	}

	char *text = voice_profile_to_text(profile);
	pthread_mutex_lock(&filter->lock);
	voice_profile *old = filter->profile;
	filter->profile = profile;
	filter->profile_refused = false;
	filter->session_state = VOICE_SESSION_LEARNED;
	filter->session_takes = (int)report.takes;
	pthread_mutex_unlock(&filter->lock);
	voice_profile_destroy(old);
	blog(LOG_INFO,
	     "[tollivaren-voice] teach my voice: learned from %zu takes of the phrase in %.0f s of audio "
	     "(%zu passes of the phrase, %zu of other talk, %zu near misses made from them, %zu of other voices; "
	     "%zu templates of the takes); the voice profile now decides",
	     report.takes, report.seconds, report.positive_rows, report.talk_rows, report.splice_rows,
	     report.bank_rows, report.templates);
	voice_teaching_queue_write(filter, text);
	return nullptr;
}

static void voice_session_free(voice_session *session)
{
	if (!session)
		return;
	os_event_destroy(session->event);
	bfree(session->audio);
	bfree(session->models_dir);
	bfree(session->model_name);
	bfree(session);
}

// Under update_lock. Detaches the session from the audio thread, then ends
// its thread: a session under way is cancelled.
void voice_session_end(voice_filter *filter)
{
	voice_session *session = filter->session;
	if (!session)
		return;
	pthread_mutex_lock(&filter->lock);
	filter->session = nullptr;
	const bool under_way = filter->session_state == VOICE_SESSION_LISTENING ||
			       filter->session_state == VOICE_SESSION_LEARNING;
	if (under_way)
		filter->session_state = VOICE_SESSION_CANCELLED;
	pthread_mutex_unlock(&filter->lock);

	os_atomic_set_bool(&session->cancel, true);
	os_event_signal(session->event);
	if (session->thread_running)
		pthread_join(session->thread, nullptr);
	if (under_way)
		blog(LOG_INFO, "[tollivaren-voice] teach my voice: session cancelled");
	voice_session_free(session);
}

bool voice_session_paired(voice_filter *filter)
{
	pthread_mutex_lock(&filter->lock);
	const bool paired = filter->endpoints && filter->detector;
	pthread_mutex_unlock(&filter->lock);
	return paired;
}

bool voice_session_start(voice_filter *filter)
{
	pthread_mutex_lock(&filter->update_lock);
	pthread_mutex_lock(&filter->lock);
	const bool paired = filter->endpoints && filter->detector;
	const bool under_way = filter->session_state == VOICE_SESSION_LISTENING ||
			       filter->session_state == VOICE_SESSION_LEARNING;
	pthread_mutex_unlock(&filter->lock);
	if (!paired || under_way) {
		pthread_mutex_unlock(&filter->update_lock);
		if (!paired)
			blog(LOG_WARNING, "[tollivaren-voice] teach my voice: pair this filter first (paste the pairing "
					  "string from the Tollivaren dashboard)");
		return false;
	}
	voice_session_end(filter);

	auto *session = static_cast<voice_session *>(bzalloc(sizeof(voice_session)));
	session->filter = filter;
	session->audio = static_cast<int16_t *>(bmalloc(SESSION_SAMPLES * sizeof(int16_t)));
	session->models_dir = bstrdup(filter->models_dir);
	session->model_name = model_name_from_phrase(filter->phrase);
	session->listening = true;
	bool started = os_event_init(&session->event, OS_EVENT_TYPE_MANUAL) == 0;
	if (started) {
		pthread_mutex_lock(&filter->lock);
		filter->session = session;
		filter->session_state = VOICE_SESSION_LISTENING;
		filter->session_takes = 0;
		filter->session_started_ns = os_gettime_ns();
		pthread_mutex_unlock(&filter->lock);
		started = pthread_create(&session->thread, nullptr, voice_session_main, session) == 0;
		session->thread_running = started;
		if (!started) {
			pthread_mutex_lock(&filter->lock);
			filter->session = nullptr;
			filter->session_state = VOICE_SESSION_FAILED;
			pthread_mutex_unlock(&filter->lock);
		}
	}
	pthread_mutex_unlock(&filter->update_lock);

	if (!started) {
		blog(LOG_ERROR, "[tollivaren-voice] failed to start the voice teaching session");
		voice_session_free(session);
		return false;
	}
	blog(LOG_INFO, "[tollivaren-voice] teach my voice: listening for %d s \xE2\x80\x94 say 'tollivaren clip it' "
		       "three to five times, talking normally in between",
	     VOICE_SESSION_SECONDS);
	return true;
}

// ---- the hotkey ----

// OBS refuses hotkeys of a filter's own (filters are private sources), so
// the hotkey is OBS's one, registered with the module, and it teaches every
// paired filter. The filters are known by weak references, taken under this
// lock and used after it: a filter that is going away is not reached.
static pthread_mutex_t teaching_filters_lock = PTHREAD_MUTEX_INITIALIZER;
static DARRAY(obs_weak_source_t *) teaching_filters;
static obs_hotkey_id teaching_hotkey = OBS_INVALID_HOTKEY_ID;

void voice_teaching_add_filter(voice_filter *filter)
{
	obs_weak_source_t *weak = obs_source_get_weak_source(filter->filter_source);
	pthread_mutex_lock(&teaching_filters_lock);
	da_push_back(teaching_filters, &weak);
	pthread_mutex_unlock(&teaching_filters_lock);
}

void voice_teaching_remove_filter(voice_filter *filter)
{
	obs_weak_source_t *found = nullptr;
	pthread_mutex_lock(&teaching_filters_lock);
	for (size_t i = 0; i < teaching_filters.num; i++) {
		if (obs_weak_source_references_source(teaching_filters.array[i], filter->filter_source)) {
			found = teaching_filters.array[i];
			da_erase(teaching_filters, i);
			break;
		}
	}
	pthread_mutex_unlock(&teaching_filters_lock);
	obs_weak_source_release(found);
}

extern "C" void voice_teaching_hotkey(void *, obs_hotkey_id, obs_hotkey_t *, bool pressed)
{
	if (!pressed)
		return;
	DARRAY(obs_source_t *) filters = {};
	pthread_mutex_lock(&teaching_filters_lock);
	for (size_t i = 0; i < teaching_filters.num; i++) {
		obs_source_t *source = obs_weak_source_get_source(teaching_filters.array[i]);
		if (source)
			da_push_back(filters, &source);
	}
	pthread_mutex_unlock(&teaching_filters_lock);

	size_t paired = 0;
	for (size_t i = 0; i < filters.num; i++) {
		auto *filter = static_cast<voice_filter *>(obs_obj_get_data(filters.array[i]));
		if (filter && voice_session_paired(filter)) {
			paired++;
			voice_session_start(filter);
		}
		obs_source_release(filters.array[i]);
	}
	da_free(filters);
	if (!paired)
		blog(LOG_WARNING, "[tollivaren-voice] teach my voice: pair this filter first (paste the pairing string "
				  "from the Tollivaren dashboard)");
}

// The binding a streamer gave the hotkey in OBS's settings, which OBS keeps in
// the profile under the hotkey's name but loads only for its own hotkeys.
static void voice_teaching_load_binding(void)
{
	config_t *profile = obs_frontend_get_profile_config();
	const char *json = profile ? config_get_string(profile, "Hotkeys", VOICE_TEACH_HOTKEY) : nullptr;
	obs_data_t *saved = json && *json ? obs_data_create_from_json(json) : nullptr;
	obs_data_array_t *bindings = saved ? obs_data_get_array(saved, "bindings") : nullptr;
	if (bindings)
		obs_hotkey_load(teaching_hotkey, bindings);
	obs_data_array_release(bindings);
	obs_data_release(saved);
}

void voice_teaching_module_load(void)
{
	teaching_hotkey = obs_hotkey_register_frontend(VOICE_TEACH_HOTKEY, obs_module_text("TeachMyVoice.Hotkey"),
						       voice_teaching_hotkey, nullptr);
	if (teaching_hotkey != OBS_INVALID_HOTKEY_ID)
		voice_teaching_load_binding();
}

void voice_teaching_module_unload(void)
{
	if (teaching_hotkey != OBS_INVALID_HOTKEY_ID)
		obs_hotkey_unregister(teaching_hotkey);
	teaching_hotkey = OBS_INVALID_HOTKEY_ID;
	pthread_mutex_lock(&teaching_filters_lock);
	for (size_t i = 0; i < teaching_filters.num; i++)
		obs_weak_source_release(teaching_filters.array[i]);
	da_free(teaching_filters);
	pthread_mutex_unlock(&teaching_filters_lock);
}

// ---- the properties ----

extern "C" bool voice_teaching_teach_clicked(obs_properties_t *, obs_property_t *, void *data)
{
	voice_session_start(static_cast<voice_filter *>(data));
	return true;
}

extern "C" bool voice_teaching_forget_clicked(obs_properties_t *, obs_property_t *, void *data)
{
	auto *filter = static_cast<voice_filter *>(data);
	obs_data_t *settings = obs_source_get_settings(filter->filter_source);
	voice_teaching_forget(filter, settings);
	obs_data_release(settings);
	return true;
}

// What the status block shows, read under the lock in one go.
struct voice_status {
	bool paired;
	bool dashboard_answered;
	bool enabled;
	float threshold;
	bool has_profile;
	bool profile_refused;
	voice_session_state session_state;
	int session_takes;
	uint64_t session_started_ns;
	time_t heard_at;
	float heard_score;
};

static voice_status voice_status_read(voice_filter *filter)
{
	voice_status status = {};
	pthread_mutex_lock(&filter->lock);
	status.paired = filter->endpoints != nullptr;
	status.dashboard_answered = filter->dashboard_answered;
	status.enabled = filter->enabled;
	status.threshold = filter->confidence_min;
	status.has_profile = filter->profile != nullptr;
	status.profile_refused = filter->profile_refused;
	status.session_state = (voice_session_state)filter->session_state;
	status.session_takes = filter->session_takes;
	status.session_started_ns = filter->session_started_ns;
	status.heard_at = filter->heard_at;
	status.heard_score = filter->heard_score;
	pthread_mutex_unlock(&filter->lock);
	return status;
}

static void voice_status_line(struct dstr *text, const char *key)
{
	dstr_cat(text, obs_module_text(key));
	dstr_cat(text, "\n");
}

static void voice_status_format(struct dstr *text, const voice_status &status)
{
	voice_status_line(text, status.paired ? "Status.Paired" : "Status.NotPaired");
	if (status.paired && !status.dashboard_answered)
		voice_status_line(text, "Status.ClipsUnknown");
	else if (status.paired) {
		dstr_catf(text, obs_module_text(status.enabled ? "Status.ClipsOn" : "Status.ClipsOff"),
			  status.threshold);
		dstr_cat(text, "\n");
	}
	voice_status_line(text, status.has_profile      ? "Status.ProfileInUse"
				: status.profile_refused ? "Status.ProfileRefused"
							 : "Status.NoProfile");
	if (status.heard_at) {
		struct tm local = {};
		char when[32] = "";
#ifdef _WIN32
		localtime_s(&local, &status.heard_at);
#else
		localtime_r(&status.heard_at, &local);
#endif
		strftime(when, sizeof(when), "%H:%M:%S", &local);
		dstr_catf(text, obs_module_text("Status.LastHeard"), when, status.heard_score);
		dstr_cat(text, "\n");
	} else {
		voice_status_line(text, "Status.NotHeard");
	}
	switch (status.session_state) {
	case VOICE_SESSION_LISTENING: {
		const uint64_t elapsed_s = (os_gettime_ns() - status.session_started_ns) / 1000000000ULL;
		const int left = elapsed_s < VOICE_SESSION_SECONDS ? VOICE_SESSION_SECONDS - (int)elapsed_s : 0;
		dstr_catf(text, obs_module_text("Session.Listening"), left);
		break;
	}
	case VOICE_SESSION_LEARNING:
		dstr_cat(text, obs_module_text("Session.Learning"));
		break;
	case VOICE_SESSION_LEARNED:
		dstr_catf(text, obs_module_text("Session.Learned"), status.session_takes);
		break;
	case VOICE_SESSION_TOO_FEW_TAKES:
		dstr_catf(text, obs_module_text("Session.TooFewTakes"), status.session_takes);
		break;
	case VOICE_SESSION_FAILED:
		dstr_cat(text, obs_module_text("Session.Failed"));
		break;
	case VOICE_SESSION_CANCELLED:
		dstr_cat(text, obs_module_text("Session.Cancelled"));
		break;
	case VOICE_SESSION_NONE:
		break;
	}
	// No trailing line break.
	while (text->len && text->array[text->len - 1] == '\n')
		dstr_resize(text, text->len - 1);
}

void voice_teaching_add_properties(voice_filter *filter, obs_properties_t *props)
{
	const voice_status status = voice_status_read(filter);
	struct dstr text = {};
	voice_status_format(&text, status);
	obs_property_t *block = obs_properties_add_text(props, "status", text.array, OBS_TEXT_INFO);
	obs_property_text_set_info_word_wrap(block, true);
	dstr_free(&text);

	const bool under_way = status.session_state == VOICE_SESSION_LISTENING ||
			       status.session_state == VOICE_SESSION_LEARNING;
	obs_property_t *teach = obs_properties_add_button2(props, "teach_my_voice", obs_module_text("TeachMyVoice"),
							   voice_teaching_teach_clicked, filter);
	obs_property_set_long_description(teach, obs_module_text("TeachMyVoice.Help"));
	obs_property_set_enabled(teach, status.paired && !under_way);
	obs_property_t *forget = obs_properties_add_button2(props, "forget_my_voice", obs_module_text("ForgetMyVoice"),
							    voice_teaching_forget_clicked, filter);
	obs_property_set_enabled(forget, status.has_profile && !under_way);
}
