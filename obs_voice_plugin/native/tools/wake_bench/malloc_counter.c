#include "malloc_counter.h"

#include <errno.h>
#include <stdlib.h>

void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *ptr);

static uint64_t process_allocations;

static void count_one(void)
{
	__atomic_fetch_add(&process_allocations, 1, __ATOMIC_RELAXED);
}

void malloc_counter_reset(void)
{
	__atomic_store_n(&process_allocations, 0, __ATOMIC_RELAXED);
}

uint64_t malloc_counter_calls(void)
{
	return __atomic_load_n(&process_allocations, __ATOMIC_RELAXED);
}

void *malloc(size_t size)
{
	count_one();
	return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
	count_one();
	return __libc_calloc(count, size);
}

void *realloc(void *ptr, size_t size)
{
	count_one();
	return __libc_realloc(ptr, size);
}

void *memalign(size_t alignment, size_t size)
{
	count_one();
	return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
	return memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size)
{
	if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0)
		return EINVAL;
	void *ptr = memalign(alignment, size);
	if (!ptr)
		return ENOMEM;
	*out = ptr;
	return 0;
}

void free(void *ptr)
{
	__libc_free(ptr);
}
