// Enrollment: finds the takes of the phrase in a session's own audio, turns
// them (and copies of them in other conditions) into positives, the
// session's other talk and splices of the takes with that talk into
// negatives, adds the negative bank, and trains a voice profile that also
// keeps the peak passes of the takes and some copies as templates.

#include "voice_enrollment.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <util/bmem.h>
#include <util/platform.h>
#include <util/threading.h>

#include "feature_cache.h"

namespace {

constexpr uint32_t BANK_VERSION = 1;
constexpr size_t BANK_HEADER = 4 + 4 + 4 + 4 + VOICE_IDENTITY_CHARS;
constexpr uint32_t BANK_MAX_ROWS = 200000;
constexpr int64_t SR = 16000;
constexpr int64_t HOP = (int64_t)WAKE_SCORE_HOP;
constexpr int64_t WINDOW = (int64_t)WAKE_WINDOW_SAMPLES;
constexpr int64_t FRAME = 160; // 10 ms, for energy
constexpr size_t TEMPLATE_RANKS = 13; // a take's peak pass and 12 of its copies

uint32_t fnv1a32(const uint8_t *data, size_t size, uint32_t hash = 2166136261u)
{
	for (size_t i = 0; i < size; i++)
		hash = (hash ^ data[i]) * 16777619u;
	return hash;
}

uint32_t read_u32(const uint8_t *in)
{
	return (uint32_t)in[0] | (uint32_t)in[1] << 8 | (uint32_t)in[2] << 16 | (uint32_t)in[3] << 24;
}

// splitmix64: the same numbers on every platform.
struct random_source {
	uint64_t state;
	uint64_t next()
	{
		uint64_t z = (state += 0x9e3779b97f4a7c15ull);
		z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
		z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
		return z ^ (z >> 31);
	}
	double uniform() { return (double)(next() >> 11) * (1.0 / 9007199254740992.0); }
	double gaussian()
	{
		const double u = std::max(uniform(), 1e-300), v = uniform();
		return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
	}
};

struct session_pass {
	int64_t end;
	float score;
	size_t row; // index into the session's rows, or SIZE_MAX when the pass failed
};

struct take {
	size_t session;
	size_t peak;       // pass index
	int64_t peak_end;  // sample
	int64_t start;     // estimated phrase start ("tollivaren")
	int64_t split;     // estimated start of "clip it"
	int64_t end;       // estimated phrase end
	std::vector<int> positive_offsets; // pass offsets (hops) from the peak that are positives
};

struct training_rows {
	std::vector<float> rows;
	std::vector<uint8_t> labels;
	std::vector<int> group; // 0 positive, 1 talk, 2 splice, 3 bank
	void add(const float *row, uint8_t label, int kind)
	{
		rows.insert(rows.end(), row, row + WAKE_PASS_FEATURES);
		labels.push_back(label);
		group.push_back(kind);
	}
};

// Features of passes over one stretch of audio, each the features that the
// filter's pass over the same two seconds gives, bit for bit.
struct stretch_passes {
	std::vector<float> features;
	std::unique_ptr<bool[]> ok;
	size_t looked = 0; // passes looked at before a cancel
};

void run_passes(wake_detector *detector, wake_feature_cache *cache, const int16_t *samples, size_t count,
		const std::vector<int64_t> &ends, stretch_passes *out, const volatile bool *cancel)
{
	out->features.resize(ends.size() * WAKE_PASS_FEATURES);
	out->ok.reset(new bool[ends.size()]);
	out->looked = wake_feature_cache_passes(cache, detector, samples, (uint64_t)count, ends.data(), ends.size(),
						 out->features.data(), out->ok.get(), cancel);
}

bool cancelled(const volatile bool *cancel)
{
	return cancel && os_atomic_load_bool(cancel);
}

// Samples [from, to) of the audio, zeros outside it.
std::vector<int16_t> cut(const int16_t *samples, int64_t count, int64_t from, int64_t to)
{
	std::vector<int16_t> out((size_t)std::max<int64_t>(0, to - from), 0);
	for (int64_t i = std::max<int64_t>(from, 0); i < std::min(to, count); i++)
		out[(size_t)(i - from)] = samples[i];
	return out;
}

// Passes ending at `ends` (sample positions in the audio, ascending, each at
// least WINDOW), each one a pass of the detector as the filter runs it.
// Appends the rows of the passes that ran.
size_t passes_at(wake_detector *detector, wake_feature_cache *cache, const std::vector<int16_t> &audio,
		 const std::vector<int64_t> &ends, uint8_t label, int kind, training_rows *out, const volatile bool *cancel)
{
	stretch_passes passes;
	run_passes(detector, cache, audio.data(), audio.size(), ends, &passes, cancel);
	size_t added = 0;
	for (size_t i = 0; i < passes.looked; i++) {
		if (!passes.ok[i])
			continue;
		out->add(passes.features.data() + i * WAKE_PASS_FEATURES, label, kind);
		added++;
	}
	return added;
}

std::vector<float> frame_levels(const int16_t *samples, int64_t count)
{
	std::vector<float> levels((size_t)(count / FRAME));
	for (size_t f = 0; f < levels.size(); f++) {
		double sum = 0.0;
		for (int64_t i = 0; i < FRAME; i++) {
			const double v = samples[(int64_t)f * FRAME + i] / 32768.0;
			sum += v * v;
		}
		levels[f] = (float)(10.0 * std::log10(sum / FRAME + 1e-12));
	}
	return levels;
}

float percentile(std::vector<float> values, double share)
{
	if (values.empty())
		return -120.0f;
	const size_t k = std::min(values.size() - 1, (size_t)(share * (double)values.size()));
	std::nth_element(values.begin(), values.begin() + (ptrdiff_t)k, values.end());
	return values[k];
}

// The level of the loudest 10 ms frames in a stretch, in dB.
float stretch_level(const std::vector<float> &levels, int64_t from, int64_t to)
{
	std::vector<float> part;
	for (int64_t f = std::max<int64_t>(0, from / FRAME); f < std::min<int64_t>((int64_t)levels.size(), to / FRAME); f++)
		part.push_back(levels[(size_t)f]);
	return percentile(part, 0.9);
}

// First frame at or after `from` that starts a run of `run` quiet frames; -1 if none before `limit`.
int64_t quiet_run_after(const std::vector<float> &levels, float quiet, int64_t from, int64_t limit, int run)
{
	int have = 0;
	for (int64_t f = std::max<int64_t>(0, from); f < std::min<int64_t>((int64_t)levels.size(), limit); f++) {
		have = levels[(size_t)f] < quiet ? have + 1 : 0;
		if (have == run)
			return f - run + 1;
	}
	return -1;
}

// Last frame (exclusive end of a run of `run` quiet frames) at or before `from`; -1 if none after `limit`.
int64_t quiet_run_before(const std::vector<float> &levels, float quiet, int64_t from, int64_t limit, int run)
{
	int have = 0;
	for (int64_t f = std::min<int64_t>((int64_t)levels.size() - 1, from); f >= std::max<int64_t>(0, limit); f--) {
		have = levels[(size_t)f] < quiet ? have + 1 : 0;
		if (have == run)
			return f + run;
	}
	return -1;
}

// The phrase's extent around its peak pass, from the energy of 10 ms frames:
// it ends where the voice stops near the peak and starts after the last
// pause before it; "clip it" starts at the quietest moment (the closure
// before the /k/) between 45 % and 75 % of the way through.
void locate_phrase(const std::vector<float> &levels, float quiet, take *t)
{
	const int64_t peak_frame = t->peak_end / FRAME;
	int64_t end_frame = quiet_run_after(levels, quiet, peak_frame - 30, peak_frame + 40, 8);
	if (end_frame < 0)
		end_frame = peak_frame;
	int64_t start_frame = quiet_run_before(levels, quiet, end_frame - 80, end_frame - 220, 8);
	if (start_frame < 0)
		start_frame = end_frame - 130;
	t->end = end_frame * FRAME;
	t->start = start_frame * FRAME;
	const int64_t length = end_frame - start_frame;
	int64_t best = start_frame + length * 6 / 10;
	float best_level = 1e9f;
	for (int64_t f = start_frame + length * 45 / 100; f + 2 < start_frame + length * 75 / 100; f++) {
		if (f < 0 || f + 2 >= (int64_t)levels.size())
			continue;
		const float level = levels[(size_t)f] + levels[(size_t)f + 1] + levels[(size_t)f + 2];
		if (level < best_level) {
			best_level = level;
			best = f + 1;
		}
	}
	t->split = best * FRAME;
}

// A simple room: direct sound and 80 reflections over three quarters of the
// reverberation time (`seconds`: 0.4 s, 300 ms of reflections, unless
// given), the result at the dry signal's level.
std::vector<int16_t> in_room(const std::vector<int16_t> &dry, random_source *random, double seconds = 0.4)
{
	const int taps = 80;
	std::vector<int64_t> delay(taps);
	std::vector<double> gain(taps);
	for (int k = 0; k < taps; k++) {
		delay[k] = 40 + (int64_t)(random->uniform() * 0.75 * seconds * SR);
		gain[k] = (random->uniform() < 0.5 ? -0.35 : 0.35) * std::exp(-6.9 * (double)delay[k] / (seconds * SR));
	}
	std::vector<double> wet(dry.size());
	double dry_energy = 0.0, wet_energy = 0.0;
	for (size_t i = 0; i < dry.size(); i++) {
		double v = dry[i];
		for (int k = 0; k < taps; k++)
			if ((int64_t)i >= delay[k])
				v += gain[k] * dry[i - (size_t)delay[k]];
		wet[i] = v;
		dry_energy += (double)dry[i] * dry[i];
		wet_energy += v * v;
	}
	const double scale = wet_energy > 0 ? std::sqrt(dry_energy / wet_energy) : 1.0;
	std::vector<int16_t> out(dry.size());
	for (size_t i = 0; i < dry.size(); i++)
		out[i] = (int16_t)std::clamp(std::lround(wet[i] * scale), -32768L, 32767L);
	return out;
}

// A band-limited channel (a headset or a phone line): second-order high-pass
// at `low` Hz and low-pass at `high` Hz, each applied twice.
std::vector<int16_t> band_limited(const std::vector<int16_t> &in, double low, double high)
{
	std::vector<double> x(in.begin(), in.end());
	auto biquad = [&x](double freq, bool high_pass) {
		const double w = 6.283185307179586 * freq / SR, alpha = std::sin(w) / (2.0 * 0.7071), c = std::cos(w);
		const double a0 = 1 + alpha, a1 = -2 * c / a0, a2 = (1 - alpha) / a0;
		const double b0 = (high_pass ? (1 + c) / 2 : (1 - c) / 2) / a0;
		const double b1 = (high_pass ? -(1 + c) : (1 - c)) / a0, b2 = b0;
		double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
		for (double &v : x) {
			const double y = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
			x2 = x1;
			x1 = v;
			y2 = y1;
			y1 = y;
			v = y;
		}
	};
	for (int pass = 0; pass < 2; pass++) {
		biquad(low, true);
		biquad(high, false);
	}
	std::vector<int16_t> out(in.size());
	for (size_t i = 0; i < in.size(); i++)
		out[i] = (int16_t)std::clamp(std::lround(x[i]), -32768L, 32767L);
	return out;
}

// The audio played `ratio` times as fast (pitch with it), by linear interpolation.
std::vector<int16_t> sped(const std::vector<int16_t> &in, double ratio)
{
	std::vector<int16_t> out((size_t)((double)in.size() / ratio));
	for (size_t i = 0; i < out.size(); i++) {
		const double at = (double)i * ratio;
		const size_t k = std::min((size_t)at, in.size() - 1);
		const double frac = at - (double)k, next = k + 1 < in.size() ? in[k + 1] : in[k];
		out[i] = (int16_t)std::lround(in[k] + frac * (next - in[k]));
	}
	return out;
}

std::vector<int16_t> with_gain(const std::vector<int16_t> &in, double gain)
{
	std::vector<int16_t> out(in.size());
	for (size_t i = 0; i < in.size(); i++)
		out[i] = (int16_t)std::clamp(std::lround(in[i] * gain), -32768L, 32767L);
	return out;
}

// Noise `snr_db` under the level of the loud part (`reference` dB full scale),
// white or, when `low`, low-passed (a rumble like a fan or a road).
std::vector<int16_t> with_noise(const std::vector<int16_t> &in, float reference, double snr_db, bool low,
				random_source *random)
{
	const double rms = 32768.0 * std::pow(10.0, (reference - snr_db) / 20.0);
	std::vector<int16_t> out(in.size());
	double state = 0.0;
	const double keep = low ? 0.97 : 0.0;
	const double norm = std::sqrt((1 - keep * keep)); // unit variance after the one-pole filter
	for (size_t i = 0; i < in.size(); i++) {
		state = keep * state + norm * random->gaussian();
		out[i] = (int16_t)std::clamp(std::lround(in[i] + rms * state), -32768L, 32767L);
	}
	return out;
}

// Stretches of own talk (sample ranges) that overlap no take.
std::vector<std::pair<int64_t, int64_t>> talk_stretches(const std::vector<float> &levels, float quiet,
							const std::vector<take> &takes, size_t session, int64_t count)
{
	std::vector<uint8_t> busy((size_t)(count / FRAME) + 1, 0);
	for (const take &t : takes) {
		if (t.session != session)
			continue;
		for (int64_t f = (t.start - SR / 4) / FRAME; f <= (t.end + SR / 4) / FRAME; f++)
			if (f >= 0 && f < (int64_t)busy.size())
				busy[(size_t)f] = 1;
	}
	// Runs of free frames that hold speech.
	std::vector<std::pair<int64_t, int64_t>> runs;
	int64_t begin = -1;
	for (int64_t f = 0; f <= (int64_t)levels.size(); f++) {
		const bool free = f < (int64_t)levels.size() && !busy[(size_t)f];
		if (free && begin < 0)
			begin = f;
		if (!free && begin >= 0) {
			if (f - begin >= 30 && stretch_level(levels, begin * FRAME, f * FRAME) > quiet + 6.0f)
				runs.push_back({begin * FRAME, f * FRAME});
			begin = -1;
		}
	}
	return runs;
}

void append(std::vector<int16_t> *out, const int16_t *samples, int64_t count, int64_t from, int64_t to);

// Other talk under the audio, as when someone else speaks in the room or on
// a call: two pieces of the session's own talk (the stretches laid end to
// end), their sum `snr_db` under the loud part's level (`reference` dB).
std::vector<int16_t> with_talk(const std::vector<int16_t> &in, const int16_t *samples, int64_t count,
			       const std::vector<std::pair<int64_t, int64_t>> &stretches, float reference, double snr_db,
			       random_source *random)
{
	std::vector<int16_t> reel;
	for (const auto &s : stretches)
		append(&reel, samples, count, s.first, s.second);
	if (reel.size() < (size_t)SR)
		return in;
	std::vector<double> mix(in.size(), 0.0);
	for (int voice = 0; voice < 2; voice++) {
		const size_t from = (size_t)(random->uniform() * (double)reel.size());
		for (size_t i = 0; i < in.size(); i++)
			mix[i] += reel[(from + i) % reel.size()];
	}
	double power = 0.0;
	for (double v : mix)
		power += v * v;
	const double rms = std::sqrt(power / (double)std::max<size_t>(1, mix.size()));
	const double want = 32768.0 * std::pow(10.0, (reference - snr_db) / 20.0);
	const double scale = rms > 0 ? want / rms : 0.0;
	std::vector<int16_t> out(in.size());
	for (size_t i = 0; i < in.size(); i++)
		out[i] = (int16_t)std::clamp(std::lround(in[i] + scale * mix[i]), -32768L, 32767L);
	return out;
}

// A piece of own talk `length` samples long, from the stretches; false if none is long enough.
bool pick_talk(const std::vector<std::pair<int64_t, int64_t>> &stretches, int64_t length, random_source *random,
	       int64_t *from)
{
	std::vector<size_t> fitting;
	for (size_t k = 0; k < stretches.size(); k++)
		if (stretches[k].second - stretches[k].first >= length)
			fitting.push_back(k);
	if (fitting.empty())
		return false;
	const auto &s = stretches[fitting[(size_t)(random->uniform() * (double)fitting.size()) % fitting.size()]];
	*from = s.first + (int64_t)(random->uniform() * (double)(s.second - s.first - length));
	return true;
}

void append(std::vector<int16_t> *out, const int16_t *samples, int64_t count, int64_t from, int64_t to)
{
	std::vector<int16_t> piece = cut(samples, count, from, to);
	out->insert(out->end(), piece.begin(), piece.end());
}

// The take with a pause between the name and "clip it" (at `split`, an
// index into `in`), as streamers say it now and then: `gap` samples of
// noise at the level of the room just before the phrase (`floor_rms`).
std::vector<int16_t> with_pause(const std::vector<int16_t> &in, int64_t split, int64_t gap, double floor_rms,
				random_source *random)
{
	split = std::clamp<int64_t>(split, 0, (int64_t)in.size());
	std::vector<int16_t> out(in.begin(), in.begin() + split);
	for (int64_t i = 0; i < gap; i++)
		out.push_back((int16_t)std::clamp(std::lround(floor_rms * random->gaussian()), -32768L, 32767L));
	out.insert(out.end(), in.begin() + split, in.end());
	return out;
}

double ms_since(std::chrono::steady_clock::time_point start)
{
	return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void refuse(voice_enrollment_report *report, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	vsnprintf(report->reason, sizeof(report->reason), format, args);
	va_end(args);
}

} // namespace

voice_bank *voice_bank_load(const char *path, const char *features_identity, const char **reason)
{
	const char *ignored;
	if (!reason)
		reason = &ignored;
	FILE *file = path ? os_fopen(path, "rb") : nullptr;
	if (!file) {
		*reason = "the negative bank cannot be opened";
		return nullptr;
	}
	std::vector<uint8_t> bytes;
	uint8_t buffer[1 << 14];
	size_t got;
	while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0 && bytes.size() < (size_t)1 << 30)
		bytes.insert(bytes.end(), buffer, buffer + got);
	const bool read_error = ferror(file) != 0;
	fclose(file);
	if (read_error) {
		*reason = "the negative bank cannot be read";
		return nullptr;
	}
	if (bytes.size() < BANK_HEADER || memcmp(bytes.data(), "TVNB", 4) != 0) {
		*reason = "this is not a negative bank";
		return nullptr;
	}
	if (read_u32(bytes.data() + 4) != BANK_VERSION) {
		*reason = "the negative bank is of another version";
		return nullptr;
	}
	const uint32_t rows = read_u32(bytes.data() + 8);
	if (read_u32(bytes.data() + 12) != WAKE_PASS_FEATURES || rows == 0 || rows > BANK_MAX_ROWS) {
		*reason = "the negative bank is damaged (bad dimensions)";
		return nullptr;
	}
	const size_t expected = BANK_HEADER + 4 * WAKE_PASS_FEATURES + (size_t)rows + (size_t)rows * WAKE_PASS_FEATURES + 4;
	if (bytes.size() != expected) {
		*reason = "the negative bank is cut short or damaged (wrong size)";
		return nullptr;
	}
	if (fnv1a32(bytes.data(), expected - 4) != read_u32(bytes.data() + expected - 4)) {
		*reason = "the negative bank is damaged (checksum mismatch)";
		return nullptr;
	}
	if (!features_identity || strlen(features_identity) != VOICE_IDENTITY_CHARS ||
	    memcmp(bytes.data() + 16, features_identity, VOICE_IDENTITY_CHARS) != 0) {
		*reason = "the negative bank was made for other models";
		return nullptr;
	}
	voice_bank *bank = (voice_bank *)bzalloc(sizeof(*bank));
	memcpy(bank->identity, bytes.data() + 16, VOICE_IDENTITY_CHARS);
	bank->rows = rows;
	const uint8_t *at = bytes.data() + BANK_HEADER;
	for (size_t j = 0; j < WAKE_PASS_FEATURES; j++, at += 4) {
		const uint32_t bits = read_u32(at);
		memcpy(&bank->scale[j], &bits, 4);
		if (!std::isfinite(bank->scale[j]) || bank->scale[j] < 0.0f) {
			bfree(bank);
			*reason = "the negative bank is damaged (a scale is not a finite positive number)";
			return nullptr;
		}
	}
	bank->kinds = (uint8_t *)bmemdup(at, rows);
	at += rows;
	bank->values = (int8_t *)bmemdup(at, (size_t)rows * WAKE_PASS_FEATURES);
	*reason = nullptr;
	return bank;
}

