// Waiting in tests for what another thread does: poll a condition until it
// holds. The bound only ends a wait that would never succeed; it says
// nothing about speed, so it is generous enough for a loaded machine running
// a sanitizer build.
#ifndef VORLAN_TEST_SUPPORT_EVENTUALLY_H
#define VORLAN_TEST_SUPPORT_EVENTUALLY_H

#include <chrono>
#include <functional>
#include <thread>

namespace vorlan_test {

constexpr std::chrono::milliseconds kEventualBound = std::chrono::seconds(20);

// True as soon as `done` returns true, false once `bound` has passed without
// it. `done` runs on the calling thread, every `interval`; a condition that
// sends something each time it is asked (to make up for a lost datagram)
// picks an interval that keeps the traffic modest.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds bound = kEventualBound,
                       std::chrono::milliseconds interval = std::chrono::milliseconds(1)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
    return true;
}

}  // namespace vorlan_test

#endif  // VORLAN_TEST_SUPPORT_EVENTUALLY_H
