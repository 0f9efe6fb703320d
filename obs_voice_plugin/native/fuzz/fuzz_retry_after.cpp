// retry_after_header on arbitrary header-line bytes (not NUL-terminated, as
// libcurl hands them over), checked against a reference parser.

#include <cstdint>
#include <cstring>
#include <vector>

#include "backend/voice_requests.h"
#include "fuzz_support.h"

namespace {

// Case-insensitive "retry-after:" at the very start, blanks, then decimal
// digits read into a value that wraps at 32 bits.
bool reference_retry_after(const uint8_t *line, size_t length, int32_t *value)
{
	const char name[] = "retry-after:";
	const size_t name_length = strlen(name);
	if (length < name_length)
		return false;
	for (size_t i = 0; i < name_length; i++) {
		uint8_t c = line[i];
		uint8_t folded = (c >= 'A' && c <= 'Z') ? (uint8_t)(c | 0x20) : c;
		if (folded != (uint8_t)name[i])
			return false;
	}
	size_t pos = name_length;
	while (pos < length && (line[pos] == ' ' || line[pos] == '\t'))
		pos++;
	uint64_t wide = 0;
	size_t digits = 0;
	while (pos < length && line[pos] >= '0' && line[pos] <= '9') {
		wide = (wide * 10 + (line[pos] - '0')) & 0xFFFFFFFFu;
		digits++;
		pos++;
	}
	if (!digits)
		return false;
	uint32_t low = (uint32_t)wide;
	int32_t signed_value;
	memcpy(&signed_value, &low, sizeof(signed_value));
	*value = signed_value;
	return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// An exact-size copy without a terminator: a read past the line is caught.
	std::vector<char> line(data, data + size);
	char *bytes = line.empty() ? nullptr : line.data();
	char empty = 0;

	const int32_t untouched = -7;
	int32_t slot = untouched;
	size_t consumed = retry_after_header(bytes ? bytes : &empty, 1, size, &slot);
	FUZZ_CHECK(consumed == size, "returned %zu for a line of %zu bytes", consumed, size);

	int32_t expected = untouched;
	reference_retry_after(data, size, &expected);
	FUZZ_CHECK(slot == expected, "slot %d, expected %d", slot, expected);

	// libcurl passes size 1 and the length as the count, but the product is
	// what counts.
	if (size % 2 == 0 && size) {
		int32_t halves = untouched;
		FUZZ_CHECK(retry_after_header(bytes, 2, size / 2, &halves) == size, "size x count");
		FUZZ_CHECK(halves == expected, "slot %d for 2 x %zu, expected %d", halves, size / 2, expected);
	}
	return 0;
}
