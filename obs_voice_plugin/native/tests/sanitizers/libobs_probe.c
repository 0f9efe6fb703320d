// Loads libobs and its whole dependency tree, and does nothing else: run under
// valgrind, it tells whether valgrind can run a libobs process on this CPU.
#include <obs.h>

int main(void)
{
	return obs_get_version() != 0 ? 0 : 1;
}
