// The plug-in doing its whole job on this machine: a local dashboard stands
// in for the hosted service, a headless OBS host loads the plug-in, a filter
// is paired with a string the dashboard minted, a recording of the phrase is
// streamed through it, and chat commands are carried out and acknowledged.
#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <frontend_double.h>
#include <local_dashboard.h>
#include <util/platform.h>

#include "obs_host.h"

namespace {

const char *TENANT = "demo-streamer";
const char *KEY = "demo-plugin-key-7f3a9c";

struct demo_args {
	std::string module_path;
	std::string data_path;
	std::string phrase_wav;
	bool verbose = false;
	int patience = 1; // waits are multiplied by this (slow runs, e.g. under valgrind)
};

int failures = 0;

void step(bool ok, const std::string &text)
{
	printf("  %s %s\n", ok ? "ok  " : "FAIL", text.c_str());
	fflush(stdout);
	if (!ok)
		failures++;
}

std::string json_field(const std::string &json, const char *name)
{
	obs_data_t *data = obs_data_create_from_json(json.c_str());
	if (!data)
		return "";
	std::string value;
	if (obs_data_has_user_value(data, name)) {
		if (strcmp(name, "confidence") == 0) {
			char buf[32];
			snprintf(buf, sizeof(buf), "%.3f", obs_data_get_double(data, name));
			value = buf;
		} else {
			value = obs_data_get_string(data, name);
		}
	}
	obs_data_release(data);
	return value;
}

bool item_visible(const char *scene_name, const char *source_name)
{
	obs_source_t *scene_source = obs_get_source_by_name(scene_name);
	obs_scene_t *scene = obs_scene_from_source(scene_source);
	obs_sceneitem_t *item = scene ? obs_scene_find_source(scene, source_name) : nullptr;
	bool visible = item && obs_sceneitem_visible(item);
	obs_source_release(scene_source);
	return visible;
}

bool source_muted(const char *name)
{
	obs_source_t *source = obs_get_source_by_name(name);
	bool muted = source && obs_source_muted(source);
	obs_source_release(source);
	return muted;
}

bool parse(int argc, char **argv, demo_args *args)
{
	for (int i = 1; i < argc; i++) {
		std::string opt = argv[i];
		if (opt == "--verbose") {
			args->verbose = true;
		} else if (i + 1 < argc && opt == "--module") {
			args->module_path = argv[++i];
		} else if (i + 1 < argc && opt == "--data") {
			args->data_path = argv[++i];
		} else if (i + 1 < argc && opt == "--patience") {
			args->patience = std::max(1, atoi(argv[++i]));
		} else if (i + 1 < argc && opt == "--phrase-wav") {
			args->phrase_wav = argv[++i];
		} else {
			return false;
		}
	}
	return !args->module_path.empty() && !args->data_path.empty() && !args->phrase_wav.empty();
}

struct demo_command {
	const char *id;
	const char *action;
	const char *target;
	std::function<bool()> effect;
};

} // namespace

