// tollivaren-headless-host: runs the plug-in inside a real libobs without a
// window and prints the OBS log as it happens. Point it at any dashboard with
// a pairing string, feed it a WAV file or a tone, lay out scenes, and watch.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <util/platform.h>

#include "obs_host.h"

namespace {

volatile std::sig_atomic_t interrupted = 0;

void on_signal(int)
{
	interrupted = 1;
}

struct host_args {
	std::string system_module; // found in libobs's own search paths instead
	std::string module_path;
	std::string data_path;
	std::string pairing;
	std::string url_override;
	std::string source_class = "mic";
	std::string wav_path;
	double tone_hz = 0.0;
	double seconds = 10.0;
	bool fast = false;
	std::string scenes; // "Scene A=Mic,Music;Scene B=Mic"
};

void usage(const char *argv0)
{
	fprintf(stderr,
		"usage: %s (--module PATH --data DIR | --system-module NAME) [options]\n"
		"  --system-module NAME    load NAME from where libobs itself finds modules (the system\n"
		"                          plug-in folders), after printing every module found there\n"
		"  --pairing STRING        pairing string from the dashboard (else read from $TOLLIVAREN_PAIRING)\n"
		"  --server-url URL        server URL override\n"
		"  --source-class CLASS    mixer or mic (default mic)\n"
		"  --wav FILE              play this file into the filtered input (repeats until --seconds)\n"
		"  --tone HZ               play a sine tone instead\n"
		"  --seconds N             how long to run (default 10; 0 = until Ctrl-C)\n"
		"  --fast                  push audio as fast as possible instead of in real time\n"
		"  --scenes LAYOUT         scenes and their sources, e.g. \"Live=Mic,Music;BRB=Music\"\n"
		"The filtered input is called \"Mic\"; other names in --scenes become silent inputs.\n",
		argv0);
}

bool parse(int argc, char **argv, host_args *args)
{
	for (int i = 1; i < argc; i++) {
		std::string opt = argv[i];
		auto value = [&](std::string *out) {
			if (i + 1 >= argc)
				return false;
			*out = argv[++i];
			return true;
		};
		std::string number;
		if (opt == "--module" && value(&args->module_path))
			continue;
		if (opt == "--system-module" && value(&args->system_module))
			continue;
		if (opt == "--data" && value(&args->data_path))
			continue;
		if (opt == "--pairing" && value(&args->pairing))
			continue;
		if (opt == "--server-url" && value(&args->url_override))
			continue;
		if (opt == "--source-class" && value(&args->source_class))
			continue;
		if (opt == "--wav" && value(&args->wav_path))
			continue;
		if (opt == "--scenes" && value(&args->scenes))
			continue;
		if (opt == "--tone" && value(&number)) {
			args->tone_hz = atof(number.c_str());
			continue;
		}
		if (opt == "--seconds" && value(&number)) {
			args->seconds = atof(number.c_str());
			continue;
		}
		if (opt == "--fast") {
			args->fast = true;
			continue;
		}
		return false;
	}
	return !args->system_module.empty() || (!args->module_path.empty() && !args->data_path.empty());
}

std::vector<std::string> split(const std::string &text, char sep)
{
	std::vector<std::string> parts;
	size_t start = 0;
	while (start <= text.size()) {
		size_t end = text.find(sep, start);
		if (end == std::string::npos)
			end = text.size();
		if (end > start)
			parts.push_back(text.substr(start, end - start));
		start = end + 1;
	}
	return parts;
}

obs_source_t *find_or_create_input(std::vector<obs_source_t *> *owned, const std::string &name)
{
	obs_source_t *existing = obs_get_source_by_name(name.c_str());
	if (existing) {
		obs_source_release(existing);
		return existing;
	}
	obs_source_t *input = obs_host_create_audio_input(name.c_str());
	owned->push_back(input);
	return input;
}

// Prints what libobs finds in its search paths and opens the named module.
bool open_system_module(const std::string &name)
{
	std::vector<obs_host_module> found = obs_host_find_modules();
	const obs_host_module *wanted = nullptr;
	for (const obs_host_module &m : found) {
		printf("found module '%s': %s (data %s)\n", m.name.c_str(), m.module_path.c_str(), m.data_path.c_str());
		if (m.name == name)
			wanted = &m;
	}
	fflush(stdout);
	if (!wanted) {
		fprintf(stderr, "no module '%s' in libobs's search paths\n", name.c_str());
		return false;
	}
	return obs_host_open_modules({*wanted});
}

} // namespace

int main(int argc, char **argv)
{
	host_args args;
	if (!parse(argc, argv, &args)) {
		usage(argv[0]);
		return 2;
	}
	if (args.pairing.empty() && getenv("TOLLIVAREN_PAIRING"))
		args.pairing = getenv("TOLLIVAREN_PAIRING");

	wav_audio audio;
	if (!args.wav_path.empty()) {
		std::string error;
		if (!wav_read(args.wav_path, &audio, &error)) {
			fprintf(stderr, "%s\n", error.c_str());
			return 1;
		}
	}

	signal(SIGINT, on_signal);
	signal(SIGTERM, on_signal);

	obs_host_options options;
	options.module_path = args.module_path;
	options.data_path = args.data_path;
	options.echo_log = true;
	if (!obs_host_start(options))
		return 1;
	if (!args.system_module.empty() && !open_system_module(args.system_module))
		return 1;

	std::vector<obs_source_t *> owned;
	obs_source_t *mic = obs_host_create_audio_input("Mic");
	owned.push_back(mic);
	std::vector<obs_scene_t *> scenes;
	for (const std::string &entry : split(args.scenes, ';')) {
		size_t eq = entry.find('=');
		obs_scene_t *scene = obs_scene_create(entry.substr(0, eq).c_str());
		scenes.push_back(scene);
		if (eq != std::string::npos)
			for (const std::string &name : split(entry.substr(eq + 1), ','))
				obs_scene_add(scene, find_or_create_input(&owned, name));
	}
	if (!scenes.empty())
		obs_set_output_source(0, obs_scene_get_source(scenes.front()));

	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "pairing", args.pairing.c_str());
	obs_data_set_string(settings, "server_url_override", args.url_override.c_str());
	obs_data_set_string(settings, "source_class", args.source_class.c_str());
	obs_source_t *filter = obs_host_attach_filter(mic, "tollivaren_voice_filter", "Tollivaren Voice Clip", settings);
	obs_data_release(settings);

	if (audio.samples.empty())
		audio = [&] {
			wav_audio tone;
			tone.sample_rate = 48000;
			tone.channels = 1;
			tone.samples.resize(48000);
			for (size_t i = 0; i < tone.samples.size(); i++)
				tone.samples[i] = args.tone_hz > 0.0
							  ? (float)(0.2 * sin(2.0 * M_PI * args.tone_hz * (double)i / 48000.0))
							  : 0.0f;
			return tone;
		}();

	host_audio_stream stream;
	host_audio_stream_begin(&stream, mic);
	const uint64_t start = os_gettime_ns();
	while (!interrupted) {
		double elapsed = (double)(os_gettime_ns() - start) / 1e9;
		if (args.seconds > 0 && elapsed >= args.seconds)
			break;
		host_audio_stream_push(&stream, audio, 1024, !args.fast);
		if (args.fast && args.seconds <= 0)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}

	if (filter) {
		obs_source_filter_remove(mic, filter);
		obs_source_release(filter);
	}
	for (obs_scene_t *scene : scenes)
		obs_scene_release(scene);
	for (obs_source_t *source : owned)
		obs_source_release(source);
	obs_host_flush_destroyed();
	obs_host_shutdown();
	return 0;
}
