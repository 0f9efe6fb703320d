// The voice profile: identity, text form, scoring, training, and the gate.
//
// The floor (VOICE_PROFILE_FLOOR = 0.1): on six held-out voices, the linear
// profile alone behind a base floor of 0.3 heard 87 % of the takes (groups
// of conditions averaged) and let 4 passes of 1.05 hours of the speakers'
// own talk through; with the templates as well, a floor of 0.1 heard 92 %,
// 0.2 heard 87 %, and neither let any of that talk through. (Per-pass
// features, every 80 ms; the production figures are in the training
// folder's EVALUATION.md.)

#include "voice_profile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <util/bmem.h>
#include <util/platform.h>

#include "detector_pass.h"

namespace {

// "tvp2.": the linear profile and templates; "tvp1.": the linear profile alone.
const char TEXT_PREFIX[] = "tvp2.";
const char OLD_PREFIX[] = "tvp1.";
constexpr size_t PREFIX_CHARS = sizeof(TEXT_PREFIX) - 1;
static_assert(sizeof(TEXT_PREFIX) == sizeof(OLD_PREFIX), "both forms have a prefix of one length");
constexpr size_t PAYLOAD_FLOATS = WAKE_PASS_FEATURES + 2;
constexpr size_t OLD_PAYLOAD_BYTES = PAYLOAD_FLOATS * 4 + 4;
constexpr size_t OLD_PAYLOAD_CHARS = (OLD_PAYLOAD_BYTES + 2) / 3 * 4;

// Bytes of a tvp2 payload with `count` templates, padding included.
constexpr size_t payload_bytes(size_t count)
{
	return (PAYLOAD_FLOATS * 4 + 4 + count * VOICE_TEMPLATE_FLOATS + 4 + 2) / 3 * 3;
}

const char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Training: L2 strength against the weighted mean log loss, and the budget.
constexpr double TRAIN_L2 = 3e-3;
constexpr int TRAIN_ITERATIONS = 60;
constexpr int TRAIN_MEMORY = 8;

uint32_t fnv1a32(const uint8_t *data, size_t size)
{
	uint32_t hash = 2166136261u;
	for (size_t i = 0; i < size; i++)
		hash = (hash ^ data[i]) * 16777619u;
	return hash;
}

void put_u32(uint8_t *out, uint32_t value)
{
	for (int i = 0; i < 4; i++)
		out[i] = (uint8_t)(value >> (8 * i));
}

uint32_t get_u32(const uint8_t *in)
{
	return (uint32_t)in[0] | (uint32_t)in[1] << 8 | (uint32_t)in[2] << 16 | (uint32_t)in[3] << 24;
}

void put_f32(uint8_t *out, float value)
{
	uint32_t bits;
	memcpy(&bits, &value, 4);
	put_u32(out, bits);
}

float get_f32(const uint8_t *in)
{
	uint32_t bits = get_u32(in);
	float value;
	memcpy(&value, &bits, 4);
	return value;
}

int base64_value(char c)
{
	const char *at = c ? strchr(BASE64, c) : nullptr;
	return at ? (int)(at - BASE64) : -1;
}

// FNV-1a 64 over each file's bytes followed by its length (8 bytes, little-endian).
bool hash_files(const char *const *paths, size_t count, char identity[VOICE_IDENTITY_CHARS + 1])
{
	uint64_t hash = 14695981039346656037ull;
	auto mix = [&hash](const uint8_t *data, size_t size) {
		for (size_t i = 0; i < size; i++)
			hash = (hash ^ data[i]) * 1099511628211ull;
	};
	const size_t chunk = 1 << 16;
	uint8_t *buffer = (uint8_t *)bmalloc(chunk);
	bool ok = true;
	for (size_t f = 0; f < count && ok; f++) {
		FILE *file = os_fopen(paths[f], "rb");
		if (!file) {
			ok = false;
			break;
		}
		uint64_t total = 0;
		size_t got;
		while ((got = fread(buffer, 1, chunk, file)) > 0) {
			mix(buffer, got);
			total += got;
		}
		ok = !ferror(file);
		fclose(file);
		uint8_t length[8];
		for (int i = 0; i < 8; i++)
			length[i] = (uint8_t)(total >> (8 * i));
		mix(length, 8);
	}
	bfree(buffer);
	if (ok)
		snprintf(identity, VOICE_IDENTITY_CHARS + 1, "%016llx", (unsigned long long)hash);
	return ok;
}

inline float dot(const float *a, const float *b)
{
	return voice_dot(a, b, WAKE_PASS_FEATURES);
}
static_assert(WAKE_PASS_FEATURES % 8 == 0, "dot works in blocks of 8");

// The weighted log loss of standardised rows, its gradient, L2 on the weights (not the bias).
struct train_problem {
	const float *x; // count x WAKE_PASS_FEATURES, standardised
	const float *y;
	const double *c; // weights summing to 1
	size_t count;
	std::vector<float> w;    // float copy of the weights
	std::vector<float> grad; // float accumulator

