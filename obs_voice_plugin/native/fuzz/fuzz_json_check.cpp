// json_text_is_valid and json_data_from_text against the host's JSON reader.
// The check exists so that the reader never sees (and logs a piece of) a
// text it would refuse, so for every input:
//   - the check logs nothing;
//   - it accepts exactly what the reader accepts (it reads with the same
//     library as the reader; this catches a host whose reader takes other
//     flags or another library);
//   - the reader logs nothing for a text the check accepted;
//   - json_data_from_text gives what the reader gives, or null.

#include <cstdint>
#include <string>

#include <obs-data.h>

#include "backend/json_check.h"
#include "fuzz_support.h"

namespace {

std::string data_json(obs_data_t *data)
{
	const char *json = data ? obs_data_get_json(data) : nullptr;
	return json ? json : "<null>";
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
	obs_data_t *checked = json_data_from_text(text.c_str());
	FUZZ_CHECK(fuzz_log_lines().empty(), "the check logged: %s", fuzz_log_lines()[0].c_str());
	FUZZ_CHECK((checked != nullptr) == valid, "json_data_from_text disagrees with json_text_is_valid");

	obs_data_t *parsed = obs_data_create_from_json(text.c_str());
	FUZZ_CHECK((parsed != nullptr) == valid, "check %s, host reader %s", valid ? "accepted" : "refused",
		   parsed ? "accepted" : "refused");
	if (valid) {
		FUZZ_CHECK(fuzz_log_lines().empty(), "the host reader logged: %s", fuzz_log_lines()[0].c_str());
		FUZZ_CHECK(data_json(checked) == data_json(parsed), "json_data_from_text gave other data");
		// The reader takes only objects and arrays at the top level.
		size_t start = text.find_first_not_of(" \t\r\n");
		FUZZ_CHECK(start != std::string::npos && (text[start] == '{' || text[start] == '['),
			   "accepted a text that is not an object or array");
	}
	obs_data_release(parsed);
	obs_data_release(checked);
	FUZZ_CHECK(!json_text_is_valid(nullptr), "null text accepted");
	return 0;
}
