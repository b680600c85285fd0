#include "networking_source.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <utility>

#include "delivery_cancel.h"
#include "thread_name.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

namespace {

int64_t wallClockMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t steadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int64_t kDropReportIntervalUs = 1000000;

}  // namespace

SocketListener::SocketListener(DatagramSink sink, void* context) : m_sink(sink), m_context(context) {}

std::shared_ptr<SocketListener> SocketListener::open(uint16_t port, DatagramSink sink, void* context,
                                                     std::error_code& error) {
    std::shared_ptr<SocketListener> listener(new SocketListener(sink, context));
    if (!listener->m_socket.open(port, "vorlan_sdk2: ", error)) {
        return nullptr;
    }
    return listener;
}

std::shared_ptr<SocketListener> SocketListener::openMulticast(const asio::ip::address& group,
                                                              const asio::ip::address& interface_address,
                                                              uint16_t port, DatagramSink sink, void* context,
                                                              std::error_code& error) {
    if (!group.is_v4() || !interface_address.is_v4()) {
        error = std::make_error_code(std::errc::invalid_argument);
        return nullptr;
    }
    std::shared_ptr<SocketListener> listener = open(port, sink, context, error);
    if (!listener || !listener->m_socket.join_multicast(group.to_v4(), interface_address.to_v4(), error)) {
        return nullptr;
    }
    return listener;
}

SocketListener::~SocketListener() { stop(); }

void SocketListener::start() {
    std::lock_guard<std::mutex> lock(m_worker_mutex);
    m_stop.store(false, std::memory_order_release);
    m_worker = std::thread([self = shared_from_this()] { self->work(); });
}

void SocketListener::stop() {
    m_stop.store(true, std::memory_order_release);
    m_cancels.fetch_add(1, std::memory_order_seq_cst);
    wakeWaitingProducers();
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(m_worker_mutex);
        worker = std::move(m_worker);
    }
    if (!worker.joinable()) {
        return;
    }
    if (worker.get_id() == std::this_thread::get_id()) {
        worker.detach();  // the worker's own reference keeps the listener until it ends
    } else {
        worker.join();
    }
}

void SocketListener::work() {
    nameThisThread("vorlan2-udp");
    // A parser may stop the listener from this thread; start() must have
    // stored the thread by then.
    { std::lock_guard<std::mutex> started(m_worker_mutex); }
    asio::io_context& io_context = m_socket.io_context();
    // Keeps run_one_for waiting out its slice even while no wait is
    // pending, instead of returning at once and spinning.
    auto keep_running = asio::make_work_guard(io_context);
    listen();
    // Bounded steps, so that a stop is seen within 10 ms even when no
    // datagram comes; an idle listener sleeps in between.
    m_last_told_us = steadyMicroseconds();
    while (!m_stop.load(std::memory_order_acquire)) {
        io_context.run_one_for(std::chrono::milliseconds(10));
        reportDrops();
    }
    {
        std::lock_guard<std::mutex> lock(m_socket_mutex);
        m_socket.close();
    }
    io_context.stop();
}

uint64_t SocketListener::dropped() {
    std::lock_guard<std::mutex> lock(m_socket_mutex);
    return m_socket.system_drops();
}

void SocketListener::reportDrops() {
    const int64_t now = steadyMicroseconds();
    if (now - m_last_told_us < kDropReportIntervalUs) {
        return;
    }
    const uint64_t dropped = this->dropped();
    const uint64_t received = this->received();
    if (dropped != m_dropped_told) {
        std::fprintf(stderr,
                     "vorlan_sdk2: UDP port %u: %" PRIu64 " datagrams dropped by the system in the last %.1f s (the "
                     "socket's receive buffer was full; the sensors' data came faster than it was taken), %" PRIu64
                     " received\n",
                     unsigned{localPort()}, dropped - m_dropped_told, double(now - m_last_told_us) * 1e-6,
                     received - m_received_told);
    }
    m_dropped_told = dropped;
    m_received_told = received;
    m_last_told_us = now;
}

void SocketListener::listen() {
    m_socket.async_wait_readable([this](const std::error_code& error) { onReadable(error); });
}

