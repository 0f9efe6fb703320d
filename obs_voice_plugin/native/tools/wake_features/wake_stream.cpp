#include "wake_stream.h"

#include <algorithm>
#include <functional>
#include <thread>

#include "detector/detector_pass.h"
#include "detector/voice_profile.h"

namespace {

struct stream_part {
	uint64_t begin;
	uint64_t end;
	std::vector<wake_stream_pass> passes;
	std::vector<float> profile_scores;
	bool ok = false;
};

void score_part(const std::string &models_dir, const std::string &model_name, const int16_t *samples,
		uint64_t packet, const std::vector<const voice_profile *> &profiles, stream_part *part)
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
		    at > part->begin) {
			part->passes.push_back({at, score});
			for (const voice_profile *profile : profiles)
				part->profile_scores.push_back(
					voice_profile_score(profile, wake_detector_features(detector)));
		}
	}
	wake_detector_destroy(detector);
	part->ok = true;
}

} // namespace

bool wake_stream_scores(const std::string &models_dir, const std::string &model_name, const int16_t *samples,
			uint64_t count, uint64_t packet, unsigned threads, std::vector<wake_stream_pass> *passes,
			const std::vector<const voice_profile *> &profiles, std::vector<float> *profile_scores)
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
		workers.emplace_back(score_part, models_dir, model_name, samples, packet, std::cref(profiles),
				     &parts[k]);
	for (std::thread &worker : workers)
		worker.join();
	for (const stream_part &part : parts) {
		if (!part.ok)
			return false;
		passes->insert(passes->end(), part.passes.begin(), part.passes.end());
		if (profile_scores)
			profile_scores->insert(profile_scores->end(), part.profile_scores.begin(),
					       part.profile_scores.end());
	}
	return true;
}
