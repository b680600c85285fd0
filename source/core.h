// Library-wide state: the per-thread last error, the SDK manager (lifecycle,
// control flags, frame options) and the registry of client callbacks.
#ifndef VORLAN_SOURCE_CORE_H
#define VORLAN_SOURCE_CORE_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "vorlan_sdk.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"
#include "vorlan_sdk_impl/vorlan_sdk_util.hpp"

namespace vorlan_sdk {

// ---- Per-thread last error ------------------------------------------------

namespace internal {
// Hands out the calling thread's last error: its code, and through `message`
// (when not null) its text, valid until the next call on this thread.
VorlanSensorErrorCode hand_out_last_error(const char** message);
}  // namespace internal

// Stores `error` as the calling thread's last error and returns a copy for
// the caller to consume.
SensorError set_sdk_error(const SensorError& error);
// Stores success as the calling thread's last error, as set_sdk_error does,
// without making an error object when the last error is success already.
VorlanSensorErrorCode set_sdk_success() noexcept;
// A copy of the calling thread's last error; the stored one counts as read.
SensorError get_sdk_error();

// ---- SDK manager ------------------------------------------------------------

class SdkManager {
public:
    static SdkManager& instance();
    ~SdkManager();

    // Checks and applies `options`, registers `cb` as the error callback and
    // starts the network unless it is disabled. A null `options` is refused.
    SensorError initialize(int32_t sdk_ver, const VorlanSDKOptions* options, VorlanSensorErrorCallback cb,
                           void* user_data);
    // Stops replay and the network, forgets callbacks, frames and sensors.
    SensorError deinitialize();
    bool is_initialized() const { return m_is_initialized.load(); }

    VorlanSDKControl get_control_flags() const { return m_control_flags.load(); }
    // True when any bit of `flag` is set.
    bool has_control_flag(VorlanSDKControl flag) const { return (m_control_flags.load() & flag) != 0; }
    SensorError set_control_flags(VorlanSDKControl mask, VorlanSDKControl flags);

    // Validates and stores `options`, then applies them to every frame.
    SensorError set_frame_options(const VorlanSDKFrameOptions& options);
    VorlanSDKFrameOptions get_frame_options();
    VorlanSDKFrameMode get_frame_mode();
    float get_frame_length();

    // Forgets every sensor, then every frame.
    SensorError clear();
    // Empties every frame only.
    SensorError clearFrames();

private:
    SdkManager();
    SdkManager(const SdkManager&) = delete;
    SdkManager& operator=(const SdkManager&) = delete;

    SensorError deinitialize_impl();

    std::atomic<bool> m_is_initialized{false};
    std::atomic<VorlanSDKControl> m_control_flags{0};
    util::TimedMutex m_mutex;  // guards m_options
    VorlanSDKFrameOptions m_options;
    // A copy of m_options.mode, written under m_mutex, that every packet can
    // read without taking the lock.
    std::atomic<VorlanSDKFrameMode> m_frame_mode;
    // Serialises initialize and deinitialize against each other. Held while
    // the library's threads are joined, so it is never waited on past its
    // deadline: a callback deinitialising while a client does fails instead.
    util::TimedMutex m_lifecycle_mutex;
};

// ---- Callback manager -------------------------------------------------------

// One registered client callback and its user data.
template <class Function>
class CallbackSlot {
public:
    // Refuses a null callback and an occupied slot.
    SensorError set(Function cb, void* user_data) {
        if (cb == nullptr) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
        }
        if (m_cb != nullptr) {
            return VORLAN_ERROR_TOO_MANY_CALLBACKS;
        }
        m_cb = cb;
        m_user_data = user_data;
        return VORLAN_SUCCESS;
    }

    SensorError clear() {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
        }
        m_cb = nullptr;
        m_user_data = nullptr;
        return VORLAN_SUCCESS;
    }

    // Calls the callback, if any, with `args` and the user data. The slot's
    // lock is held during the call, so the callback must not register or
    // remove a callback of its own kind.
    template <class... Args>
    void emit(Args... args) {
        util::LockGuard lock(m_mutex);
        if (lock.is_locked() && m_cb != nullptr) {
            m_cb(args..., m_user_data);
        }
    }

    // Whether a callback is registered at the moment of the call; lets a
    // producer skip preparing an event nobody listens to.
    bool is_set() {
        util::LockGuard lock(m_mutex);
        return lock.is_locked() && m_cb != nullptr;
    }

private:
    util::TimedMutex m_mutex;  // guards m_cb and m_user_data
    Function m_cb = nullptr;
    void* m_user_data = nullptr;
};

class CallbackManager {
public:
    // One error met while receiving or decoding, waiting for delivery.
    struct ErrorData {
        VorlanSensorHandle handle = 0;
        VorlanSensorErrorCode code = VORLAN_SUCCESS;
        std::string message;
        std::vector<uint8_t> data;
    };

    // Errors kept while no packet comes to deliver them; older ones are
    // dropped beyond this, so a socket failing in a loop cannot exhaust memory.
    static constexpr std::size_t kMaxQueuedErrors = 1000;

    static CallbackManager& instance();

    // Queues an error for the error callback; `data` is copied.
    void queue_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const std::string& message,
                     const void* data = nullptr, std::size_t data_size = 0);
    // Delivers every queued error in arrival order to the error callback and
    // empties the queue. Called at the start of every received packet.
    void emit_queued();
    // Calls the error callback at once, under the error queue's lock, for
    // faults that are reported rather than queued.
    void emit_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void* data,
                    std::size_t data_size);
    // Empties every slot; the error queue stays.
    void clear();

    CallbackSlot<VorlanSensorErrorCallback> error_cb;
    CallbackSlot<VorlanNetworkReceiveCallback> network_cb;
    CallbackSlot<VorlanSerialReceiveCallback> serial_cb;
    CallbackSlot<VorlanSensorRawFramesCallback> raw_frame_cb;
    CallbackSlot<VorlanSensorImageFramesCallback> image_frame_cb;
    CallbackSlot<VorlanSensorWaveformCallback> waveform_cb;
    CallbackSlot<VorlanSensorInformationCallback> sensor_info_cb;

private:
    CallbackManager() = default;

    util::TimedMutex m_error_mutex;  // guards m_errors; taken before error_cb's lock
    std::deque<ErrorData> m_errors;
    // Lets the per-packet emit_queued skip the lock when nothing waits.
    std::atomic<std::size_t> m_n_errors{0};
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_CORE_H
