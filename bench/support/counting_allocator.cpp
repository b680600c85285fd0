#include "counting_allocator.h"

// The tests' counter replaces operator new for the whole program; the
// benchmarks read the same count.
#include "allocation_counter.h"

namespace vorlan_bench {

uint64_t allocation_count() { return vorlan_test::process_allocations(); }

}  // namespace vorlan_bench
