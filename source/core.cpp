#include "core.h"

#include <cstdio>
#include <cstring>

#include "capture_replay.h"
#include "frame.h"
#include "network.h"
#include "sensor.h"

#define VORLAN_SOURCE_FILE "source/core"

namespace vorlan_sdk {

// ---- Per-thread last error ------------------------------------------------

namespace {

// Set once the calling thread's slots are destroyed: the thread is ending, or
// the process is exiting and a client calls in from an atexit handler or a
// static destructor. Results are then no longer stored.
thread_local bool t_slots_gone = false;

struct LastErrorSlots {
    SensorError last;
    // The copy whose message vorlan_sdk_get_error hands out; kept apart from
    // `last` so that the text stays valid until the next such call.
    SensorError handed_out;
    ~LastErrorSlots() { t_slots_gone = true; }
};

LastErrorSlots* slots() {
    if (t_slots_gone) {
        return nullptr;
    }
    thread_local LastErrorSlots thread_slots;
    return &thread_slots;
}

}  // namespace

SensorError set_sdk_error(const SensorError& error) {
    LastErrorSlots* thread_slots = slots();
    if (thread_slots == nullptr) {
        return SensorError(error);
    }
    thread_slots->last = error;  // reports an unread failure it replaces
    return thread_slots->last;   // the copy carries the duty to be read; the slot is read
}

VorlanSensorErrorCode set_sdk_success() noexcept {
    LastErrorSlots* thread_slots = slots();
    if (thread_slots != nullptr && !thread_slots->last.ok()) {
        try {
            thread_slots->last = SensorError();
        } catch (...) {
            // Copying the empty text of success does not allocate.
        }
    }
    return VORLAN_SUCCESS;
}

SensorError get_sdk_error() {
    LastErrorSlots* thread_slots = slots();
    return thread_slots != nullptr ? SensorError(thread_slots->last) : SensorError();
}

namespace internal {
VorlanSensorErrorCode hand_out_last_error(const char** message) {
    LastErrorSlots* thread_slots = slots();
    if (thread_slots == nullptr) {
        if (message != nullptr) {
            *message = "";
        }
        return VORLAN_SUCCESS;
    }
    thread_slots->handed_out = get_sdk_error();  // reports an unread failure it replaces
    thread_slots->handed_out.mark_used();
    if (message != nullptr) {
        *message = thread_slots->handed_out.message().c_str();
    }
    return thread_slots->handed_out.peek_code();
}
}  // namespace internal

// ---- SDK manager ------------------------------------------------------------

SdkManager::SdkManager() : m_options(vorlan_sdk_create_frame_options()), m_frame_mode(m_options.mode) {
    // The managers this one drives are created first, so they are destroyed
    // after it: at process exit ~SdkManager can still stop their threads.
    CallbackManager::instance();
    SensorManager::instance();
    FrameManager::instance();
    NetworkManager::instance();
    CaptureReplay::instance();
}

SdkManager& SdkManager::instance() {
    static SdkManager manager;
    return manager;
}

SdkManager::~SdkManager() {
    if (!m_is_initialized.load()) {
        return;
    }
    std::fputs("SDK not deinitialized!\n", stderr);
    // Threads still running at exit would outlive the objects they use: stop
    // replay and the network while everything is still alive.
    CaptureReplay::instance().stop_threads();
    NetworkManager::instance().deinitialize();
}

SensorError SdkManager::initialize(int32_t sdk_ver, const VorlanSDKOptions* options, VorlanSensorErrorCallback cb,
                                   void* user_data) {
    if (sdk_ver != VORLAN_SDK_VERSION) {
        return VORLAN_ERROR_SDK_VERSION_MISMATCH;
    }
    if (options == nullptr || options->signature != sizeof(VorlanSDKOptions)) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    if ((options->control_flags & ~VORLAN_SDK_CONTROL_VALID_MASK) != 0) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    util::LockGuard lifecycle(m_lifecycle_mutex, util::LockGuard::OnTimeout::give_up);
    if (!lifecycle.is_locked()) {
        return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
    }
    if (m_is_initialized.load()) {
        VORLAN_RETURN_ERROR(deinitialize_impl());
    }
    m_control_flags.store(options->control_flags);
    VORLAN_RETURN_ERROR(set_frame_options(options->frame));
    VORLAN_RETURN_ERROR(NetworkManager::instance().set_port(options->port));
    if (cb != nullptr) {
        VORLAN_RETURN_ERROR(CallbackManager::instance().error_cb.set(cb, user_data));
    }
    SensorError network = NetworkManager::instance().initialize();
    if (!network.ok()) {
        // Leave no callback behind, so that a later initialize can succeed.
        CallbackManager::instance().error_cb.clear().mark_used();
        return network;
    }
    m_is_initialized.store(true);
    return VORLAN_SUCCESS;
}

SensorError SdkManager::deinitialize() {
    util::LockGuard lifecycle(m_lifecycle_mutex, util::LockGuard::OnTimeout::give_up);
    if (!lifecycle.is_locked()) {
        return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
    }
    return deinitialize_impl();
}

SensorError SdkManager::deinitialize_impl() {
    if (!m_is_initialized.load()) {
        return VORLAN_SUCCESS;
    }
    // C calls arriving from now on see an uninitialised library.
    m_is_initialized.store(false);
    CaptureReplay::instance().close().mark_used();
    NetworkManager::instance().deinitialize();
    CallbackManager::instance().clear();
    FrameManager::instance().clear();
    SensorManager::instance().clear();
    m_control_flags.store(0);
    return VORLAN_SUCCESS;
}

SensorError SdkManager::set_control_flags(VorlanSDKControl mask, VorlanSDKControl flags) {
    if ((mask & ~VORLAN_SDK_CONTROL_CHANGEABLE_MASK) != 0) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    const VorlanSDKControl toggled = mask & (flags ^ m_control_flags.load());
    if (toggled == 0) {
        return VORLAN_SUCCESS;
    }
    m_control_flags.fetch_xor(toggled);
    if ((toggled & VORLAN_SDK_CONTROL_DISABLE_NETWORK) != 0) {
        VORLAN_RETURN_ERROR(NetworkManager::instance().initialize());
    }
    return VORLAN_SUCCESS;
}

SensorError SdkManager::set_frame_options(const VorlanSDKFrameOptions& options) {
    VORLAN_CHECK_AT(126, options.signature == sizeof(options), VORLAN_ERROR_INVALID_ARGUMENTS,
                    "Options not initialized!");
    // Compared unsigned so that negative modes fail too.
    VORLAN_CHECK_AS(129, static_cast<uint32_t>(options.mode) <= VORLAN_SDK_FRAME_MODE_MAX,
                    "options.mode <= VORLAN_SDK_FRAME_MODE_MAX", VORLAN_ERROR_INVALID_ARGUMENTS,
                    "Invalid frame mode!");
    if (options.mode == VORLAN_SDK_FRAME_TIMED) {
        VORLAN_CHECK_AT(132, options.length > 0.0f, VORLAN_ERROR_INVALID_ARGUMENTS, "Invalid frame length!");
    }
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
        }
        m_options = options;
        m_frame_mode.store(options.mode);
    }
    // No lock of this manager is held while the frame manager takes its own.
    FrameManager::instance().set_options(options);
    return VORLAN_SUCCESS;
}

