// The commands answer: collected, parsed and read into control_command
// records as the poll does, with a capacity taken from the input length.
// Records past the count must stay untouched.

#include <cstdint>
#include <string>

#include "answer_reads.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_log_capture();
	fuzz_alloc_balance balance;

	std::string answer((const char *)data, size);
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
	for (int i = count; i < 25; i++)
		FUZZ_CHECK(commands[i].id == sentinel && commands[i].target == sentinel, "record %d touched", i);
	for (int i = 0; i < count; i++) {
		control_command_clear(&commands[i]);
		FUZZ_CHECK(!commands[i].id && !commands[i].action && !commands[i].target, "record %d not cleared", i);
	}
	control_command_clear(nullptr);
	return 0;
}
