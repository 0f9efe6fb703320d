#include "control.h"

#include <atomic>
#include <string.h>

#include <obs-frontend-api.h>
#include <util/base.h>
#include <util/bmem.h>
#include <util/platform.h>
#include <util/threading.h>

#include "../module/log_text.h"

#define REASON_UNKNOWN_ACTION "unknown OBS control action"
#define REASON_SCENE_NOT_FOUND "scene not found"
#define REASON_NOT_IN_ANY_SCENE "source was not found in any scene"
#define REASON_SOURCE_NOT_FOUND "source not found"
#define REASON_REPLAY_BUFFER_NOT_ACTIVE \
	"the OBS replay buffer is not active \xE2\x80\x94 start it with !replaybufferon first"
#define REASON_UI_BUSY "OBS did not carry it out in time (its window is busy)"

// How long the poll thread waits for OBS's UI thread to run a frontend call
// it has queued, and, once the call runs, for it to end.
#define UI_QUEUE_WAIT_MS 5000
#define UI_RUN_WAIT_MS 5000
#define UI_WAIT_STEP_MS 5
// How long a replay-buffer action waits for a start or stop that OBS was
// asked for to settle.
#define REPLAY_SETTLE_MS 3000

// The frontend calls OBS wants on its UI thread: switching the scene blocks
// the calling thread until the UI thread has run it, the scene list is the
// window's own widget, and the replay buffer belongs to the window's outputs.
enum ui_work {
	UI_SWITCH_SCENE,
	UI_SHOW_SOURCE,
	UI_HIDE_SOURCE,
	UI_REPLAY_START,
	UI_REPLAY_STOP,
	UI_REPLAY_SAVE,
};

enum ui_call_state {
	UI_CALL_IDLE,
	UI_CALL_QUEUED,
	UI_CALL_RUNNING,
	UI_CALL_DONE,
};

// The one frontend call in hand, queued to OBS's UI thread by the poll
// thread, which waits for it with a bound. Static, so that a task that OBS
// runs after the caller has given up on it (or never runs) frees nothing and
// touches nothing: it carries only its ticket, and a stale ticket is ignored.
struct ui_call {
	pthread_mutex_t lock;
	uintptr_t ticket;     // of the call in hand; bumped when the caller gives up
	ui_call_state state;
	ui_work work;
	char *name;           // the target, owned by the call; read by the task while running
	bool orphaned;        // the caller gave up while the task ran: the task frees name
	bool ok;
	const char *reason;
	uint64_t replay_change_ns; // a replay buffer start or stop was asked for then; 0 once settled
};

static ui_call control_ui = {PTHREAD_MUTEX_INITIALIZER, 0, UI_CALL_IDLE, UI_SWITCH_SCENE, nullptr,
			     false,                     false, nullptr,      0};

// Set on OBS's UI thread when the window begins to close; from then on the
// frontend is never called again (its window and scene list are being torn
// down, and after the exit event they are gone).
static volatile bool frontend_closing = false;
static volatile bool frontend_watched = false;
static std::atomic<uint64_t> frontend_closing_cutoff_ns{0};

bool control_frontend_closing(void)
{
	return os_atomic_load_bool(&frontend_closing);
}

const volatile bool *control_frontend_closing_flag(void)
{
	return &frontend_closing;
}

static uint64_t control_closing_ack_end(void)
{
	return os_gettime_ns() + (uint64_t)CONTROL_CLOSING_ACK_MS * 1000000;
}

// On OBS's UI thread: the first of the close's events sets the cutoff of the
// acknowledgements in flight.
static void control_frontend_begin_closing(void)
{
	uint64_t none = 0;
	frontend_closing_cutoff_ns.compare_exchange_strong(none, control_closing_ack_end());
	os_atomic_set_bool(&frontend_closing, true);
}

// Acknowledges side by side. One that starts before OBS begins to close ends
// by the closing cutoff at the latest; one that starts after has
// CONTROL_CLOSING_ACK_MS of its own.
static void control_ack(const backend_endpoints *endpoints, const char *const *ids, size_t count,
			const char *status, const char *reason)
{
	std::atomic<uint64_t> own_cutoff{0};
	const std::atomic<uint64_t> *cutoff = &frontend_closing_cutoff_ns;
	if (control_frontend_closing()) {
		own_cutoff.store(control_closing_ack_end());
		cutoff = &own_cutoff;
	}
	backend_ack_commands(endpoints, ids, count, status, reason, cutoff);
}

