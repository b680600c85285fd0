// Header-level utilities of the library: the timed lock every mutex of the
// library is taken through, and the frame detectors.
#ifndef VORLAN_SDK_IMPL_VORLAN_SDK_UTIL_HPP
#define VORLAN_SDK_IMPL_VORLAN_SDK_UTIL_HPP

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "vorlan_sdk_impl/vorlan_sdk.hpp"

namespace vorlan_sdk {
namespace util {

inline constexpr const char* kUtilHeaderFile = "include/vorlan_sdk_impl/vorlan_sdk_util";

// A timed mutex that knows which thread holds it, so that a thread that asks
// again for a lock it already holds (a callback registering its own kind from
// inside the call, say) is told so instead of waiting forever.
class TimedMutex {
public:
    TimedMutex() = default;
    TimedMutex(const TimedMutex&) = delete;
    TimedMutex& operator=(const TimedMutex&) = delete;

    void lock() {
        m_mutex.lock();
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    bool try_lock() {
        if (!m_mutex.try_lock()) {
            return false;
        }
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return true;
    }
    template <class Clock, class Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
        if (held_by_this_thread()) {
            std::this_thread::sleep_until(deadline);
            return false;
        }
        if (!m_mutex.try_lock_until(deadline)) {
            return false;
        }
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        m_owner.store(std::thread::id(), std::memory_order_relaxed);
        m_mutex.unlock();
    }
    // Only meaningful for the calling thread: true when it holds the lock.
    bool held_by_this_thread() const {
        return m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

private:
    std::timed_mutex m_mutex;
    std::atomic<std::thread::id> m_owner{};
};

// How long a lock is waited for before the "Deadlock!" report.
inline constexpr std::chrono::seconds kLockTimeout{1};

// Writes the report of a lock that could not be had in time.
inline void report_deadlock() {
    internal::throw_assert(kUtilHeaderFile, 15, "m_is_locked", "Deadlock!");
}

// Locks `mutex` with a one-second deadline. When the deadline passes the
// "Deadlock!" report is written; then, if another thread holds the lock (a
// slow callback, say), the guard goes on waiting so the guarded state is never
// touched unprotected and nothing is lost. If the calling thread itself holds
// the lock, waiting could never end: the guard gives up, is_locked() is false
// and the caller must skip or fail its operation.
//
// With `OnTimeout::give_up` the guard gives up after the report whoever holds
// the lock: for locks held while threads are joined, where waiting on could
// close a cycle with the thread being joined.
class LockGuard {
public:
    enum class OnTimeout { keep_waiting, give_up };

    explicit LockGuard(TimedMutex& mutex, OnTimeout on_timeout = OnTimeout::keep_waiting) : m_mutex(mutex) {
        // A free lock is taken without reading the clock: most locks on the
        // packet path are never contended.
        if (!m_mutex.held_by_this_thread() && m_mutex.try_lock()) {
            m_is_locked = true;
            return;
        }
        // A wall-clock deadline: it maps onto pthread_mutex_timedlock, which
        // the thread sanitizer understands.
        m_is_locked = m_mutex.try_lock_until(std::chrono::system_clock::now() + kLockTimeout);
        if (!m_is_locked) {
            report_deadlock();
            if (on_timeout == OnTimeout::keep_waiting && !m_mutex.held_by_this_thread()) {
                m_mutex.lock();
                m_is_locked = true;
            }
        }
    }
    ~LockGuard() {
        if (m_is_locked) {
            m_mutex.unlock();
        }
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

    bool is_locked() const { return m_is_locked; }

private:
    TimedMutex& m_mutex;
    bool m_is_locked = false;
};

}  // namespace util
}  // namespace vorlan_sdk

#include "vorlan_sdk_impl/frame_detector.hpp"

#endif  // VORLAN_SDK_IMPL_VORLAN_SDK_UTIL_HPP
