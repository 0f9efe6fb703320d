#include "control_actions.h"

#include <string.h>

#include <util/base.h>
#include <util/bmem.h>

#define REASON_UNKNOWN_ACTION "unknown OBS control action"
#define REASON_SCENE_NOT_FOUND "scene not found"
#define REASON_NOT_IN_ANY_SCENE "source was not found in any scene"
#define REASON_SOURCE_NOT_FOUND "source not found"

namespace {

// Each runner carries out one action word; on failure it sets a static reason.
typedef bool (*control_action_run)(const char *target, const char **reason);

struct control_action {
	const char *word;
	control_action_run run;
};

bool run_scene(const char *target, const char **reason)
{
	if (control_switch_scene(target))
		return true;
	*reason = REASON_SCENE_NOT_FOUND;
	return false;
}

bool run_visible(const char *target, bool visible, const char **reason)
{
	if (control_set_source_visible(target, visible))
		return true;
	*reason = REASON_NOT_IN_ANY_SCENE;
	return false;
}

bool run_show(const char *target, const char **reason)
{
	return run_visible(target, true, reason);
}

bool run_hide(const char *target, const char **reason)
{
	return run_visible(target, false, reason);
}

bool run_muted(const char *target, bool muted, const char **reason)
{
	if (control_set_source_muted(target, muted))
		return true;
	*reason = REASON_SOURCE_NOT_FOUND;
	return false;
}

bool run_mute(const char *target, const char **reason)
{
	return run_muted(target, true, reason);
}

bool run_unmute(const char *target, const char **reason)
{
	return run_muted(target, false, reason);
}

bool run_replay_on(const char *, const char **)
{
	control_replay_buffer_start();
	return true;
}

bool run_replay_off(const char *, const char **)
{
	control_replay_buffer_stop();
	return true;
}

bool run_replay_save(const char *, const char **reason)
{
	return control_replay_buffer_save(reason);
}

// Matched in this order, by exact byte equality of the whole word.
const control_action control_action_table[] = {
	{"scene", run_scene},
	{"show_source", run_show},
	{"hide_source", run_hide},
	{"mute_source", run_mute},
	{"unmute_source", run_unmute},
	{"replay_buffer_on", run_replay_on},
	{"replay_buffer_off", run_replay_off},
	{"replay_buffer_save", run_replay_save},
};

// A copy for the log with control bytes shown as '?': action and target come
// from chat, and a line break in them must not forge further log lines.
char *log_safe_copy(const char *text)
{
	char *copy = bstrdup(text);
	for (char *c = copy; *c; c++)
		if ((unsigned char)*c < 0x20 || *c == 0x7f)
			*c = '?';
	return copy;
}

} // namespace

void control_dispatch(const backend_endpoints *endpoints, const control_command *command)
{
	if (!command)
		return;

	const char *action = command->action ? command->action : "";
	const char *target = command->target ? command->target : "";
	const char *reason = REASON_UNKNOWN_ACTION;
	bool ok = false;

	for (const control_action &entry : control_action_table) {
		if (strcmp(action, entry.word) == 0) {
			ok = entry.run(target, &reason);
			break;
		}
	}

	char *shown_action = log_safe_copy(action);
	char *shown_target = log_safe_copy(target);
	blog(LOG_INFO, "[tollivaren-voice] control %s '%s' -> %s", shown_action, shown_target,
	     ok ? "done" : "failed");
	bfree(shown_action);
	bfree(shown_target);
	backend_ack_command(endpoints, command->id, ok ? "done" : "failed", ok ? nullptr : reason);
}
