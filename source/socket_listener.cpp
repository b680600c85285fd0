#include "socket_listener.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "thread_name.h"

#if defined(__linux__)
#include <sys/socket.h>
#endif

namespace vorlan_sdk {

namespace {

// The receive buffer the kernel actually reserves for `socket`. Linux
// reports twice the size it was asked for (the other half pays for its own
// bookkeeping), so the figure is halved there to compare with the request.
int granted_socket_buffer(asio::ip::udp::socket& socket) {
    asio::socket_base::receive_buffer_size option;
    std::error_code error;
    socket.get_option(option, error);
    if (error) {
        return 0;
    }
#if defined(__linux__)
    return option.value() / 2;
#else
    return option.value();
#endif
}

// Asks for SocketListener::kSocketBufferSize; a smaller grant is survivable
// (datagrams may be lost in bursts), so it is said once per process and
// nothing fails. Returns the size granted.
int request_socket_buffer(asio::ip::udp::socket& socket) {
    const int wanted = SocketListener::kSocketBufferSize;
    std::error_code error;
    socket.set_option(asio::socket_base::receive_buffer_size(wanted), error);
    int granted = granted_socket_buffer(socket);
#if defined(__linux__)
    if (granted < wanted) {
        // Goes past the system limit when the process has the privilege to;
        // otherwise it fails and leaves the buffer as it was.
        int value = wanted;
        if (setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &value, sizeof(value)) == 0) {
            granted = granted_socket_buffer(socket);
        }
    }
#endif
    static std::atomic<bool> reported{false};
    if (granted < wanted && !reported.exchange(true)) {
        std::fprintf(stderr,
                     "UDP receive buffer is %d bytes, less than the %d asked for: datagrams may be lost at high "
                     "packet rates. Raise the system's limit (net.core.rmem_max on Linux) to avoid it.\n",
                     granted, wanted);
    }
    return granted;
}

}  // namespace

SocketListener::SocketListener()
    : m_socket(m_io_context), m_buffer(new uint8_t[kReceiveBufferSize]) {}

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
    listener->m_socket_buffer_size = request_socket_buffer(socket);
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
    m_socket.async_receive_from(asio::buffer(m_buffer.get(), kReceiveBufferSize), m_sender,
                                [this](const std::error_code& error, std::size_t size) { on_receive(error, size); });
}

void SocketListener::io_loop() {
    util::name_this_thread("vorlan-udp");
    // Keeps run_for waiting out its slice even if no receive is pending.
    auto work = asio::make_work_guard(m_io_context);
    listen();
    while (m_is_running.load()) {
        m_io_context.run_for(std::chrono::milliseconds(10));
    }
    util::LockGuard lock(m_socket_mutex);
    std::error_code ignored;
    m_socket.shutdown(asio::socket_base::shutdown_both, ignored);
    m_socket.close(ignored);
}

void SocketListener::on_receive(const std::error_code& error, std::size_t size) {
    // Aborted: the socket is being closed. Bad descriptor: it is gone, and
    // asking again would only fail again.
    if (error == asio::error::operation_aborted || error == asio::error::bad_descriptor) {
        return;
    }
    if (error) {
        emit(error, 0, 0, nullptr);
    } else if (size > 0 && m_sender.address().is_v4()) {
        // An empty datagram is legal and carries nothing to decode; the socket
        // is IPv4 only, so other senders cannot occur. Either way the next
        // receive is still started below.
        const VorlanSensorHandle handle = m_sender.address().to_v4().to_uint();
        emit(error, handle, static_cast<int32_t>(size), m_buffer.get());
    }
    listen();
}

}  // namespace vorlan_sdk
