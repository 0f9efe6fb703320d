#include "log_text.h"

#include <util/bmem.h>

// Length of the UTF-8 sequence at c when it encodes a character that can
// steer how a log viewer shows the line, else 0: C1 controls (U+0080-U+009F),
// the line and paragraph separators (U+2028, U+2029) and the bidirectional
// embeddings, overrides and isolates (U+202A-U+202E, U+2066-U+2069).
static size_t log_text_steering_length(const unsigned char *c)
{
	if (c[0] == 0xC2 && c[1] >= 0x80 && c[1] <= 0x9F)
		return 2;
	if (c[0] != 0xE2)
		return 0;
	if (c[1] == 0x80 && c[2] >= 0xA8 && c[2] <= 0xAE)
		return 3;
	if (c[1] == 0x81 && c[2] >= 0xA6 && c[2] <= 0xA9)
		return 3;
	return 0;
}

char *log_text_copy(const char *text)
{
	char *copy = bstrdup(text ? text : "");
	// In place: every replacement is no longer than what it replaces. The
	// look-ahead stops at the terminating zero, which matches no pattern.
	const unsigned char *in = (const unsigned char *)copy;
	char *out = copy;
	while (*in) {
		size_t steering = log_text_steering_length(in);
		if (steering) {
			*out++ = '?';
			in += steering;
		} else if (*in < 0x20 || *in == 0x7f) {
			*out++ = '?';
			in++;
		} else {
			*out++ = (char)*in++;
		}
	}
	*out = '\0';
	return copy;
}