	double evaluate(const std::vector<double> &theta, std::vector<double> *gradient)
	{
		const size_t d = WAKE_PASS_FEATURES;
		for (size_t j = 0; j < d; j++)
			w[j] = (float)theta[j];
		std::fill(grad.begin(), grad.end(), 0.0f);
		const double bias = theta[d];
		double loss = 0.0, grad_bias = 0.0;
		for (size_t i = 0; i < count; i++) {
			const float *row = x + i * d;
			const double z = bias + (double)dot(row, w.data());
			// log(1 + e^-|z|) + max(z, 0) - y z
			loss += c[i] * (std::log1p(std::exp(-std::fabs(z))) + std::max(z, 0.0) - y[i] * z);
			const double p = z >= 0 ? 1.0 / (1.0 + std::exp(-z)) : std::exp(z) / (1.0 + std::exp(z));
			const float r = (float)(c[i] * (p - y[i]));
			grad_bias += r;
			float *g = grad.data();
			for (size_t j = 0; j < d; j++)
				g[j] += r * row[j];
		}
		double penalty = 0.0;
		for (size_t j = 0; j < d; j++) {
			penalty += theta[j] * theta[j];
			(*gradient)[j] = (double)grad[j] + TRAIN_L2 * theta[j];
		}
		(*gradient)[d] = grad_bias;
		return loss + 0.5 * TRAIN_L2 * penalty;
	}
};

double vec_dot(const std::vector<double> &a, const std::vector<double> &b)
{
	double sum = 0.0;
	for (size_t i = 0; i < a.size(); i++)
		sum += a[i] * b[i];
	return sum;
}

// Limited-memory BFGS with a backtracking (Armijo) line search.
void minimise(train_problem *problem, std::vector<double> *theta)
{
	const size_t n = theta->size();
	std::vector<double> g(n), g_next(n), direction(n), next(n);
	std::vector<std::vector<double>> s_list, y_list;
	std::vector<double> rho_list;
	double f = problem->evaluate(*theta, &g);
	for (int iteration = 0; iteration < TRAIN_ITERATIONS; iteration++) {
		// Two-loop recursion: direction = -H g.
		direction = g;
		std::vector<double> alpha(s_list.size());
		for (size_t k = s_list.size(); k-- > 0;) {
			alpha[k] = rho_list[k] * vec_dot(s_list[k], direction);
			for (size_t i = 0; i < n; i++)
				direction[i] -= alpha[k] * y_list[k][i];
		}
		if (!s_list.empty()) {
			const double gamma = vec_dot(s_list.back(), y_list.back()) / vec_dot(y_list.back(), y_list.back());
			for (double &v : direction)
				v *= gamma;
		}
		for (size_t k = 0; k < s_list.size(); k++) {
			const double beta = rho_list[k] * vec_dot(y_list[k], direction);
			for (size_t i = 0; i < n; i++)
				direction[i] += (alpha[k] - beta) * s_list[k][i];
		}
		for (double &v : direction)
			v = -v;
		double slope = vec_dot(g, direction);
		if (!(slope < 0)) {
			s_list.clear();
			y_list.clear();
			rho_list.clear();
			for (size_t i = 0; i < n; i++)
				direction[i] = -g[i];
			slope = vec_dot(g, direction);
		}
		double step = s_list.empty() ? std::min(1.0, 1.0 / std::sqrt(vec_dot(g, g) + 1e-300)) : 1.0;
		double f_next = 0.0;
		bool accepted = false;
		for (int tries = 0; tries < 30 && !accepted; tries++) {
			for (size_t i = 0; i < n; i++)
				next[i] = (*theta)[i] + step * direction[i];
			f_next = problem->evaluate(next, &g_next);
			accepted = f_next <= f + 1e-4 * step * slope;
			if (!accepted)
				step *= 0.5;
		}
		if (!accepted)
			break;
		std::vector<double> s(n), y(n);
		for (size_t i = 0; i < n; i++) {
			s[i] = next[i] - (*theta)[i];
			y[i] = g_next[i] - g[i];
		}
		const double sy = vec_dot(s, y);
		if (sy > 1e-12) {
			if (s_list.size() == (size_t)TRAIN_MEMORY) {
				s_list.erase(s_list.begin());
				y_list.erase(y_list.begin());
				rho_list.erase(rho_list.begin());
			}
			s_list.push_back(std::move(s));
			y_list.push_back(std::move(y));
			rho_list.push_back(1.0 / sy);
		}
		const double decrease = f - f_next;
		theta->swap(next);
		g.swap(g_next);
		f = f_next;
		double largest = 0.0;
		for (double v : g)
			largest = std::max(largest, std::fabs(v));
		if (largest < 1e-7 || decrease < 1e-12 * std::max(1.0, std::fabs(f)))
			break;
	}
}

} // namespace

