// Preloaded into processes run under valgrind on CPUs that do not advertise
// RDTSCP, and nowhere else (scripts/memcheck_probe.sh decides).
//
// libhwy, which libobs loads through libavcodec and libjxl, measures its
// timer's resolution in a static initialiser with RDTSCP whether or not the
// CPU advertises it. The processor runs it, but valgrind refuses to translate
// an instruction the CPU does not advertise and kills the process with SIGILL
// before main. The initialiser calls this function through the PLT, so a
// preloaded definition takes the place of libhwy's own. Nothing in OBS or in
// the plug-in uses libhwy's benchmark timer.
#include <hwy/nanobenchmark.h>

namespace hwy {
namespace platform {

uint64_t TimerResolution()
{
	return 1;
}

} // namespace platform
} // namespace hwy
