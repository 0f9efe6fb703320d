#include "failing_threads.h"

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <pthread.h>

namespace {
std::atomic<int> failures_left{0};
}

void failing_threads_next(int count)
{
	failures_left = count;
}

// Takes the place of the C library's pthread_create for the whole test
// program; the real one (or a sanitizer's) is the next definition.
extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
	using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
	static const create_fn real = reinterpret_cast<create_fn>(dlsym(RTLD_NEXT, "pthread_create"));
	int left = failures_left.load();
	while (left > 0 && !failures_left.compare_exchange_weak(left, left - 1)) {
	}
	if (left > 0)
		return EAGAIN;
	return real(thread, attr, start, arg);
}
