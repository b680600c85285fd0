// A queue that any number of threads fill and exactly one thread empties.
// Items live in a ring that grows to the largest backlog seen and is then
// reused, so pushing and popping allocate nothing once warmed up.
//
// Waking a sleeping consumer costs a system call on each side, which at tens
// of thousands of items a second is most of the work. So a consumer asleep is
// woken once, however many items arrive before it runs, and a producer can
// move a batch of items in under one lock and one wake-up.
#ifndef VORLAN_SOURCE_SINGLE_CONSUMER_QUEUE_H
#define VORLAN_SOURCE_SINGLE_CONSUMER_QUEUE_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "vorlan_sdk_impl/vorlan_sdk_util.hpp"

namespace vorlan_sdk {
namespace util {

template <class T>
class SingleConsumerQueue {
public:
    static constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

    SingleConsumerQueue() = default;
    SingleConsumerQueue(const SingleConsumerQueue&) = delete;
    SingleConsumerQueue& operator=(const SingleConsumerQueue&) = delete;

    // Appends `item` and wakes the consumer. When more than `limit` items are
    // already waiting, the whole backlog is dropped first: under overload new
    // data is worth more than old. Returns the number of items dropped.
    std::size_t push(T item, std::size_t limit = kNoLimit) {
        bool wake = false;
        const std::size_t dropped = push_impl(std::move(item), limit, true, wake);
        if (wake) {
            m_ready.notify_one();
        }
        return dropped;
    }

    // As push(), but leaves the consumer asleep: the producer calls notify()
    // after its last item of a batch.
    std::size_t push_quietly(T item, std::size_t limit = kNoLimit) {
        bool wake = false;
        return push_impl(std::move(item), limit, false, wake);
    }

    // As push() without a limit for the `count` items at `items`, moved in
    // under one lock; a sleeping consumer is woken once for all of them.
    // Returns how many were lost (all of them when the lock could not be
    // taken).
    std::size_t push_all(T* items, std::size_t count) {
        bool wake = false;
        {
            LockGuard lock(m_mutex);
            if (!lock.is_locked()) {
                for (std::size_t i = 0; i < count; ++i) {
                    items[i] = T();
                }
                return count;
            }
            if (m_size + count > m_slots.size()) {
                resize(std::max(m_size + count, m_slots.empty() ? std::size_t{64} : m_slots.size() * 2));
            }
            for (std::size_t i = 0; i < count; ++i) {
                m_slots[(m_head + m_size) % m_slots.size()] = std::move(items[i]);
                ++m_size;
            }
            m_count.store(static_cast<int32_t>(m_size));
            wake = m_size > 0 && take_sleeper();
        }
        if (wake) {
            m_ready.notify_one();
        }
        return 0;
    }

    // Wakes a sleeping consumer if items wait for it.
    void notify() {
        bool wake = false;
        {
            LockGuard lock(m_mutex);
            if (!lock.is_locked()) {
                return;
            }
            wake = m_size > 0 && take_sleeper();
        }
        if (wake) {
            m_ready.notify_one();
        }
    }

    // Consumer only. Moves the front item into `out` and returns true; when
    // the queue is empty, waits for an item until `deadline` (or until
    // interrupt()) and returns false if none came.
    template <class Clock, class Duration>
    bool pop(T& out, const std::chrono::time_point<Clock, Duration>& deadline) {
        LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return false;
        }
        // A wake-up can be stale (a notification may land after its item was
        // taken), so only an item, an interrupt or the deadline ends the wait.
        while (m_size == 0 && !m_is_interrupted) {
            m_is_consumer_asleep = true;
            if (m_ready.wait_until(m_mutex, deadline) == std::cv_status::timeout) {
                break;
            }
        }
        m_is_consumer_asleep = false;
        m_is_interrupted = false;
        if (m_size == 0) {
            return false;
        }
        out = std::move(m_slots[m_head]);
        m_head = (m_head + 1) % m_slots.size();
        --m_size;
        m_count.store(static_cast<int32_t>(m_size));
        if (m_is_producer_waiting && m_size <= m_drain_target) {
            m_is_producer_waiting = false;
            m_drained.notify_one();
        }
        return true;
    }