// OBS starts and stops the replay buffer a moment after it was asked to (or
// never, when the profile has none): a change under way is remembered until
// OBS reports it, so that the next replay action acts on the settled state.
static void replay_note_change(bool pending)
{
	pthread_mutex_lock(&control_ui.lock);
	control_ui.replay_change_ns = pending ? os_gettime_ns() : 0;
	pthread_mutex_unlock(&control_ui.lock);
}

static bool replay_change_pending(void)
{
	pthread_mutex_lock(&control_ui.lock);
	uint64_t since = control_ui.replay_change_ns;
	pthread_mutex_unlock(&control_ui.lock);
	return since != 0 && os_gettime_ns() - since < (uint64_t)REPLAY_SETTLE_MS * 1000000;
}

extern "C" void control_frontend_event(enum obs_frontend_event event, void *)
{
	switch (event) {
	case OBS_FRONTEND_EVENT_SCRIPTING_SHUTDOWN:
	case OBS_FRONTEND_EVENT_EXIT:
		control_frontend_begin_closing();
		break;
	case OBS_FRONTEND_EVENT_REPLAY_BUFFER_STARTING:
	case OBS_FRONTEND_EVENT_REPLAY_BUFFER_STOPPING:
		replay_note_change(true);
		break;
	case OBS_FRONTEND_EVENT_REPLAY_BUFFER_STARTED:
	case OBS_FRONTEND_EVENT_REPLAY_BUFFER_STOPPED:
		replay_note_change(false);
		break;
	default:
		break;
	}
}

void control_frontend_watch(void)
{
	if (os_atomic_load_bool(&frontend_watched))
		return;
	frontend_closing_cutoff_ns.store(0);
	os_atomic_set_bool(&frontend_closing, false);
	replay_note_change(false);
	obs_frontend_add_event_callback(control_frontend_event, nullptr);
	os_atomic_set_bool(&frontend_watched, true);
}

void control_frontend_unwatch(void)
{
	if (!os_atomic_load_bool(&frontend_watched))
		return;
	os_atomic_set_bool(&frontend_watched, false);
	// Once OBS has closed its window the frontend must not be called at all;
	// it sends no more events then either.
	if (!control_frontend_closing())
		obs_frontend_remove_event_callback(control_frontend_event, nullptr);
}

// Context of one show or hide walk over the scene items of every scene and
// of every group in them.
struct visibility_match {
	const char *name; // borrowed target source name
	bool visible;
	bool matched; // set once an item of that source has been given the visibility
};

extern "C" bool visibility_match_item(obs_scene_t *, obs_sceneitem_t *item, void *param)
{
	visibility_match *match = static_cast<visibility_match *>(param);
	obs_source_t *source = obs_sceneitem_get_source(item);
	if (!source)
		return true;

	const char *source_name = obs_source_get_name(source);
	if (source_name && strcmp(source_name, match->name) == 0) {
		obs_sceneitem_set_visible(item, match->visible);
		match->matched = true;
	}
	// A scene lists only its top-level items, and OBS's scene list holds no
	// groups: the items inside a group are reached through its item here.
	if (obs_sceneitem_is_group(item))
		obs_sceneitem_group_enum_items(item, visibility_match_item, match);
	return true;
}

// The frontend work itself, on OBS's UI thread.
static bool ui_switch_scene(const char *name, const char **reason)
{
	obs_source_t *source = obs_get_source_by_name(name);
	bool is_scene = source && obs_scene_from_source(source) != nullptr;
	if (is_scene)
		obs_frontend_set_current_scene(source);
	obs_source_release(source);
	if (!is_scene)
		*reason = REASON_SCENE_NOT_FOUND;
	return is_scene;
}

static bool ui_set_source_visible(const char *name, bool visible, const char **reason)
{
	visibility_match match = {name, visible, false};
	obs_frontend_source_list scenes = {};
	obs_frontend_get_scenes(&scenes);
	for (size_t i = 0; i < scenes.sources.num; i++) {
		obs_scene_t *scene = obs_scene_from_source(scenes.sources.array[i]);
		if (scene)
			obs_scene_enum_items(scene, visibility_match_item, &match);
	}
	obs_frontend_source_list_free(&scenes);
	if (!match.matched)
		*reason = REASON_NOT_IN_ANY_SCENE;
	return match.matched;
}

