// wake-bench: cost of the detector's scoring pass with the real openWakeWord
// front end, the heap allocations of wake_detector_process in steady state,
// and the voice profile's cost per pass and training time (and, given a
// session recording, a whole enrollment). Prints figures; asserts nothing.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <util/base.h>

#include "bmem_counter.h"
#include "detector/detector_pass.h"
#include "detector/voice_enrollment.h"
#include "malloc_counter.h"
#include "wake_audio.h"

namespace {

struct bench_options {
	std::string models_dir;
	std::string model_name = "hey_jarvis";
	int passes = 200;
	uint64_t host_packet = 341; // 1024 frames at 48 kHz, resampled to 16 kHz
	std::string session; // a recording to enroll from
};

double cpu_seconds()
{
	timespec now;
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
	return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

// Gaussian noise: a pass costs the same whatever the audio holds.
std::vector<int16_t> test_audio(size_t count)
{
	std::mt19937 random(1234);
	std::normal_distribution<float> noise(0.0f, 1500.0f);
	std::vector<int16_t> samples(count);
	for (size_t i = 0; i < count; i++)
		samples[i] = (int16_t)std::clamp(noise(random), -32768.0f, 32767.0f);
	return samples;
}

double percentile(const std::vector<double> &sorted, double share)
{
	size_t index = (size_t)(share * (double)sorted.size() + 0.999999);
	return sorted[std::min(sorted.size(), std::max<size_t>(index, 1)) - 1];
}

void time_passes(wake_detector *detector, const bench_options &options)
{
	std::vector<int16_t> hop = test_audio(1280);
	for (int i = 0; i < 10; i++)
		wake_detector_process(detector, hop.data(), hop.size());

	std::vector<double> ms;
	double cpu_start = cpu_seconds();
	auto wall_start = std::chrono::steady_clock::now();
	for (int i = 0; i < options.passes; i++) {
		auto start = std::chrono::steady_clock::now();
		wake_detector_process(detector, hop.data(), hop.size());
		ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
	}
	double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
	double cpu = cpu_seconds() - cpu_start;

	std::sort(ms.begin(), ms.end());
	double median = percentile(ms, 0.5);
	printf("scoring pass (1 mel + 16 embedding + 1 classifier run), %d passes:\n", options.passes);
	printf("  min %.2f ms   median %.2f ms   p99 %.2f ms   max %.2f ms\n", ms.front(), median, percentile(ms, 0.99),
	       ms.back());
	printf("  share of one core at 12.5 passes per second of audio: %.1f %% (median x 12.5 / 1 s)\n",
	       median * 12.5 / 10.0);
	printf("  process CPU time / wall time while passing: %.2f (1.00 = one busy core)\n", cpu / wall);
}

// Median time of one run of each model, through the pass's own run_model.
void time_stages(wake_detector *detector)
{
	std::vector<float> embedding_input(WAKE_EMBEDDING_FRAMES * WAKE_MEL_BINS, 1.0f);
	std::vector<float> features(WAKE_EMBEDDING_ROWS * WAKE_FEATURES, 0.1f);
	const int64_t mel_shape[] = {1, (int64_t)WAKE_WINDOW_SAMPLES};
	const int64_t embedding_shape[] = {1, (int64_t)WAKE_EMBEDDING_FRAMES, (int64_t)WAKE_MEL_BINS, 1};
	const int64_t classifier_shape[] = {1, (int64_t)WAKE_EMBEDDING_ROWS, (int64_t)WAKE_FEATURES};
	struct stage {
		const char *name;
		OrtSession *session;
		const char *input_name, *output_name;
		float *input;
		const int64_t *shape;
		size_t rank;
	} stages[] = {
		{"mel (2 s of audio)", detector->mel_session, detector->mel_input_name, detector->mel_output_name,
		 detector->window, mel_shape, 2},
		{"embedding (one of 16)", detector->embedding_session, detector->embedding_input_name,
		 detector->embedding_output_name, embedding_input.data(), embedding_shape, 4},
		{"classifier", detector->classifier_session, detector->classifier_input_name,
		 detector->classifier_output_name, features.data(), classifier_shape, 3},
	};
	printf("one run of each model, median of 50:\n");
	for (const stage &s : stages) {
		std::vector<double> ms;
		for (int i = 0; i < 50; i++) {
			auto start = std::chrono::steady_clock::now();
			OrtValue *out = run_model(detector, s.session, s.input_name, s.output_name, s.input, s.shape, s.rank);
			ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
			if (out)
				detector->api->ReleaseValue(out);
		}
		std::sort(ms.begin(), ms.end());
		printf("  %-22s %.3f ms\n", s.name, percentile(ms, 0.5));
	}
}

void count_allocations(wake_detector *detector, const bench_options &options)
{
	const size_t calls = 1000;
	std::vector<int16_t> audio = test_audio(calls * options.host_packet);
	int passes = 0;
	bmem_counter_reset();
#ifndef TV_NO_MALLOC_COUNTER
	malloc_counter_reset();
#endif
	for (size_t i = 0; i < calls; i++) {
		wake_detector_process(detector, audio.data() + i * options.host_packet, options.host_packet);
		passes += detector->samples_since_score == 0;
	}
	uint64_t host = bmem_counter_calls();
#ifdef TV_NO_MALLOC_COUNTER
	const bool malloc_counted = false;
	uint64_t all = 0;
#else
	const bool malloc_counted = true;
	uint64_t all = malloc_counter_calls();
#endif

	printf("heap allocations in steady state, %zu calls of %llu samples (%d passes):\n", calls,
	       (unsigned long long)options.host_packet, passes);
	printf("  host allocator (bmalloc/brealloc/bmemdup) from our code: %llu total, %.3f per call\n",
	       (unsigned long long)host, (double)host / calls);
	if (!malloc_counted) {
		printf("  all malloc-family calls in the process: not counted in a sanitizer build\n");
		return;
	}
	printf("  all malloc-family calls in the process: %llu total, %.1f per call, %.1f per pass\n",
	       (unsigned long long)all, (double)all / calls, passes ? (double)all / passes : 0.0);
	printf("  (the second figure is ONNX Runtime's: output tensors and its per-run bookkeeping)\n");
}

// Rows like an enrollment's: the phrase's lean on a few hundred columns over noise.
void enrollment_like_rows(size_t positives, size_t negatives, std::vector<float> *rows, std::vector<uint8_t> *labels)
{
	std::mt19937 random(99);
	std::normal_distribution<float> noise(0.0f, 1.0f);
	for (size_t i = 0; i < positives + negatives; i++) {
		for (size_t j = 0; j < WAKE_PASS_FEATURES; j++)
			rows->push_back(noise(random) + (j < 300 ? (i < positives ? 0.4f : -0.4f) : 0.0f));
		labels->push_back(i < positives);
	}
}

void time_profile(const bench_options &options)
{
	std::vector<float> rows;
	std::vector<uint8_t> labels;
	enrollment_like_rows(250, 450, &rows, &labels);
	const char identity[] = "0000000000000000";
	voice_profile *profile = voice_profile_train(rows.data(), labels.data(), nullptr, labels.size(), identity, nullptr);
	if (!profile)
		return;

	// Scoring: batches of calls over different rows; the median batch per call.
	// The linear profile alone (one made before templates), then with the
	// templates of four takes (13 each) and with as many as a profile holds.
	for (size_t templates : {(size_t)0, (size_t)52, VOICE_TEMPLATES_MAX}) {
		while (profile->templates.count < templates)
			voice_templates_add(&profile->templates, rows.data() + (size_t)profile->templates.count * WAKE_PASS_FEATURES);
		const int batch = templates ? 2000 : 20000;
		std::vector<double> ns;
		volatile float sink = 0.0f;
		for (int b = 0; b < 25; b++) {
			auto start = std::chrono::steady_clock::now();
			for (int i = 0; i < batch; i++)
				sink = sink + voice_profile_score(profile, rows.data() + (size_t)(i % 700) * WAKE_PASS_FEATURES);
			ns.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
				     batch);
		}
		std::sort(ns.begin(), ns.end());
		bmem_counter_reset();
#ifndef TV_NO_MALLOC_COUNTER
		malloc_counter_reset();
#endif
		for (int i = 0; i < 1000; i++)
			sink = sink + voice_profile_score(profile, rows.data() + (size_t)(i % 700) * WAKE_PASS_FEATURES);
#ifdef TV_NO_MALLOC_COUNTER
		const unsigned long long mallocs = 0;
#else
		const unsigned long long mallocs = malloc_counter_calls();
#endif
		if (templates)
			printf("voice profile score with %zu templates (the dot product, then each template's 10 x 96):\n",
			       templates);
		else
			printf("voice profile score without templates (1536 weights, one dot product + sigmoid):\n");
		printf("  min %.0f ns   median %.0f ns   max %.0f ns per pass; allocations in 1000 calls: host %llu, malloc %llu\n",
		       ns.front(), percentile(ns, 0.5), ns.back(), (unsigned long long)bmem_counter_calls(), mallocs);
	}
	voice_profile_destroy(profile);

	// Training: an enrollment without and with a 3000-row negative bank.
	printf("voice profile training (one core, median of 3):\n");
	for (size_t negatives : {450, 3450}) {
		rows.clear();
		labels.clear();
		enrollment_like_rows(250, negatives, &rows, &labels);
		std::vector<double> ms;
		for (int k = 0; k < 3; k++) {
			double start = cpu_seconds();
			voice_profile *trained =
				voice_profile_train(rows.data(), labels.data(), nullptr, labels.size(), identity, nullptr);
			ms.push_back((cpu_seconds() - start) * 1000.0);
			voice_profile_destroy(trained);
		}
		std::sort(ms.begin(), ms.end());
		printf("  %zu rows (250 phrase, %zu not): %.0f ms CPU\n", labels.size(), negatives, ms[1]);
	}

	if (options.session.empty())
		return;
	wav_audio audio;
	std::string error;
	std::vector<int16_t> samples;
	if (!wav_read(options.session, &audio, &error) || !wake_audio_to_16k_mono(audio, &samples, &error)) {
		fprintf(stderr, "wake-bench: %s: %s\n", options.session.c_str(), error.c_str());
		return;
	}
	voice_session_audio session = {samples.data(), samples.size()};
	voice_enrollment_report report;
	double start = cpu_seconds();
	voice_profile *learned = voice_enrollment_learn(options.models_dir.c_str(), options.model_name.c_str(), &session, 1,
							nullptr, &report);
	double cpu_ms = (cpu_seconds() - start) * 1000.0;
	printf("enrollment from %s (%.1f s of audio, %zu takes): %s\n", options.session.c_str(), report.seconds,
	       report.takes, learned ? "learned" : report.reason);
	printf("  rows %zu phrase, %zu talk, %zu splices; passes %.0f ms, training %.0f ms; %.0f ms CPU in all\n",
	       report.positive_rows, report.talk_rows, report.splice_rows, report.features_ms, report.training_ms, cpu_ms);
	printf("  model runs: embedding %llu (%llu rows reused), mel %llu (%llu passes' frames shared)\n",
	       (unsigned long long)report.embedding_runs, (unsigned long long)report.embedding_reuses,
	       (unsigned long long)report.mel_runs, (unsigned long long)report.mel_reuses);
	voice_profile_destroy(learned);
}

bool parse(int argc, char **argv, bench_options *options)
{
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		if (i + 1 >= argc)
			return false;
		if (arg == "--models")
			options->models_dir = argv[++i];
		else if (arg == "--model")
			options->model_name = argv[++i];
		else if (arg == "--passes")
			options->passes = std::max(1, atoi(argv[++i]));
		else if (arg == "--packet")
			options->host_packet = (uint64_t)std::max(1, atoi(argv[++i]));
		else if (arg == "--session")
			options->session = argv[++i];
		else
			return false;
	}
	return true;
}

