// The timed lock: the report after a second, and what the guard does then.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "vorlan_sdk_impl/vorlan_sdk_util.hpp"

namespace vorlan_sdk::util {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

const char* const kDeadlockReport =
    "AssertionError: Deadlock!\n"
    "  File \"include/vorlan_sdk_impl/vorlan_sdk_util\", line 15\n"
    "    m_is_locked\n";

TEST(LockGuard, LocksAndUnlocks) {
    TimedMutex mutex;
    {
        LockGuard guard(mutex);
        EXPECT_TRUE(guard.is_locked());
        EXPECT_TRUE(mutex.held_by_this_thread());
    }
    EXPECT_FALSE(mutex.held_by_this_thread());
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
}

TEST(LockGuard, ReportsThenWaitsForAnotherThreadsLock) {
    TimedMutex mutex;
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        mutex.lock();
        held = true;
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        mutex.unlock();
    });
    while (!held) {
        std::this_thread::yield();
    }
    // The holder lets go well after the guard's one-second deadline.
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        release = true;
    });
    CaptureStderr();
    {
        LockGuard guard(mutex);
        EXPECT_TRUE(guard.is_locked());  // it waited for the lock after the report
        EXPECT_TRUE(release.load());
    }
    EXPECT_EQ(kDeadlockReport, GetCapturedStderr());
    holder.join();
    releaser.join();
}

TEST(LockGuard, GivesUpOnAnotherThreadsLockWhenAskedTo) {
    TimedMutex mutex;
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        mutex.lock();
        held = true;
        while (!release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        mutex.unlock();
    });
    while (!held) {
        std::this_thread::yield();
    }
    CaptureStderr();
    {
        LockGuard guard(mutex, LockGuard::OnTimeout::give_up);
        EXPECT_FALSE(guard.is_locked());
    }
    EXPECT_EQ(kDeadlockReport, GetCapturedStderr());
    release = true;
    holder.join();
}

TEST(LockGuard, GivesUpOnALockTheCallerAlreadyHolds) {
    TimedMutex mutex;
    LockGuard outer(mutex);
    CaptureStderr();
    {
        LockGuard inner(mutex);
        EXPECT_FALSE(inner.is_locked());
    }
    EXPECT_EQ(kDeadlockReport, GetCapturedStderr());
    EXPECT_TRUE(mutex.held_by_this_thread());  // the outer guard still holds it
}

}  // namespace
}  // namespace vorlan_sdk::util
