#include "udp_burst_socket.h"

#include <cstring>

#include "udp_receive_buffer.h"

#if defined(__linux__)
#include <arpa/inet.h>
#include <linux/sock_diag.h>

#include <cerrno>
#endif

namespace vorlan_common {

UdpBurstSocket::UdpBurstSocket()
    : m_socket(m_io_context), m_buffers(new uint8_t[kMaxBurst * kDatagramCapacity]) {
#if defined(__linux__)
    for (std::size_t i = 0; i < kMaxBurst; ++i) {
        m_vectors[i].iov_base = buffer(i);
        m_vectors[i].iov_len = kDatagramCapacity;
        std::memset(&m_messages[i], 0, sizeof(m_messages[i]));
        m_messages[i].msg_hdr.msg_name = &m_senders[i];
        m_messages[i].msg_hdr.msg_iov = &m_vectors[i];
        m_messages[i].msg_hdr.msg_iovlen = 1;
    }
#endif
}

UdpBurstSocket::~UdpBurstSocket() { close(); }

bool UdpBurstSocket::open(uint16_t port, const char* warning_prefix, std::error_code& error) {
    error.clear();
    m_socket.open(asio::ip::udp::v4(), error);
    if (!error) {
        m_socket.set_option(asio::socket_base::reuse_address(true), error);
    }
    if (!error) {
        m_buffer_size = request_udp_receive_buffer(m_socket, kWantedBufferSize, warning_prefix);
        // Bursts are read with plain receives that must not wait.
        m_socket.non_blocking(true, error);
    }
    if (!error) {
        m_socket.bind(asio::ip::udp::endpoint(asio::ip::address_v4::any(), port), error);
    }
    asio::ip::udp::endpoint local;
    if (!error) {
        local = m_socket.local_endpoint(error);
    }
    if (error) {
        std::error_code ignored;
        m_socket.close(ignored);
        return false;
    }
    m_local_port = local.port();
    return true;
}

bool UdpBurstSocket::join_multicast(const asio::ip::address_v4& group, const asio::ip::address_v4& interface_address,
                                    std::error_code& error) {
    error.clear();
    m_socket.set_option(asio::ip::multicast::join_group(group, interface_address), error);
    return !error;
}

#if defined(__linux__)

std::size_t UdpBurstSocket::read_burst(std::error_code& error) {
    error.clear();
    for (mmsghdr& message : m_messages) {
        message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    const int n_read = recvmmsg(m_socket.native_handle(), m_messages, kMaxBurst, MSG_DONTWAIT, nullptr);
    if (n_read < 0) {
        const int error_number = errno;
        if (error_number != EAGAIN && error_number != EWOULDBLOCK && error_number != EINTR) {
            error = std::error_code(error_number, std::system_category());
        }
        return 0;
    }
    return static_cast<std::size_t>(n_read);
}

UdpBurstSocket::Datagram UdpBurstSocket::datagram(std::size_t i) const {
    Datagram datagram;
    datagram.is_ipv4 = m_senders[i].sin_family == AF_INET;
    datagram.sender = ntohl(m_senders[i].sin_addr.s_addr);
    datagram.data = buffer(i);
    datagram.size = m_messages[i].msg_len;
    return datagram;
}

#else

std::size_t UdpBurstSocket::read_burst(std::error_code& error) {
    error.clear();
    std::size_t n_read = 0;
    for (; n_read < kMaxBurst; ++n_read) {
        std::error_code receive_error;
        m_sizes[n_read] =
            m_socket.receive_from(asio::buffer(buffer(n_read), kDatagramCapacity), m_senders[n_read], 0, receive_error);
        if (receive_error) {
            if (receive_error != asio::error::would_block && receive_error != asio::error::try_again &&
                receive_error != asio::error::interrupted && n_read == 0) {
                error = receive_error;
            }
            break;
        }
    }
    return n_read;
}

UdpBurstSocket::Datagram UdpBurstSocket::datagram(std::size_t i) const {
    Datagram datagram;
    const asio::ip::address address = m_senders[i].address();
    datagram.is_ipv4 = address.is_v4();
    datagram.sender = datagram.is_ipv4 ? address.to_v4().to_uint() : 0;
    datagram.data = buffer(i);
    datagram.size = m_sizes[i];
    return datagram;
}

#endif

uint64_t UdpBurstSocket::system_drops() {
#if defined(__linux__) && defined(SO_MEMINFO)
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof(info);
    if (m_socket.is_open() && getsockopt(m_socket.native_handle(), SOL_SOCKET, SO_MEMINFO, info, &size) == 0 &&
        size >= (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) {
        // The system's counter is 32 bits wide; the difference survives its wrap.
        m_system_drops += static_cast<uint32_t>(info[SK_MEMINFO_DROPS] - m_system_counter);
        m_system_counter = info[SK_MEMINFO_DROPS];
    }
#endif
    return m_system_drops;
}

void UdpBurstSocket::close() {
    if (!m_socket.is_open()) {
        return;
    }
    (void)system_drops();  // the last count, kept for readers after the close
    // Each step may fail (an unconnected socket cannot be shut down); the
    // socket is closed all the same.
    std::error_code ignored;
    m_socket.cancel(ignored);
    m_socket.shutdown(asio::socket_base::shutdown_both, ignored);
    m_socket.close(ignored);
}

}  // namespace vorlan_common
