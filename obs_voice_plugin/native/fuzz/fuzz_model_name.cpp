// model_name_from_phrase on arbitrary phrases (up to the first zero byte).
// The name holds only [a-z0-9_], never starts or ends with '_' nor has two in
// a row, is never empty, and is exactly the phrase's letter-and-digit runs,
// lower-cased and joined by '_' (the built-in name when there are none).

#include <cstdint>
#include <cstring>
#include <string>

#include "detector/detector_pass.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_alloc_balance balance;
	std::string phrase((const char *)data, size);
	phrase = phrase.c_str();
	char *copy = (char *)malloc(phrase.size() + 1);
	memcpy(copy, phrase.c_str(), phrase.size() + 1);

	char *name = model_name_from_phrase(copy);
	FUZZ_CHECK(name && *name, "empty name");
	size_t length = strlen(name);
	for (size_t i = 0; i < length; i++) {
		char c = name[i];
		FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_', "byte 0x%02x in the name",
			   (unsigned char)c);
	}
	FUZZ_CHECK(name[0] != '_' && name[length - 1] != '_', "name '%s' starts or ends with '_'", name);
	FUZZ_CHECK(!strstr(name, "__"), "name '%s' has '__'", name);

	std::string expected;
	bool in_run = false;
	for (unsigned char c : phrase) {
		bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
		if (alnum) {
			if (!in_run && !expected.empty())
				expected += '_';
			expected += (char)((c >= 'A' && c <= 'Z') ? c + 32 : c);
		}
		in_run = alnum;
	}
	if (expected.empty())
		expected = WAKE_DEFAULT_MODEL_NAME;
	FUZZ_CHECK(expected == name, "name '%s', expected '%s'", name, expected.c_str());
	bfree(name);

	// A null phrase is the empty one.
	name = model_name_from_phrase(nullptr);
	FUZZ_CHECK(strcmp(name, WAKE_DEFAULT_MODEL_NAME) == 0, "null phrase gave '%s'", name);
	bfree(name);
	free(copy);
	return 0;
}
