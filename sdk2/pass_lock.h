// The lock held for a listener list's invocation pass, which runs for every
// point batch. Taken and let go without contention, it costs one atomic
// instruction each way and a handful of others, where a pthread mutex spends
// several dozen. A thread that finds it held sleeps: a pass may last long (a
// frame listener can wait for the FIFO's reader).
//
// The state says whether anybody may be sleeping, so that letting go wakes a
// sleeper only when there can be one. A sleeper marks the lock contended
// under the sleep mutex before it sleeps; a holder that finds the mark frees
// the lock under that mutex too, so no wake-up falls between a mark and its
// sleep. It wakes the sleeper before it frees the lock: whoever takes the lock
// next comes after everything the holder did with it, and may destroy it. A
// sleeper that gets the lock leaves it marked contended: others may still
// sleep, and its own release must wake one of them.
#ifndef VORLAN_SDK2_PASS_LOCK_H
#define VORLAN_SDK2_PASS_LOCK_H

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace vorlan_sdk2 {

class PassLock {
public:
    PassLock() = default;
    PassLock(const PassLock&) = delete;
    PassLock& operator=(const PassLock&) = delete;

    bool try_lock() {
        int expected = kFree;
        return m_state.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                               std::memory_order_relaxed);
    }

    void lock() {
        if (!try_lock()) {
            lock_contended();
        }
    }

    void unlock() {
        int held = kHeld;
        if (!m_state.compare_exchange_strong(held, kFree, std::memory_order_release, std::memory_order_relaxed)) {
            wake_one_and_free();
        }
    }

private:
    enum : int { kFree = 0, kHeld = 1, kContended = 2 };

    void lock_contended() {
        std::unique_lock<std::mutex> sleep(m_sleep_mutex);
        while (m_state.exchange(kContended, std::memory_order_acquire) != kFree) {
            m_wake.wait(sleep);
        }
    }

    void wake_one_and_free() {
        std::lock_guard<std::mutex> sleep(m_sleep_mutex);
        m_wake.notify_one();  // the sleeper wakes into the sleep mutex, held here
        m_state.store(kFree, std::memory_order_release);
    }

    std::atomic<int> m_state{kFree};
    std::mutex m_sleep_mutex;
    std::condition_variable m_wake;
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_PASS_LOCK_H