bool voice_profile_identity(const char *models_dir, const char *model_name, char identity[VOICE_IDENTITY_CHARS + 1])
{
	const char *dir = models_dir ? models_dir : ".";
	std::string mel = std::string(dir) + "/melspectrogram.onnx";
	std::string embedding = std::string(dir) + "/embedding_model.onnx";
	std::string classifier = std::string(dir) + "/" + (model_name ? model_name : WAKE_DEFAULT_MODEL_NAME) + ".onnx";
	const char *paths[] = {mel.c_str(), embedding.c_str(), classifier.c_str()};
	return hash_files(paths, 3, identity);
}

bool voice_features_identity(const char *models_dir, char identity[VOICE_IDENTITY_CHARS + 1])
{
	const char *dir = models_dir ? models_dir : ".";
	std::string mel = std::string(dir) + "/melspectrogram.onnx";
	std::string embedding = std::string(dir) + "/embedding_model.onnx";
	const char *paths[] = {mel.c_str(), embedding.c_str()};
	return hash_files(paths, 2, identity);
}

char *voice_profile_to_text(const voice_profile *profile)
{
	const size_t count = profile->templates.count;
	std::vector<uint8_t> payload(payload_bytes(count), 0);
	uint8_t *at = payload.data();
	for (size_t i = 0; i < WAKE_PASS_FEATURES; i++, at += 4)
		put_f32(at, profile->weights[i]);
	put_f32(at, profile->bias);
	put_f32(at + 4, profile->floor);
	put_u32(at + 8, (uint32_t)count);
	at += 12;
	for (size_t t = 0; t < count; t++, at += VOICE_TEMPLATE_FLOATS)
		voice_templates_stored(&profile->templates, t, (int8_t *)at);
	put_u32(at, fnv1a32(payload.data(), (size_t)(at - payload.data())));

	const size_t chars = PREFIX_CHARS + VOICE_IDENTITY_CHARS + 1 + payload.size() / 3 * 4;
	char *text = (char *)bmalloc(chars + 1);
	int head = snprintf(text, chars + 1, "%s%s.", TEXT_PREFIX, profile->identity);
	char *out = text + head;
	for (size_t i = 0; i < payload.size(); i += 3) {
		const uint32_t triple = (uint32_t)payload[i] << 16 | (uint32_t)payload[i + 1] << 8 | payload[i + 2];
		*out++ = BASE64[(triple >> 18) & 63];
		*out++ = BASE64[(triple >> 12) & 63];
		*out++ = BASE64[(triple >> 6) & 63];
		*out++ = BASE64[triple & 63];
	}
	*out = '\0';
	return text;
}

