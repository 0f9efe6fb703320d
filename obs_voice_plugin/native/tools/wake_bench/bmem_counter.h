#pragma once

#include <cstdint>

// Counts calls to the host allocator (bmalloc, brealloc, bmemdup) made from
// this executable. Linking bmem_counter.cpp puts counting wrappers in front
// of libobs's functions; base_set_allocator cannot be used for this because
// libobs 29 ignores it.
void bmem_counter_reset();
uint64_t bmem_counter_calls();
