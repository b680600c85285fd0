// A client parser that takes every payload and keeps a copy, for tests whose
// payloads arrive on the library's threads.
#ifndef VORLAN_TESTS_SDK2_PAYLOAD_RECORDER_H
#define VORLAN_TESTS_SDK2_PAYLOAD_RECORDER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "vorlan_sdk2.h"

namespace vorlan_sdk2_test {

struct Payload {
    uint64_t handle;
    int64_t timestamp;
    std::vector<uint8_t> bytes;
    std::thread::id thread;
};

class PayloadRecorder {
public:
    // Runs on the delivering thread before the payload is recorded (a slow
    // listener, or one that calls back into the library).
    std::function<void(const Payload&)> before_record;

    PayloadRecorder() = default;
    PayloadRecorder(const PayloadRecorder&) = delete;
    PayloadRecorder& operator=(const PayloadRecorder&) = delete;
    // The parser chain outlives a deinitialisation: the recorder leaves it.
    ~PayloadRecorder() {
        if (VorlanIsInitialized() == 1) {
            VorlanUnregisterParser(&PayloadRecorder::parse, this);
        }
    }

    int registerAsParser() { return VorlanRegisterParser(&PayloadRecorder::parse, this); }

    // Waits, up to a bound meant never to be reached, for `count` payloads.
    bool waitFor(size_t count, std::chrono::seconds bound = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_arrived.wait_for(lock, bound, [&] { return m_payloads.size() >= count; });
    }

    // Waits, up to the same bound, until `done` holds for the payloads so far.
    bool waitUntil(const std::function<bool(const std::vector<Payload>&)>& done,
                   std::chrono::seconds bound = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_arrived.wait_for(lock, bound, [&] { return done(m_payloads); });
    }

    std::vector<Payload> payloads() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_payloads;
    }

private:
    static int parse(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void* user_data) {
        auto* self = static_cast<PayloadRecorder*>(user_data);
        Payload payload{handle, timestamp, std::vector<uint8_t>(data, data + size), std::this_thread::get_id()};
        if (self->before_record) {
            self->before_record(payload);
        }
        // Notified under the lock: once a waiter sees the payload, this call
        // no longer touches the recorder, which may then be destroyed.
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_payloads.push_back(std::move(payload));
        self->m_arrived.notify_all();
        return 0;
    }

    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::vector<Payload> m_payloads;  // guarded by m_mutex
};

}  // namespace vorlan_sdk2_test

#endif  // VORLAN_TESTS_SDK2_PAYLOAD_RECORDER_H
