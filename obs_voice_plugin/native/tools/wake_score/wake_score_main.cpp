// wake-score: runs the wake-word detector over a WAV file and prints the
// score of every scoring pass and where the filter's gate would fire; with
// `enroll`, learns a voice profile from recordings of a session.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include <util/base.h>

#include <util/bmem.h>

#include "detector/voice_enrollment.h"
#include "detector/wake_detector.h"
#include "wake_audio.h"

namespace {

const char USAGE[] =
	"usage: wake-score [options] FILE.wav\n"
	"       wake-score enroll [options] --out PROFILE SESSION.wav...\n"
	"  --models DIR     folder with melspectrogram.onnx, embedding_model.onnx and the\n"
	"                   classifier (default: the plug-in's installed data/models, else\n"
	"                   the build tree's)\n"
	"  --model NAME     classifier file NAME.onnx (default: tollivaren_clip_it)\n"
	"  --packet N       16 kHz samples per detector call (default 1280)\n"
	"  --threshold T    the gate's threshold (default 0.6); also marks passes at it with '*'\n"
	"  --quiet          print only the peak and the fires (enroll: only the summary)\n"
	"  --profile FILE   score with the voice profile in FILE as the filter would\n"
	"  --out FILE       enroll: where to write the profile\n"
	"  --bank FILE      enroll: negative bank (default: DIR/voice_bank.tvnb if there)\n"
	"Prints one line per scoring pass: the time in seconds of audio fed so far and\n"
	"the score (-1 for a pass that failed), and the profile's score with --profile;\n"
	"then \"peak <score> at <t>s\" and \"fires N at T1 T2 ...\": where the filter's\n"
	"gate (threshold, the profile's floor, 15 s cooldown) would clip.\n"
	"Options may come in any order before the file names.\n";

constexpr uint64_t COOLDOWN_NS = 15'000'000'000ull;
constexpr double DEFAULT_THRESHOLD = 0.6;

struct score_options {
	std::string models_dir;
	std::string model_name = "tollivaren_clip_it";
	std::vector<std::string> wav_paths;
	std::string profile_path;
	std::string out_path;
	std::string bank_path;
	bool enroll = false;
	uint64_t packet = 1280;
	double threshold = DEFAULT_THRESHOLD;
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
		bool takes_value = arg == "--models" || arg == "--model" || arg == "--packet" || arg == "--threshold" ||
				   arg == "--profile" || arg == "--out" || arg == "--bank";
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
		} else if (arg == "--profile") {
			options->profile_path = argv[++i];
		} else if (arg == "--out") {
			options->out_path = argv[++i];
		} else if (arg == "--bank") {
			options->bank_path = argv[++i];
		} else if (arg == "--quiet") {
			options->quiet = true;
		} else if (arg == "--help" || arg == "-h") {
			fputs(USAGE, stdout);
			exit(0);
		} else if (arg.size() > 1 && arg[0] == '-') {
			fprintf(stderr, "wake-score: unknown option %s\n%s", arg.c_str(), USAGE);
			return 2;
		} else if (arg == "enroll" && options->wav_paths.empty() && !options->enroll) {
			options->enroll = true;
		} else {
			options->wav_paths.push_back(arg);
		}
	}
	if (options->wav_paths.empty()) {
		fputs(USAGE, stderr);
		return 2;
	}
	if (!options->enroll && options->wav_paths.size() > 1) {
		fprintf(stderr, "wake-score: one WAV file only\n%s", USAGE);
		return 2;
	}
	if (options->enroll && options->out_path.empty()) {
		fprintf(stderr, "wake-score: enroll needs --out PROFILE\n%s", USAGE);
		return 2;
	}
	if (options->enroll && !options->profile_path.empty()) {
		fprintf(stderr, "wake-score: --profile is for scoring, not for enroll\n%s", USAGE);
		return 2;
	}
	if (!options->enroll && (!options->out_path.empty() || !options->bank_path.empty())) {
		fprintf(stderr, "wake-score: --out and --bank are for enroll\n%s", USAGE);
		return 2;
	}
	if (options->models_dir.empty())
		options->models_dir = default_models_dir();
	return 0;
}

