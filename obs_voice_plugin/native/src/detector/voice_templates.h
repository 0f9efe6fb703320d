#pragma once

// Phrase templates: the newest rows of the features of the streamer's own
// takes (and of copies of them in other conditions), kept in the voice
// profile. A pass is scored by its cosine similarity to the nearest template,
// row by row. The linear profile learns the streamer's voice; the templates
// ask whether this pass sounds like one of the streamer's takes of the
// phrase, which the streamer's ordinary talk, however close in voice, does
// not. On six held-out voices the two together let no pass of 1.05 hours of
// the speakers' own talk through, where the linear profile alone let 4 through
// behind a higher base floor, and heard more of the takes.

#include <cstddef>
#include <cstdint>

#include "wake_detector.h"

constexpr size_t VOICE_TEMPLATE_ROWS = 10; // the newest 10 of the 16 embedding rows (0.8 s)
constexpr size_t VOICE_TEMPLATE_WIDTH = 96;
constexpr size_t VOICE_TEMPLATE_FLOATS = VOICE_TEMPLATE_ROWS * VOICE_TEMPLATE_WIDTH;
static_assert(WAKE_PASS_FEATURES == 16 * VOICE_TEMPLATE_WIDTH, "features are 16 rows of 96");
constexpr size_t VOICE_TEMPLATES_MAX = 80;

// Similarity to the nearest template at which the templates' score is 0.6
// (the dashboard's default threshold), and how fast the score rises with it:
// one unit of log-odds per 0.01 of similarity. At 0.86 the held-out speakers'
// own talk stayed under it while most of their takes in noise, rooms and
// other manners of speaking reached it.
constexpr float VOICE_TEMPLATE_SIMILARITY = 0.86f;
constexpr float VOICE_TEMPLATE_SLOPE = 100.0f;

// Dot product of n floats (a multiple of 8) in eight running sums, which the
// compiler may keep in vector lanes; shared by the profile's linear part.
inline float voice_dot(const float *a, const float *b, size_t n)
{
	float sum[8] = {};
	for (size_t i = 0; i < n; i += 8)
		for (size_t k = 0; k < 8; k++)
			sum[k] += a[i + k] * b[i + k];
	return ((sum[0] + sum[1]) + (sum[2] + sum[3])) + ((sum[4] + sum[5]) + (sum[6] + sum[7]));
}

struct voice_templates {
	uint32_t count;
	// Each row of 96 stored as int8 / 127 of the unit row (what the text
	// form keeps), with the inverse of its norm.
	float values[VOICE_TEMPLATES_MAX][VOICE_TEMPLATE_FLOATS];
	float row_scale[VOICE_TEMPLATES_MAX][VOICE_TEMPLATE_ROWS];
};

// Adds a template from one pass's features (16 x 96, row-major). False when
// full, or when the features hold a non-finite number or an all-zero row.
bool voice_templates_add(voice_templates *templates, const float *features);

// Adds a template from its stored form (int8 per value); what the text form
// reads back. False when full or a row is all zero.
bool voice_templates_add_stored(voice_templates *templates, const int8_t *values);

// The stored form of template i (VOICE_TEMPLATE_FLOATS int8 values).
void voice_templates_stored(const voice_templates *templates, size_t i, int8_t *out);

// Mean over the rows of the cosine similarity to the nearest template, in
// [-1, 1]; NaN when there are no templates or the features hold a NaN. No
// allocation: safe on the audio thread.
float voice_templates_similarity(const voice_templates *templates, const float *features);

// The similarity as a score in [0, 1]: 0.6 at VOICE_TEMPLATE_SIMILARITY.
float voice_templates_score(const voice_templates *templates, const float *features);