static bool ui_replay_buffer_start(void)
{
	if (!obs_frontend_replay_buffer_active()) {
		obs_frontend_replay_buffer_start();
		if (!obs_frontend_replay_buffer_active())
			replay_note_change(true);
	}
	return true;
}

static bool ui_replay_buffer_stop(void)
{
	if (obs_frontend_replay_buffer_active()) {
		obs_frontend_replay_buffer_stop();
		if (obs_frontend_replay_buffer_active())
			replay_note_change(true);
	}
	return true;
}

static bool ui_replay_buffer_save(const char **reason)
{
	if (obs_frontend_replay_buffer_active()) {
		obs_frontend_replay_buffer_save();
		return true;
	}
	*reason = REASON_REPLAY_BUFFER_NOT_ACTIVE;
	return false;
}

static bool ui_work_run(ui_work work, const char *name, const char **reason)
{
	switch (work) {
	case UI_SWITCH_SCENE:
		return ui_switch_scene(name, reason);
	case UI_SHOW_SOURCE:
		return ui_set_source_visible(name, true, reason);
	case UI_HIDE_SOURCE:
		return ui_set_source_visible(name, false, reason);
	case UI_REPLAY_START:
		return ui_replay_buffer_start();
	case UI_REPLAY_STOP:
		return ui_replay_buffer_stop();
	case UI_REPLAY_SAVE:
		return ui_replay_buffer_save(reason);
	}
	return false;
}

extern "C" void control_ui_task(void *param)
{
	ui_call &call = control_ui;
	pthread_mutex_lock(&call.lock);
	bool current = call.ticket == (uintptr_t)param && call.state == UI_CALL_QUEUED;
	if (current)
		call.state = UI_CALL_RUNNING;
	pthread_mutex_unlock(&call.lock);
	if (!current)
		return;

	// Nobody else touches work and name while the call runs.
	const char *reason = nullptr;
	bool ok = false;
	if (control_frontend_closing())
		reason = CONTROL_REASON_SHUTTING_DOWN;
	else
		ok = ui_work_run(call.work, call.name, &reason);

	pthread_mutex_lock(&call.lock);
	call.ok = ok;
	call.reason = reason;
	if (call.orphaned) {
		bfree(call.name);
		call.name = nullptr;
		call.orphaned = false;
		call.state = UI_CALL_IDLE;
	} else {
		call.state = UI_CALL_DONE;
	}
	pthread_mutex_unlock(&call.lock);
}

// Gives the call up (under the lock): a queued task will find a stale
// ticket; a running one frees the name when it ends.
static void ui_call_give_up(ui_call &call)
{
	if (call.state == UI_CALL_RUNNING) {
		call.orphaned = true;
		return;
	}
	call.ticket++;
	bfree(call.name);
	call.name = nullptr;
	call.state = UI_CALL_IDLE;
}

// Runs the work on OBS's UI thread and waits for it: at most UI_QUEUE_WAIT_MS
// for OBS to start it, UI_RUN_WAIT_MS more for it to end, and no longer once
// OBS begins to close. On failure *reason says why.
static bool ui_call_run(ui_work work, const char *name, const char **reason)
{
	ui_call &call = control_ui;
	pthread_mutex_lock(&call.lock);
	if (call.state != UI_CALL_IDLE) {
		// An earlier call is still running on the UI thread.
		pthread_mutex_unlock(&call.lock);
		*reason = REASON_UI_BUSY;
		return false;
	}
	uintptr_t ticket = ++call.ticket;
	call.state = UI_CALL_QUEUED;
	call.work = work;
	call.name = bstrdup(name ? name : "");
	call.ok = false;
	call.reason = nullptr;
	pthread_mutex_unlock(&call.lock);

	obs_queue_task(OBS_TASK_UI, control_ui_task, (void *)ticket, false);

	const uint64_t queued_at = os_gettime_ns();
	uint64_t running_since = 0;
	for (;;) {
		pthread_mutex_lock(&call.lock);
		if (call.state == UI_CALL_DONE) {
			bool ok = call.ok;
			if (!ok)
				*reason = call.reason;
			bfree(call.name);
			call.name = nullptr;
			call.state = UI_CALL_IDLE;
			pthread_mutex_unlock(&call.lock);
			return ok;
		}
		const uint64_t now = os_gettime_ns();
		if (call.state == UI_CALL_RUNNING && !running_since)
			running_since = now;
		const bool queued = call.state == UI_CALL_QUEUED;
		const bool closing = queued && control_frontend_closing();
		const bool late = queued ? now - queued_at > (uint64_t)UI_QUEUE_WAIT_MS * 1000000
					 : now - running_since > (uint64_t)UI_RUN_WAIT_MS * 1000000;
		if (closing || late) {
			ui_call_give_up(call);
			pthread_mutex_unlock(&call.lock);
			*reason = closing ? CONTROL_REASON_SHUTTING_DOWN : REASON_UI_BUSY;
			return false;
		}
		pthread_mutex_unlock(&call.lock);
		os_sleep_ms(UI_WAIT_STEP_MS);
	}
}

