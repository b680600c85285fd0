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

// Holds `mutex` on a thread of its own until release() or destruction.
class HeldElsewhere {
public:
    explicit HeldElsewhere(TimedMutex& mutex) : m_holder([this, &mutex] {
        mutex.lock();
        m_held = true;
        while (!m_release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        mutex.unlock();
    }) {
        while (!m_held) {
            std::this_thread::yield();
        }
    }
    ~HeldElsewhere() { release(); }
    void release() {
        m_release = true;
        if (m_holder.joinable()) {
            m_holder.join();
        }
    }
    bool released() const { return m_release; }
    void release_later(std::chrono::milliseconds delay) {
        m_releaser = std::thread([this, delay] {
            std::this_thread::sleep_for(delay);
            m_release = true;
        });
    }
    void join_releaser() { m_releaser.join(); }

private:
    std::atomic<bool> m_held{false};
    std::atomic<bool> m_release{false};
    std::thread m_holder;
    std::thread m_releaser;
};

TEST(LockGuard, ReportsThenWaitsForAnotherThreadsLock) {
    TimedMutex mutex;
    HeldElsewhere holder(mutex);
    // The holder lets go well after the guard's one-second deadline.
    holder.release_later(std::chrono::milliseconds(2500));
    CaptureStderr();
    {
        LockGuard guard(mutex);
        EXPECT_TRUE(guard.is_locked());  // it waited for the lock after the report
        EXPECT_TRUE(holder.released());
    }
    EXPECT_EQ(kDeadlockReport, GetCapturedStderr());
    holder.join_releaser();
}

TEST(LockGuard, GivesUpOnAnotherThreadsLockWhenAskedTo) {
    TimedMutex mutex;
    HeldElsewhere holder(mutex);
    CaptureStderr();
    {
        LockGuard guard(mutex, LockGuard::OnTimeout::give_up);
        EXPECT_FALSE(guard.is_locked());
    }
    EXPECT_EQ(kDeadlockReport, GetCapturedStderr());
}

// The guard that gave up leaves the lock to the one holding it, which lets
// go when it ends.
TEST(LockGuard, GivesUpOnALockTheCallerAlreadyHolds) {
    TimedMutex mutex;
    {
        LockGuard outer(mutex);
        ASSERT_TRUE(outer.is_locked());
        CaptureStderr();
        {
            LockGuard inner(mutex);
            EXPECT_FALSE(inner.is_locked());
        }
        EXPECT_EQ(kDeadlockReport, GetCapturedStderr());
        EXPECT_TRUE(mutex.held_by_this_thread());  // the outer guard still holds it
    }
    EXPECT_FALSE(mutex.held_by_this_thread());
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
}

}  // namespace
}  // namespace vorlan_sdk::util
