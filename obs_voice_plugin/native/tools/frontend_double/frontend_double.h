#pragma once

// Controls of the frontend double, for tests and the headless host.
#include <obs.h>
#include <obs-frontend-api.h>

extern "C" {

struct frontend_double_counts {
	int replay_start_calls;
	int replay_stop_calls;
	int replay_save_calls;
	int set_scene_calls;
};

void frontend_double_reset(void);
void frontend_double_set_replay_buffer_active(bool active);
// When false, replay_buffer_start is accepted but the buffer does not start,
// as when the OBS profile has no replay buffer.
void frontend_double_set_replay_buffer_startable(bool startable);
frontend_double_counts frontend_double_get_counts(void);
// Name of the scene last made current (empty when none), copied into buf.
void frontend_double_current_scene_name(char *buf, size_t size);
}
