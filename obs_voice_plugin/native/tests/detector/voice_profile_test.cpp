// The voice profile: its text form and what it refuses, its training, the
// gate with and without it, and enrollment from spoken sessions.

#include "detector_test_support.h"

#include <cmath>
#include <random>

#include "detector/voice_profile.h"

namespace {

const char IDENTITY[] = "0123456789abcdef";

struct profile_guard {
	voice_profile *profile;
	explicit profile_guard(voice_profile *p) : profile(p) {}
	~profile_guard() { voice_profile_destroy(profile); }
	profile_guard(const profile_guard &) = delete;
	profile_guard &operator=(const profile_guard &) = delete;
	voice_profile *operator->() const { return profile; }
};

std::string text_of(const voice_profile *profile)
{
	char *text = voice_profile_to_text(profile);
	std::string copy = text;
	bfree(text);
	return copy;
}

// A profile whose every number differs, so that a swapped or shifted field shows.
voice_profile *numbered_profile()
{
	voice_profile *profile = (voice_profile *)bzalloc(sizeof(voice_profile));
	memcpy(profile->identity, IDENTITY, sizeof(IDENTITY));
	for (size_t i = 0; i < WAKE_PASS_FEATURES; i++)
		profile->weights[i] = (float)std::ldexp((double)i - 700.0, -(int)(i % 23));
	profile->bias = -3.25f;
	profile->floor = 0.3f;
	return profile;
}

// Rows where the first 400 columns lean one way for the phrase and the other
// way otherwise, over noise; columns sit at large offsets with spreads from
// 0.01 to 3, so a profile that forgot its standardisation fails.
struct synthetic_rows {
	std::vector<float> rows;
	std::vector<uint8_t> labels;

	synthetic_rows(size_t positives, size_t negatives, unsigned seed)
	{
		std::mt19937 random(seed);
		std::normal_distribution<float> noise(0.0f, 1.0f);
		for (size_t i = 0; i < positives + negatives; i++) {
			const bool positive = i < positives;
			for (size_t j = 0; j < WAKE_PASS_FEATURES; j++) {
				const float lean = j < 400 ? (positive ? 0.5f : -0.5f) : 0.0f;
				const float offset = j % 3 == 0 ? 40.0f : 0.0f;
				const float spread = j % 3 == 1 ? 0.01f : 3.0f;
				rows.push_back(offset + spread * (noise(random) + lean));
			}
			labels.push_back(positive);
		}
	}
	const float *row(size_t i) const { return rows.data() + i * WAKE_PASS_FEATURES; }
};

voice_gate_input base_gate(float score)
{
	voice_gate_input input = {};
	input.enabled = true;
	input.base_score = score;
	input.threshold = 0.6f;
	input.now_ns = 100'000'000'000ull;
	input.cooldown_ns = 15'000'000'000ull;
	return input;
}

} // namespace

TEST(voice_profile_text, round_trip_keeps_every_bit_in_one_line_of_known_length)
{
	profile_guard profile(numbered_profile());
	const std::string text = text_of(profile.profile);
	EXPECT_EQ(8230u, text.size());
	EXPECT_EQ(0u, text.rfind("tvp1.0123456789abcdef.", 0)) << text.substr(0, 30);
	EXPECT_EQ(std::string::npos, text.find_first_of(" \n\r\t\"\\"));

	const char *reason = "unset";
	profile_guard back(voice_profile_from_text(text.c_str(), IDENTITY, &reason));
	ASSERT_NE(nullptr, back.profile) << reason;
	EXPECT_EQ(nullptr, reason);
	EXPECT_STREQ(IDENTITY, back->identity);
	EXPECT_EQ(0, memcmp(profile->weights, back->weights, sizeof(profile->weights)));
	EXPECT_EQ(profile->bias, back->bias);
	EXPECT_EQ(profile->floor, back->floor);
	EXPECT_EQ(text, text_of(back.profile));
}

