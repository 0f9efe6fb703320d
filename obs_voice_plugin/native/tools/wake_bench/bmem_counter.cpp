#include "bmem_counter.h"

#include <atomic>
#include <cstddef>

#include <dlfcn.h>

namespace {

std::atomic<uint64_t> host_allocations{0};

template<typename F> F next_definition(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

void bmem_counter_reset()
{
	host_allocations = 0;
}

uint64_t bmem_counter_calls()
{
	return host_allocations;
}

// These definitions take precedence over libobs's; each forwards to it.
extern "C" {

void *bmalloc(size_t size)
{
	static auto real = next_definition<void *(*)(size_t)>("bmalloc");
	host_allocations++;
	return real(size);
}

void *brealloc(void *ptr, size_t size)
{
	static auto real = next_definition<void *(*)(void *, size_t)>("brealloc");
	host_allocations++;
	return real(ptr, size);
}

void *bmemdup(const void *ptr, size_t size)
{
	static auto real = next_definition<void *(*)(const void *, size_t)>("bmemdup");
	host_allocations++;
	return real(ptr, size);
}
}
