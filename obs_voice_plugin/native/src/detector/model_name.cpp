#include "detector_pass.h"

#include <cstring>

#include <util/bmem.h>

char *model_name_from_phrase(const char *phrase)
{
	if (!phrase)
		phrase = "";

	// The result is never longer than the phrase.
	size_t length = strlen(phrase);
	char *name = (char *)bmalloc(length + 1);
	size_t used = 0;
	// Set while the result is empty or ends in '_'.
	bool at_separator = true;

	for (size_t i = 0; i < length; i++) {
		unsigned char c = (unsigned char)phrase[i];
		if (c >= 'A' && c <= 'Z')
			c = (unsigned char)(c + 32);
		if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
			name[used++] = (char)c;
			at_separator = false;
		} else if (!at_separator) {
			name[used++] = '_';
			at_separator = true;
		}
	}
	if (used > 0 && name[used - 1] == '_')
		used--;
	name[used] = '\0';

	if (used == 0) {
		bfree(name);
		return bstrdup(WAKE_DEFAULT_MODEL_NAME);
	}
	return name;
}
