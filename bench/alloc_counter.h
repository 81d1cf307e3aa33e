/*
 * Heap allocation counts of the calling thread. The benchmark binary defines malloc,
 * calloc, realloc, free and the aligned variants itself (alloc_counter.cpp); being the
 * executable's own symbols they take precedence over the C library's for every shared
 * library in the process, liblprcgi, cJSON, libstdc++ (operator new) and libzmq
 * included. Counts are per thread, so allocations of the bus's background threads do
 * not show up in the numbers of the thread that runs a request.
 */
#ifndef LPR_BENCH_ALLOC_COUNTER_H
#define LPR_BENCH_ALLOC_COUNTER_H

#include <cstdint>

namespace lpr_bench {

struct AllocStats {
    uint64_t allocs; /* malloc, calloc, realloc and aligned allocations */
    uint64_t frees;  /* free of a non-null pointer */
    uint64_t bytes;  /* bytes asked for by those allocations */
};

/* The counts of the calling thread since it started. */
AllocStats alloc_stats();

}  // namespace lpr_bench

#endif /* LPR_BENCH_ALLOC_COUNTER_H */
