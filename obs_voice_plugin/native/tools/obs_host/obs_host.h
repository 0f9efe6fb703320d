#pragma once

// A headless OBS host: real libobs without a window, audio only. Used by the
// tests and by the headless-host program.

#include <cstdint>
#include <string>
#include <vector>

#include <obs.h>

#include "wav_file.h"

struct obs_host_module {
	std::string module_path; // .../bin/64bit/<name>.so
	std::string data_path;   // .../data
	std::string name;        // set by obs_host_find_modules
};

struct obs_host_options {
	std::string module_path; // .../bin/64bit/tollivaren-voice.so
	std::string data_path;   // .../data
	bool echo_log = false;   // also print every log line to stderr
	// Other modules, opened and initialised in this order before the main one.
	std::vector<obs_host_module> modules_before;
};

// On the frontend double's UI thread, as in OBS: obs_startup in a temporary
// config dir, 48 kHz stereo audio, no video, then the modules opened and
// initialised, then obs_post_load_modules. False (with the reason in the log)
// when any step fails.
bool obs_host_start(const obs_host_options &options);
// The modules libobs finds in its own search paths (the system plug-in
// folders), as obs_load_all_modules would, without loading any. After start.
std::vector<obs_host_module> obs_host_find_modules(void);
// Opens and initialises modules after a start without any, then
// obs_post_load_modules. False (with the reason in the log) on a failure.
bool obs_host_open_modules(const std::vector<obs_host_module> &modules);
// Closes the window in OBS's order (frontend_double_close), then on the UI
// thread waits for released sources to be destroyed and runs obs_shutdown
// (which runs the module's unload); removes the config dir.
void obs_host_shutdown(void);
// Waits until sources released so far have really been destroyed.
void obs_host_flush_destroyed(void);

// Log lines captured since start (or the last clear), thread-safe.
std::vector<std::string> obs_host_log_lines(void);
size_t obs_host_log_count(const std::string &needle);
bool obs_host_wait_log(const std::string &needle, size_t count, int timeout_ms);
void obs_host_log_clear(void);
void obs_host_log_echo(bool echo);

// An audio input that plays what the caller pushes (source id "tv_host_audio").
obs_source_t *obs_host_create_audio_input(const char *name);
// Creates a filter of the given id with settings and attaches it.
obs_source_t *obs_host_attach_filter(obs_source_t *source, const char *filter_id, const char *name,
				     obs_data_t *settings);

// Pushes interleaved float audio into an input, in packets of packet_frames,
// with timestamps that advance by the packet length. realtime paces the
// pushes to the audio clock.
struct host_audio_stream {
	obs_source_t *source = nullptr;
	uint64_t next_timestamp = 0;
};
void host_audio_stream_begin(host_audio_stream *stream, obs_source_t *source);
void host_audio_stream_push(host_audio_stream *stream, const wav_audio &audio, uint32_t packet_frames,
			    bool realtime);
// Silence of the given length at the host's rate and layout.
void host_audio_stream_silence(host_audio_stream *stream, double seconds, uint32_t packet_frames, bool realtime);

// Records the audio a source hands to the mix (after its filters).
struct host_audio_capture;
host_audio_capture *host_audio_capture_start(obs_source_t *source);
// Planar float samples per channel captured so far.
std::vector<std::vector<float>> host_audio_capture_take(host_audio_capture *capture);
void host_audio_capture_stop(host_audio_capture *capture);
