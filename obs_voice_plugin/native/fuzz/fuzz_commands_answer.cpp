// The commands answer: collected, parsed and read into control_command
// records as the poll does, with a capacity taken from the input length.
// Records past the count must stay untouched. Each record's text, and the
// answer itself, on its way into a log line: no byte or character that could
// forge a line or steer how a viewer shows it.

#include <cstdint>
#include <string>

#include "answer_reads.h"
#include "fuzz_support.h"
#include "module/log_text.h"

namespace {

// Code points that may not reach a log line: C0 and C1 controls, DEL, the
// line and paragraph separators, bidirectional embeddings, overrides and
// isolates.
bool steers_the_log(uint32_t cp)
{
	return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || cp == 0x2028 || cp == 0x2029 ||
	       (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

// Decodes the well-formed UTF-8 sequences of the text (a byte that starts
// none is taken alone) and checks that none of them steers the log; the
// text shown is never longer than the text given, and a text with nothing
// to replace is shown as it is.
void check_log_text(const char *text)
{
	char *shown = log_text_copy(text);
	const std::string given = text ? text : "";
	const std::string seen = shown;
	bfree(shown);
	FUZZ_CHECK(seen.size() <= given.size(), "log text grew from %zu to %zu bytes", given.size(), seen.size());
	bool replaced_any = false;
	for (const std::string *s : {&given, &seen}) {
		const unsigned char *b = (const unsigned char *)s->data();
		for (size_t i = 0; i < s->size();) {
			uint32_t cp = b[i];
			size_t length = 1;
			if (b[i] >= 0xc2 && b[i] <= 0xdf && i + 1 < s->size() && (b[i + 1] & 0xc0) == 0x80) {
				cp = ((b[i] & 0x1fu) << 6) | (b[i + 1] & 0x3fu);
				length = 2;
			} else if ((b[i] & 0xf0) == 0xe0 && i + 2 < s->size() && (b[i + 1] & 0xc0) == 0x80 &&
				   (b[i + 2] & 0xc0) == 0x80) {
				cp = ((b[i] & 0x0fu) << 12) | ((b[i + 1] & 0x3fu) << 6) | (b[i + 2] & 0x3fu);
				length = 3;
				if (cp < 0x800) { // overlong: no character
					cp = b[i];
					length = 1;
				}
			}
			if (cp >= 0x80 && length == 1)
				cp = 0xfffd; // a lone byte of a broken sequence is no character
			if (s == &seen)
				FUZZ_CHECK(!steers_the_log(cp), "U+%04X at byte %zu of a log text", cp, i);
			else
				replaced_any = replaced_any || steers_the_log(cp);
			i += length;
		}
	}
	if (!replaced_any)
		FUZZ_CHECK(seen == given, "log text changed with nothing to replace");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_log_capture();
	fuzz_alloc_balance balance;

	std::string answer((const char *)data, size);
	check_log_text(answer.c_str());
	collected_body body = {};
	if (!answer_collect(&body, answer, (uint32_t)size * 7)) {
		dstr_free(&body.text);
		return 0;
	}
	obs_data_t *parsed = backend_parse_body(&body);
	dstr_free(&body.text);
	FUZZ_CHECK(fuzz_log_lines().empty(), "logged: %s", fuzz_log_lines()[0].c_str());
	if (!parsed)
		return 0;

	const int capacity = 1 + (int)(size % 24);
	control_command commands[25];
	char sentinel[] = "sentinel";
	for (control_command &command : commands)
		command = {sentinel, sentinel, sentinel};
	int count = control_commands_read(parsed, commands, capacity);
	obs_data_release(parsed);

	answer_check_commands(commands, count, capacity);
	for (int i = 0; i < count; i++) {
		check_log_text(commands[i].action);
		check_log_text(commands[i].target);
	}
	for (int i = count; i < 25; i++)
		FUZZ_CHECK(commands[i].id == sentinel && commands[i].target == sentinel, "record %d touched", i);
	for (int i = 0; i < count; i++) {
		control_command_clear(&commands[i]);
		FUZZ_CHECK(!commands[i].id && !commands[i].action && !commands[i].target, "record %d not cleared", i);
	}
	control_command_clear(nullptr);
	return 0;
}