voice_profile *voice_profile_from_text(const char *text, const char *identity, const char **reason)
{
	const char *ignored;
	if (!reason)
		reason = &ignored;
	if (!text || !*text) {
		*reason = "the voice profile is empty";
		return nullptr;
	}
	if (strncmp(text, "tvp", 3) != 0) {
		*reason = "this is not a voice profile";
		return nullptr;
	}
	const bool old_form = strncmp(text, OLD_PREFIX, PREFIX_CHARS) == 0;
	if (!old_form && strncmp(text, TEXT_PREFIX, PREFIX_CHARS) != 0) {
		*reason = "the voice profile was made by another version of the plug-in; teach it your voice again";
		return nullptr;
	}
	const char *id = text + PREFIX_CHARS;
	for (size_t i = 0; i < VOICE_IDENTITY_CHARS; i++) {
		const char c = id[i];
		if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
			*reason = "the voice profile is damaged (no model identity)";
			return nullptr;
		}
	}
	if (id[VOICE_IDENTITY_CHARS] != '.') {
		*reason = "the voice profile is damaged (no model identity)";
		return nullptr;
	}
	if (!identity || strncmp(id, identity, VOICE_IDENTITY_CHARS) != 0 || strlen(identity) != VOICE_IDENTITY_CHARS) {
		*reason = "the voice profile was made for other models than the ones loaded; teach it your voice again";
		return nullptr;
	}
	const char *data = id + VOICE_IDENTITY_CHARS + 1;
	const size_t chars = strlen(data);
	const bool length_ok = old_form ? chars == OLD_PAYLOAD_CHARS
					: chars % 4 == 0 && chars / 4 * 3 >= payload_bytes(0) &&
						  chars / 4 * 3 <= payload_bytes(VOICE_TEMPLATES_MAX);
	if (!length_ok) {
		*reason = "the voice profile is cut short or damaged (wrong length)";
		return nullptr;
	}
	std::vector<uint8_t> payload(chars / 4 * 3);
	for (size_t i = 0, o = 0; i < chars; i += 4, o += 3) {
		uint32_t triple = 0;
		for (size_t k = 0; k < 4; k++) {
			const int value = base64_value(data[i + k]);
			if (value < 0) {
				*reason = "the voice profile is damaged (a character outside base64)";
				return nullptr;
			}
			triple = triple << 6 | (uint32_t)value;
		}
		payload[o] = (uint8_t)(triple >> 16);
		payload[o + 1] = (uint8_t)(triple >> 8);
		payload[o + 2] = (uint8_t)triple;
	}
	// Where the checksum is: after the numbers, or after the count and the templates.
	size_t count = 0, checked = 4 * PAYLOAD_FLOATS;
	if (!old_form) {
		count = get_u32(payload.data() + checked);
		if (count > VOICE_TEMPLATES_MAX || payload_bytes(count) != payload.size()) {
			*reason = "the voice profile is cut short or damaged (wrong length)";
			return nullptr;
		}
		checked += 4 + count * VOICE_TEMPLATE_FLOATS;
		for (size_t i = checked + 4; i < payload.size(); i++)
			if (payload[i] != 0) {
				*reason = "the voice profile is damaged (bytes after its end)";
				return nullptr;
			}
	}
	if (fnv1a32(payload.data(), checked) != get_u32(payload.data() + checked)) {
		*reason = "the voice profile is damaged (checksum mismatch)";
		return nullptr;
	}
	for (size_t i = 0; i < PAYLOAD_FLOATS; i++) {
		if (!std::isfinite(get_f32(payload.data() + 4 * i))) {
			*reason = "the voice profile is damaged (a weight is not a finite number)";
			return nullptr;
		}
	}
	const float floor = get_f32(payload.data() + 4 * WAKE_PASS_FEATURES + 4);
	if (floor < 0.0f || floor > 1.0f) {
		*reason = "the voice profile is damaged (its floor is not between 0 and 1)";
		return nullptr;
	}

	voice_profile *profile = (voice_profile *)bzalloc(sizeof(*profile));
	memcpy(profile->identity, id, VOICE_IDENTITY_CHARS);
	profile->identity[VOICE_IDENTITY_CHARS] = '\0';
	for (size_t i = 0; i < WAKE_PASS_FEATURES; i++)
		profile->weights[i] = get_f32(payload.data() + 4 * i);
	profile->bias = get_f32(payload.data() + 4 * WAKE_PASS_FEATURES);
	profile->floor = floor;
	const uint8_t *templates = payload.data() + 4 * PAYLOAD_FLOATS + 4;
	for (size_t t = 0; t < count; t++) {
		if (!voice_templates_add_stored(&profile->templates, (const int8_t *)templates + t * VOICE_TEMPLATE_FLOATS)) {
			bfree(profile);
			*reason = "the voice profile is damaged (a template row is all zero)";
			return nullptr;
		}
	}
	*reason = nullptr;
	return profile;
}

voice_profile *voice_profile_from_file(const char *path, const char *identity, const char **reason)
{
	const char *ignored;
	if (!reason)
		reason = &ignored;
	// A profile is at most some 111,000 characters; a larger file is something else.
	const int64_t size = path ? os_get_file_size(path) : -1;
	if (size > 262144) {
		*reason = "the file is too large to be a voice profile";
		return nullptr;
	}
	char *text = size >= 0 ? os_quick_read_utf8_file(path) : nullptr;
	if (!text) {
		*reason = "the file cannot be read";
		return nullptr;
	}
	size_t length = strlen(text);
	while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ' ||
			      text[length - 1] == '\t'))
		text[--length] = '\0';
	voice_profile *profile = voice_profile_from_text(text, identity, reason);
	bfree(text);
	return profile;
}

