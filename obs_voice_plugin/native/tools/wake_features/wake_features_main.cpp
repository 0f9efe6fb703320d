// wake-features: classifier training data through the detector's own models.
//
//   wake-features clips  [options] LIST OUT   rows for listed passes of clips
//   wake-features stream [options] RAW  OUT   scores of a long stream, fed as
//                                             the filter feeds the detector
//
// LIST has one clip per line: RAW FIRST COUNT FIRST_END LAST_END, where RAW is
// a file of little-endian 16-bit 16 kHz mono samples, the clip is COUNT
// samples from sample FIRST, and passes end at FIRST_END, FIRST_END + 1280,
// ... up to LAST_END. Output of "clips": OUT.rows.npy (passes x 16 x 96),
// OUT.index.npy (passes x 2: clip line, pass end) and OUT.scores.npy (the
// classifier's score per pass). Output of "stream": OUT.ends.npy (samples fed
// at each pass) and OUT.scores.npy; with --profile FILE (one or more, each a
// voice profile's text as the filter keeps it), also OUT.profile_scores.npy
// (passes x profiles: each profile's score of the pass).

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <util/base.h>

#include "detector/voice_profile.h"

#include "npy_file.h"
#include "wake_features.h"
#include "wake_stream.h"

namespace {

const char USAGE[] = "usage: wake-features clips|stream [--models DIR] [--model NAME] [--threads N]\n"
		     "                     [--packet N] [--profile FILE]... INPUT OUT_PREFIX\n";

struct options {
	std::string mode, models_dir = ".", model_name = "tollivaren_clip_it", input, out;
	unsigned threads = 1;
	uint64_t packet = 341; // 1024 frames at 48 kHz, resampled to 16 kHz
	std::vector<std::string> profile_paths;
};

struct clip_entry {
	std::string raw;
	uint64_t first = 0, count = 0, first_end = 0, last_end = 0;
};

struct clip_result {
	std::vector<float> rows;
	std::vector<float> scores;
	std::vector<int64_t> ends;
};

void log_errors_only(int level, const char *format, va_list args, void *)
{
	if (level > LOG_WARNING)
		return;
	vfprintf(stderr, format, args);
	fputc('\n', stderr);
}

bool parse(int argc, char **argv, options *o)
{
	std::vector<std::string> positional;
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		bool value = i + 1 < argc;
		if (arg == "--models" && value)
			o->models_dir = argv[++i];
		else if (arg == "--model" && value)
			o->model_name = argv[++i];
		else if (arg == "--threads" && value)
			o->threads = (unsigned)std::max(1, atoi(argv[++i]));
		else if (arg == "--packet" && value)
			o->packet = (uint64_t)std::max(1, atoi(argv[++i]));
		else if (arg == "--profile" && value)
			o->profile_paths.push_back(argv[++i]);
		else if (arg.size() > 1 && arg[0] == '-')
			return false;
		else
			positional.push_back(arg);
	}
	if (positional.size() != 3 || (positional[0] != "clips" && positional[0] != "stream"))
		return false;
	if (!o->profile_paths.empty() && positional[0] != "stream")
		return false;
	o->mode = positional[0];
	o->input = positional[1];
	o->out = positional[2];
	return true;
}

bool read_samples(const std::string &path, uint64_t first, uint64_t count, std::vector<int16_t> *out)
{
	FILE *file = fopen(path.c_str(), "rb");
	if (!file)
		return false;
	out->resize(count);
	bool ok = fseek(file, (long)(first * sizeof(int16_t)), SEEK_SET) == 0 &&
		  fread(out->data(), sizeof(int16_t), count, file) == count;
	fclose(file);
	return ok;
}

bool read_list(const std::string &path, std::vector<clip_entry> *clips)
{
	std::ifstream in(path);
	if (!in)
		return false;
	std::string line;
	while (std::getline(in, line)) {
		if (line.empty())
			continue;
		std::istringstream fields(line);
		clip_entry clip;
		if (!(fields >> clip.raw >> clip.first >> clip.count >> clip.first_end >> clip.last_end))
			return false;
		clips->push_back(clip);
	}
	return true;
}

void features_worker(const options &o, const std::vector<clip_entry> &clips, size_t begin, size_t end,
		     std::vector<clip_result> *results, bool *ok, wake_feature_cache *cache)
{
	*ok = false;
	wake_detector *detector = wake_detector_create(o.models_dir.c_str(), o.model_name.c_str());
	if (!detector)
		return;
	std::vector<int16_t> samples;
	bool good = true;
	for (size_t c = begin; c < end && good; c++) {
		const clip_entry &clip = clips[c];
		clip_result &result = (*results)[c];
		good = read_samples(clip.raw, clip.first, clip.count, &samples) &&
		       wake_features_clip(detector, samples.data(), samples.size(), clip.first_end, clip.last_end, cache,
					  &result.rows);
		if (!good)
			fprintf(stderr, "wake-features: clip %zu (%s at %llu) failed\n", c, clip.raw.c_str(),
				(unsigned long long)clip.first);
		for (size_t p = 0; good && p < result.rows.size() / WAKE_ROW_FLOATS; p++) {
			result.scores.push_back(
				wake_detector_score_features(detector, result.rows.data() + p * WAKE_ROW_FLOATS));
			result.ends.push_back((int64_t)(clip.first_end + p * WAKE_SCORE_HOP));
		}
	}
	wake_detector_destroy(detector);
	*ok = good;
}

