#pragma once

#include <stdint.h>

// Counts every malloc, calloc, realloc and aligned allocation in the
// process (the ONNX Runtime's output tensors included). Linking
// malloc_counter.c replaces glibc's entry points with counting ones that
// forward to glibc's own allocator.
#ifdef __cplusplus
extern "C" {
#endif
void malloc_counter_reset(void);
uint64_t malloc_counter_calls(void);
#ifdef __cplusplus
}
#endif
