#include "wake_stream.h"

#include <algorithm>
#include <thread>

#include "detector/detector_pass.h"

namespace {

struct stream_part {
	uint64_t begin;
	uint64_t end;
	std::vector<wake_stream_pass> passes;
	bool ok = false;
};

void score_part(const std::string &models_dir, const std::string &model_name, const int16_t *samples,
		uint64_t packet, stream_part *part)
{
	wake_detector *detector = wake_detector_create(models_dir.c_str(), model_name.c_str());
	if (!detector)
		return;
	const uint64_t lead = WAKE_WINDOW_SAMPLES + WAKE_SCORE_HOP;
	uint64_t at = part->begin > lead ? (part->begin - lead) / packet * packet : 0;
	while (at < part->end) {
		const uint64_t n = std::min(packet, part->end - at);
		const float score = wake_detector_process(detector, samples + at, n);
		at += n;
		// The counter is back at 0 exactly when a pass ran, failed or not.
		if (detector->samples_since_score == 0 && detector->window_fill == detector->window_capacity &&
		    at > part->begin)
			part->passes.push_back({at, score});
	}
	wake_detector_destroy(detector);
	part->ok = true;
}

} // namespace

bool wake_stream_scores(const std::string &models_dir, const std::string &model_name, const int16_t *samples,
			uint64_t count, uint64_t packet, unsigned threads, std::vector<wake_stream_pass> *passes)
{
	threads = std::max(1u, threads);
	packet = std::max<uint64_t>(1, packet);
	std::vector<stream_part> parts(threads);
	for (unsigned k = 0; k < threads; k++) {
		parts[k].begin = count * k / threads;
		parts[k].end = count * (k + 1) / threads;
	}
	std::vector<std::thread> workers;
	for (unsigned k = 0; k < threads; k++)
		workers.emplace_back(score_part, models_dir, model_name, samples, packet, &parts[k]);
	for (std::thread &worker : workers)
		worker.join();
	for (const stream_part &part : parts) {
		if (!part.ok)
			return false;
		passes->insert(passes->end(), part.passes.begin(), part.passes.end());
	}
	return true;
}
