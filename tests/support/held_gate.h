// Holds a library thread at a test hook until the test lets it go: the hook
// calls pass(), which blocks; the test waits until the thread is held, looks
// at what the library does meanwhile, then opens the gate. One gate per
// process (hooks are plain function pointers).
#ifndef VORLAN_TEST_SUPPORT_HELD_GATE_H
#define VORLAN_TEST_SUPPORT_HELD_GATE_H

#include <condition_variable>
#include <mutex>

namespace vorlan_test {

class HeldGate {
public:
    static HeldGate& instance() {
        static HeldGate gate;
        return gate;
    }
    // Closes the gate for the next thread to come.
    void close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = false;
        m_held = false;
    }
    // Called by the hook: blocks until the gate is open.
    static void pass() {
        HeldGate& gate = instance();
        std::unique_lock<std::mutex> lock(gate.m_mutex);
        gate.m_held = true;
        gate.m_changed.notify_all();
        gate.m_changed.wait(lock, [&] { return gate.m_open; });
    }
    // Waits until a thread is held at the gate.
    void wait_held() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_held; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = true;   // guarded by m_mutex
    bool m_held = false;  // guarded by m_mutex
};

}  // namespace vorlan_test

#endif  // VORLAN_TEST_SUPPORT_HELD_GATE_H
