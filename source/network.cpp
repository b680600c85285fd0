#include "network.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "core.h"
#include "large_object_pool.h"
#include "sensor.h"
#include "socket_listener.h"
#include "thread_name.h"
#include "wire_bytes.h"

namespace vorlan_sdk {

namespace {

// How long the worker waits for a packet before it looks at its run flag
// again; a stop also wakes it at once. The deadline is taken on the wall
// clock, whose timed waits the thread sanitizer understands; a clock step
// only lengthens or shortens one idle wait.
constexpr std::chrono::nanoseconds kWorkerWait{9'999'000};

// A full queue's producer waits until the worker has taken this many off it,
// so that it is woken once per stall rather than once per packet.
constexpr std::size_t kRoomToResume = NetworkManager::kMaxQueuedPackets / 2;

// How often a producer waiting for room looks at its run flag.
constexpr std::chrono::milliseconds kStallSlice{10};

// Least time between two reports of lost datagrams, so that a worker stuck
// for long does not flood the client with them.
constexpr int64_t kLossReportIntervalUs = 1'000'000;

// Packets alive at once: a full queue, the one the worker decodes and the
// one the I/O thread fills.
constexpr std::size_t kPooledPackets = NetworkManager::kMaxQueuedPackets + 2;

// The payload capacity every pooled packet starts with: sensors' point and
// waveform datagrams fit, so receiving allocates nothing once the pool
// exists. A larger datagram grows the one packet it lands in until it has
// been decoded; kept, the rare large datagrams of a hostile or broken
// sender would leave every pooled packet at the largest UDP size in turn.
constexpr std::size_t kPooledPayloadCapacity = 2048;

// Gives a grown packet its usual capacity back before it returns to its pool.
void shrink_payload(NetworkManager::Packet& packet) noexcept {
    if (packet.data.capacity() <= kPooledPayloadCapacity) {
        return;
    }
    try {
        std::vector<uint8_t> usual;
        usual.reserve(kPooledPayloadCapacity);
        packet.data.swap(usual);
    } catch (const std::bad_alloc&) {
        packet.data.clear();
        packet.data.shrink_to_fit();
    }
}

int64_t wall_clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t steady_clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::shared_ptr<util::LargeObjectPool<NetworkManager::Packet>> make_packet_pool() {
    auto pool = util::LargeObjectPool<NetworkManager::Packet>::create();
    pool->reserve(kPooledPackets, [](NetworkManager::Packet& packet) { packet.data.reserve(kPooledPayloadCapacity); });
    return pool;
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
    m_queue.reserve(kMaxQueuedPackets);
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
    statistics.lost_in_socket = m_n_lost_in_socket.load();
    statistics.stalls = m_n_stalls.load();
    return statistics;
}

int NetworkManager::socket_buffer_size() {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() && m_listener != nullptr ? m_listener->socket_buffer_size() : 0;
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
    auto running = std::make_shared<std::atomic<bool>>(true);
    listener->listen([this, running](const std::error_code& receive_error, VorlanSensorHandle handle, int32_t size,
                                     const uint8_t* data) { receive(*running, receive_error, handle, size, data); });
    // Packets are queued in batches of at most one system call's read, the
    // last of a burst when it ends.
    listener->burst_end.listen([this] { end_burst(); });
    listener->system_drops.listen([this](uint64_t count) {
        m_n_lost_in_socket.fetch_add(count);
        m_n_unreported_socket_losses.fetch_add(count);
    });
    listener->run();
    try {
        m_worker = std::thread([this, running] { work(running); });
    } catch (const std::system_error& thread_error) {
        running->store(false);
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

void NetworkManager::receive(const std::atomic<bool>& running, const std::error_code& error,
                             VorlanSensorHandle handle, int32_t size, const uint8_t* data) {
    if (error) {
        // The error number in the first four bytes, the rest zero.
        uint8_t record[16] = {};
        vorlan_common::store_u32le(record, static_cast<uint32_t>(error.value()));
        try {
            CallbackManager::instance().queue_error(0, VORLAN_ERROR_COMMUNICATION, error.message(), record,
                                                    sizeof(record));
        } catch (...) {
            // Out of memory: the error cannot be kept.
        }
        return;
    }
    try {
        // One pool per receiving thread, filled at its first datagram;
        // packets still queued or being decoded keep it alive after the
        // thread has ended.
        thread_local std::shared_ptr<util::LargeObjectPool<Packet>> pool = make_packet_pool();
        if (static_cast<std::size_t>(m_queue.size()) + m_n_staged >= kMaxQueuedPackets) {
            push_staged();
            make_room(running);
        }
        std::shared_ptr<Packet> packet = pool->get();
        packet->handle = handle;
        packet->timestamp = wall_clock_us();
        packet->data.assign(data, data + size);
        m_staged[m_n_staged++] = std::move(packet);
        m_n_received.fetch_add(1);
        if (m_n_staged == m_staged.size()) {
            push_staged();
        }
    } catch (...) {
        queue_current_exception(handle);
    }
}

void NetworkManager::make_room(const std::atomic<bool>& running) {
    m_n_stalls.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_max_stall_ms.load());
    // A stopping listener goes on without waiting: it reads at most the rest
    // of its burst, and the next worker takes what is queued.
    while (running.load()) {
        const auto left = std::max(std::chrono::steady_clock::duration::zero(),
                                   deadline - std::chrono::steady_clock::now());
        const auto slice = std::min<std::chrono::steady_clock::duration>(left, kStallSlice);
        // The wall clock for the wait itself: its timed waits are the ones
        // the thread sanitizer understands.
        if (m_queue.wait_until_at_most(kRoomToResume, std::chrono::system_clock::now() + slice)) {
            return;
        }
        if (left == std::chrono::steady_clock::duration::zero()) {
            const std::size_t dropped = m_queue.clear();
            m_n_dropped.fetch_add(dropped);
            m_n_unreported_drops.fetch_add(dropped);
            return;
        }
    }
}

void NetworkManager::end_burst() {
    if (m_n_staged != 0) {
        push_staged();
    }
}

void NetworkManager::push_staged() {
    // Wakes the worker if it sleeps, so that it decodes these while the rest
    // of a long burst is still being read.
    const std::size_t lost = m_queue.push_all(m_staged.data(), m_n_staged);
    m_n_staged = 0;
    m_n_dropped.fetch_add(lost);
    m_n_unreported_drops.fetch_add(lost);
}

void NetworkManager::report_losses() {
    const int64_t now = steady_clock_us();
    int64_t last = m_last_loss_report_us.load();
    if (last != INT64_MIN && now - last < kLossReportIntervalUs) {
        return;
    }
    if (!m_last_loss_report_us.compare_exchange_strong(last, now)) {
        return;  // another worker, finishing after a restart, reports them
    }
    const uint64_t dropped = m_n_unreported_drops.exchange(0);
    const uint64_t lost_in_socket = m_n_unreported_socket_losses.exchange(0);
    const uint64_t lost = dropped + lost_in_socket;
    if (lost == 0) {
        return;
    }
    // As for socket errors, a 16-byte record: the system's error number
    // (none here) in the first four bytes, then the number of datagrams lost
    // as 64 bits at byte 8.
    uint8_t record[16] = {};
    vorlan_common::store_u64le(record + 8, lost);
    std::string message = "Lost " + std::to_string(lost) + " UDP datagrams:";
    if (dropped != 0) {
        message += " " + std::to_string(dropped) + " waiting for a packet worker that fell behind were dropped";
    }
    if (lost_in_socket != 0) {
        message += std::string(dropped != 0 ? ";" : "") + " " + std::to_string(lost_in_socket) +
                   " found the socket's receive buffer full";
    }
    CallbackManager& callbacks = CallbackManager::instance();
    callbacks.queue_error(0, VORLAN_ERROR_COMMUNICATION, message, record, sizeof(record));
    // Delivered now rather than with the next datagram, which may never come.
    callbacks.emit_queued();
}

void NetworkManager::work(std::shared_ptr<std::atomic<bool>> running) {
    util::name_this_thread("vorlan-worker");
    CallbackManager& callbacks = CallbackManager::instance();
    SensorManager& sensors = SensorManager::instance();
    std::shared_ptr<Packet> packet;
    while (running->load()) {
        if (m_n_unreported_drops.load(std::memory_order_relaxed) != 0 ||
            m_n_unreported_socket_losses.load(std::memory_order_relaxed) != 0) {
            try {
                report_losses();
            } catch (...) {
                queue_current_exception(0);
            }
        }
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
        shrink_payload(*packet);
        packet.reset();  // back to its pool
    }
}

}  // namespace vorlan_sdk
