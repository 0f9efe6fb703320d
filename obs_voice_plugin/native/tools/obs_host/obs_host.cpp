#include "obs_host.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include <util/base.h>
#include <util/platform.h>

#include "frontend_double.h"

namespace {

std::mutex log_lock;
std::condition_variable log_changed;
std::vector<std::string> log_lines;
bool log_echo = false;
std::string config_dir;

void host_log_handler(int level, const char *format, va_list args, void *)
{
	char buf[8192];
	vsnprintf(buf, sizeof(buf), format, args);
	{
		std::lock_guard<std::mutex> guard(log_lock);
		log_lines.emplace_back(buf);
		if (log_echo) {
			const char *tag = level <= LOG_ERROR ? "error" : level <= LOG_WARNING ? "warning" : "info";
			fprintf(stderr, "%s: %s\n", tag, buf);
		}
	}
	log_changed.notify_all();
}

const char *audio_input_name(void *)
{
	return "Headless audio input";
}

void *audio_input_create(obs_data_t *, obs_source_t *source)
{
	return source;
}

void audio_input_destroy(void *) {}

speaker_layout layout_for_channels(uint32_t channels)
{
	switch (channels) {
	case 1:
		return SPEAKERS_MONO;
	case 2:
		return SPEAKERS_STEREO;
	case 3:
		return SPEAKERS_2POINT1;
	case 4:
		return SPEAKERS_4POINT0;
	case 5:
		return SPEAKERS_4POINT1;
	case 6:
		return SPEAKERS_5POINT1;
	case 8:
		return SPEAKERS_7POINT1;
	default:
		return SPEAKERS_UNKNOWN;
	}
}

void noop_task(void *) {}

bool open_module(const obs_host_module &m)
{
	obs_module_t *module = nullptr;
	int result = obs_open_module(&module, m.module_path.c_str(), m.data_path.c_str());
	if (result != MODULE_SUCCESS) {
		blog(LOG_ERROR, "headless host: cannot open module %s (%d)", m.module_path.c_str(), result);
		return false;
	}
	if (!obs_init_module(module)) {
		blog(LOG_ERROR, "headless host: module %s failed to initialise", m.module_path.c_str());
		return false;
	}
	return true;
}

} // namespace

static bool open_modules_on_ui(const std::vector<obs_host_module> &modules)
{
	for (const obs_host_module &m : modules)
		if (!open_module(m))
			return false;
	obs_post_load_modules();
	return true;
}

// libobs starts, and the module loads, on the UI thread, as in OBS.
static bool obs_host_start_on_ui(const obs_host_options &options)
{
	char tmpl[] = "/tmp/tv-obs-host-XXXXXX";
	if (!mkdtemp(tmpl))
		return false;
	config_dir = tmpl;
	if (!obs_startup("en-US", config_dir.c_str(), nullptr)) {
		blog(LOG_ERROR, "headless host: obs_startup failed (is there an X display? use xvfb-run -a)");
		return false;
	}
	obs_set_ui_task_handler(frontend_double_ui_task_handler);
	obs_audio_info audio = {};
	audio.samples_per_sec = 48000;
	audio.speakers = SPEAKERS_STEREO;
	if (!obs_reset_audio(&audio)) {
		blog(LOG_ERROR, "headless host: obs_reset_audio failed");
		return false;
	}

	static obs_source_info input_info = {};
	input_info.id = "tv_host_audio";
	input_info.type = OBS_SOURCE_TYPE_INPUT;
	input_info.output_flags = OBS_SOURCE_AUDIO;
	input_info.get_name = audio_input_name;
	input_info.create = audio_input_create;
	input_info.destroy = audio_input_destroy;
	obs_register_source(&input_info);

	std::vector<obs_host_module> modules = options.modules_before;
	if (!options.module_path.empty())
		modules.push_back({options.module_path, options.data_path, ""});
	return modules.empty() || open_modules_on_ui(modules);
}

static void found_module(void *param, const obs_module_info2 *info)
{
	static_cast<std::vector<obs_host_module> *>(param)->push_back(
		{info->bin_path ? info->bin_path : "", info->data_path ? info->data_path : "", info->name ? info->name : ""});
}