void log_errors_only(int level, const char *format, va_list args, void *)
{
	if (level > LOG_WARNING)
		return;
	vfprintf(stderr, format, args);
	fputc('\n', stderr);
}

} // namespace

int main(int argc, char **argv)
{
	bench_options options;
	if (!parse(argc, argv, &options)) {
		fprintf(stderr, "usage: wake-bench [--models DIR --model NAME] [--passes N] [--packet SAMPLES]\n"
				"                  [--session FILE.wav]  (enrollment: give the phrase's models)\n"
				"default: openWakeWord's base models with the hey_jarvis classifier\n");
		return 2;
	}
	base_set_log_handler(log_errors_only, nullptr);

	// By default a folder of links: the base models plus hey_jarvis as the classifier.
	namespace fs = std::filesystem;
	fs::path links;
	if (options.models_dir.empty()) {
		links = fs::temp_directory_path() / ("tv-wake-bench-" + std::to_string(getpid()));
		fs::create_directories(links);
		fs::create_symlink(TV_OWW_MODELS_DIR "/melspectrogram.onnx", links / "melspectrogram.onnx");
		fs::create_symlink(TV_OWW_MODELS_DIR "/embedding_model.onnx", links / "embedding_model.onnx");
		fs::create_symlink(TV_OWW_MODELS_DIR "/hey_jarvis_v0.1.onnx", links / "hey_jarvis.onnx");
		options.models_dir = links.string();
		options.model_name = "hey_jarvis";
	}

	bmem_counter_reset();
	wake_detector *detector = wake_detector_create(options.models_dir.c_str(), options.model_name.c_str());
	uint64_t create_allocations = bmem_counter_calls();
	if (!links.empty())
		fs::remove_all(links);
	if (!detector)
		return 1;

	printf("host allocator calls while loading (a check that the counter counts): %llu\n",
	       (unsigned long long)create_allocations);
	std::vector<int16_t> fill = test_audio(32000);
	wake_detector_process(detector, fill.data(), fill.size());
	time_passes(detector, options);
	time_stages(detector);
	count_allocations(detector, options);
	wake_detector_destroy(detector);
	time_profile(options);
	return 0;
}