void voice_profile_destroy(voice_profile *profile)
{
	bfree(profile);
}

float voice_profile_score(const voice_profile *profile, const float *features)
{
	const float z = profile->bias + dot(profile->weights, features);
	const float linear = 1.0f / (1.0f + std::exp(-z));
	if (profile->templates.count == 0 || std::isnan(linear))
		return linear;
	// A NaN from the templates (NaN features) is passed on.
	const float templates = voice_templates_score(&profile->templates, features);
	return templates < linear || std::isnan(templates) ? templates : linear;
}

voice_profile *voice_profile_train(const float *rows, const uint8_t *labels, const float *weights, size_t count,
				   const char *identity, const char **reason)
{
	const char *ignored;
	if (!reason)
		reason = &ignored;
	const size_t d = WAKE_PASS_FEATURES;
	if (!identity || strlen(identity) != VOICE_IDENTITY_CHARS) {
		*reason = "no model identity";
		return nullptr;
	}
	double class_weight[2] = {};
	for (size_t i = 0; i < count; i++) {
		const double w = weights ? weights[i] : 1.0;
		if (!(w >= 0.0) || !std::isfinite(w)) {
			*reason = "a row weight is negative or not a finite number";
			return nullptr;
		}
		class_weight[labels[i] ? 1 : 0] += w;
	}
	if (class_weight[0] <= 0.0 || class_weight[1] <= 0.0) {
		*reason = class_weight[1] <= 0.0 ? "no rows of the phrase" : "no rows that are not the phrase";
		return nullptr;
	}

	// Column means and spreads over all rows.
	std::vector<double> mean(d, 0.0), spread(d, 0.0);
	for (size_t i = 0; i < count; i++) {
		const float *row = rows + i * d;
		for (size_t j = 0; j < d; j++) {
			if (!std::isfinite(row[j])) {
				*reason = "a row holds a number that is not finite";
				return nullptr;
			}
			mean[j] += row[j];
		}
	}
	for (double &m : mean)
		m /= (double)count;
	for (size_t i = 0; i < count; i++) {
		const float *row = rows + i * d;
		for (size_t j = 0; j < d; j++)
			spread[j] += (row[j] - mean[j]) * (row[j] - mean[j]);
	}
	for (double &s : spread) {
		s = std::sqrt(s / (double)count);
		if (!(s > 1e-6))
			s = 1.0;
	}

	std::vector<float> x(count * d), y(count);
	std::vector<double> c(count);
	for (size_t i = 0; i < count; i++) {
		for (size_t j = 0; j < d; j++)
			x[i * d + j] = (float)((rows[i * d + j] - mean[j]) / spread[j]);
		const int k = labels[i] ? 1 : 0;
		y[i] = (float)k;
		c[i] = 0.5 * (weights ? weights[i] : 1.0) / class_weight[k];
	}

	train_problem problem{x.data(), y.data(), c.data(), count, std::vector<float>(d), std::vector<float>(d)};
	std::vector<double> theta(d + 1, 0.0);
	minimise(&problem, &theta);

	voice_profile *profile = (voice_profile *)bzalloc(sizeof(*profile));
	memcpy(profile->identity, identity, VOICE_IDENTITY_CHARS + 1);
	double bias = theta[d];
	for (size_t j = 0; j < d; j++) {
		profile->weights[j] = (float)(theta[j] / spread[j]);
		bias -= theta[j] * mean[j] / spread[j];
	}
	profile->bias = (float)bias;
	profile->floor = VOICE_PROFILE_FLOOR;
	*reason = nullptr;
	return profile;
}

voice_gate_decision voice_gate_decide(const voice_gate_input *input)
{
	voice_gate_decision decision = {false, false, input->base_score, input->cooldown_until_ns};
	const bool cooling_down = input->cooldown_until_ns != 0 && input->now_ns < input->cooldown_until_ns;
	// Written so that a NaN score compares false and never fires.
	bool heard;
	if (input->has_profile) {
		heard = input->base_score >= input->floor && input->profile_score >= input->threshold;
		decision.confidence = input->profile_score;
	} else {
		heard = input->base_score >= input->threshold;
	}
	decision.heard = heard;
	if (input->enabled && heard && !cooling_down) {
		decision.fire = true;
		decision.cooldown_until_ns = input->now_ns + input->cooldown_ns;
	}
	return decision;
}
