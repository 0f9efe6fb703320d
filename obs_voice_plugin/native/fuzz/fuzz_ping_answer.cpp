// The ping answer: the body is collected piece by piece (collect_body, with
// its size limit), parsed (backend_parse_body: json_data_from_text) and
// read into tenant_settings. An input starting with "~~" is
// put behind nearly 1 MiB of blanks, to cross the size limit; such answers
// are only collected (parsing a megabyte per input would slow the run down a
// hundredfold, and leading blanks do not change what the parse gives).

#include <cstdint>
#include <string>

#include "answer_reads.h"
#include "backend/json_check.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_log_capture();
	fuzz_alloc_balance balance;

	// The blanks go in as one piece; the rest of the input in several.
	static const std::string blanks(BACKEND_BODY_LIMIT - 64, ' ');
	const bool long_answer = size >= 2 && data[0] == '~' && data[1] == '~';
	std::string rest = long_answer ? std::string((const char *)data + 2, size - 2)
				       : std::string((const char *)data, size);
	collected_body body = {};
	if (long_answer)
		FUZZ_CHECK(collect_body((char *)blanks.data(), 1, blanks.size(), &body) == blanks.size(),
			   "blanks refused");
	const size_t answer_size = (long_answer ? blanks.size() : 0) + rest.size();
	bool taken = answer_collect(&body, rest, (uint32_t)size);
	FUZZ_CHECK(taken == (answer_size <= BACKEND_BODY_LIMIT), "answer of %zu bytes taken=%d", answer_size, taken);
	if (long_answer) {
		dstr_free(&body.text);
		return 0;
	}
	obs_data_t *parsed = taken ? backend_parse_body(&body) : nullptr;
	if (taken && body.text.array)
		FUZZ_CHECK((parsed != nullptr) == json_text_is_valid(body.text.array), "parse result differs from the check");
	dstr_free(&body.text);

	// Unreadable answers are dropped silently.
	FUZZ_CHECK(fuzz_log_lines().empty(), "logged: %s", fuzz_log_lines()[0].c_str());
	if (!parsed)
		return 0;

	tenant_settings settings;
	tenant_settings_read(parsed, &settings);
	obs_data_release(parsed);
	answer_check_settings(settings);
	tenant_settings_clear(&settings);
	FUZZ_CHECK(!settings.voice_clip_phrase && !settings.latest_plugin_version, "strings left after clear");
	return 0;
}
