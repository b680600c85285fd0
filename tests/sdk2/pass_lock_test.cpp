#include "pass_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace vorlan_sdk2 {
namespace {

// Threads take the lock in turns, some holding it long enough that the others
// go to sleep on it: every increment of the unguarded counter survives (no
// two holders at once), and every thread finishes (no sleeper is left without
// its wake-up; a lost one would hang the test until its time-out).
TEST(PassLock, ExcludesAndWakesEverySleeper) {
    PassLock lock;
    std::uint64_t counter = 0;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                std::lock_guard<PassLock> held(lock);
                ++counter;
                if (round % 4000 == t) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, std::uint64_t{kThreads} * kRounds);
}

// The next holder may destroy the lock as soon as it has it, even when the
// holder before found a sleeper to wake: that holder must be done with the
// lock by then (AddressSanitizer and ThreadSanitizer would see it touch the
// lock afterwards).
TEST(PassLock, NextHolderMayDestroyIt) {
    for (int round = 0; round < 200; ++round) {
        auto* lock = new PassLock;
        lock->lock();
        std::atomic<bool> trying{false};
        std::thread next([&] {
            trying = true;
            lock->lock();
            lock->unlock();
            delete lock;
        });
        while (!trying) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(round % 4 == 0 ? 0 : 200));
        lock->unlock();
        next.join();
    }
}

TEST(PassLock, TryLockFailsOnlyWhileHeld) {
    PassLock lock;
    ASSERT_TRUE(lock.try_lock());
    std::atomic<bool> taken_elsewhere{true};
    std::thread([&] { taken_elsewhere = lock.try_lock(); }).join();
    EXPECT_FALSE(taken_elsewhere);
    lock.unlock();
    std::thread([&] { taken_elsewhere = lock.try_lock(); }).join();
    EXPECT_TRUE(taken_elsewhere);
    lock.unlock();
}

}  // namespace
}  // namespace vorlan_sdk2
