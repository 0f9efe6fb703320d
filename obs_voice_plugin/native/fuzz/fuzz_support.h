#pragma once

// Shared by the fuzz targets: invariant checks that abort (libFuzzer then
// saves the input), a log handler that keeps the host's log lines in memory
// instead of printing them, and a check that every host allocation made for
// one input is freed.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <util/base.h>
#include <util/bmem.h>

#define FUZZ_CHECK(condition, ...)                                                            \
	do {                                                                                  \
		if (!(condition)) {                                                           \
			fprintf(stderr, "invariant failed at %s:%d: %s\n", __FILE__, __LINE__, \
				#condition);                                                  \
			fprintf(stderr, __VA_ARGS__);                                         \
			fprintf(stderr, "\n");                                                \
			abort();                                                              \
		}                                                                             \
	} while (0)

// Log lines since the last fuzz_log_clear(); the host's default handler
// would print every parse failure and slow the run down.
inline std::vector<std::string> &fuzz_log_lines()
{
	static std::vector<std::string> lines;
	return lines;
}

inline void fuzz_log_handler(int, const char *format, va_list args, void *)
{
	char text[4096];
	vsnprintf(text, sizeof(text), format, args);
	fuzz_log_lines().emplace_back(text);
}

inline void fuzz_log_capture()
{
	static bool installed = false;
	if (!installed) {
		base_set_log_handler(fuzz_log_handler, nullptr);
		installed = true;
	}
	fuzz_log_lines().clear();
}

// Fails when host allocations made while it lives are not all freed.
struct fuzz_alloc_balance {
	long before = bnum_allocs();
	~fuzz_alloc_balance()
	{
		long after = bnum_allocs();
		FUZZ_CHECK(after == before, "host allocations: %ld before, %ld after", before, after);
	}
};
