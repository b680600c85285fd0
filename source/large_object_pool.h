// A pool of reusable objects handed out as shared references. Releasing the
// last reference puts the object back on the free list instead of freeing
// it, and the reference's own bookkeeping block is recycled too, so a warmed
// pool serves get() without touching the heap. Objects keep their state
// between uses (a packet keeps the capacity of its buffer); the caller resets
// what it needs.
#ifndef VORLAN_SOURCE_LARGE_OBJECT_POOL_H
#define VORLAN_SOURCE_LARGE_OBJECT_POOL_H

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "vorlan_sdk_impl/vorlan_sdk_util.hpp"

namespace vorlan_sdk {
namespace util {

template <class T>
class LargeObjectPool : public std::enable_shared_from_this<LargeObjectPool<T>> {
public:
    // A pool must be owned by a shared reference: every object handed out
    // keeps it alive until the object is given back, so the pool may outlive
    // the thread or the owner that created it.
    static std::shared_ptr<LargeObjectPool> create() { return std::shared_ptr<LargeObjectPool>(new LargeObjectPool()); }

    ~LargeObjectPool() {
        for (void* block : m_free_blocks) {
            ::operator delete(block);
        }
    }

    LargeObjectPool(const LargeObjectPool&) = delete;
    LargeObjectPool& operator=(const LargeObjectPool&) = delete;

    // A free object, or a new one when none is free. Throws std::bad_alloc
    // only while the pool is still growing.
    std::shared_ptr<T> get() {
        // The object and a free reference-count block come off their lists
        // under one lock; the block then reaches the reference through its
        // allocator.
        ReadyBlock block;
        T* object = take_object(block);
        if (object == nullptr) {
            return std::make_shared<T>();
        }
        auto self = this->shared_from_this();
        return std::shared_ptr<T>(object, Releaser{self}, BlockAllocator<T>(self, block));
    }

    // Creates objects until `count` exist, with the bookkeeping to hand them
    // all out at once, and passes every free object to `prepare` (to size
    // its buffers, say). A pool reserved for the most objects its user ever
    // holds then serves get() without touching the heap from the start.
    template <class Prepare>
    void reserve(std::size_t count, Prepare prepare) {
        {
            LockGuard lock(m_mutex);
            if (!lock.is_locked()) {
                return;
            }
            m_objects.reserve(count);
            m_free.reserve(count);
            m_free_blocks.reserve(count);
        }
        std::vector<std::shared_ptr<T>> held;
        held.reserve(count);
        while (held.size() < count) {
            held.push_back(get());
        }
        for (const std::shared_ptr<T>& object : held) {
            prepare(*object);
        }
    }

    // The number of objects the pool has created: the most ever alive at once.
    std::size_t created() {
        LockGuard lock(m_mutex);
        return m_objects.size();
    }

private:
    // Puts an object back on the free list when its last reference goes.
    struct Releaser {
        std::shared_ptr<LargeObjectPool> pool;
        void operator()(T* object) const { pool->give_back(object); }
    };

    // A free reference-count block taken together with an object.
    struct ReadyBlock {
        void* block = nullptr;
        std::size_t size = 0;
    };

    // Serves the reference-count blocks of handed-out objects from the pool.
    // Every block of one pool has the same size, so a plain free list does.
    template <class U>
    struct BlockAllocator {
        using value_type = U;

        BlockAllocator(std::shared_ptr<LargeObjectPool> owner, ReadyBlock ready_block)
            : pool(std::move(owner)), ready(ready_block) {}
        template <class V>
        BlockAllocator(const BlockAllocator<V>& other) : pool(other.pool), ready(other.ready) {}

        // Called once per handed-out object, on the copy the reference
        // makes; later copies still name the block but never allocate.
        U* allocate(std::size_t n) {
            static_assert(alignof(U) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "block needs stronger alignment");
            if (ready.block != nullptr) {
                const ReadyBlock taken = ready;
                ready = ReadyBlock();
                if (n == 1 && taken.size == sizeof(U)) {
                    return static_cast<U*>(taken.block);
                }
                pool->give_back_block(taken.block, taken.size);
            }
            if (n != 1) {
                return static_cast<U*>(::operator new(n * sizeof(U)));
            }
            return static_cast<U*>(pool->take_block(sizeof(U)));
        }
        void deallocate(U* block, std::size_t n) {
            if (n != 1) {
                ::operator delete(block);
                return;
            }
            pool->give_back_block(block, sizeof(U));
        }
        template <class V>
        bool operator==(const BlockAllocator<V>& other) const {
            return pool == other.pool;
        }
        template <class V>
        bool operator!=(const BlockAllocator<V>& other) const {
            return pool != other.pool;
        }

        std::shared_ptr<LargeObjectPool> pool;
        ReadyBlock ready;
    };

    LargeObjectPool() = default;

    // A free object, and in `block` a free reference-count block when there
    // is one. Null only when this thread already holds the pool's lock (it
    // cannot happen on the receive path; the caller then falls back to the
    // heap).
    T* take_object(ReadyBlock& block) {
        LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return nullptr;
        }
        if (m_free.empty()) {
            m_objects.push_back(std::make_unique<T>());
            // Giving back must never allocate: the free list can hold all.
            m_free.reserve(m_objects.size());
            m_free.push_back(m_objects.back().get());
        }
        T* object = m_free.back();
        m_free.pop_back();
        if (!m_free_blocks.empty()) {
            block.block = m_free_blocks.back();
            block.size = m_block_size;
            m_free_blocks.pop_back();
        }
        return object;
    }

    void give_back(T* object) {
        LockGuard lock(m_mutex);
        if (lock.is_locked()) {
            m_free.push_back(object);  // capacity reserved in take_object
        }
    }

    void* take_block(std::size_t size) {
        {
            LockGuard lock(m_mutex);
            if (lock.is_locked() && size == m_block_size && !m_free_blocks.empty()) {
                void* block = m_free_blocks.back();
                m_free_blocks.pop_back();
                return block;
            }
        }
        void* block = ::operator new(size);
        LockGuard lock(m_mutex);
        if (lock.is_locked() && (m_block_size == 0 || m_block_size == size)) {
            m_block_size = size;
            try {
                m_free_blocks.reserve(++m_n_blocks);
            } catch (const std::bad_alloc&) {
                --m_n_blocks;
                ::operator delete(block);
                throw;
            }
        }
        return block;
    }

    void give_back_block(void* block, std::size_t size) {
        {
            LockGuard lock(m_mutex);
            if (lock.is_locked() && size == m_block_size && m_free_blocks.size() < m_free_blocks.capacity()) {
                m_free_blocks.push_back(block);
                return;
            }
        }
        ::operator delete(block);
    }

    TimedMutex m_mutex;                         // guards everything below
    std::vector<std::unique_ptr<T>> m_objects;  // every object ever created
    std::vector<T*> m_free;
    std::vector<void*> m_free_blocks;
    std::size_t m_block_size = 0;
    std::size_t m_n_blocks = 0;  // blocks handed out that may come back
};

}  // namespace util
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_LARGE_OBJECT_POOL_H