// Scores every pass, prints its line (unless quiet), the peak, and where
// the filter's whole gate fires.
void score_samples(wake_detector *detector, const voice_profile *profile, const std::vector<int16_t> &samples,
		   const score_options &options)
{
	bool any_pass = false;
	float peak = -1.0f;
	double peak_time = 0.0;
	uint64_t cooldown_until_ns = 0;
	std::vector<double> fires;
	for (uint64_t start = 0; start < samples.size(); start += options.packet) {
		uint64_t count = std::min<uint64_t>(options.packet, samples.size() - start);
		float score = wake_detector_process(detector, samples.data() + start, count);
		// The counter goes back to 0 exactly when a pass ran, failed or not.
		if (detector->samples_since_score != 0)
			continue;
		const uint64_t fed = start + count;
		double time = (double)fed / 16000.0;
		if (!any_pass || score > peak) {
			peak = score;
			peak_time = time;
			any_pass = true;
		}
		voice_gate_input gate = {};
		gate.enabled = true;
		gate.base_score = score;
		gate.threshold = (float)options.threshold;
		gate.now_ns = fed * 1'000'000'000ull / 16000;
		gate.cooldown_until_ns = cooldown_until_ns;
		gate.cooldown_ns = COOLDOWN_NS;
		if (profile) {
			const float *features = wake_detector_features(detector);
			gate.has_profile = true;
			gate.profile_score = features ? voice_profile_score(profile, features) : NAN;
			gate.floor = profile->floor;
		}
		const voice_gate_decision decision = voice_gate_decide(&gate);
		cooldown_until_ns = decision.cooldown_until_ns;
		if (decision.fire)
			fires.push_back(time);
		if (options.quiet)
			continue;
		const bool marked = profile ? score >= gate.floor && gate.profile_score >= gate.threshold
					    : score >= options.threshold;
		const char *mark = options.mark && marked ? " *" : "";
		if (profile)
			printf("%8.3f %.6f %.6f%s\n", time, score, gate.profile_score, mark);
		else
			printf("%8.3f %.6f%s\n", time, score, mark);
	}
	printf("peak %.6f at %.3fs\n", peak, peak_time);
	printf("fires %zu at", fires.size());
	for (double t : fires)
		printf(" %.3f", t);
	printf("\n");
}

bool read_samples(const std::string &path, std::vector<int16_t> *samples)
{
	wav_audio audio;
	std::string error;
	if (!wav_read(path, &audio, &error) || !wake_audio_to_16k_mono(audio, samples, &error)) {
		fprintf(stderr, "wake-score: %s: %s\n", path.c_str(), error.c_str());
		return false;
	}
	return true;
}

// The profile in a file, refused with the reason.
voice_profile *read_profile(const score_options &options)
{
	char identity[VOICE_IDENTITY_CHARS + 1];
	if (!voice_profile_identity(options.models_dir.c_str(), options.model_name.c_str(), identity)) {
		fprintf(stderr, "wake-score: cannot read the models in %s\n", options.models_dir.c_str());
		return nullptr;
	}
	const char *reason = nullptr;
	voice_profile *profile = voice_profile_from_file(options.profile_path.c_str(), identity, &reason);
	if (!profile)
		fprintf(stderr, "wake-score: %s refused: %s\n", options.profile_path.c_str(), reason);
	return profile;
}

int score_main(const score_options &options)
{
	std::vector<int16_t> samples;
	if (!read_samples(options.wav_paths[0], &samples))
		return 1;
	wake_detector *detector = wake_detector_create(options.models_dir.c_str(), options.model_name.c_str());
	if (!detector) {
		fprintf(stderr, "wake-score: could not load the models from %s\n", options.models_dir.c_str());
		return 1;
	}
	fprintf(stderr, "wake-score: models from %s\n", options.models_dir.c_str());
	voice_profile *profile = nullptr;
	if (!options.profile_path.empty() && !(profile = read_profile(options))) {
		wake_detector_destroy(detector);
		return 1;
	}
	if (samples.size() < 32000)
		fprintf(stderr, "wake-score: under 2 s of audio: no scoring pass\n");
	score_samples(detector, profile, samples, options);
	voice_profile_destroy(profile);
	wake_detector_destroy(detector);
	return 0;
}

