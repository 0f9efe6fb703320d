#pragma once

// Teaching the detector a streamer's voice: a voice profile learned from a
// short session of their own audio (the phrase said a few times with
// ordinary talk between), found and labelled from the audio itself, and the
// negative bank (other voices' talk and near misses) shipped with the
// plug-in that it also learns against. Runs on a worker thread: it makes its
// own detector and allocates freely.

#include <cstddef>
#include <cstdint>

#include "voice_profile.h"

// Fewest takes of the phrase a session must hold, and how far apart takes are.
constexpr size_t VOICE_ENROLLMENT_MIN_TAKES = 3;
constexpr size_t VOICE_ENROLLMENT_MAX_TAKES = 32;
constexpr double VOICE_ENROLLMENT_TAKE_GAP_S = 1.5;
// Base score at which a peak may be a take: the phrase said as a take for
// the profile stands out of the session's talk well above it.
constexpr float VOICE_ENROLLMENT_TAKE_SCORE = 0.3f;
// Least audio (all sessions together) worth learning from.
constexpr double VOICE_ENROLLMENT_MIN_SECONDS = 10.0;

// Rows of other voices: feature rows of passes (16 x 96) stored as int8 with
// a scale per column. File layout, little-endian:
//   "TVNB", u32 version (1), u32 rows, u32 row floats (1536),
//   16 chars: voice_features_identity of the models the rows came from,
//   f32 scale[1536], u8 kind[rows] (VOICE_BANK_*), i8 values[rows][1536],
//   u32 FNV-1a 32 of every byte before it.
// The bank shipped with the plug-in, beside the models.
#define VOICE_BANK_FILE "voice_bank.tvnb"

enum voice_bank_kind : uint8_t { VOICE_BANK_TALK = 0, VOICE_BANK_NEAR_MISS = 1 };

struct voice_bank {
	char identity[VOICE_IDENTITY_CHARS + 1];
	uint32_t rows;
	float scale[WAKE_PASS_FEATURES];
	uint8_t *kinds;
	int8_t *values;
};

// Loads a bank made for `features_identity`; null with *reason (static
// text) when the file is missing, damaged, cut short, of another version or
// for other models.
voice_bank *voice_bank_load(const char *path, const char *features_identity, const char **reason);
void voice_bank_destroy(voice_bank *bank);
// Row i as floats (WAKE_PASS_FEATURES of them).
void voice_bank_row(const voice_bank *bank, size_t i, float *out);

// One recording: 16 kHz mono samples.
struct voice_session_audio {
	const int16_t *samples;
	size_t count;
};

struct voice_enrollment_report {
	size_t takes; // takes found, all sessions together
	// Per take: its session and the end (seconds from that session's start)
	// of the pass where the base score peaked, in the order found.
	size_t take_session[VOICE_ENROLLMENT_MAX_TAKES];
	double take_seconds[VOICE_ENROLLMENT_MAX_TAKES];
	float take_scores[VOICE_ENROLLMENT_MAX_TAKES];
	size_t positive_rows; // the takes' passes and their augmented copies
	size_t talk_rows;     // the sessions' passes away from the takes
	size_t splice_rows;   // own near misses: the name + own talk, own talk + "clip it"
	size_t bank_rows;
	size_t templates; // peak passes of the takes and their copies kept in the profile
	double seconds; // audio heard
	double features_ms;
	// Model runs of all the passes, and what they shared: embedding rows
	// taken from the pass before (its input was bit for bit the same), passes
	// whose mel frames came from a run over a stretch several passes span.
	uint64_t embedding_runs;
	uint64_t embedding_reuses;
	uint64_t mel_runs;
	uint64_t mel_reuses;
	double training_ms;
	char reason[256]; // why no profile was made; empty when one was
};

// Learns a profile from the sessions (passes pooled), with the bank's rows
// as more negatives when it is given. Null, with report->reason, when the
// models cannot be loaded, the audio is too short or fewer than
// VOICE_ENROLLMENT_MIN_TAKES takes are found, or when *cancel (set by
// another thread) stops it, which it looks at between passes. The same input
// gives the same profile.
voice_profile *voice_enrollment_learn(const char *models_dir, const char *model_name,
				      const voice_session_audio *sessions, size_t session_count, const voice_bank *bank,
				      voice_enrollment_report *report, const volatile bool *cancel = nullptr);
