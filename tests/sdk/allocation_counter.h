// Counts the heap allocations of the test program, to prove that warmed
// receive paths allocate nothing: on one thread that asks for it, or on all
// threads, the library's own included.
#ifndef VORLAN_TESTS_SDK_ALLOCATION_COUNTER_H
#define VORLAN_TESTS_SDK_ALLOCATION_COUNTER_H

#include <cstdint>

namespace vorlan_test {

// Allocations through operator new by every thread since the process started.
uint64_t process_allocations();

// Bytes held at the moment in blocks from operator new, by every thread (as
// the allocator rounds them).
int64_t live_heap_bytes();

// Counts the allocations of the thread that creates it, while it lives.
class ThisThreadAllocations {
public:
    ThisThreadAllocations();
    ~ThisThreadAllocations();
    ThisThreadAllocations(const ThisThreadAllocations&) = delete;
    ThisThreadAllocations& operator=(const ThisThreadAllocations&) = delete;

    uint64_t count() const;

private:
    uint64_t m_start;
};

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SDK_ALLOCATION_COUNTER_H