std::vector<obs_host_module> obs_host_find_modules(void)
{
	std::vector<obs_host_module> found;
	obs_find_modules2(found_module, &found);
	return found;
}

struct host_open_call {
	const std::vector<obs_host_module> *modules;
	bool ok;
};

static void host_open_task(void *param)
{
	auto *call = static_cast<host_open_call *>(param);
	call->ok = open_modules_on_ui(*call->modules);
}

// Modules load on the UI thread, as in OBS.
bool obs_host_open_modules(const std::vector<obs_host_module> &modules)
{
	host_open_call call = {&modules, false};
	frontend_double_run_on_ui(host_open_task, &call);
	return call.ok;
}

struct host_start_call {
	const obs_host_options *options;
	bool ok;
};

static void host_start_task(void *param)
{
	auto *call = static_cast<host_start_call *>(param);
	call->ok = obs_host_start_on_ui(*call->options);
}

bool obs_host_start(const obs_host_options &options)
{
	base_set_log_handler(host_log_handler, nullptr);
	obs_host_log_echo(options.echo_log);
	frontend_double_ui_start();
	host_start_call call = {&options, false};
	frontend_double_run_on_ui(host_start_task, &call);
	return call.ok;
}

struct audio_ticks {
	std::mutex lock;
	std::condition_variable changed;
	int seen = 0;
};

static void count_audio_tick(void *param, size_t, audio_data *)
{
	auto *ticks = static_cast<audio_ticks *>(param);
	{
		std::lock_guard<std::mutex> guard(ticks->lock);
		ticks->seen++;
	}
	ticks->changed.notify_all();
}

// The audio thread holds a reference to every audio source for one tick and
// destroys a source whose last reference it drops: two whole ticks later it
// holds none of the sources released before.
static void wait_audio_ticks(void)
{
	if (!obs_get_audio())
		return;
	audio_ticks ticks;
	obs_add_raw_audio_callback(0, nullptr, count_audio_tick, &ticks);
	{
		std::unique_lock<std::mutex> guard(ticks.lock);
		ticks.changed.wait_for(guard, std::chrono::seconds(10), [&] { return ticks.seen >= 3; });
	}
	obs_remove_raw_audio_callback(0, count_audio_tick, &ticks);
}

static void host_shutdown_task(void *)
{
	// Sources released last are destroyed on the audio thread or on libobs's
	// destruction thread, which unregister their hotkeys; obs_shutdown frees
	// the hotkey tables without waiting for either, so let them finish first.
	if (obs_initialized()) {
		wait_audio_ticks();
		obs_host_flush_destroyed();
	}
	obs_shutdown();
}

void obs_host_shutdown(void)
{
	frontend_double_close(host_shutdown_task, nullptr);
	if (!config_dir.empty()) {
		std::error_code ignored;
		std::filesystem::remove_all(config_dir, ignored);
		config_dir.clear();
	}
}

void obs_host_flush_destroyed(void)
{
	obs_queue_task(OBS_TASK_DESTROY, noop_task, nullptr, true);
}

std::vector<std::string> obs_host_log_lines(void)
{
	std::lock_guard<std::mutex> guard(log_lock);
	return log_lines;
}

static size_t count_locked(const std::string &needle)
{
	size_t n = 0;
	for (const auto &line : log_lines)
		if (line.find(needle) != std::string::npos)
			n++;
	return n;
}

size_t obs_host_log_count(const std::string &needle)
{
	std::lock_guard<std::mutex> guard(log_lock);
	return count_locked(needle);
}

bool obs_host_wait_log(const std::string &needle, size_t count, int timeout_ms)
{
	std::unique_lock<std::mutex> guard(log_lock);
	return log_changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
				    [&] { return count_locked(needle) >= count; });
}

void obs_host_log_clear(void)
{
	std::lock_guard<std::mutex> guard(log_lock);
	log_lines.clear();
}

