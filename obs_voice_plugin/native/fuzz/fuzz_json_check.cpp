// json_text_is_valid against the host's JSON reader. The check exists so that
// the reader never sees (and logs a piece of) a text it would refuse, so:
//   - whatever the check accepts, the reader accepts too, silently, except
//     for duplicate member names, which are left to the reader on purpose;
//   - whatever the reader accepts, the check accepts too, except for the
//     limits the check sets on purpose: reals of magnitude 1e308 and more,
//     and nesting deeper than 2000.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <obs-data.h>

#include "backend/json_check.h"
#include "fuzz_support.h"

namespace {

// Whether the text has a number of magnitude near 1e308 or nesting deeper
// than the check's limit: a rough scan outside strings, erring on the side of
// saying yes.
bool beyond_the_check_limits(const std::string &text)
{
	int depth = 0, deepest = 0;
	bool in_string = false;
	for (size_t i = 0; i < text.size(); i++) {
		char c = text[i];
		if (in_string) {
			if (c == '\\')
				i++;
			else if (c == '"')
				in_string = false;
			continue;
		}
		if (c == '"') {
			in_string = true;
		} else if (c == '[' || c == '{') {
			deepest = std::max(deepest, ++depth);
		} else if (c == ']' || c == '}') {
			depth--;
		} else if (c == '-' || (c >= '0' && c <= '9')) {
			size_t end = text.find_first_not_of("0123456789+-.eE", i);
			std::string number = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
			double value = strtod(number.c_str(), nullptr);
			if (std::fabs(value) >= 9e307)
				return true;
			i += number.size() - 1;
		}
	}
	return deepest > 2000;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_log_capture();
	fuzz_alloc_balance balance;

	// Both readers see the text up to its first zero byte.
	std::string text((const char *)data, size);
	text = text.c_str();

	bool valid = json_text_is_valid(text.c_str());
	obs_data_t *parsed = obs_data_create_from_json(text.c_str());
	bool read = parsed != nullptr;
	obs_data_release(parsed);

	if (valid)
		FUZZ_CHECK(read || fuzz_log_contains("duplicate object key"),
			   "accepted by the check but refused by the host reader: %s",
			   fuzz_log_lines().empty() ? "" : fuzz_log_lines()[0].c_str());
	if (read) {
		// The reader takes only objects and arrays at the top level, as the check does.
		size_t start = text.find_first_not_of(" \t\r\n");
		FUZZ_CHECK(start != std::string::npos && (text[start] == '{' || text[start] == '['),
			   "host reader accepted a text that is not an object or array");
		FUZZ_CHECK(valid || beyond_the_check_limits(text), "refused by the check but read by the host");
	}
	FUZZ_CHECK(!json_text_is_valid(nullptr), "null text accepted");
	return 0;
}
