// Phrase templates of a voice profile: made from a pass's features, kept in
// the form the profile's text stores, and matched against each pass.

#include "voice_templates.h"

#include <cmath>

namespace {

constexpr size_t FIRST_ROW = 16 - VOICE_TEMPLATE_ROWS;
// log(0.6 / 0.4): the score is 0.6 where the similarity is at its mark.
constexpr float AT_MARK = 0.4054651f;

inline float row_dot(const float *a, const float *b)
{
	return voice_dot(a, b, VOICE_TEMPLATE_WIDTH);
}
static_assert(VOICE_TEMPLATE_WIDTH % 8 == 0, "rows are dotted in blocks of 8");

} // namespace

bool voice_templates_add_stored(voice_templates *templates, const int8_t *values)
{
	if (templates->count >= VOICE_TEMPLATES_MAX)
		return false;
	const size_t t = templates->count;
	for (size_t r = 0; r < VOICE_TEMPLATE_ROWS; r++) {
		double norm = 0.0;
		for (size_t j = 0; j < VOICE_TEMPLATE_WIDTH; j++) {
			const float v = (float)values[r * VOICE_TEMPLATE_WIDTH + j] / 127.0f;
			templates->values[t][r * VOICE_TEMPLATE_WIDTH + j] = v;
			norm += (double)v * v;
		}
		if (!(norm > 0.0))
			return false;
		templates->row_scale[t][r] = (float)(1.0 / std::sqrt(norm));
	}
	templates->count++;
	return true;
}

bool voice_templates_add(voice_templates *templates, const float *features)
{
	int8_t stored[VOICE_TEMPLATE_FLOATS];
	for (size_t r = 0; r < VOICE_TEMPLATE_ROWS; r++) {
		const float *row = features + (FIRST_ROW + r) * VOICE_TEMPLATE_WIDTH;
		double norm = 0.0;
		for (size_t j = 0; j < VOICE_TEMPLATE_WIDTH; j++)
			norm += (double)row[j] * row[j];
		if (!(norm > 0.0) || !std::isfinite(norm))
			return false;
		const double scale = 127.0 / std::sqrt(norm);
		for (size_t j = 0; j < VOICE_TEMPLATE_WIDTH; j++)
			stored[r * VOICE_TEMPLATE_WIDTH + j] = (int8_t)std::lround(row[j] * scale);
	}
	return voice_templates_add_stored(templates, stored);
}

void voice_templates_stored(const voice_templates *templates, size_t i, int8_t *out)
{
	for (size_t j = 0; j < VOICE_TEMPLATE_FLOATS; j++)
		out[j] = (int8_t)std::lround(templates->values[i][j] * 127.0f);
}

float voice_templates_similarity(const voice_templates *templates, const float *features)
{
	if (templates->count == 0)
		return NAN;
	// The pass's rows as unit rows (no allocation: a stack array).
	float unit[VOICE_TEMPLATE_FLOATS];
	for (size_t r = 0; r < VOICE_TEMPLATE_ROWS; r++) {
		const float *row = features + (FIRST_ROW + r) * VOICE_TEMPLATE_WIDTH;
		const float norm = std::sqrt(row_dot(row, row));
		if (std::isnan(norm))
			return NAN;
		const float scale = norm > 0.0f ? 1.0f / norm : 0.0f;
		for (size_t j = 0; j < VOICE_TEMPLATE_WIDTH; j++)
			unit[r * VOICE_TEMPLATE_WIDTH + j] = row[j] * scale;
	}
	float best = -INFINITY;
	for (size_t t = 0; t < templates->count; t++) {
		float sum = 0.0f;
		for (size_t r = 0; r < VOICE_TEMPLATE_ROWS; r++)
			sum += row_dot(unit + r * VOICE_TEMPLATE_WIDTH, templates->values[t] + r * VOICE_TEMPLATE_WIDTH) *
			       templates->row_scale[t][r];
		if (sum > best)
			best = sum;
	}
	return best / (float)VOICE_TEMPLATE_ROWS;
}

float voice_templates_score(const voice_templates *templates, const float *features)
{
	const float similarity = voice_templates_similarity(templates, features);
	const float z = (similarity - VOICE_TEMPLATE_SIMILARITY) * VOICE_TEMPLATE_SLOPE + AT_MARK;
	return 1.0f / (1.0f + std::exp(-z));
}