void voice_bank_destroy(voice_bank *bank)
{
	if (!bank)
		return;
	bfree(bank->kinds);
	bfree(bank->values);
	bfree(bank);
}

void voice_bank_row(const voice_bank *bank, size_t i, float *out)
{
	const int8_t *values = bank->values + i * WAKE_PASS_FEATURES;
	for (size_t j = 0; j < WAKE_PASS_FEATURES; j++)
		out[j] = (float)values[j] * bank->scale[j];
}

voice_profile *voice_enrollment_learn(const char *models_dir, const char *model_name,
				      const voice_session_audio *sessions, size_t session_count, const voice_bank *bank,
				      voice_enrollment_report *report, const volatile bool *cancel)
{
	voice_enrollment_report ignored;
	if (!report)
		report = &ignored;
	memset(report, 0, sizeof(*report));
	const auto started = std::chrono::steady_clock::now();

	for (size_t s = 0; s < session_count; s++)
		report->seconds += (double)sessions[s].count / SR;
	if (report->seconds < VOICE_ENROLLMENT_MIN_SECONDS) {
		refuse(report, "the session is too short (%.1f s); say the phrase 3 to 5 times over about 30 s",
		       report->seconds);
		return nullptr;
	}
	char identity[VOICE_IDENTITY_CHARS + 1];
	char features_identity[VOICE_IDENTITY_CHARS + 1];
	if (!voice_profile_identity(models_dir, model_name, identity) ||
	    !voice_features_identity(models_dir, features_identity)) {
		refuse(report, "the models cannot be read");
		return nullptr;
	}
	if (bank && strcmp(bank->identity, features_identity) != 0) {
		refuse(report, "the negative bank was made for other models");
		return nullptr;
	}
	wake_detector *detector = wake_detector_create(models_dir, model_name);
	if (!detector) {
		refuse(report, "the models cannot be loaded");
		return nullptr;
	}
	wake_feature_cache *cache = wake_feature_cache_create();

	// Every session pass by pass, as the filter runs them.
	std::vector<std::vector<session_pass>> passes(session_count);
	std::vector<std::vector<float>> session_rows(session_count);
	std::vector<std::vector<float>> levels(session_count);
	std::vector<float> quiet(session_count);
	std::vector<take> takes;
	for (size_t s = 0; s < session_count; s++) {
		const voice_session_audio &audio = sessions[s];
		// The filter's passes over the session fed hop by hop: the first
		// when two seconds have come, then one per hop.
		std::vector<int64_t> ends;
		for (int64_t end = WINDOW; end <= (int64_t)audio.count; end += HOP)
			ends.push_back(end);
		stretch_passes session;
		run_passes(detector, cache, audio.samples, audio.count, ends, &session, cancel);
		for (size_t i = 0; i < session.looked; i++) {
			session_pass pass = {ends[i], WAKE_NO_SCORE, SIZE_MAX};
			float *features = session.features.data() + i * WAKE_PASS_FEATURES;
			if (session.ok[i])
				pass.score = wake_detector_score_features(detector, features);
			if (session.ok[i] && std::isfinite(pass.score)) {
				pass.row = session_rows[s].size() / WAKE_PASS_FEATURES;
				session_rows[s].insert(session_rows[s].end(), features, features + WAKE_PASS_FEATURES);
			}
			passes[s].push_back(pass);
		}
		levels[s] = frame_levels(audio.samples, (int64_t)audio.count);
		const float loud = percentile(levels[s], 0.9);
		quiet[s] = std::max(-60.0f, loud - 30.0f);

		// Takes: peaks of the base score that stand out, with the voice's energy, apart in time.
		std::vector<float> scores;
		for (const session_pass &p : passes[s])
			scores.push_back(p.score);
		const float typical = percentile(scores, 0.5);
		const int gap = (int)std::lround(VOICE_ENROLLMENT_TAKE_GAP_S * SR / HOP);
		std::vector<size_t> found;
		for (size_t i = 0; i < passes[s].size(); i++) {
			const float score = passes[s][i].score;
			if (!(score >= VOICE_ENROLLMENT_TAKE_SCORE) || score < typical + 0.2f || passes[s][i].row == SIZE_MAX)
				continue;
			bool highest = true;
			for (size_t k = i >= (size_t)gap ? i - (size_t)gap : 0; k <= std::min(passes[s].size() - 1, i + (size_t)gap) && highest; k++)
				highest = k == i || passes[s][k].score < score || (passes[s][k].score == score && k > i);
			const float level = stretch_level(levels[s], passes[s][i].end - SR * 3 / 2, passes[s][i].end);
			if (highest && level > -50.0f && level > loud - 25.0f)
				found.push_back(i);
		}
		for (size_t i : found) {
			take t;
			t.session = s;
			t.peak = i;
			t.peak_end = passes[s][i].end;
			locate_phrase(levels[s], quiet[s], &t);
			// The passes around the peak that score like it.
			for (int k = -3; k <= 3; k++) {
				const int64_t j = (int64_t)i + k;
				if (j >= 0 && j < (int64_t)passes[s].size() && passes[s][(size_t)j].row != SIZE_MAX &&
				    passes[s][(size_t)j].score >= 0.5f * passes[s][i].score)
					t.positive_offsets.push_back(k);
			}
			if (takes.size() < VOICE_ENROLLMENT_MAX_TAKES) {
				report->take_session[takes.size()] = s;
				report->take_seconds[takes.size()] = (double)t.peak_end / SR;
				report->take_scores[takes.size()] = passes[s][i].score;
			}
			takes.push_back(t);
		}
	}
	report->takes = takes.size();
	if (takes.size() < VOICE_ENROLLMENT_MIN_TAKES) {
		refuse(report,
		       "heard the phrase %zu time%s; say \"tollivaren clip it\" at least %zu times, clearly, with talk between",
		       takes.size(), takes.size() == 1 ? "" : "s", VOICE_ENROLLMENT_MIN_TAKES);
		wake_feature_cache_destroy(cache);
		wake_detector_destroy(detector);
		return nullptr;
	}

	training_rows data;
	// Session passes: the takes' positives; talk far enough from every take
	// (windows that end before "clip it" begins, or start after the phrase).
	for (size_t s = 0; s < session_count; s++) {
		for (size_t i = 0; i < passes[s].size(); i++) {
			const session_pass &p = passes[s][i];
			if (p.row == SIZE_MAX)
				continue;
			const float *row = session_rows[s].data() + p.row * WAKE_PASS_FEATURES;
			bool positive = false, near_take = false;
			for (const take &t : takes) {
				if (t.session != s)
					continue;
				for (int k : t.positive_offsets)
					positive |= (int64_t)i == (int64_t)t.peak + k;
				near_take |= p.end > t.split && p.end - WINDOW < t.end + SR / 4;
			}
			if (positive)
				data.add(row, 1, 0);
			else if (!near_take)
				data.add(row, 0, 1);
		}
	}

	// Copies of each take in other conditions, the pass grid shifted too. The
	// peak passes of the take and of some copies are also kept as templates,
	// in the order of rank (the first ones the most telling on held-out voices).
	std::vector<std::vector<std::vector<float>>> take_templates(takes.size());
	for (size_t n = 0; n < takes.size(); n++) {
		const take &t = takes[n];
		const voice_session_audio &audio = sessions[t.session];
		random_source random{0x5eed0000ull + n};
		const int64_t from = t.peak_end - WINDOW - 4 * HOP;
		const int64_t to = t.peak_end + 4 * HOP + HOP / 2;
		const std::vector<int16_t> region = cut(audio.samples, (int64_t)audio.count, from, to);
		const float loud = stretch_level(levels[t.session], t.start, t.end);
		struct variant {
			std::vector<int16_t> audio;
			int64_t shift;
			int template_rank = -1; // where its peak pass comes among the take's templates; -1: none
			double stretch = 1.0;   // the variant's samples per original sample
		};
		std::vector<variant> variants;
		variants.push_back({with_gain(region, 0.35), 0});
		variants.push_back({with_gain(region, 2.5), 0});
		variants.push_back({with_noise(region, loud, 15.0, false, &random), 0, 9});
		variants.push_back({with_noise(region, loud, 6.0, true, &random), 0, 10});
		variants.push_back({in_room(region, &random), 0, 3});
		variants.push_back({with_noise(with_gain(in_room(region, &random), 0.6), loud - 4.4f, 12.0, false, &random), HOP / 4, 11});
		variants.push_back({region, HOP / 2});
		variants.push_back({region, -HOP / 2});
		variants.push_back({with_gain(region, 1.6), -HOP / 4});
		double floor_power = 0.0;
		const int64_t before = std::max<int64_t>(0, t.start - SR / 12);
		for (int64_t i = before; i < t.start && i < (int64_t)audio.count; i++)
			floor_power += (double)audio.samples[i] * audio.samples[i];
		const double floor_rms = std::sqrt(floor_power / (double)std::max<int64_t>(1, t.start - before));
		variants.push_back({with_pause(region, t.split - from, SR / 4, floor_rms, &random), SR / 4, 4});
		variants.push_back({with_pause(region, t.split - from, SR / 2, floor_rms, &random), SR / 2, 12});
		// Someone else talking (the streamer's own talk stands in), a headset
		// or phone band in a livelier room, faster and slower, shorter and
		// longer pauses after the name.
		const auto stretches = talk_stretches(levels[t.session], quiet[t.session], takes, t.session, (int64_t)audio.count);
		variants.push_back({with_talk(region, audio.samples, (int64_t)audio.count, stretches, loud, 6.0, &random), 0, 1});
		variants.push_back({with_talk(region, audio.samples, (int64_t)audio.count, stretches, loud, 12.0, &random), 0, 5});
		variants.push_back({band_limited(in_room(region, &random, 0.7), 300.0, 3400.0), 0, 2});
		variants.push_back({band_limited(in_room(region, &random, 0.5), 150.0, 5000.0), 0, 6});
		variants.push_back({sped(region, 1.15), 0, 7, 1.0 / 1.15});
		variants.push_back({sped(region, 0.87), 0, 8, 1.0 / 0.87});
		for (int64_t gap : {SR * 3 / 20, SR * 13 / 20})
			variants.push_back({with_pause(region, t.split - from, gap, floor_rms, &random), gap});
		// The take's own peak pass is its first template.
		const session_pass &peak = passes[t.session][t.peak];
		take_templates[n].assign(TEMPLATE_RANKS, {});
		take_templates[n][0].assign(session_rows[t.session].data() + peak.row * WAKE_PASS_FEATURES,
					    session_rows[t.session].data() + (peak.row + 1) * WAKE_PASS_FEATURES);
		const size_t peak_at = (size_t)(std::find(t.positive_offsets.begin(), t.positive_offsets.end(), 0) -
						t.positive_offsets.begin());
		for (const variant &v : variants) {
			std::vector<int64_t> ends;
			for (int k : t.positive_offsets)
				ends.push_back((int64_t)((double)(t.peak_end - from + k * HOP) * v.stretch) + v.shift);
			stretch_passes copy;
			run_passes(detector, cache, v.audio.data(), v.audio.size(), ends, &copy, cancel);
			for (size_t i = 0; i < copy.looked; i++) {
				if (!copy.ok[i])
					continue;
				const float *row = copy.features.data() + i * WAKE_PASS_FEATURES;
				data.add(row, 1, 0);
				if (i == peak_at && v.template_rank >= 0)
					take_templates[n][(size_t)v.template_rank].assign(row, row + WAKE_PASS_FEATURES);
			}
		}
	}

	// Own near misses: the take's name with own talk after it, own talk with
	// the take's "clip it" after it.
	for (size_t n = 0; n < takes.size(); n++) {
		const take &t = takes[n];
		const voice_session_audio &audio = sessions[t.session];
		const int64_t count = (int64_t)audio.count;
		random_source random{0xc0ffee00ull + n};
		const auto stretches = talk_stretches(levels[t.session], quiet[t.session], takes, t.session, count);
		const int64_t head = t.split - t.start, tail = t.end - t.split;
		for (int k = 0; k < 3; k++) {
			const int64_t length = (int64_t)((0.8 + 0.3 * k) * (double)std::max<int64_t>(tail, SR / 3));
			int64_t talk = 0;
			if (!pick_talk(stretches, length + SR / 4, &random, &talk))
				break;
			std::vector<int16_t> splice;
			append(&splice, audio.samples, count, t.start - WINDOW, t.split);
			append(&splice, audio.samples, count, talk, talk + length + SR / 4);
			std::vector<int64_t> ends;
			for (int64_t end = WINDOW + head + length / 2; end <= (int64_t)splice.size(); end += HOP)
				ends.push_back(end);
			passes_at(detector, cache, splice, ends, 0, 2, &data, cancel);
		}
		// Own talk starting out of silence, as after a pause in a stream (the
		// session's talk rarely follows two quiet seconds).
		{
			const int64_t length = SR * 6 / 5;
			int64_t talk = 0;
			if (pick_talk(stretches, length, &random, &talk)) {
				std::vector<int16_t> onset((size_t)WINDOW, 0);
				append(&onset, audio.samples, count, talk, talk + length);
				std::vector<int64_t> ends;
				for (int64_t end = WINDOW + SR / 5; end <= (int64_t)onset.size(); end += HOP)
					ends.push_back(end);
				passes_at(detector, cache, onset, ends, 0, 1, &data, cancel);
			}
		}
		// The name and the start of "clip it" going on into other words.
		for (int k = 0; k < 2; k++) {
			const int64_t length = (int64_t)((0.5 + 0.3 * k) * (double)std::max<int64_t>(tail, SR / 3));
			int64_t talk = 0;
			if (!pick_talk(stretches, length + SR / 4, &random, &talk))
				break;
			std::vector<int16_t> splice;
			append(&splice, audio.samples, count, t.start - WINDOW, t.split + tail / 2);
			append(&splice, audio.samples, count, talk, talk + length + SR / 4);
			std::vector<int64_t> ends;
			for (int64_t end = WINDOW + head + tail / 2 + length / 2; end <= (int64_t)splice.size(); end += HOP)
				ends.push_back(end);
			passes_at(detector, cache, splice, ends, 0, 2, &data, cancel);
		}
		for (int k = 0; k < 2; k++) {
			const int64_t length = (int64_t)((0.35 + 0.3 * k) * SR);
			int64_t talk = 0;
			if (!pick_talk(stretches, length, &random, &talk))
				break;
			std::vector<int16_t> splice;
			append(&splice, audio.samples, count, t.start - WINDOW, t.start);
			append(&splice, audio.samples, count, talk, talk + length);
			append(&splice, audio.samples, count, t.split, t.end + SR / 4);
			const int64_t tail_end = WINDOW + length + tail;
			std::vector<int64_t> ends;
			for (int64_t end = tail_end - 2 * HOP; end <= tail_end + 3 * HOP; end += HOP)
				ends.push_back(end);
			passes_at(detector, cache, splice, ends, 0, 2, &data, cancel);
		}
	}
	report->embedding_runs = cache->embedding_runs;
	report->embedding_reuses = cache->embedding_reuses;
	report->mel_runs = cache->mel_runs + cache->mel_span_runs;
	report->mel_reuses = cache->mel_span_reuses;
	wake_feature_cache_destroy(cache);
	wake_detector_destroy(detector);
	report->features_ms = ms_since(started);
	if (cancelled(cancel)) {
		refuse(report, "cancelled");
		return nullptr;
	}

	if (bank) {
		std::vector<float> row(WAKE_PASS_FEATURES);
		for (size_t i = 0; i < bank->rows; i++) {
			voice_bank_row(bank, i, row.data());
			data.add(row.data(), 0, 3);
		}
	}

	// Each kind of negative carries a share of the negatives' weight.
	size_t group_rows[4] = {};
	for (int g : data.group)
		group_rows[g]++;
	report->positive_rows = group_rows[0];
	report->talk_rows = group_rows[1];
	report->splice_rows = group_rows[2];
	report->bank_rows = group_rows[3];
	const double wanted[4] = {1.0, 0.4, 0.3, 0.3};
	double present = 0.0;
	for (int g = 1; g < 4; g++)
		present += group_rows[g] ? wanted[g] : 0.0;
	std::vector<float> weights(data.labels.size());
	for (size_t i = 0; i < weights.size(); i++) {
		const int g = data.group[i];
		weights[i] = g == 0 ? 1.0f : (float)(wanted[g] / present / (double)group_rows[g] * 1000.0);
	}

	const auto training = std::chrono::steady_clock::now();
	const char *reason = nullptr;
	voice_profile *profile = voice_profile_train(data.rows.data(), data.labels.data(), weights.data(),
						     data.labels.size(), identity, &reason);
	report->training_ms = ms_since(training);
	if (!profile) {
		refuse(report, "could not learn the voice: %s", reason);
		return nullptr;
	}
	// Templates rank by rank, a take at a time, while there is room.
	for (size_t rank = 0; rank < TEMPLATE_RANKS; rank++)
		for (size_t n = 0; n < takes.size(); n++)
			if (!take_templates[n][rank].empty())
				voice_templates_add(&profile->templates, take_templates[n][rank].data());
	report->templates = profile->templates.count;
	return profile;
}
