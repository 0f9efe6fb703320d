#include "log_text.h"

#include <util/bmem.h>

char *log_text_copy(const char *text)
{
	char *copy = bstrdup(text ? text : "");
	for (char *c = copy; *c; c++)
		if ((unsigned char)*c < 0x20 || *c == 0x7f)
			*c = '?';
	return copy;
}