VorlanSDKFrameOptions SdkManager::get_frame_options() {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return vorlan_sdk_create_frame_options();
    }
    return m_options;
}

VorlanSDKFrameMode SdkManager::get_frame_mode() { return m_frame_mode.load(); }

float SdkManager::get_frame_length() { return get_frame_options().length; }

SensorError SdkManager::clear() {
    SensorManager::instance().clear();
    FrameManager::instance().clear();
    return VORLAN_SUCCESS;
}

SensorError SdkManager::clearFrames() {
    FrameManager::instance().clear();
    return VORLAN_SUCCESS;
}

// ---- Callback manager -------------------------------------------------------

CallbackManager& CallbackManager::instance() {
    static CallbackManager manager;
    return manager;
}

void CallbackManager::queue_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const std::string& message,
                                  const void* data, std::size_t data_size) {
    util::LockGuard lock(m_error_mutex);
    if (!lock.is_locked()) {
        return;
    }
    if (m_errors.size() >= kMaxQueuedErrors) {
        m_errors.pop_front();
    }
    ErrorData entry;
    entry.handle = handle;
    entry.code = code;
    entry.message = message;
    if (data != nullptr && data_size > 0) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        entry.data.assign(bytes, bytes + data_size);
    }
    m_errors.push_back(std::move(entry));
    m_n_errors.store(m_errors.size());
}

void CallbackManager::emit_queued() {
    if (m_n_errors.load() == 0) {
        return;
    }
    util::LockGuard lock(m_error_mutex);
    if (!lock.is_locked()) {
        return;
    }
    for (const ErrorData& entry : m_errors) {
        error_cb.emit(entry.handle, entry.code, entry.message.c_str(),
                      static_cast<const void*>(entry.data.empty() ? nullptr : entry.data.data()), entry.data.size());
    }
    m_errors.clear();
    m_n_errors.store(0);
}

void CallbackManager::emit_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message,
                                 const void* data, std::size_t data_size) {
    util::LockGuard lock(m_error_mutex);
    if (!lock.is_locked()) {
        return;
    }
    error_cb.emit(handle, code, message, data, data_size);
}

void CallbackManager::clear() {
    error_cb.clear().mark_used();
    network_cb.clear().mark_used();
    serial_cb.clear().mark_used();
    raw_frame_cb.clear().mark_used();
    image_frame_cb.clear().mark_used();
    waveform_cb.clear().mark_used();
    sensor_info_cb.clear().mark_used();
}

}  // namespace vorlan_sdk