void SocketListener::onReadable(const std::error_code& error) {
    // Aborted: the socket is being closed. Bad descriptor: it is gone, and
    // asking again would only fail again.
    if (error == asio::error::operation_aborted || error == asio::error::bad_descriptor ||
        m_stop.load(std::memory_order_acquire)) {
        return;
    }
    // A failed wait says nothing about the next one and may not leave the
    // listener deaf: it goes on to the next wait.
    if (!error) {
        for (int read = 0; read < kMaxBurstReads && deliverBurst(); ++read) {
        }
    }
    listen();
}

bool SocketListener::deliverBurst() {
    // A failed read (an ICMP error reported on the socket, a signal) says
    // nothing about the next one: the next wait goes on.
    std::error_code ignored;
    const std::size_t n_read = m_socket.read_burst(ignored);
    for (std::size_t i = 0; i < n_read; ++i) {
        // Taken before the look at the stop flag: a stop that comes after
        // the look calls the delivery off.
        const uint64_t seen = m_cancels.load(std::memory_order_seq_cst);
        if (m_stop.load(std::memory_order_acquire)) {
            return false;
        }
        // An empty datagram carries nothing; reading goes on after it.
        const vorlan_common::UdpBurstSocket::Datagram datagram = m_socket.datagram(i);
        if (datagram.size > 0 && datagram.is_ipv4) {
            const DeliveryScope delivery(m_cancels, seen);
            m_received.store(m_received.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            m_sink(datagram.sender, wallClockMicroseconds(), datagram.data, datagram.size, m_context);
        }
    }
    return n_read == vorlan_common::UdpBurstSocket::kMaxBurst;
}

// ---- The library's one listener.

namespace {

std::mutex g_listener_mutex;
std::shared_ptr<SocketListener> g_listener;  // guarded by g_listener_mutex
std::shared_ptr<SocketListener> g_stopped;   // the last one stopped, for its counts; guarded by g_listener_mutex

void receive(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void*) {
    (void)VorlanReceiveData(handle, timestamp, data, size);
}

// Opens with `open` and starts the listener unless one already runs.
template <class Open>
int startListener(Open&& open) {
    std::lock_guard<std::mutex> lock(g_listener_mutex);
    if (g_listener) {
        return VORLAN_ERROR_INVALID_STATE;
    }
    std::error_code error;
    std::shared_ptr<SocketListener> listener = open(error);
    if (!listener) {
        return VORLAN_ERROR_COMMUNICATION;
    }
    listener->start();
    g_listener = std::move(listener);
    g_stopped.reset();
    return VORLAN_SUCCESS;
}

}  // namespace

int startNetworking(uint16_t port) {
    return startListener([&](std::error_code& error) { return SocketListener::open(port, receive, nullptr, error); });
}

int startNetworkingMulticast(const char* group, const char* interface_address, uint16_t port) {
    if (group == nullptr || interface_address == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    std::error_code error;
    const asio::ip::address group_address = asio::ip::make_address(group, error);
    if (error) {
        return VORLAN_ERROR_COMMUNICATION;
    }
    const asio::ip::address local_address = asio::ip::make_address(interface_address, error);
    if (error) {
        return VORLAN_ERROR_COMMUNICATION;
    }
    return startListener([&](std::error_code& open_error) {
        return SocketListener::openMulticast(group_address, local_address, port, receive, nullptr, open_error);
    });
}

int stopNetworking() {
    std::shared_ptr<SocketListener> listener;
    {
        std::lock_guard<std::mutex> lock(g_listener_mutex);
        if (!g_listener) {
            return VORLAN_ERROR_INVALID_STATE;
        }
        listener = std::move(g_listener);
    }
    // Outside the lock: a parser on the worker may itself start or stop
    // networking. The socket is closed when this returns (unless called on
    // the worker), so a start that follows does not share the port.
    listener->stop();
    std::lock_guard<std::mutex> lock(g_listener_mutex);
    if (!g_listener) {
        g_stopped = std::move(listener);
    }
    return VORLAN_SUCCESS;
}

void forgetNetworkCounts() {
    std::lock_guard<std::mutex> lock(g_listener_mutex);
    g_stopped.reset();
}

void networkCounts(uint64_t& received, uint64_t& dropped) {
    std::shared_ptr<SocketListener> listener;
    {
        std::lock_guard<std::mutex> lock(g_listener_mutex);
        listener = g_listener ? g_listener : g_stopped;
    }
    received = listener ? listener->received() : 0;
    dropped = listener ? listener->dropped() : 0;
}

}  // namespace vorlan_sdk2
