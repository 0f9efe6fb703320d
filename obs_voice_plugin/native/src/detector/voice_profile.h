#pragma once

// A streamer's voice profile: a small per-speaker verifier that scores the
// same 16 x 96 features the phrase classifier sees on each pass, trained on
// the streamer's own takes of the phrase against their own talk and near
// misses, with templates of those takes (voice_templates.h). With a profile
// the gate needs the base score at a low floor and the profile's score at
// the threshold; without one the gate is the base score alone. Also the gate
// itself, shared by the filter and wake-score.

#include <cstddef>
#include <cstdint>

#include "voice_templates.h"
#include "wake_detector.h"

// The models a profile (or a negative bank) was made with, as 16 lowercase
// hex digits: FNV-1a 64 over the models' bytes. Scores and features change
// whenever one of those files does, so a profile from other models is refused.
constexpr size_t VOICE_IDENTITY_CHARS = 16;

// Base score a pass needs when a profile decides. The profile lets the base
// threshold drop; with its templates keeping the streamer's own talk out, a
// floor of 0.1 hears takes the classifier barely noticed (see
// voice_profile.cpp). Profiles made before templates keep the 0.3 they were
// made with.
constexpr float VOICE_PROFILE_FLOOR = 0.1f;

struct voice_profile {
	char identity[VOICE_IDENTITY_CHARS + 1];
	// Standardisation folded in: linear score = sigmoid(weights . features + bias).
	float weights[WAKE_PASS_FEATURES];
	float bias;
	// The base score floor the profile was made for.
	float floor;
	// None in a profile made before templates: the linear score decides alone.
	voice_templates templates;
};

// Identity of mel + embedding + classifier ("<dir>/<model_name>.onnx"): what
// a profile is tied to. False when a file cannot be read.
bool voice_profile_identity(const char *models_dir, const char *model_name, char identity[VOICE_IDENTITY_CHARS + 1]);
// Identity of mel + embedding only: what feature rows (a negative bank) are tied to.
bool voice_features_identity(const char *models_dir, char identity[VOICE_IDENTITY_CHARS + 1]);

// "tvp2.<identity>.<base64 of little-endian float32 weights[1536], bias,
// floor, uint32 template count, int8 templates[count][960], a uint32 FNV-1a
// 32 of those bytes, then zero bytes to a multiple of three>": one ASCII
// line of 8,238 characters plus 1,280 per template (about 75,000 for four
// takes), what the filter keeps in its settings. bfree the result. The
// "tvp1." form (no templates, no count; 8230 characters) is still read.
char *voice_profile_to_text(const voice_profile *profile);

// Parses a profile made for `identity`. Returns null and sets *reason (a
// static English sentence, never logged here) when the text is empty,
// malformed, cut short, from another format version or other models, or
// holds a non-finite number.
voice_profile *voice_profile_from_text(const char *text, const char *identity, const char **reason);

// The same from a file holding the text (as wake-score writes it, or pasted
// from the filter's settings), trailing blanks and line ends dropped; also
// refused when the file cannot be read.
voice_profile *voice_profile_from_file(const char *path, const char *identity, const char **reason);

void voice_profile_destroy(voice_profile *profile);

// The profile's score in [0, 1] for one pass's features (16 x 96, row-major):
// the linear score, or with templates the lower of it and the templates'
// score. NaN features give NaN. No allocation: safe on the audio thread.
float voice_profile_score(const voice_profile *profile, const float *features);

// Trains a profile on `count` rows of WAKE_PASS_FEATURES floats: labels 1
// (the phrase) or 0, optional per-row weights (null: all 1). The classes are
// balanced (each carries half the weight), L2-regularised logistic regression
// on standardised features, full batch L-BFGS with a fixed iteration budget:
// the same rows give the same profile. Null with *reason when a class is
// empty or a row holds a non-finite number.
voice_profile *voice_profile_train(const float *rows, const uint8_t *labels, const float *weights, size_t count,
				   const char *identity, const char **reason);

// One decision of the filter's gate, for one pass.
struct voice_gate_input {
	bool enabled;        // voice clips on (the dashboard's setting)
	float base_score;    // the classifier's score of the pass
	bool has_profile;    // a profile decides
	float profile_score; // its score of the pass (when has_profile)
	float floor;         // the profile's base score floor (when has_profile)
	float threshold;     // the dashboard's confidence threshold
	uint64_t now_ns;
	uint64_t cooldown_until_ns; // 0: no cooldown running
	uint64_t cooldown_ns;
};

struct voice_gate_decision {
	bool heard; // the scores let the pass through, whether or not it fires
	bool fire;
	float confidence;           // what to post: the score that decided
	uint64_t cooldown_until_ns; // the cooldown state after this pass
};

// Without a profile: fires when enabled, base >= threshold and no cooldown
// runs. With one: base >= floor and profile >= threshold, and the confidence
// is the profile's score. A NaN score never fires. A fire starts the cooldown.
voice_gate_decision voice_gate_decide(const voice_gate_input *input);
