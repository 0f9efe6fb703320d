#include "secret_wipe.h"

// Kept in a file of its own so that nothing else is inlined around the
// volatile stores.
void secret_wipe(char *text)
{
	if (!text)
		return;
	volatile char *byte = text;
	while (*byte)
		*byte++ = 0;
}
