// The voice profile text a filter keeps in its settings, read back as the
// filter reads it: any text is either refused with a reason or gives a
// profile whose numbers are finite and whose own text reads back the same.
// A profile made from the input's bytes survives its text form bit for bit,
// and the same text with one character changed is refused or reads back as
// another valid profile, never anything else.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "detector/voice_profile.h"
#include "fuzz_support.h"

namespace {

const char IDENTITY[] = "0123456789abcdef";

void check_read(const std::string &text)
{
	const char *reason = nullptr;
	voice_profile *profile = voice_profile_from_text(text.c_str(), IDENTITY, &reason);
	if (!profile) {
		FUZZ_CHECK(reason && *reason, "refused without a reason");
		return;
	}
	FUZZ_CHECK(strcmp(profile->identity, IDENTITY) == 0, "accepted another identity");
	FUZZ_CHECK(std::isfinite(profile->bias) && std::isfinite(profile->floor), "non-finite number accepted");
	for (float w : profile->weights)
		FUZZ_CHECK(std::isfinite(w), "non-finite weight accepted");
	char *again = voice_profile_to_text(profile);
	voice_profile *reread = voice_profile_from_text(again, IDENTITY, &reason);
	FUZZ_CHECK(reread && memcmp(reread, profile, sizeof(voice_profile)) == 0, "its own text reads back otherwise");
	voice_profile_destroy(reread);
	bfree(again);
	voice_profile_destroy(profile);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_alloc_balance balance;
	std::string text((const char *)data, size);
	check_read(text.c_str());

	// A profile from the input's bytes, its text, and that text with one
	// character replaced by the input's first byte.
	voice_profile made = {};
	memcpy(made.identity, IDENTITY, sizeof(IDENTITY));
	for (size_t i = 0; i < WAKE_PASS_FEATURES; i++)
		made.weights[i] = size ? (float)(int8_t)data[i % size] / 16.0f : 0.0f;
	made.bias = size > 1 ? (float)(int8_t)data[1] : 0.5f;
	made.floor = size > 2 ? (float)data[2] / 255.0f : 0.3f;
	char *made_text = voice_profile_to_text(&made);
	voice_profile *back = voice_profile_from_text(made_text, IDENTITY, nullptr);
	FUZZ_CHECK(back && memcmp(back, &made, sizeof(voice_profile)) == 0, "a made profile did not survive its text");
	voice_profile_destroy(back);
	if (size > 3) {
		std::string changed = made_text;
		const size_t at = ((size_t)data[3] << 8 | (size > 4 ? data[4] : 0)) % changed.size();
		changed[at] = (char)(data[0] ? data[0] : 'A');
		check_read(changed);
	}
	bfree(made_text);
	return 0;
}
