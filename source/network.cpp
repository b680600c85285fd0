#include "network.h"

#include <chrono>
#include <exception>
#include <new>
#include <string>

#include "byte_order.h"
#include "core.h"
#include "large_object_pool.h"
#include "sensor.h"
#include "socket_listener.h"
#include "thread_name.h"

namespace vorlan_sdk {

namespace {

// How long the worker waits for a packet before it looks at its run flag
// again; a stop also wakes it at once. The deadline is taken on the wall
// clock, whose timed waits the thread sanitizer understands; a clock step
// only lengthens or shortens one idle wait.
constexpr std::chrono::nanoseconds kWorkerWait{9'999'000};

// How long the I/O thread holds back for a worker that fell behind.
constexpr std::chrono::milliseconds kCatchUpWait{2};

int64_t wall_clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Queues the exception being handled as an error of `handle`, so that it
// reaches the client instead of ending a library thread.
void queue_current_exception(VorlanSensorHandle handle) noexcept {
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            CallbackManager::instance().queue_error(handle, VORLAN_ERROR_OUT_OF_MEMORY, std::string());
        } catch (const std::exception& error) {
            CallbackManager::instance().queue_error(handle, VORLAN_ERROR_GENERIC, error.what());
        } catch (...) {
            CallbackManager::instance().queue_error(handle, VORLAN_ERROR_GENERIC, std::string());
        }
    } catch (...) {
        // Out of memory while queueing: the error cannot be kept.
    }
}

}  // namespace

NetworkManager::NetworkManager() {
    // The worker calls into both; created first, they are destroyed after
    // this manager has stopped it.
    CallbackManager::instance();
    SensorManager::instance();
}

NetworkManager& NetworkManager::instance() {
    static NetworkManager manager;
    return manager;
}

NetworkManager::~NetworkManager() { deinitialize(); }

SensorError NetworkManager::initialize() {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
    }
    return initialize_impl();
}

void NetworkManager::deinitialize() {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return;
    }
    m_is_retry_pending = false;
    deinitialize_impl();
}

SensorError NetworkManager::set_port(uint16_t port) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
    }
    m_port.store(port);
    if (m_is_initialized.load() || m_is_retry_pending) {
        return initialize_impl();
    }
    return VORLAN_SUCCESS;
}

NetworkManager::Statistics NetworkManager::get_statistics() const {
    Statistics statistics;
    statistics.received = m_n_received.load();
    statistics.dropped = m_n_dropped.load();
    return statistics;
}

SensorError NetworkManager::initialize_impl() {
    deinitialize_impl();
    if (SdkManager::instance().has_control_flag(VORLAN_SDK_CONTROL_DISABLE_NETWORK)) {
        m_is_retry_pending = false;
        return VORLAN_SUCCESS;
    }
    const uint16_t port = m_port.load();
    std::error_code error;
    std::unique_ptr<SocketListener> listener = SocketListener::open(port, error);
    if (listener == nullptr) {
        m_is_retry_pending = true;
        return SensorError(VORLAN_ERROR_COMMUNICATION,
                           "Cannot listen on UDP port " + std::to_string(port) + ": " + error.message());
    }
    listener->listen([this](const std::error_code& receive_error, VorlanSensorHandle handle, int32_t size,
                            const uint8_t* data) { receive(receive_error, handle, size, data); });
    // Packets are queued quietly and the worker is woken once per burst.
    listener->burst_end.listen([this] { end_burst(); });
    auto running = std::make_shared<std::atomic<bool>>(true);
    listener->run();
    try {
        m_worker = std::thread([this, running] { work(running); });
    } catch (const std::system_error& thread_error) {
        listener->stop();
        m_is_retry_pending = true;
        return SensorError(VORLAN_ERROR_GENERIC, thread_error.what());
    }
    m_listener = std::move(listener);
    m_is_running = std::move(running);
    m_is_retry_pending = false;
    m_is_initialized.store(true);
    return VORLAN_SUCCESS;
}

void NetworkManager::deinitialize_impl() {
    m_is_initialized.store(false);
    if (m_is_running != nullptr) {
        m_is_running->store(false);
    }
    if (m_listener != nullptr) {
        m_listener->stop();
        m_listener.reset();
    }
    m_queue.interrupt();
    if (m_worker.joinable()) {
        if (m_worker.get_id() == std::this_thread::get_id()) {
            // Stopped from one of the worker's own callbacks: it ends by
            // itself once the callback returns.
            m_worker.detach();
        } else {
            m_worker.join();
        }
    }
    m_is_running.reset();
}

void NetworkManager::receive(const std::error_code& error, VorlanSensorHandle handle, int32_t size,
                             const uint8_t* data) {
    if (error) {
        // The error number in the first four bytes, the rest zero.
        uint8_t record[16] = {};
        util::store_u32le(record, static_cast<uint32_t>(error.value()));
        try {
            CallbackManager::instance().queue_error(0, VORLAN_ERROR_COMMUNICATION, error.message(), record,
                                                    sizeof(record));
        } catch (...) {
            // Out of memory: the error cannot be kept.
        }
        return;
    }
    // One pool per receiving thread; packets still queued or being decoded
    // keep it alive after the thread has ended.
    thread_local std::shared_ptr<util::LargeObjectPool<Packet>> pool = util::LargeObjectPool<Packet>::create();
    try {
        std::shared_ptr<Packet> packet = pool->get();
        packet->handle = handle;
        packet->timestamp = wall_clock_us();
        packet->data.assign(data, data + size);
        m_n_dropped.fetch_add(m_queue.push_quietly(std::move(packet), kMaxQueuedPackets));
        m_n_received.fetch_add(1);
    } catch (...) {
        queue_current_exception(handle);
    }
}

void NetworkManager::end_burst() {
    m_queue.notify();
    // A worker that fell behind (descheduled on a busy host, or in a slow
    // callback) gets a moment to catch up before the backlog would overflow;
    // meanwhile the socket's much larger buffer holds what arrives. A worker
    // that stays behind still loses the backlog once the wait is over.
    if (static_cast<std::size_t>(m_queue.size()) > kMaxQueuedPackets / 2) {
        m_queue.wait_until_at_most(kMaxQueuedPackets / 4, std::chrono::system_clock::now() + kCatchUpWait);
    }
}

void NetworkManager::work(std::shared_ptr<std::atomic<bool>> running) {
    util::name_this_thread("vorlan-worker");
    CallbackManager& callbacks = CallbackManager::instance();
    SensorManager& sensors = SensorManager::instance();
    std::shared_ptr<Packet> packet;
    while (running->load()) {
        if (!m_queue.pop(packet, std::chrono::system_clock::now() + kWorkerWait)) {
            continue;
        }
        const VorlanSensorHandle handle = packet->handle;
        const int64_t timestamp = packet->timestamp;
        const uint8_t* data = packet->data.data();
        const std::size_t size = packet->data.size();
        try {
            callbacks.network_cb.emit(handle, timestamp, data, size);
            sensors.handle_network_receive(handle, timestamp, static_cast<int32_t>(size), data);
        } catch (...) {
            queue_current_exception(handle);
        }
        packet.reset();  // back to its pool
    }
}

}  // namespace vorlan_sdk
