#pragma once

// Teaching the filter the streamer's voice: a listening session of about
// 30 s of the filtered source's own audio, started from the filter's
// properties or the hotkey "Tollivaren: teach my voice"; a voice profile
// learned from it on a thread of ours and kept in the filter's settings; the
// status block the properties show. The audio thread only copies into a
// buffer made before the session starts; the audio is never written
// anywhere and is freed with the session.

#include <cstdint>

#include <obs-module.h>

struct voice_filter;

#define S_VOICE_PROFILE "voice_profile"
#define VOICE_SESSION_SECONDS 30
// The hotkey's name (obs-websocket's TriggerHotkeyByName) and description.
#define VOICE_TEACH_HOTKEY "tollivaren_voice.teach_my_voice"

enum voice_session_state {
	VOICE_SESSION_NONE,
	VOICE_SESSION_LISTENING,
	VOICE_SESSION_LEARNING,
	VOICE_SESSION_LEARNED,
	VOICE_SESSION_TOO_FEW_TAKES,
	VOICE_SESSION_FAILED,
	VOICE_SESSION_CANCELLED,
};

// The hotkey, OBS's own (filters cannot have one), registered while the
// module is loaded: it starts a session on every paired filter. Filters join
// it at create and leave it first thing in destroy.
void voice_teaching_module_load(void);
void voice_teaching_module_unload(void);
void voice_teaching_add_filter(voice_filter *filter);
void voice_teaching_remove_filter(voice_filter *filter);

// Starts a session unless one is under way or the filter is not paired;
// any host thread but the audio thread.
bool voice_session_start(voice_filter *filter);
bool voice_session_paired(voice_filter *filter);
// Ends a session under way (update, destroy) and frees the one in hand:
// under the filter's update_lock.
void voice_session_end(voice_filter *filter);
// The audio thread, under the filter's lock: appends resampled samples to
// the session's buffer while it listens.
void voice_session_capture(voice_filter *filter, const int16_t *samples, uint32_t count);

// Reads the saved profile from the settings into a new profile: null when
// there is none, or when it cannot be used (*refused; logged once per
// text). Update, under update_lock, then swaps it in under the lock.
struct voice_profile *voice_teaching_read_profile(voice_filter *filter, obs_data_t *settings, bool *refused);
// Forgets the profile, in the settings and in the filter; OBS's UI thread.
void voice_teaching_forget(voice_filter *filter, obs_data_t *settings);

// The properties' own part: the status block and the two buttons.
void voice_teaching_add_properties(voice_filter *filter, obs_properties_t *props);
