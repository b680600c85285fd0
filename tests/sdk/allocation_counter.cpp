#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <new>

namespace {
std::atomic<uint64_t> g_allocations{0};
thread_local uint64_t t_allocations = 0;
std::atomic<int64_t> g_live_bytes{0};

void* count_block(void* block) {
    g_live_bytes.fetch_add(static_cast<int64_t>(malloc_usable_size(block)), std::memory_order_relaxed);
    return block;
}

void release_block(void* block) {
    if (block != nullptr) {
        g_live_bytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(block)), std::memory_order_relaxed);
    }
    std::free(block);
}
}  // namespace

namespace vorlan_test {

uint64_t process_allocations() { return g_allocations.load(std::memory_order_relaxed); }

int64_t live_heap_bytes() { return g_live_bytes.load(std::memory_order_relaxed); }

ThisThreadAllocations::ThisThreadAllocations() : m_start(t_allocations) {}
ThisThreadAllocations::~ThisThreadAllocations() = default;
uint64_t ThisThreadAllocations::count() const { return t_allocations - m_start; }

}  // namespace vorlan_test

// The other forms of operator new and delete forward to these in the
// standard library, but a sanitizer's runtime supplies the nothrow forms
// itself: they are replaced too, so that every block the library makes with
// `new (std::nothrow)` is counted and freed the way it was made. The
// replacements pair malloc with free; the compiler cannot see that through
// inlined standard containers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    ++t_allocations;
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return count_block(block);
    }
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { release_block(block); }
void operator delete(void* block, std::size_t) noexcept { release_block(block); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* block, const std::nothrow_t&) noexcept { release_block(block); }