int enroll_main(const score_options &options)
{
	std::vector<std::vector<int16_t>> recordings(options.wav_paths.size());
	std::vector<voice_session_audio> sessions;
	for (size_t i = 0; i < recordings.size(); i++) {
		if (!read_samples(options.wav_paths[i], &recordings[i]))
			return 1;
		sessions.push_back({recordings[i].data(), recordings[i].size()});
	}
	fprintf(stderr, "wake-score: models from %s\n", options.models_dir.c_str());

	voice_bank *bank = nullptr;
	std::string bank_path = options.bank_path.empty() ? options.models_dir + "/" VOICE_BANK_FILE : options.bank_path;
	if (!options.bank_path.empty() || access(bank_path.c_str(), F_OK) == 0) {
		char identity[VOICE_IDENTITY_CHARS + 1];
		const char *reason = "the models cannot be read";
		if (voice_features_identity(options.models_dir.c_str(), identity))
			bank = voice_bank_load(bank_path.c_str(), identity, &reason);
		if (!bank) {
			fprintf(stderr, "wake-score: %s refused: %s\n", bank_path.c_str(), reason);
			return 1;
		}
		fprintf(stderr, "wake-score: negative bank %s (%u rows)\n", bank_path.c_str(), bank->rows);
	} else {
		fprintf(stderr, "wake-score: no negative bank\n");
	}

	voice_enrollment_report report;
	voice_profile *profile = voice_enrollment_learn(options.models_dir.c_str(), options.model_name.c_str(),
							sessions.data(), sessions.size(), bank, &report);
	voice_bank_destroy(bank);
	if (!options.quiet)
		for (size_t i = 0; i < std::min(report.takes, VOICE_ENROLLMENT_MAX_TAKES); i++)
			printf("take %zu at %.3fs of %s (score %.3f)\n", i + 1, report.take_seconds[i],
			       options.wav_paths[report.take_session[i]].c_str(), report.take_scores[i]);
	if (!profile) {
		fprintf(stderr, "wake-score: no profile: %s\n", report.reason);
		return 1;
	}
	printf("learned from %zu takes in %.1f s of audio: rows %zu phrase, %zu talk, %zu splices, %zu bank; "
	       "%zu templates; passes %.0f ms, training %.0f ms\n",
	       report.takes, report.seconds, report.positive_rows, report.talk_rows, report.splice_rows,
	       report.bank_rows, report.templates, report.features_ms, report.training_ms);

	char *text = voice_profile_to_text(profile);
	FILE *out = fopen(options.out_path.c_str(), "wb");
	bool written = out && fputs(text, out) >= 0 && fputc('\n', out) != EOF;
	if (out && fclose(out) != 0)
		written = false;
	bfree(text);
	if (!written) {
		fprintf(stderr, "wake-score: cannot write %s\n", options.out_path.c_str());
		voice_profile_destroy(profile);
		return 1;
	}
	if (!options.quiet)
		printf("wrote %s\n", options.out_path.c_str());

	// The sessions through the new profile's gate, as a check.
	wake_detector *detector = wake_detector_create(options.models_dir.c_str(), options.model_name.c_str());
	score_options check = options;
	check.quiet = true;
	for (size_t i = 0; detector && !options.quiet && i < recordings.size(); i++) {
		printf("%s: ", options.wav_paths[i].c_str());
		fflush(stdout);
		detector->window_fill = 0;
		detector->samples_since_score = 0;
		score_samples(detector, profile, recordings[i], check);
	}
	wake_detector_destroy(detector);
	voice_profile_destroy(profile);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	score_options options;
	int usage = parse_options(argc, argv, &options);
	if (usage != 0)
		return usage;
	base_set_log_handler(log_to_stderr, nullptr);
	return options.enroll ? enroll_main(options) : score_main(options);
}