void obs_host_log_echo(bool echo)
{
	std::lock_guard<std::mutex> guard(log_lock);
	log_echo = echo;
}

obs_source_t *obs_host_create_audio_input(const char *name)
{
	return obs_source_create("tv_host_audio", name, nullptr, nullptr);
}

obs_source_t *obs_host_attach_filter(obs_source_t *source, const char *filter_id, const char *name,
				     obs_data_t *settings)
{
	obs_source_t *filter = obs_source_create(filter_id, name, settings, nullptr);
	if (filter)
		obs_source_filter_add(source, filter);
	return filter;
}

void host_audio_stream_begin(host_audio_stream *stream, obs_source_t *source)
{
	stream->source = source;
	stream->next_timestamp = os_gettime_ns();
}

void host_audio_stream_push(host_audio_stream *stream, const wav_audio &audio, uint32_t packet_frames,
			    bool realtime)
{
	const uint32_t channels = audio.channels;
	const uint64_t total = audio.frames();
	if (channels == 0 || channels > MAX_AV_PLANES || packet_frames == 0)
		return;
	std::vector<std::vector<float>> planes(channels, std::vector<float>(packet_frames));
	const uint64_t start_ns = os_gettime_ns();
	for (uint64_t pos = 0; pos < total; pos += packet_frames) {
		uint32_t frames = (uint32_t)std::min<uint64_t>(packet_frames, total - pos);
		obs_source_audio packet = {};
		for (uint32_t c = 0; c < channels; c++) {
			for (uint32_t i = 0; i < frames; i++)
				planes[c][i] = audio.samples[(pos + i) * channels + c];
			packet.data[c] = reinterpret_cast<const uint8_t *>(planes[c].data());
		}
		packet.frames = frames;
		packet.speakers = layout_for_channels(channels);
		packet.format = AUDIO_FORMAT_FLOAT_PLANAR;
		packet.samples_per_sec = audio.sample_rate;
		packet.timestamp = stream->next_timestamp;
		obs_source_output_audio(stream->source, &packet);
		stream->next_timestamp += (uint64_t)frames * 1000000000ULL / audio.sample_rate;
		if (realtime) {
			uint64_t due = start_ns + (pos + frames) * 1000000000ULL / audio.sample_rate;
			uint64_t now = os_gettime_ns();
			if (due > now)
				std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
		}
	}
}

void host_audio_stream_silence(host_audio_stream *stream, double seconds, uint32_t packet_frames, bool realtime)
{
	wav_audio silence;
	silence.sample_rate = 48000;
	silence.channels = 2;
	silence.samples.assign((size_t)(seconds * 48000) * 2, 0.0f);
	host_audio_stream_push(stream, silence, packet_frames, realtime);
}

struct host_audio_capture {
	obs_source_t *source;
	std::mutex lock;
	std::vector<std::vector<float>> planes;
};

static void capture_audio(void *param, obs_source_t *, const audio_data *data, bool)
{
	auto *capture = static_cast<host_audio_capture *>(param);
	std::lock_guard<std::mutex> guard(capture->lock);
	for (size_t c = 0; c < capture->planes.size(); c++) {
		if (!data->data[c])
			continue;
		const float *samples = reinterpret_cast<const float *>(data->data[c]);
		capture->planes[c].insert(capture->planes[c].end(), samples, samples + data->frames);
	}
}

host_audio_capture *host_audio_capture_start(obs_source_t *source)
{
	auto *capture = new host_audio_capture;
	capture->source = source;
	capture->planes.resize(audio_output_get_channels(obs_get_audio()));
	obs_source_add_audio_capture_callback(source, capture_audio, capture);
	return capture;
}

std::vector<std::vector<float>> host_audio_capture_take(host_audio_capture *capture)
{
	std::lock_guard<std::mutex> guard(capture->lock);
	std::vector<std::vector<float>> out(capture->planes.size());
	out.swap(capture->planes);
	return out;
}

void host_audio_capture_stop(host_audio_capture *capture)
{
	if (!capture)
		return;
	obs_source_remove_audio_capture_callback(capture->source, capture_audio, capture);
	delete capture;
}
