#include "socket_listener.h"

#include <chrono>

#include "thread_name.h"

namespace vorlan_sdk {

std::unique_ptr<SocketListener> SocketListener::open(uint16_t port, std::error_code& error) {
    std::unique_ptr<SocketListener> listener(new SocketListener());
    if (!listener->m_socket.open(port, "", error)) {
        return nullptr;
    }
    return listener;
}

SocketListener::~SocketListener() { stop(); }

void SocketListener::run() {
    stop();
    m_socket.io_context().restart();
    m_is_running.store(true);
    m_thread = std::thread([this] { io_loop(); });
}

void SocketListener::stop() {
    m_is_running.store(false);
    m_socket.io_context().stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void SocketListener::listen() {
    util::LockGuard lock(m_socket_mutex);
    if (!lock.is_locked() || !m_socket.is_open()) {
        return;
    }
    m_socket.async_wait_readable([this](const std::error_code& error) { on_readable(error); });
}

void SocketListener::io_loop() {
    util::name_this_thread("vorlan-udp");
    asio::io_context& io_context = m_socket.io_context();
    // Keeps run_for waiting out its slice even if no wait is pending.
    auto work = asio::make_work_guard(io_context);
    listen();
    while (m_is_running.load()) {
        io_context.run_for(std::chrono::milliseconds(10));
        report_system_drops();
    }
    util::LockGuard lock(m_socket_mutex);
    m_socket.close();
}

void SocketListener::on_readable(const std::error_code& error) {
    // Aborted: the socket is being closed. Bad descriptor: it is gone, and
    // asking again would only fail again.
    if (error == asio::error::operation_aborted || error == asio::error::bad_descriptor) {
        return;
    }
    if (error) {
        emit(error, 0, 0, nullptr);
    } else {
        for (int read = 0; read < kMaxBurstReads && read_burst() == kMaxBurst; ++read) {
        }
    }
    burst_end.emit();
    listen();
}

std::size_t SocketListener::read_burst() {
    std::size_t n_read = 0;
    std::error_code error;
    {
        util::LockGuard lock(m_socket_mutex);
        if (!lock.is_locked() || !m_socket.is_open()) {
            return 0;
        }
        n_read = m_socket.read_burst(error);
    }
    if (error) {
        emit(error, 0, 0, nullptr);
        return 0;
    }
    for (std::size_t i = 0; i < n_read; ++i) {
        const vorlan_common::UdpBurstSocket::Datagram datagram = m_socket.datagram(i);
        // An empty datagram is legal and carries nothing to decode; reading
        // goes on after it like after any other. The socket is IPv4 only, so
        // every sender is.
        if (datagram.size != 0 && datagram.is_ipv4) {
            emit(std::error_code(), static_cast<VorlanSensorHandle>(datagram.sender),
                 static_cast<int32_t>(datagram.size), datagram.data);
        }
    }
    return n_read;
}

void SocketListener::report_system_drops() {
    uint64_t drops = 0;
    {
        util::LockGuard lock(m_socket_mutex);
        if (!lock.is_locked() || !m_socket.is_open()) {
            return;
        }
        drops = m_socket.system_drops();
    }
    if (drops != m_system_drops) {
        const uint64_t dropped = drops - m_system_drops;
        m_system_drops = drops;
        system_drops.emit(dropped);
    }
}

}  // namespace vorlan_sdk
