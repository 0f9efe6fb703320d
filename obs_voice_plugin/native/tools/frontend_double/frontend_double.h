#pragma once

// A stand-in for OBS's frontend library (libobs-frontend-api.so.0) that
// behaves like the real OBS window where plug-ins crash or hang it:
// - a UI thread of its own runs libobs's UI tasks and the window's queued
//   calls in order;
// - obs_frontend_set_current_scene from another thread blocks until the UI
//   thread has run it;
// - obs_frontend_get_scenes reads the window's scene list: called off the
//   UI thread it is a fault (a data race in OBS);
// - the replay buffer starts, stops and saves on the UI thread, and becomes
//   active only a moment after the start was asked for;
// - closing runs OBS's order: SCRIPTING_SHUTDOWN, scene data cleared, EXIT,
//   window gone, then the shutdown (obs_shutdown) on the UI thread with its
//   queue stopped. Any frontend call after EXIT is a fault (OBS would touch
//   freed memory or wait forever); tasks queued then never run.
// Faults are recorded, not raised: tests check frontend_double_fault_count.

#include <cstddef>

#include <obs.h>
#include <obs-frontend-api.h>

extern "C" {

struct frontend_double_counts {
	int replay_start_calls;
	int replay_stop_calls;
	int replay_save_calls;
	int set_scene_calls;
};

// Starts the UI thread (a fresh window).
void frontend_double_ui_start(void);
// libobs's UI task handler (obs_set_ui_task_handler, once libobs has started):
// OBS_TASK_UI tasks run on the UI thread, in order.
void frontend_double_ui_task_handler(obs_task_t task, void *param, bool wait);
// Runs fn on the UI thread and waits for it; runs it here when already there.
void frontend_double_run_on_ui(void (*fn)(void *), void *param);
// Queues fn to the UI thread without waiting.
void frontend_double_queue_on_ui(void (*fn)(void *), void *param);
bool frontend_double_on_ui_thread(void);
// Tasks waiting in the UI queue (not counting one that runs).
size_t frontend_double_queued(void);
// Closes the window in OBS's order and runs shutdown(param) on the UI thread,
// which then ends. Without a running UI thread, shutdown runs here.
void frontend_double_close(void (*shutdown)(void *), void *param);
// Called on the UI thread where OBS clears its scene data at close (after
// SCRIPTING_SHUTDOWN, before EXIT): a host releases its scenes and sources there.
void frontend_double_on_scene_data_clear(void (*fn)(void *), void *param);
// How long the replay buffer takes to become active after a start (ms).
void frontend_double_set_replay_start_delay(int ms);

void frontend_double_reset(void);
void frontend_double_set_replay_buffer_active(bool active);
// When false, replay_buffer_start is accepted but the buffer does not start,
// as when the OBS profile has no replay buffer.
void frontend_double_set_replay_buffer_startable(bool startable);
frontend_double_counts frontend_double_get_counts(void);
// Name of the scene last made current (empty when none), copied into buf.
void frontend_double_current_scene_name(char *buf, size_t size);

// Faults seen since the process started, and their description.
size_t frontend_double_fault_count(void);
void frontend_double_faults(char *buf, size_t size);
}
