#include "socket_listener.h"

#include <chrono>

#include "thread_name.h"
#include "udp_receive_buffer.h"

#if defined(__linux__)
#include <arpa/inet.h>
#include <linux/sock_diag.h>

#include <cerrno>
#include <cstring>
#endif

namespace vorlan_sdk {

SocketListener::SocketListener()
    : m_socket(m_io_context), m_buffers(new uint8_t[kMaxBurst * kReceiveBufferSize]) {
#if defined(__linux__)
    for (std::size_t i = 0; i < kMaxBurst; ++i) {
        m_vectors[i].iov_base = m_buffers.get() + i * kReceiveBufferSize;
        m_vectors[i].iov_len = kReceiveBufferSize;
        std::memset(&m_messages[i], 0, sizeof(m_messages[i]));
        m_messages[i].msg_hdr.msg_name = &m_senders[i];
        m_messages[i].msg_hdr.msg_iov = &m_vectors[i];
        m_messages[i].msg_hdr.msg_iovlen = 1;
    }
#endif
}

std::unique_ptr<SocketListener> SocketListener::open(uint16_t port, std::error_code& error) {
    error.clear();
    std::unique_ptr<SocketListener> listener(new SocketListener());
    asio::ip::udp::socket& socket = listener->m_socket;
    socket.open(asio::ip::udp::v4(), error);
    if (error) {
        return nullptr;
    }
    socket.set_option(asio::socket_base::reuse_address(true), error);
    if (error) {
        return nullptr;
    }
    listener->m_socket_buffer_size = vorlan_common::request_udp_receive_buffer(socket, SocketListener::kSocketBufferSize, "");
    // Bursts are read with plain receives that must not wait.
    socket.non_blocking(true, error);
    if (error) {
        return nullptr;
    }
    socket.bind(asio::ip::udp::endpoint(asio::ip::address_v4::any(), port), error);
    if (error) {
        return nullptr;
    }
    const asio::ip::udp::endpoint local = socket.local_endpoint(error);
    if (error) {
        return nullptr;
    }
    listener->m_local_port = local.port();
    return listener;
}

SocketListener::~SocketListener() { stop(); }

void SocketListener::run() {
    stop();
    m_io_context.restart();
    m_is_running.store(true);
    m_thread = std::thread([this] { io_loop(); });
}

void SocketListener::stop() {
    m_is_running.store(false);
    m_io_context.stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void SocketListener::listen() {
    util::LockGuard lock(m_socket_mutex);
    if (!lock.is_locked() || !m_socket.is_open()) {
        return;
    }
    m_socket.async_wait(asio::socket_base::wait_read, [this](const std::error_code& error) { on_readable(error); });
}

void SocketListener::io_loop() {
    util::name_this_thread("vorlan-udp");
    // Keeps run_for waiting out its slice even if no wait is pending.
    auto work = asio::make_work_guard(m_io_context);
    listen();
    while (m_is_running.load()) {
        m_io_context.run_for(std::chrono::milliseconds(10));
        report_system_drops();
    }
    util::LockGuard lock(m_socket_mutex);
    std::error_code ignored;
    m_socket.shutdown(asio::socket_base::shutdown_both, ignored);
    m_socket.close(ignored);
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

#if defined(__linux__)

std::size_t SocketListener::read_burst() {
    int n_read = 0;
    int error_number = 0;
    {
        util::LockGuard lock(m_socket_mutex);
        if (!lock.is_locked() || !m_socket.is_open()) {
            return 0;
        }
        for (mmsghdr& message : m_messages) {
            message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
        n_read = recvmmsg(m_socket.native_handle(), m_messages, kMaxBurst, MSG_DONTWAIT, nullptr);
        error_number = errno;
    }
    if (n_read < 0) {
        if (error_number != EAGAIN && error_number != EWOULDBLOCK && error_number != EINTR) {
            emit(std::error_code(error_number, std::system_category()), 0, 0, nullptr);
        }
        return 0;
    }
    for (int i = 0; i < n_read; ++i) {
        // The socket is IPv4 only, so every sender is.
        if (m_senders[i].sin_family == AF_INET) {
            deliver(asio::ip::address_v4(ntohl(m_senders[i].sin_addr.s_addr)), m_messages[i].msg_len,
                    static_cast<const uint8_t*>(m_vectors[i].iov_base));
        }
    }
    return static_cast<std::size_t>(n_read);
}

#else

std::size_t SocketListener::read_burst() {
    std::size_t n_read = 0;
    for (; n_read < kMaxBurst; ++n_read) {
        std::error_code error;
        std::size_t size = 0;
        {
            util::LockGuard lock(m_socket_mutex);
            if (!lock.is_locked() || !m_socket.is_open()) {
                break;
            }
            size = m_socket.receive_from(asio::buffer(m_buffers.get(), kReceiveBufferSize), m_sender, 0, error);
        }
        if (error == asio::error::would_block || error == asio::error::try_again) {
            break;
        }
        if (error) {
            emit(error, 0, 0, nullptr);
            break;
        }
        if (m_sender.address().is_v4()) {
            deliver(m_sender.address().to_v4(), size, m_buffers.get());
        }
    }
    return n_read;
}

#endif

void SocketListener::report_system_drops() {
#if defined(__linux__) && defined(SO_MEMINFO)
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof(info);
    {
        util::LockGuard lock(m_socket_mutex);
        if (!lock.is_locked() || !m_socket.is_open() ||
            getsockopt(m_socket.native_handle(), SOL_SOCKET, SO_MEMINFO, info, &size) != 0 ||
            size < (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) {
            return;
        }
    }
    // The system's counter is 32 bits wide; the difference survives its wrap.
    const uint32_t dropped = info[SK_MEMINFO_DROPS] - m_system_drops;
    m_system_drops = info[SK_MEMINFO_DROPS];
    if (dropped != 0) {
        system_drops.emit(dropped);
    }
#endif
}

void SocketListener::deliver(const asio::ip::address_v4& sender, std::size_t size, const uint8_t* data) {
    // An empty datagram is legal and carries nothing to decode; reading goes
    // on after it like after any other.
    if (size == 0) {
        return;
    }
    emit(std::error_code(), static_cast<VorlanSensorHandle>(sender.to_uint()), static_cast<int32_t>(size), data);
}

}  // namespace vorlan_sdk
