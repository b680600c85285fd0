// A queue that any number of threads fill and exactly one thread empties.
// Items live in a ring that grows to the largest backlog seen and is then
// reused, so pushing and popping allocate nothing once warmed up.
#ifndef VORLAN_SOURCE_SINGLE_CONSUMER_QUEUE_H
#define VORLAN_SOURCE_SINGLE_CONSUMER_QUEUE_H

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
    SingleConsumerQueue() = default;
    SingleConsumerQueue(const SingleConsumerQueue&) = delete;
    SingleConsumerQueue& operator=(const SingleConsumerQueue&) = delete;

    // Appends `item` and wakes the consumer. When more than `limit` items are
    // already waiting, the whole backlog is dropped first: under overload new
    // data is worth more than old. Returns the number of items dropped.
    std::size_t push(T item, std::size_t limit = std::numeric_limits<std::size_t>::max()) {
        std::size_t dropped = 0;
        bool wake = false;
        {
            LockGuard lock(m_mutex);
            if (!lock.is_locked()) {
                return 1;
            }
            if (m_size > limit) {
                dropped = clear_impl();
            }
            if (m_size == m_slots.size()) {
                grow();
            }
            m_slots[(m_head + m_size) % m_slots.size()] = std::move(item);
            ++m_size;
            m_count.store(static_cast<int32_t>(m_size));
            wake = m_consumer_waiting;
        }
        if (wake) {
            m_ready.notify_one();
        }
        return dropped;
    }

    // Consumer only. Moves the front item into `out` and returns true; when
    // the queue is empty, waits for an item until `deadline` (or until
    // wake()) and returns false if none came.
    template <class Clock, class Duration>
    bool pop(T& out, const std::chrono::time_point<Clock, Duration>& deadline) {
        LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return false;
        }
        if (m_size == 0) {
            m_consumer_waiting = true;
            m_ready.wait_until(m_mutex, deadline);
            m_consumer_waiting = false;
            if (m_size == 0) {
                return false;
            }
        }
        out = std::move(m_slots[m_head]);
        m_head = (m_head + 1) % m_slots.size();
        --m_size;
        m_count.store(static_cast<int32_t>(m_size));
        return true;
    }

    // Wakes a consumer waiting in pop(), so that it looks at its stop flag.
    void wake() {
        {
            LockGuard lock(m_mutex);
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

private:
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
    void grow() {
        std::vector<T> slots(m_slots.empty() ? 64 : m_slots.size() * 2);
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
    bool m_consumer_waiting = false;
    std::atomic<int32_t> m_count{0};
    std::condition_variable_any m_ready;
};

}  // namespace util
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_SINGLE_CONSUMER_QUEUE_H
