// Counts every heap allocation of the benchmark process, so that a benchmark
// can show that a path makes none per packet.
#ifndef VORLAN_BENCH_SUPPORT_COUNTING_ALLOCATOR_H
#define VORLAN_BENCH_SUPPORT_COUNTING_ALLOCATOR_H

#include <cstdint>

namespace vorlan_bench {

// Allocations through operator new since the process started.
uint64_t allocation_count();

}  // namespace vorlan_bench

#endif  // VORLAN_BENCH_SUPPORT_COUNTING_ALLOCATOR_H
