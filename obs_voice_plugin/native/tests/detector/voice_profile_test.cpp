// The voice profile: its text form and what it refuses, its training, the
// gate with and without it, and enrollment from spoken sessions.

#include "detector_test_support.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <random>

#include <speech.h>
#include <wake_audio.h>

#include "detector/voice_enrollment.h"
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
	std::vector<float> features(WAKE_PASS_FEATURES);
	for (int t = 0; t < 2; t++) {
		for (size_t i = 0; i < WAKE_PASS_FEATURES; i++)
			features[i] = (float)std::sin(0.37 * (double)i + t) + 0.01f * (float)(i % 96);
		EXPECT_TRUE(voice_templates_add(&profile->templates, features.data()));
	}
	return profile;
}

// The form profiles had before templates, as a build of that time wrote it.
std::string first_form_text(const voice_profile *profile)
{
	std::vector<uint8_t> payload;
	auto put = [&payload](uint32_t bits) {
		for (int i = 0; i < 4; i++)
			payload.push_back((uint8_t)(bits >> (8 * i)));
	};
	auto put_float = [&put](float value) {
		uint32_t bits;
		memcpy(&bits, &value, 4);
		put(bits);
	};
	for (float w : profile->weights)
		put_float(w);
	put_float(profile->bias);
	put_float(profile->floor);
	uint32_t hash = 2166136261u;
	for (uint8_t byte : payload)
		hash = (hash ^ byte) * 16777619u;
	put(hash);
	const char *digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	std::string text = std::string("tvp1.") + profile->identity + ".";
	for (size_t i = 0; i + 2 < payload.size(); i += 3) {
		const uint32_t triple = (uint32_t)payload[i] << 16 | (uint32_t)payload[i + 1] << 8 | payload[i + 2];
		for (int shift = 18; shift >= 0; shift -= 6)
			text += digits[(triple >> shift) & 63];
	}
	return text;
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
	EXPECT_EQ(8238u + 2 * 1280u, text.size());
	EXPECT_EQ(0u, text.rfind("tvp2.0123456789abcdef.", 0)) << text.substr(0, 30);
	EXPECT_EQ(std::string::npos, text.find_first_of(" \n\r\t\"\\"));

	const char *reason = "unset";
	profile_guard back(voice_profile_from_text(text.c_str(), IDENTITY, &reason));
	ASSERT_NE(nullptr, back.profile) << reason;
	EXPECT_EQ(nullptr, reason);
	EXPECT_STREQ(IDENTITY, back->identity);
	EXPECT_EQ(0, memcmp(profile->weights, back->weights, sizeof(profile->weights)));
	EXPECT_EQ(profile->bias, back->bias);
	EXPECT_EQ(profile->floor, back->floor);
	EXPECT_EQ(2u, back->templates.count);
	EXPECT_EQ(0, memcmp(&profile->templates, &back->templates, sizeof(profile->templates)));
	EXPECT_EQ(text, text_of(back.profile));

	// A profile kept by a build from before templates still reads, with its
	// own floor and no templates: its score is the linear one, as it was.
	profile_guard linear(numbered_profile());
	linear->templates = {};
	profile_guard old(voice_profile_from_text(first_form_text(linear.profile).c_str(), IDENTITY, &reason));
	ASSERT_NE(nullptr, old.profile) << reason;
	EXPECT_EQ(0, memcmp(linear.profile, old.profile, sizeof(voice_profile)));

	// From a file, as the tools read it: a line end (or a paste's CR LF and
	// blanks) after the text is dropped; what is not a readable profile file
	// is refused with the reason.
	const std::string path = ::testing::TempDir() + "voice_profile_test.profile";
	auto write = [&](const std::string &bytes) {
		FILE *file = fopen(path.c_str(), "wb");
		ASSERT_NE(nullptr, file);
		fwrite(bytes.data(), 1, bytes.size(), file);
		fclose(file);
	};
	write(text + " \r\n");
	profile_guard from_file(voice_profile_from_file(path.c_str(), IDENTITY, &reason));
	ASSERT_NE(nullptr, from_file.profile) << reason;
	EXPECT_EQ(text, text_of(from_file.profile));
	write(text.substr(0, 100) + "\n");
	EXPECT_EQ(nullptr, voice_profile_from_file(path.c_str(), IDENTITY, &reason));
	EXPECT_NE(nullptr, strstr(reason, "cut short")) << reason;
	write(std::string(300000, 'A'));
	EXPECT_EQ(nullptr, voice_profile_from_file(path.c_str(), IDENTITY, &reason));
	EXPECT_NE(nullptr, strstr(reason, "too large")) << reason;
	remove(path.c_str());
	EXPECT_EQ(nullptr, voice_profile_from_file(path.c_str(), IDENTITY, &reason));
	EXPECT_NE(nullptr, strstr(reason, "cannot be read")) << reason;
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
		{"tvp3" + good.substr(4), IDENTITY, "another version"},
		{"tvp2.0123456789ABCDEF" + good.substr(21), IDENTITY, "no model identity"},
		{"tvp2.0123" + good.substr(21), IDENTITY, "no model identity"},
		{"tvp1" + good.substr(4), IDENTITY, "cut short"},
		{good, "fedcba9876543210", "other models"},
		{good, "0123456789abcde", "other models"},
		{good.substr(0, good.size() - 4), IDENTITY, "cut short"},
		{good.substr(0, 40), IDENTITY, "cut short"},
		{good + "\n", IDENTITY, "cut short"},
		{good + "AAAA", IDENTITY, "cut short"},
		{good.substr(0, good.size() - 1) + "B", IDENTITY, "bytes after its end"},
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

TEST(voice_profile_score, with_templates_is_the_lower_of_the_linear_score_and_the_nearest_template_on_the_newest_rows)
{
	std::mt19937 random(7);
	std::normal_distribution<float> normal(0.0f, 1.0f);
	auto features = [&]() {
		std::vector<float> f(WAKE_PASS_FEATURES);
		for (float &v : f)
			v = normal(random);
		return f;
	};
	const std::vector<float> a = features(), b = features(), c = features();
	voice_profile *made = (voice_profile *)bzalloc(sizeof(voice_profile));
	memcpy(made->identity, IDENTITY, sizeof(IDENTITY));
	made->bias = 3.0f; // a linear score of 0.95 whatever the features
	made->floor = VOICE_PROFILE_FLOOR;
	ASSERT_TRUE(voice_templates_add(&made->templates, a.data()));
	ASSERT_TRUE(voice_templates_add(&made->templates, c.data()));
	profile_guard profile(made);
	const float linear = 1.0f / (1.0f + std::exp(-3.0f));

	// Either template's own pass, louder or not, and whatever came before its
	// newest ten rows: the linear score decides.
	EXPECT_NEAR(linear, voice_profile_score(profile.profile, a.data()), 1e-6f);
	EXPECT_NEAR(linear, voice_profile_score(profile.profile, c.data()), 1e-6f);
	std::vector<float> louder_older = a;
	for (size_t i = 0; i < WAKE_PASS_FEATURES; i++)
		louder_older[i] = i < 6 * 96 ? b[i] : 3.0f * a[i];
	EXPECT_NEAR(1.0f, voice_templates_similarity(&profile->templates, louder_older.data()), 1e-3f);
	EXPECT_NEAR(linear, voice_profile_score(profile.profile, louder_older.data()), 1e-6f);
	// Another pass, or a template's pass whose newest two rows differ: the
	// templates' score decides, and keeps it out.
	EXPECT_LT(voice_profile_score(profile.profile, b.data()), 0.01f);
	std::vector<float> other_ending = a;
	std::copy(b.begin() + 14 * 96, b.end(), other_ending.begin() + 14 * 96);
	const float similarity = voice_templates_similarity(&profile->templates, other_ending.data());
	EXPECT_GT(similarity, 0.7f);
	EXPECT_LT(similarity, 0.85f);
	EXPECT_LT(voice_profile_score(profile.profile, other_ending.data()), 0.1f);
	std::vector<float> nan_newest = a;
	nan_newest[15 * 96 + 3] = NAN;
	EXPECT_TRUE(std::isnan(voice_profile_score(profile.profile, nan_newest.data())));
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

namespace {

// The shipped chain: the base models and the phrase classifier.
std::string shipped_models()
{
	return std::string(TV_SOURCE_DIR) + "/obs_voice_plugin/native/data/models";
}

struct shipped_model_set {
	temp_dir dir;
	shipped_model_set()
	{
		dir.link("melspectrogram.onnx", real_model("melspectrogram.onnx"));
		dir.link("embedding_model.onnx", real_model("embedding_model.onnx"));
		dir.link("tollivaren_clip_it.onnx", shipped_models() + "/tollivaren_clip_it.onnx");
	}
	const char *path() const { return dir.path().c_str(); }
};

// espeak-ng speech at 16 kHz mono, with silence around it.
std::vector<int16_t> spoken(const std::string &voice, const std::string &text, double before_s = 0.0,
			    double after_s = 0.0)
{
	wav_audio speech;
	EXPECT_TRUE(speech_make(text, voice, &speech)) << "espeak-ng " << voice;
	std::vector<int16_t> samples;
	std::string error;
	EXPECT_TRUE(wake_audio_to_16k_mono(speech_padded(speech, before_s, after_s), &samples, &error)) << error;
	return samples;
}

struct gate_run {
	std::vector<double> fires;
	float best_profile_over_floor = 0.0f; // highest profile score of a pass at the floor
	float best_profile = 0.0f;            // highest profile score of any pass
};

// The audio through the detector, the profile and the gate as the filter
// runs them: host-sized packets, threshold 0.6, the 15 s cooldown.
gate_run through_gate(const char *models, const voice_profile *profile, const std::vector<int16_t> &samples)
{
	gate_run run;
	detector_guard detector(wake_detector_create(models, "tollivaren_clip_it"));
	EXPECT_NE(nullptr, detector.detector);
	if (!detector.detector)
		return run;
	uint64_t cooldown_until_ns = 0;
	const size_t packet = 341;
	for (size_t at = 0; at < samples.size(); at += packet) {
		const size_t count = std::min(packet, samples.size() - at);
		const float base = wake_detector_process(detector.detector, samples.data() + at, count);
		if (detector->samples_since_score != 0)
			continue;
		const float *features = wake_detector_features(detector.detector);
		voice_gate_input gate = base_gate(base);
		gate.now_ns = (uint64_t)(at + count) * 1'000'000'000ull / 16000;
		gate.cooldown_until_ns = cooldown_until_ns;
		gate.has_profile = true;
		gate.floor = profile->floor;
		gate.profile_score = features ? voice_profile_score(profile, features) : NAN;
		run.best_profile = std::max(run.best_profile, gate.profile_score);
		if (base >= profile->floor)
			run.best_profile_over_floor = std::max(run.best_profile_over_floor, gate.profile_score);
		const voice_gate_decision decision = voice_gate_decide(&gate);
		cooldown_until_ns = decision.cooldown_until_ns;
		if (decision.fire) {
			EXPECT_EQ(gate.profile_score, decision.confidence);
			run.fires.push_back((double)(at + count) / 16000.0);
		}
	}
	return run;
}

const char SESSION_TEXT[] =
	"Alright chat, welcome back to the stream, today we are trying the new ranked map. Tollivaren clip it. "
	"Okay so the plan is to rotate left and hold the bridge until the timer runs out. Tollivaren clip it. "
	"That was honestly the cleanest round I have played all week, thanks for the follows. Tollivaren clip it. "
	"Let me check the settings, the sensitivity feels a little off today. Tollivaren clip it. "
	"Anyway, we go again, grab some water and stay hydrated everyone.";

const char OTHER_TALK[] =
	"So yesterday I tried to build the whole base in one go and of course the creepers came and blew up half "
	"of it. We will fix that later, I promise, but first let us finish the quest line and get the armour "
	"upgrade. Somebody in chat asked about my keyboard, it is the same one as last year.";

voice_session_audio session_of(const std::vector<int16_t> &samples)
{
	return {samples.data(), samples.size()};
}

} // namespace

TEST(voice_enrollment, session_without_enough_takes_is_refused_saying_how_many_it_heard)
{
	shipped_model_set models;
	const std::vector<int16_t> talk = spoken("-v en-us -s 165", OTHER_TALK, 0.5, 0.5);
	ASSERT_GT(talk.size(), (size_t)(VOICE_ENROLLMENT_MIN_SECONDS * 16000));
	voice_enrollment_report report;
	voice_session_audio session = session_of(talk);
	EXPECT_EQ(nullptr, voice_enrollment_learn(models.path(), "tollivaren_clip_it", &session, 1, nullptr, &report));
	EXPECT_EQ(0u, report.takes);
	EXPECT_NE(nullptr, strstr(report.reason, "heard the phrase 0 times;")) << report.reason;

	std::vector<int16_t> one_take = spoken("-v en-us -s 165",
					       "Okay that went well, better than the last three rounds for sure. Tollivaren "
					       "clip it. Now let us see what the next round brings, I think the other team is "
					       "going to push early this time, so we hold back and wait for them.",
					       0.5, 0.5);
	ASSERT_GT(one_take.size(), (size_t)(VOICE_ENROLLMENT_MIN_SECONDS * 16000));
	session = session_of(one_take);
	EXPECT_EQ(nullptr, voice_enrollment_learn(models.path(), "tollivaren_clip_it", &session, 1, nullptr, &report));
	EXPECT_EQ(1u, report.takes);
	EXPECT_NE(nullptr, strstr(report.reason, "heard the phrase 1 time;")) << report.reason;

	// Three takes in under ten seconds are too little audio to learn talk from.
	std::vector<int16_t> short_session =
		spoken("-v en-us -s 165", "Tollivaren clip it. Tollivaren clip it. Tollivaren clip it.", 0.2, 0.2);
	ASSERT_LT(short_session.size(), (size_t)(VOICE_ENROLLMENT_MIN_SECONDS * 16000));
	session = session_of(short_session);
	EXPECT_EQ(nullptr, voice_enrollment_learn(models.path(), "tollivaren_clip_it", &session, 1, nullptr, &report));
	EXPECT_NE(nullptr, strstr(report.reason, "too short")) << report.reason;
}

TEST(voice_enrollment, learns_a_voice_that_then_clips_its_other_takes_and_not_its_talk)
{
	shipped_model_set models;
	const std::vector<int16_t> session_audio = spoken("-v en-us -s 165", SESSION_TEXT, 0.5, 0.5);
	voice_session_audio session = session_of(session_audio);
	voice_enrollment_report report;
	profile_guard profile(
		voice_enrollment_learn(models.path(), "tollivaren_clip_it", &session, 1, nullptr, &report));
	ASSERT_NE(nullptr, profile.profile) << report.reason;
	printf("    takes %zu, rows: %zu phrase, %zu talk, %zu splices; passes %.0f ms, training %.0f ms\n",
	       report.takes, report.positive_rows, report.talk_rows, report.splice_rows, report.features_ms,
	       report.training_ms);
	EXPECT_EQ(4u, report.takes);
	EXPECT_EQ(0u, report.bank_rows);
	EXPECT_GT(report.splice_rows, 0u);
	// Each take's peak pass and twelve copies of it.
	EXPECT_EQ(4u * 13u, report.templates);
	EXPECT_EQ(4u * 13u, profile->templates.count);
	EXPECT_GT(report.talk_rows, 100u);
	// Found in the order spoken, each after the one before by a sentence or more.
	for (size_t i = 1; i < std::min<size_t>(report.takes, 4); i++)
		EXPECT_GT(report.take_seconds[i], report.take_seconds[i - 1] + 3.0) << i;
	char identity[VOICE_IDENTITY_CHARS + 1];
	ASSERT_TRUE(voice_profile_identity(models.path(), "tollivaren_clip_it", identity));
	EXPECT_STREQ(identity, profile->identity);

	// Passes share embedding rows and mel frames, and still score as the
	// filter's: each take's score is the filter's own for the two seconds
	// before it, bit for bit.
	printf("    model runs: embedding %llu (%llu rows reused), mel %llu (%llu passes' frames shared)\n",
	       (unsigned long long)report.embedding_runs, (unsigned long long)report.embedding_reuses,
	       (unsigned long long)report.mel_runs, (unsigned long long)report.mel_reuses);
	EXPECT_GT(report.embedding_reuses, 2 * report.embedding_runs);
	EXPECT_GT(report.mel_reuses, 2 * report.mel_runs);
	{
		detector_guard filter(wake_detector_create(models.path(), "tollivaren_clip_it"));
		ASSERT_NE(nullptr, filter.detector);
		for (size_t i = 0; i < std::min<size_t>(report.takes, 4); i++) {
			const size_t end = (size_t)std::lround(report.take_seconds[i] * 16000.0);
			ASSERT_GE(end, (size_t)WAKE_WINDOW_SAMPLES);
			filter->window_fill = 0;
			filter->samples_since_score = 0;
			EXPECT_EQ(wake_detector_process(filter.detector, session_audio.data() + end - WAKE_WINDOW_SAMPLES,
							WAKE_WINDOW_SAMPLES),
				  report.take_scores[i])
				<< "take " << i;
		}
	}

	// The same voice slower and lower, faster and higher: each take clips once.
	for (const char *voice : {"-v en-us -s 140 -p 40", "-v en-us -s 190 -p 60"}) {
		gate_run run = through_gate(models.path(), profile.profile, spoken(voice, "Tollivaren clip it.", 2.0, 1.0));
		EXPECT_EQ(1u, run.fires.size()) << voice << ": best profile score at the floor "
						 << run.best_profile_over_floor;
	}
	// A pause after the name, as the session never had it: still clipped once.
	{
		std::vector<int16_t> paused = spoken("-v en-us -s 165", "Tollivaren", 2.0, 0.0);
		paused.resize(paused.size() + 16000 / 4, 0);
		const std::vector<int16_t> rest = spoken("-v en-us -s 165", "clip it.", 0.0, 1.0);
		paused.insert(paused.end(), rest.begin(), rest.end());
		gate_run run = through_gate(models.path(), profile.profile, paused);
		EXPECT_EQ(1u, run.fires.size()) << "paused: best profile score at the floor " << run.best_profile_over_floor;
	}
	// Its other talk: never clipped, and the profile alone keeps well under
	// the threshold too (the base score seldom reaches the floor on talk).
	gate_run talk = through_gate(models.path(), profile.profile, spoken("-v en-us -s 165", OTHER_TALK, 2.0, 1.0));
	EXPECT_TRUE(talk.fires.empty());
	EXPECT_LT(talk.best_profile, 0.5f);

	// The profile survives its text form and the same session learns the same profile.
	const char *reason = nullptr;
	profile_guard back(voice_profile_from_text(text_of(profile.profile).c_str(), identity, &reason));
	ASSERT_NE(nullptr, back.profile) << reason;
	profile_guard again(
		voice_enrollment_learn(models.path(), "tollivaren_clip_it", &session, 1, nullptr, &report));
	ASSERT_NE(nullptr, again.profile) << report.reason;
	EXPECT_EQ(text_of(profile.profile), text_of(again.profile));
}

TEST(voice_bank, builder_output_loads_and_damage_is_refused)
{
	temp_dir dir;
	// A fake pipeline output: 4 clips of 10 passes; a pass's value encodes clip, pass and column.
	const std::string make = std::string(TV_ONNX_PYTHON) + " -c \"\n"
				 "import json, numpy as np\n"
				 "c, p, j = np.meshgrid(np.arange(4), np.arange(10), np.arange(1536), indexing='ij')\n"
				 "rows = ((c * 10 + p + 1) * 0.01 * ((j % 7) - 3)).astype(np.float32).reshape(40, 16, 96)\n"
				 "np.save('" + dir.file("set.rows.npy") + "', rows)\n"
				 "np.save('" + dir.file("set.index.npy") + "', np.stack([c[:, :, 0].ravel(), p[:, :, 0].ravel()], 1).astype(np.int64))\n"
				 "json.dump([{'kind': 'speech', 'label': 0}, {'kind': 'near_miss', 'label': 0},\n"
				 "           {'kind': 'positive', 'label': 1}, {'kind': 'partial', 'label': 0}],\n"
				 "          open('" + dir.file("set.json") + "', 'w'))\n\"";
	ASSERT_EQ(0, std::system(make.c_str()));
	const std::string bank_path = dir.file("bank.tvnb");
	const std::string build = std::string(TV_ONNX_PYTHON) + " " TV_SOURCE_DIR "/obs_voice_plugin/training/voice_bank.py" +
				  " --models " TV_OWW_MODELS_DIR " --set " + dir.file("set") + " " + dir.file("set.json") +
				  " --out " + bank_path + " --rows 100";
	ASSERT_EQ(0, std::system(build.c_str()));

	char identity[VOICE_IDENTITY_CHARS + 1];
	ASSERT_TRUE(voice_features_identity(TV_OWW_MODELS_DIR, identity));
	const char *reason = "unset";
	voice_bank *bank = voice_bank_load(bank_path.c_str(), identity, &reason);
	ASSERT_NE(nullptr, bank) << reason;
	// Every 4th pass of the three negative clips: passes 0, 4, 8 of clips 0, 1, 3.
	ASSERT_EQ(9u, bank->rows);
	int near = 0;
	std::vector<float> row(WAKE_PASS_FEATURES);
	for (size_t i = 0; i < bank->rows; i++) {
		near += bank->kinds[i] == VOICE_BANK_NEAR_MISS;
		voice_bank_row(bank, i, row.data());
		// Column 0 is -0.03 * (clip * 10 + pass + 1): which pass each row is.
		const int which = (int)std::lround(row[0] / -0.03f) - 1;
		const int clip = which / 10, pass = which % 10;
		EXPECT_TRUE(clip != 2 && pass % 4 == 0) << "row " << i << " is clip " << clip << " pass " << pass;
		for (size_t j = 0; j < WAKE_PASS_FEATURES; j++)
			ASSERT_NEAR((which + 1) * 0.01 * ((int)(j % 7) - 3), row[j], 0.4 * 0.01 * 3 * 40 / 127.0)
				<< "row " << i << " column " << j;
	}
	EXPECT_EQ(6, near);
	voice_bank_destroy(bank);

	std::ifstream in(bank_path, std::ios::binary);
	const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	auto refused = [&](const std::string &bytes, const char *expected_identity) {
		const std::string path = dir.file("damaged.tvnb");
		std::ofstream(path, std::ios::binary) << bytes;
		const char *why = nullptr;
		voice_bank *damaged = voice_bank_load(path.c_str(), expected_identity, &why);
		voice_bank_destroy(damaged);
		return damaged ? std::string("loaded") : std::string(why);
	};
	std::string flipped = good;
	flipped[good.size() / 2] ^= 0x10;
	std::string version = good;
	version[4] = 2;
	std::string rows = good;
	rows[8] = 10;
	EXPECT_NE(std::string::npos, refused(good.substr(0, good.size() - 1), identity).find("cut short"));
	EXPECT_NE(std::string::npos, refused(good + "x", identity).find("cut short"));
	EXPECT_NE(std::string::npos, refused(rows, identity).find("cut short"));
	EXPECT_NE(std::string::npos, refused(flipped, identity).find("checksum"));
	EXPECT_NE(std::string::npos, refused(version, identity).find("another version"));
	EXPECT_NE(std::string::npos, refused("TVNB", identity).find("not a negative bank"));
	EXPECT_NE(std::string::npos, refused(good, "0000000000000000").find("other models"));
	EXPECT_EQ(nullptr, voice_bank_load(dir.file("missing.tvnb").c_str(), identity, &reason));
	EXPECT_NE(nullptr, strstr(reason, "cannot be opened"));

	// The bank the plug-in ships must fit the front-end models it ships with:
	// a bank left from other models is refused in OBS, and enrollment then
	// learns without it.
	voice_bank *shipped =
		voice_bank_load(TV_SOURCE_DIR "/obs_voice_plugin/native/data/models/" VOICE_BANK_FILE, identity, &reason);
	ASSERT_NE(nullptr, shipped) << reason;
	size_t shipped_near = 0;
	for (size_t i = 0; i < shipped->rows; i++)
		shipped_near += shipped->kinds[i] == VOICE_BANK_NEAR_MISS;
	EXPECT_GE(shipped->rows, 1000u);
	EXPECT_GT(shipped_near, shipped->rows / 5);
	EXPECT_GT(shipped->rows - shipped_near, shipped->rows / 5);
	voice_bank_destroy(shipped);
}