TEST(voice_profile_text, refuses_what_it_cannot_trust_with_a_reason)
{
	profile_guard profile(numbered_profile());
	const std::string good = text_of(profile.profile);
	std::string flipped = good;
	flipped[100] = flipped[100] == 'A' ? 'B' : 'A';
	std::string bad_char = good;
	bad_char[200] = '*';

	profile->floor = 1.5f;
	const std::string bad_floor = text_of(profile.profile);
	profile->floor = 0.3f;
	profile->weights[17] = NAN;
	const std::string nan_weight = text_of(profile.profile);
	profile->weights[17] = 0.0f;
	profile->bias = INFINITY;
	const std::string infinite_bias = text_of(profile.profile);

	const struct {
		std::string text;
		const char *identity;
		const char *reason_has;
	} cases[] = {
		{"", IDENTITY, "empty"},
		{"hello world", IDENTITY, "not a voice profile"},
		{"tvp2" + good.substr(4), IDENTITY, "another version"},
		{"tvp1.0123456789ABCDEF" + good.substr(21), IDENTITY, "no model identity"},
		{"tvp1.0123" + good.substr(21), IDENTITY, "no model identity"},
		{good, "fedcba9876543210", "other models"},
		{good, "0123456789abcde", "other models"},
		{good.substr(0, good.size() - 4), IDENTITY, "cut short"},
		{good.substr(0, 40), IDENTITY, "cut short"},
		{good + "\n", IDENTITY, "cut short"},
		{good + "AAAA", IDENTITY, "cut short"},
		{bad_char, IDENTITY, "base64"},
		{flipped, IDENTITY, "checksum"},
		{bad_floor, IDENTITY, "floor"},
		{nan_weight, IDENTITY, "not a finite number"},
		{infinite_bias, IDENTITY, "not a finite number"},
	};
	for (const auto &c : cases) {
		const char *reason = nullptr;
		voice_profile *parsed = voice_profile_from_text(c.text.c_str(), c.identity, &reason);
		EXPECT_EQ(nullptr, parsed) << c.text.substr(0, 40);
		voice_profile_destroy(parsed);
		ASSERT_NE(nullptr, reason) << c.text.substr(0, 40);
		EXPECT_NE(nullptr, strstr(reason, c.reason_has)) << reason;
	}
	const char *reason = nullptr;
	EXPECT_EQ(nullptr, voice_profile_from_text(nullptr, IDENTITY, &reason));
	EXPECT_NE(nullptr, strstr(reason, "empty"));
}

TEST(voice_profile_identity, changes_with_any_model_byte_and_ignores_the_classifier_for_features)
{
	temp_dir dir;
	auto write = [&](const std::string &name, const std::string &bytes) {
		FILE *file = fopen(dir.file(name).c_str(), "wb");
		ASSERT_NE(nullptr, file);
		fwrite(bytes.data(), 1, bytes.size(), file);
		fclose(file);
	};
	write("melspectrogram.onnx", "mel");
	write("embedding_model.onnx", "embedding");
	write("phrase.onnx", "classifier");
	char first[VOICE_IDENTITY_CHARS + 1], features[VOICE_IDENTITY_CHARS + 1], other[VOICE_IDENTITY_CHARS + 1];
	ASSERT_TRUE(voice_profile_identity(dir.path().c_str(), "phrase", first));
	ASSERT_TRUE(voice_features_identity(dir.path().c_str(), features));
	EXPECT_EQ(VOICE_IDENTITY_CHARS, strlen(first));

	// Bytes moved from one file to the next change it (lengths are hashed).
	write("melspectrogram.onnx", "me");
	write("embedding_model.onnx", "lembedding");
	ASSERT_TRUE(voice_profile_identity(dir.path().c_str(), "phrase", other));
	EXPECT_STRNE(first, other);
	write("melspectrogram.onnx", "mel");
	write("embedding_model.onnx", "embedding");
	write("phrase.onnx", "classifieR");
	ASSERT_TRUE(voice_profile_identity(dir.path().c_str(), "phrase", other));
	EXPECT_STRNE(first, other);
	ASSERT_TRUE(voice_features_identity(dir.path().c_str(), other));
	EXPECT_STREQ(features, other);
	EXPECT_FALSE(voice_profile_identity(dir.path().c_str(), "missing", other));
}

TEST(voice_profile_train, learns_the_telling_column_through_its_standardisation_despite_few_positives)
{
	synthetic_rows train(12, 1500, 1), held_out(200, 200, 2);
	const char *reason = "unset";
	profile_guard profile(
		voice_profile_train(train.rows.data(), train.labels.data(), nullptr, train.labels.size(), IDENTITY, &reason));
	ASSERT_NE(nullptr, profile.profile) << reason;
	EXPECT_STREQ(IDENTITY, profile->identity);
	EXPECT_EQ(VOICE_PROFILE_FLOOR, profile->floor);
	int positives_heard = 0, negatives_passed = 0;
	for (size_t i = 0; i < held_out.labels.size(); i++) {
		const float score = voice_profile_score(profile.profile, held_out.row(i));
		ASSERT_TRUE(score >= 0.0f && score <= 1.0f) << score;
		if (held_out.labels[i])
			positives_heard += score >= 0.6f;
		else
			negatives_passed += score >= 0.6f;
	}
	EXPECT_GE(positives_heard, 190);
	EXPECT_LE(negatives_passed, 10);

	// The same rows give the same profile, bit for bit.
	profile_guard again(
		voice_profile_train(train.rows.data(), train.labels.data(), nullptr, train.labels.size(), IDENTITY, &reason));
	ASSERT_NE(nullptr, again.profile);
	EXPECT_EQ(text_of(profile.profile), text_of(again.profile));

	std::vector<float> nan_features(held_out.row(0), held_out.row(0) + WAKE_PASS_FEATURES);
	nan_features[3] = NAN;
	EXPECT_TRUE(std::isnan(voice_profile_score(profile.profile, nan_features.data())));
}