static bool control_frontend_call(ui_work work, const char *name, const char **reason)
{
	if (control_frontend_closing()) {
		*reason = CONTROL_REASON_SHUTTING_DOWN;
		return false;
	}
	return ui_call_run(work, name, reason);
}

// A replay-buffer action right after a start or stop (often in the same
// poll: !replaybufferon then !replaybuffersave) waits until OBS reports the
// buffer running or stopped, at most REPLAY_SETTLE_MS.
static bool control_replay_buffer(ui_work work, const char **reason)
{
	while (replay_change_pending() && !control_frontend_closing())
		os_sleep_ms(UI_WAIT_STEP_MS);
	return control_frontend_call(work, nullptr, reason);
}

static bool control_set_source_muted(const char *name, bool muted, const char **reason)
{
	if (control_frontend_closing()) {
		*reason = CONTROL_REASON_SHUTTING_DOWN;
		return false;
	}
	obs_source_t *source = obs_get_source_by_name(name);
	if (!source) {
		*reason = REASON_SOURCE_NOT_FOUND;
		return false;
	}
	obs_source_set_muted(source, muted);
	obs_source_release(source);
	return true;
}

static void control_log_outcome(const char *action, const char *target, bool ok)
{
	char *shown_action = log_text_copy(action);
	char *shown_target = log_text_copy(target);
	blog(LOG_INFO, "[tollivaren-voice] control %s '%s' -> %s", shown_action, shown_target,
	     ok ? "done" : "failed");
	bfree(shown_action);
	bfree(shown_target);
}

void control_dispatch(const backend_endpoints *endpoints, const control_command *command)
{
	if (!command)
		return;

	const char *action = command->action ? command->action : "";
	const char *target = command->target ? command->target : "";
	const char *reason = REASON_UNKNOWN_ACTION;
	bool ok = false;

	// Exact, case-sensitive action words; the replay-buffer ones ignore the target.
	if (strcmp(action, "scene") == 0)
		ok = control_frontend_call(UI_SWITCH_SCENE, target, &reason);
	else if (strcmp(action, "show_source") == 0)
		ok = control_frontend_call(UI_SHOW_SOURCE, target, &reason);
	else if (strcmp(action, "hide_source") == 0)
		ok = control_frontend_call(UI_HIDE_SOURCE, target, &reason);
	else if (strcmp(action, "mute_source") == 0)
		ok = control_set_source_muted(target, true, &reason);
	else if (strcmp(action, "unmute_source") == 0)
		ok = control_set_source_muted(target, false, &reason);
	else if (strcmp(action, "replay_buffer_on") == 0)
		ok = control_replay_buffer(UI_REPLAY_START, &reason);
	else if (strcmp(action, "replay_buffer_off") == 0)
		ok = control_replay_buffer(UI_REPLAY_STOP, &reason);
	else if (strcmp(action, "replay_buffer_save") == 0)
		ok = control_replay_buffer(UI_REPLAY_SAVE, &reason);

	control_log_outcome(action, target, ok);
	control_ack(endpoints, &command->id, 1, ok ? "done" : "failed", ok ? nullptr : reason);
}

void control_refuse(const backend_endpoints *endpoints, const control_command *commands, int count,
		    const char *reason)
{
	if (!commands || count <= 0)
		return;
	const char **ids = (const char **)bzalloc((size_t)count * sizeof(const char *));
	for (int i = 0; i < count; i++) {
		control_log_outcome(commands[i].action ? commands[i].action : "",
				    commands[i].target ? commands[i].target : "", false);
		ids[i] = commands[i].id;
	}
	control_ack(endpoints, ids, (size_t)count, "failed", reason);
	bfree(ids);
}