    // Producer side, one producer at a time: waits until at most `count`
    // items are left or `deadline` passes; true in the first case. Lets a
    // producer that can hold back (a socket buffers on its own) give a
    // consumer that fell behind a moment before the backlog overflows.
    template <class Clock, class Duration>
    bool wait_until_at_most(std::size_t count, const std::chrono::time_point<Clock, Duration>& deadline) {
        LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return false;
        }
        m_drain_target = count;
        m_is_producer_waiting = true;
        const bool drained = m_drained.wait_until(m_mutex, deadline, [&] { return m_size <= count; });
        m_is_producer_waiting = false;
        return drained;
    }

    // Ends a consumer's wait in pop() at once, so that it looks at its stop
    // flag; a consumer not waiting now returns from its next wait at once.
    void interrupt() {
        {
            LockGuard lock(m_mutex);
            if (!lock.is_locked()) {
                return;
            }
            m_is_interrupted = true;
        }
        m_ready.notify_all();
    }

    // Drops every waiting item; returns how many there were.
    std::size_t clear() {
        LockGuard lock(m_mutex);
        return lock.is_locked() ? clear_impl() : 0;
    }

    // The number of waiting items, read without the lock.
    int32_t size() const { return m_count.load(); }

    // Makes room for `count` items at once, so that a producer that never
    // lets more wait than that pushes without allocating.
    void reserve(std::size_t count) {
        LockGuard lock(m_mutex);
        if (lock.is_locked() && count > m_slots.size()) {
            resize(count);
        }
    }

private:
    std::size_t push_impl(T item, std::size_t limit, bool announce, bool& wake) {
        LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return 1;
        }
        std::size_t dropped = 0;
        if (m_size > limit) {
            dropped = clear_impl();
        }
        if (m_size == m_slots.size()) {
            grow();
        }
        m_slots[(m_head + m_size) % m_slots.size()] = std::move(item);
        ++m_size;
        m_count.store(static_cast<int32_t>(m_size));
        wake = announce && take_sleeper();
        return dropped;
    }

    // m_mutex held. True when the consumer sleeps and nobody has woken it
    // yet; it then counts as awake, so it is woken once.
    bool take_sleeper() {
        if (!m_is_consumer_asleep) {
            return false;
        }
        m_is_consumer_asleep = false;
        return true;
    }

    // m_mutex held.
    std::size_t clear_impl() {
        const std::size_t dropped = m_size;
        for (; m_size > 0; --m_size) {
            m_slots[m_head] = T();
            m_head = (m_head + 1) % m_slots.size();
        }
        m_head = 0;
        m_count.store(0);
        return dropped;
    }

    // m_mutex held and the ring full: doubles it, keeping the order.
    void grow() { resize(m_slots.empty() ? 64 : m_slots.size() * 2); }

    // m_mutex held and `capacity` at least m_size.
    void resize(std::size_t capacity) {
        std::vector<T> slots(capacity);
        for (std::size_t i = 0; i < m_size; ++i) {
            slots[i] = std::move(m_slots[(m_head + i) % m_slots.size()]);
        }
        m_slots.swap(slots);
        m_head = 0;
    }

    TimedMutex m_mutex;  // guards everything below but m_count and m_ready
    std::vector<T> m_slots;
    std::size_t m_head = 0;
    std::size_t m_size = 0;
    // The consumer waits and no notification is on its way to it.
    bool m_is_consumer_asleep = false;
    bool m_is_interrupted = false;
    // A producer waits in wait_until_at_most for the backlog to fall to
    // m_drain_target.
    bool m_is_producer_waiting = false;
    std::size_t m_drain_target = 0;
    std::atomic<int32_t> m_count{0};
    std::condition_variable_any m_ready;    // the consumer waits on it
    std::condition_variable_any m_drained;  // a producer waits on it
};

}  // namespace util
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_SINGLE_CONSUMER_QUEUE_H
