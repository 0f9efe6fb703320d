// wake-score: runs the wake-word detector over a WAV file and prints the
// score of every scoring pass.

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include <util/base.h>

#include "detector/wake_detector.h"
#include "wake_audio.h"

namespace {

const char USAGE[] =
	"usage: wake-score [options] FILE.wav\n"
	"  --models DIR     folder with melspectrogram.onnx, embedding_model.onnx and the\n"
	"                   classifier (default: the plug-in's installed data/models, else\n"
	"                   the build tree's)\n"
	"  --model NAME     classifier file NAME.onnx (default: tollivaren_clip_it)\n"
	"  --packet N       16 kHz samples per detector call (default 1280)\n"
	"  --threshold T    mark passes scoring T or more with '*'\n"
	"  --quiet          print only the peak\n"
	"Prints one line per scoring pass: the time in seconds of audio fed so far and\n"
	"the score (-1 for a pass that failed), then \"peak <score> at <t>s\".\n";

struct score_options {
	std::string models_dir;
	std::string model_name = "tollivaren_clip_it";
	std::string wav_path;
	uint64_t packet = 1280;
	double threshold = -1.0;
	bool mark = false;
	bool quiet = false;
};

void log_to_stderr(int level, const char *format, va_list args, void *)
{
	(void)level;
	vfprintf(stderr, format, args);
	fputc('\n', stderr);
}

bool parse_number(const char *text, double *out)
{
	char *end = nullptr;
	errno = 0;
	*out = strtod(text, &end);
	return errno == 0 && end != text && *end == '\0';
}

bool has_mel_model(const std::string &dir)
{
	return access((dir + "/melspectrogram.onnx").c_str(), R_OK) == 0;
}

// The installed plug-in's models (a user install beside the tool, or the
// Debian package's), else the build tree's.
std::string default_models_dir()
{
	char exe[4096];
	ssize_t length = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
	if (length > 0) {
		exe[length] = '\0';
		std::string dir(exe);
		dir = dir.substr(0, dir.find_last_of('/'));
		for (const char *relative : {TV_INSTALLED_MODELS_FROM_BIN, TV_PACKAGED_MODELS_FROM_BIN}) {
			std::string installed = dir + "/" + relative;
			if (has_mel_model(installed))
				return installed;
		}
	}
	return TV_BUILD_MODELS_DIR;
}

// 0 when parsed, else the exit code (2: bad usage).
int parse_options(int argc, char **argv, score_options *options)
{
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		bool takes_value = arg == "--models" || arg == "--model" || arg == "--packet" || arg == "--threshold";
		if (takes_value && i + 1 >= argc) {
			fprintf(stderr, "wake-score: %s needs a value\n%s", arg.c_str(), USAGE);
			return 2;
		}
		double number = 0.0;
		if (arg == "--models") {
			options->models_dir = argv[++i];
		} else if (arg == "--model") {
			options->model_name = argv[++i];
		} else if (arg == "--packet") {
			if (!parse_number(argv[++i], &number) || number < 1 || number != (double)(uint64_t)number) {
				fprintf(stderr, "wake-score: --packet takes a whole number of samples, 1 or more\n");
				return 2;
			}
			options->packet = (uint64_t)number;
		} else if (arg == "--threshold") {
			if (!parse_number(argv[++i], &options->threshold)) {
				fprintf(stderr, "wake-score: --threshold takes a number\n");
				return 2;
			}
			options->mark = true;
		} else if (arg == "--quiet") {
			options->quiet = true;
		} else if (arg == "--help" || arg == "-h") {
			fputs(USAGE, stdout);
			exit(0);
		} else if (arg.size() > 1 && arg[0] == '-') {
			fprintf(stderr, "wake-score: unknown option %s\n%s", arg.c_str(), USAGE);
			return 2;
		} else if (options->wav_path.empty()) {
			options->wav_path = arg;
		} else {
			fprintf(stderr, "wake-score: one WAV file only\n%s", USAGE);
			return 2;
		}
	}
	if (options->wav_path.empty()) {
		fputs(USAGE, stderr);
		return 2;
	}
	if (options->models_dir.empty())
		options->models_dir = default_models_dir();
	return 0;
}

void score_samples(wake_detector *detector, const std::vector<int16_t> &samples, const score_options &options)
{
	bool any_pass = false;
	float peak = -1.0f;
	double peak_time = 0.0;
	for (uint64_t start = 0; start < samples.size(); start += options.packet) {
		uint64_t count = std::min<uint64_t>(options.packet, samples.size() - start);
		float score = wake_detector_process(detector, samples.data() + start, count);
		// The counter goes back to 0 exactly when a pass ran, failed or not.
		if (detector->samples_since_score != 0)
			continue;
		double time = (double)(start + count) / 16000.0;
		if (!any_pass || score > peak) {
			peak = score;
			peak_time = time;
			any_pass = true;
		}
		if (!options.quiet)
			printf("%8.3f %.6f%s\n", time, score, options.mark && score >= options.threshold ? " *" : "");
	}
	printf("peak %.6f at %.3fs\n", peak, peak_time);
}

} // namespace

int main(int argc, char **argv)
{
	score_options options;
	int usage = parse_options(argc, argv, &options);
	if (usage != 0)
		return usage;
	base_set_log_handler(log_to_stderr, nullptr);

	wav_audio audio;
	std::string error;
	std::vector<int16_t> samples;
	if (!wav_read(options.wav_path, &audio, &error) || !wake_audio_to_16k_mono(audio, &samples, &error)) {
		fprintf(stderr, "wake-score: %s\n", error.c_str());
		return 1;
	}

	wake_detector *detector = wake_detector_create(options.models_dir.c_str(), options.model_name.c_str());
	if (!detector) {
		fprintf(stderr, "wake-score: could not load the models from %s\n", options.models_dir.c_str());
		return 1;
	}
	fprintf(stderr, "wake-score: models from %s\n", options.models_dir.c_str());
	if (samples.size() < 32000)
		fprintf(stderr, "wake-score: under 2 s of audio: no scoring pass\n");
	score_samples(detector, samples, options);
	wake_detector_destroy(detector);
	return 0;
}
