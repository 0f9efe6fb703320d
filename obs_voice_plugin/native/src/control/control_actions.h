#pragma once

#include "../backend/command_requests.h"

// Carries one command out in OBS, logs it and acknowledges it.
void control_dispatch(const backend_endpoints *endpoints, const control_command *command);

bool control_switch_scene(const char *name);
bool control_set_source_visible(const char *name, bool visible);
bool control_set_source_muted(const char *name, bool muted);
void control_replay_buffer_start(void);
void control_replay_buffer_stop(void);
bool control_replay_buffer_save(const char **reason);