int main(int argc, char **argv)
{
	demo_args args;
	if (!parse(argc, argv, &args)) {
		fprintf(stderr, "usage: %s --module PATH --data DIR --phrase-wav FILE [--verbose] [--patience N]\n", argv[0]);
		return 2;
	}
	wav_audio phrase;
	std::string error;
	if (!wav_read(args.phrase_wav, &phrase, &error)) {
		fprintf(stderr, "demo: %s\n", error.c_str());
		return 1;
	}

	printf("tollivaren-voice demo\n");
	local_dashboard *dashboard = dashboard_start();
	if (!dashboard) {
		fprintf(stderr, "demo: the local dashboard could not start\n");
		return 1;
	}
	dashboard_add_tenant(dashboard, TENANT, KEY);
	dashboard_set_settings(dashboard, TENANT,
			       R"({"voice_clip_enabled":true,"voice_clip_confidence_min":0.6,)"
			       R"("voice_clip_cooldown_seconds":15,"voice_clip_allow_mixer_tap":false,"is_live":true})");
	const std::string pairing = dashboard_mint_pairing(dashboard, TENANT);
	step(true, "local dashboard at " + dashboard_base_url(dashboard) + ", pairing string minted for tenant " +
			   TENANT);

	obs_host_options options;
	options.module_path = args.module_path;
	options.data_path = args.data_path;
	options.echo_log = args.verbose;
	if (!obs_host_start(options)) {
		fprintf(stderr, "demo: the headless OBS host could not start the plug-in\n");
		dashboard_stop(dashboard);
		return 1;
	}
	step(obs_host_log_count("[tollivaren-voice] loaded v") == 1, "plug-in loaded into a headless OBS host");

	obs_source_t *mic = obs_host_create_audio_input("Mic");
	obs_source_t *camera = obs_host_create_audio_input("Camera");
	obs_source_t *music = obs_host_create_audio_input("Music");
	obs_scene_t *live = obs_scene_create("Live");
	obs_scene_t *brb = obs_scene_create("BRB");
	obs_scene_add(live, mic);
	obs_scene_add(live, camera);
	obs_scene_add(live, music);
	obs_scene_add(brb, music);
	obs_set_output_source(0, obs_scene_get_source(live));

	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "pairing", pairing.c_str());
	obs_data_set_string(settings, "source_class", "mic");
	obs_source_t *filter = obs_host_attach_filter(mic, "tollivaren_voice_filter", "Tollivaren Voice Clip", settings);
	obs_data_release(settings);
	step(filter && obs_host_log_count(std::string("[tollivaren-voice] paired tenant=") + TENANT + " source=mic") == 1,
	     "filter on \"Mic\" paired with the dashboard");
	step(obs_host_log_count("[tollivaren-voice] openWakeWord detector ready (model='tollivaren_clip_it')") == 1,
	     "wake-word detector ready (model 'tollivaren_clip_it')");
	step(dashboard_wait_count(dashboard, "ping", 1, 5000 * args.patience), "voice-clip settings fetched from the dashboard");
	std::this_thread::sleep_for(std::chrono::milliseconds(300));

	printf("  ..   speaking \"tollivaren clip it\" into the microphone (%.1f s)\n",
	       (double)phrase.frames() / phrase.sample_rate);
	host_audio_stream stream;
	host_audio_stream_begin(&stream, mic);
	host_audio_stream_push(&stream, phrase, 1024, true);
	bool clipped = dashboard_wait_count(dashboard, "voice-command", 1, 5000 * args.patience);
	std::string confidence;
	if (clipped)
		confidence = json_field(dashboard_requests(dashboard, "voice-command")[0].body, "confidence");
	step(clipped, clipped ? "clip received by the dashboard, confidence " + confidence
			      : "no clip reached the dashboard");

	auto current_scene_is = [](const char *name) {
		char current[64];
		frontend_double_current_scene_name(current, sizeof(current));
		return strcmp(current, name) == 0;
	};
	// Two rounds, so that the second can undo what the first did and each
	// effect is seen in OBS before it is undone.
	std::vector<std::vector<demo_command>> rounds = {
		{
			{"c1", "scene", "BRB", [&] { return current_scene_is("BRB"); }},
			{"c2", "hide_source", "Camera", [] { return !item_visible("Live", "Camera"); }},
			{"c3", "mute_source", "Music", [] { return source_muted("Music"); }},
			{"c4", "replay_buffer_on", nullptr, [] { return obs_frontend_replay_buffer_active(); }},
		},
		{
			{"c5", "show_source", "Camera", [] { return item_visible("Live", "Camera"); }},
			{"c6", "replay_buffer_save", nullptr,
			 [] { return frontend_double_get_counts().replay_save_calls == 1; }},
			{"c7", "scene", "Live", [&] { return current_scene_is("Live"); }},
		},
	};
	size_t acked_so_far = 0;
	for (const auto &round : rounds) {
		printf("  ..   chat sends %zu commands; the plug-in polls every 3 s\n", round.size());
		for (const auto &command : round) {
			std::string target = command.target ? command.target : "";
			dashboard_queue_command(dashboard, TENANT, command.id, command.action,
						command.target ? &target : nullptr);
		}
		dashboard_wait_count(dashboard, "ack", acked_so_far + round.size(), 12000 * args.patience);
		auto acks = dashboard_requests(dashboard, "ack");
		for (size_t i = 0; i < round.size(); i++) {
			const auto &command = round[i];
			size_t at = acked_so_far + i;
			bool acked = at < acks.size() && acks[at].command_id == command.id &&
				     json_field(acks[at].body, "status") == "done";
			// OBS carries some out a moment after the acknowledgement (the
			// replay buffer runs only once its output has started).
			bool happened = false;
			for (int waited = 0; !(happened = command.effect()) && waited < 3000 * args.patience; waited += 10)
				std::this_thread::sleep_for(std::chrono::milliseconds(10));
			std::string what = std::string(command.action) +
					   (command.target ? std::string(" '") + command.target + "'" : std::string());
			step(acked && happened, what + (happened ? ": carried out in OBS" : ": NOT carried out in OBS") +
							(acked ? ", acknowledged \"done\"" : ", not acknowledged"));
		}
		acked_so_far += round.size();
	}

	obs_source_filter_remove(mic, filter);
	obs_source_release(filter);
	obs_scene_release(live);
	obs_scene_release(brb);
	obs_source_release(mic);
	obs_source_release(camera);
	obs_source_release(music);
	obs_host_flush_destroyed();
	obs_host_shutdown();
	step(obs_host_log_count("[tollivaren-voice] unloaded") == 1, "OBS closed, plug-in unloaded");
	step(frontend_double_fault_count() == 0,
	     "no frontend call off OBS's UI thread where it must be on it, none after OBS closed");

	size_t leaks = 0;
	for (const auto &line : obs_host_log_lines())
		leaks += line.find(KEY) != std::string::npos || line.find(pairing) != std::string::npos;
	step(leaks == 0, "no log line carries the plug-in key or the pairing string");
	dashboard_stop(dashboard);

	if (failures) {
		printf("demo FAILED: %d step(s) above did not happen\n", failures);
		return 1;
	}
	printf("demo passed\n");
	return 0;
}