int run_clips(const options &o)
{
	std::vector<clip_entry> clips;
	if (!read_list(o.input, &clips)) {
		fprintf(stderr, "wake-features: cannot read the clip list %s\n", o.input.c_str());
		return 1;
	}
	std::vector<clip_result> results(clips.size());
	std::vector<wake_feature_cache *> caches(o.threads);
	for (wake_feature_cache *&cache : caches)
		cache = wake_feature_cache_create();
	std::unique_ptr<bool[]> oks(new bool[o.threads]);
	std::vector<std::thread> workers;
	for (unsigned k = 0; k < o.threads; k++)
		workers.emplace_back(features_worker, std::cref(o), std::cref(clips), clips.size() * k / o.threads,
				     clips.size() * (k + 1) / o.threads, &results, &oks[k], caches[k]);
	for (std::thread &worker : workers)
		worker.join();
	uint64_t runs = 0, reuses = 0;
	for (wake_feature_cache *cache : caches) {
		runs += cache->embedding_runs;
		reuses += cache->embedding_reuses;
		wake_feature_cache_destroy(cache);
	}
	for (unsigned k = 0; k < o.threads; k++)
		if (!oks[k])
			return 1;

	std::vector<float> rows, scores;
	std::vector<int64_t> index;
	for (size_t c = 0; c < results.size(); c++) {
		rows.insert(rows.end(), results[c].rows.begin(), results[c].rows.end());
		scores.insert(scores.end(), results[c].scores.begin(), results[c].scores.end());
		for (int64_t end : results[c].ends) {
			index.push_back((int64_t)c);
			index.push_back(end);
		}
	}
	const uint64_t passes = scores.size();
	fprintf(stderr, "wake-features: %zu clips, %llu passes, %llu embedding runs, %llu reused\n", clips.size(),
		(unsigned long long)passes, (unsigned long long)runs, (unsigned long long)reuses);
	bool ok = npy_write_f32(o.out + ".rows.npy", rows.data(), {passes, WAKE_EMBEDDING_ROWS, WAKE_FEATURES}) &&
		  npy_write_f32(o.out + ".scores.npy", scores.data(), {passes}) &&
		  npy_write_i64(o.out + ".index.npy", index.data(), {passes, 2});
	return ok ? 0 : 1;
}

// The profiles named by --profile, each refused with its reason when it is
// not a profile for these models.
bool read_profiles(const options &o, std::vector<voice_profile *> *profiles)
{
	char identity[VOICE_IDENTITY_CHARS + 1];
	if (!o.profile_paths.empty() &&
	    !voice_profile_identity(o.models_dir.c_str(), o.model_name.c_str(), identity)) {
		fprintf(stderr, "wake-features: cannot read the models in %s\n", o.models_dir.c_str());
		return false;
	}
	for (const std::string &path : o.profile_paths) {
		const char *reason = nullptr;
		voice_profile *profile = voice_profile_from_file(path.c_str(), identity, &reason);
		if (!profile) {
			fprintf(stderr, "wake-features: %s refused: %s\n", path.c_str(), reason);
			return false;
		}
		profiles->push_back(profile);
	}
	return true;
}

int run_stream(const options &o)
{
	std::ifstream in(o.input, std::ios::binary | std::ios::ate);
	if (!in) {
		fprintf(stderr, "wake-features: cannot read %s\n", o.input.c_str());
		return 1;
	}
	std::vector<int16_t> samples((size_t)in.tellg() / sizeof(int16_t));
	in.seekg(0);
	in.read((char *)samples.data(), (std::streamsize)(samples.size() * sizeof(int16_t)));

	std::vector<voice_profile *> owned;
	const bool profiles_ok = read_profiles(o, &owned);
	const std::vector<const voice_profile *> profiles(owned.begin(), owned.end());
	std::vector<wake_stream_pass> passes;
	std::vector<float> profile_scores;
	const bool scored = profiles_ok && wake_stream_scores(o.models_dir, o.model_name, samples.data(),
							      samples.size(), o.packet, o.threads, &passes,
							      profiles, &profile_scores);
	for (voice_profile *profile : owned)
		voice_profile_destroy(profile);
	if (!scored) {
		if (profiles_ok)
			fprintf(stderr, "wake-features: could not load the models from %s\n", o.models_dir.c_str());
		return 1;
	}
	std::vector<int64_t> ends;
	std::vector<float> scores;
	for (const wake_stream_pass &pass : passes) {
		ends.push_back((int64_t)pass.end);
		scores.push_back(pass.score);
	}
	bool ok = npy_write_i64(o.out + ".ends.npy", ends.data(), {ends.size()}) &&
		  npy_write_f32(o.out + ".scores.npy", scores.data(), {scores.size()});
	if (ok && !profiles.empty())
		ok = npy_write_f32(o.out + ".profile_scores.npy", profile_scores.data(),
				   {passes.size(), profiles.size()});
	return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	options o;
	if (!parse(argc, argv, &o)) {
		fputs(USAGE, stderr);
		return 2;
	}
	base_set_log_handler(log_errors_only, nullptr);
	const auto started = std::chrono::steady_clock::now();
	int rc = o.mode == "clips" ? run_clips(o) : run_stream(o);
	const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
	fprintf(stderr, "wake-features: %s done in %.1f s\n", o.mode.c_str(), seconds);
	return rc;
}