TEST(voice_profile_train, refuses_rows_it_cannot_learn_from)
{
	synthetic_rows rows(5, 5, 3);
	const char *reason = nullptr;
	std::vector<uint8_t> all_zero(10, 0), all_one(10, 1);
	EXPECT_EQ(nullptr, voice_profile_train(rows.rows.data(), all_zero.data(), nullptr, 10, IDENTITY, &reason));
	EXPECT_STREQ("no rows of the phrase", reason);
	EXPECT_EQ(nullptr, voice_profile_train(rows.rows.data(), all_one.data(), nullptr, 10, IDENTITY, &reason));
	EXPECT_STREQ("no rows that are not the phrase", reason);
	std::vector<float> weights(10, 1.0f);
	// Every row of the phrase weighs nothing.
	weights[0] = weights[1] = weights[2] = weights[3] = weights[4] = 0.0f;
	EXPECT_EQ(nullptr, voice_profile_train(rows.rows.data(), rows.labels.data(), weights.data(), 10, IDENTITY, &reason));
	EXPECT_STREQ("no rows of the phrase", reason);
	rows.rows[6 * WAKE_PASS_FEATURES + 9] = NAN;
	EXPECT_EQ(nullptr, voice_profile_train(rows.rows.data(), rows.labels.data(), nullptr, 10, IDENTITY, &reason));
	EXPECT_NE(nullptr, strstr(reason, "not finite"));
}

TEST(voice_gate, without_a_profile_is_the_base_score_against_the_threshold_with_cooldown)
{
	struct {
		float score;
		bool fires;
	} edges[] = {{0.6f, true}, {std::nextafter(0.6f, 0.0f), false}, {1.0f, true}, {NAN, false}, {-1.0f, false}};
	for (const auto &edge : edges) {
		voice_gate_input input = base_gate(edge.score);
		voice_gate_decision decision = voice_gate_decide(&input);
		EXPECT_EQ(edge.fires, decision.fire) << edge.score;
		if (edge.fires) {
			EXPECT_EQ(edge.score, decision.confidence);
			EXPECT_EQ(input.now_ns + input.cooldown_ns, decision.cooldown_until_ns);
		} else {
			EXPECT_EQ(0u, decision.cooldown_until_ns);
		}
	}
	// A profile score means nothing without has_profile.
	voice_gate_input ignored = base_gate(0.5f);
	ignored.profile_score = 1.0f;
	EXPECT_FALSE(voice_gate_decide(&ignored).fire);

	voice_gate_input off = base_gate(0.9f);
	off.enabled = false;
	EXPECT_FALSE(voice_gate_decide(&off).fire);

	// Cooldown: quiet until its last nanosecond, open at its end; state kept when quiet.
	voice_gate_input cooling = base_gate(0.9f);
	cooling.cooldown_until_ns = cooling.now_ns + 1;
	voice_gate_decision quiet = voice_gate_decide(&cooling);
	EXPECT_FALSE(quiet.fire);
	EXPECT_EQ(cooling.cooldown_until_ns, quiet.cooldown_until_ns);
	cooling.cooldown_until_ns = cooling.now_ns;
	EXPECT_TRUE(voice_gate_decide(&cooling).fire);
	// 0 means no cooldown, even at time 0.
	voice_gate_input at_zero = base_gate(0.9f);
	at_zero.now_ns = 0;
	EXPECT_TRUE(voice_gate_decide(&at_zero).fire);
}

TEST(voice_gate, with_a_profile_needs_the_floor_and_the_profile_and_posts_the_profile_score)
{
	struct {
		float base, profile;
		bool fires;
	} cases[] = {
		{0.3f, 0.6f, true},     {0.31f, 0.95f, true}, {0.29f, 0.99f, false}, {0.99f, 0.59f, false},
		{0.99f, NAN, false},    {NAN, 0.99f, false},  {-1.0f, 0.99f, false}, {0.5f, 0.7f, true},
	};
	for (const auto &c : cases) {
		voice_gate_input input = base_gate(c.base);
		input.has_profile = true;
		input.profile_score = c.profile;
		input.floor = 0.3f;
		voice_gate_decision decision = voice_gate_decide(&input);
		EXPECT_EQ(c.fires, decision.fire) << c.base << " " << c.profile;
		if (c.fires) {
			EXPECT_EQ(c.profile, decision.confidence);
			EXPECT_EQ(input.now_ns + input.cooldown_ns, decision.cooldown_until_ns);
		}
		// The cooldown holds a profile's fire back too.
		input.cooldown_until_ns = input.now_ns + 5;
		EXPECT_FALSE(voice_gate_decide(&input).fire);
	}
}
