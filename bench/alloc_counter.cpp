#include "alloc_counter.h"

#include <malloc.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

// The C library's allocator under its internal names; the definitions below count
// and forward to them.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* ptr);
}

#define LPR_BENCH_INTERPOSE extern "C" __attribute__((visibility("default")))

namespace {

// Trivially initialised, so reaching it needs no allocation of its own (static TLS of
// the executable).
thread_local lpr_bench::AllocStats t_stats;

void count_alloc(size_t size) {
    ++t_stats.allocs;
    t_stats.bytes += size;
}

}  // namespace

namespace lpr_bench {

AllocStats alloc_stats() {
    return t_stats;
}

}  // namespace lpr_bench

LPR_BENCH_INTERPOSE void* malloc(size_t size) noexcept {
    count_alloc(size);
    return __libc_malloc(size);
}

LPR_BENCH_INTERPOSE void* calloc(size_t count, size_t size) noexcept {
    count_alloc(count * size);
    return __libc_calloc(count, size);
}

LPR_BENCH_INTERPOSE void* realloc(void* ptr, size_t size) noexcept {
    count_alloc(size);
    return __libc_realloc(ptr, size);
}

LPR_BENCH_INTERPOSE void free(void* ptr) noexcept {
    if (ptr != nullptr) {
        ++t_stats.frees;
    }
    __libc_free(ptr);
}

LPR_BENCH_INTERPOSE void* memalign(size_t alignment, size_t size) noexcept {
    count_alloc(size);
    return __libc_memalign(alignment, size);
}

LPR_BENCH_INTERPOSE void* aligned_alloc(size_t alignment, size_t size) noexcept {
    count_alloc(size);
    return __libc_memalign(alignment, size);
}

LPR_BENCH_INTERPOSE int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    count_alloc(size);
    void* ptr = __libc_memalign(alignment, size);
    if (ptr == nullptr) {
        return ENOMEM;
    }
    *out = ptr;
    return 0;
}
