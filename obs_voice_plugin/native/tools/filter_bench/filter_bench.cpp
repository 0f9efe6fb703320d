// Times voice_filter_audio exactly as the host calls it: 48 kHz stereo float
// planar packets of 1024 frames, resampled and scored by the real models.
// Prints per-packet hold times (all packets, and those that ran a scoring
// pass) and the share of one core the tap needs in real time.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <util/base.h>
#include <util/bmem.h>
#include <util/platform.h>

#include "backend/pairing.h"
#include "detector/wake_detector.h"
#include "filter/voice_filter.h"
#include "wav_file.h"

namespace {

void quiet_log(int, const char *, va_list, void *) {}

double percentile(std::vector<double> values, double p)
{
	if (values.empty())
		return 0.0;
	std::sort(values.begin(), values.end());
	size_t index = (size_t)std::min<double>((double)values.size() - 1, std::floor(p * (double)values.size()));
	return values[index];
}

void report(const char *what, const std::vector<double> &us)
{
	printf("%-22s n=%-6zu median %8.1f us   p99 %8.1f us   max %8.1f us\n", what, us.size(),
	       percentile(us, 0.5), percentile(us, 0.99), us.empty() ? 0.0 : *std::max_element(us.begin(), us.end()));
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 3) {
		fprintf(stderr, "usage: %s MODELS_DIR MODEL_NAME [SECONDS] [WAV]\n", argv[0]);
		return 2;
	}
	const char *models_dir = argv[1];
	const char *model_name = argv[2];
	double seconds = argc > 3 ? atof(argv[3]) : 60.0;
	base_set_log_handler(quiet_log, nullptr);

	// Speech-like input: a WAV file looped, or a warbling tone.
	const uint32_t rate = 48000, frames = 1024;
	std::vector<float> left, right;
	wav_audio wav;
	if (argc > 4 && wav_read(argv[4], &wav, nullptr) && wav.channels > 0 && wav.sample_rate == rate) {
		for (uint64_t i = 0; i < wav.frames(); i++) {
			left.push_back(wav.samples[i * wav.channels]);
			right.push_back(wav.samples[i * wav.channels + (wav.channels > 1)]);
		}
	} else {
		for (uint32_t i = 0; i < rate * 3; i++) {
			double t = (double)i / rate;
			float v = (float)(0.2 * sin(2 * M_PI * (220 + 80 * sin(2 * M_PI * 3 * t)) * t));
			left.push_back(v);
			right.push_back(v);
		}
	}

	voice_filter filter = {};
	pthread_mutex_init(&filter.lock, nullptr);
	os_event_init(&filter.wake_event, OS_EVENT_TYPE_AUTO);
	resample_info from = {rate, AUDIO_FORMAT_FLOAT_PLANAR, SPEAKERS_STEREO};
	resample_info to = {16000, AUDIO_FORMAT_16BIT, SPEAKERS_MONO};
	filter.resampler = audio_resampler_create(&to, &from);
	filter.detector = wake_detector_create(models_dir, model_name);
	filter.endpoints = backend_endpoints_create("http://127.0.0.1:9", "bench", "bench");
	filter.enabled = true;
	filter.confidence_min = 0.6f;
	filter.cooldown_ns = 15000000000ULL;
	if (!filter.resampler || !filter.detector) {
		fprintf(stderr, "cannot load the models from %s\n", models_dir);
		return 1;
	}

	std::vector<float> plane[2] = {std::vector<float>(frames), std::vector<float>(frames)};
	std::vector<double> all_us, scoring_us, other_us;
	const uint64_t packets = (uint64_t)(seconds * rate / frames);
	size_t pos = 0;
	uint64_t total_ns = 0;
	for (uint64_t p = 0; p < packets; p++) {
		for (uint32_t i = 0; i < frames; i++, pos = (pos + 1) % left.size()) {
			plane[0][i] = left[pos];
			plane[1][i] = right[pos];
		}
		obs_audio_data packet = {};
		packet.data[0] = reinterpret_cast<uint8_t *>(plane[0].data());
		packet.data[1] = reinterpret_cast<uint8_t *>(plane[1].data());
		packet.frames = frames;
		uint64_t t0 = os_gettime_ns();
		voice_filter_audio(&filter, &packet);
		uint64_t elapsed = os_gettime_ns() - t0;
		total_ns += elapsed;
		double us = (double)elapsed / 1000.0;
		all_us.push_back(us);
		bool scored = filter.detector->window_fill == filter.detector->window_capacity &&
			      filter.detector->samples_since_score == 0;
		(scored ? scoring_us : other_us).push_back(us);
	}

	double audio_s = (double)packets * frames / rate;
	printf("filter_audio, 48 kHz stereo, %u-frame packets, %.0f s of audio, model '%s'\n", frames, audio_s,
	       model_name);
	report("all packets", all_us);
	report("scoring packets", scoring_us);
	report("other packets", other_us);
	printf("CPU share of one core in real time: %.2f %%\n", 100.0 * (double)total_ns / 1e9 / audio_s);

	wake_detector_destroy(filter.detector);
	backend_endpoints_destroy(filter.endpoints);
	audio_resampler_destroy(filter.resampler);
	os_event_destroy(filter.wake_event);
	pthread_mutex_destroy(&filter.lock);
	return 0;
}
