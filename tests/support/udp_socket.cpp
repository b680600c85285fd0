#include "support/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace vorlan_test {

namespace {

sockaddr_in address_of(uint32_t host, uint16_t port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

uint16_t free_udp_port() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address = address_of(INADDR_ANY, 0);
    uint16_t port = 0;
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

UdpPortHolder::UdpPortHolder(uint16_t port) {
    m_fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_fd < 0) {
        return;
    }
    const sockaddr_in address = address_of(INADDR_ANY, port);
    m_is_bound = bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

UdpPortHolder::~UdpPortHolder() { release(); }

void UdpPortHolder::release() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    m_is_bound = false;
}

bool udp_port_is_free(uint16_t port) { return UdpPortHolder(port).is_bound(); }

UdpSender::UdpSender(uint16_t port) : m_fd(socket(AF_INET, SOCK_DGRAM, 0)), m_port(port) {}

UdpSender::~UdpSender() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool UdpSender::send(const void* data, std::size_t size) {
    const sockaddr_in address = address_of(INADDR_LOOPBACK, m_port);
    const ssize_t sent =
        sendto(m_fd, data, size, 0, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    return sent == static_cast<ssize_t>(size);
}

std::size_t UdpSender::send_many(const void* data, std::size_t size, std::size_t count) {
#if defined(__linux__)
    sockaddr_in address = address_of(INADDR_LOOPBACK, m_port);
    iovec vector;
    vector.iov_base = const_cast<void*>(data);
    vector.iov_len = size;
    constexpr std::size_t kBatch = 64;
    mmsghdr messages[kBatch];  // no allocation: benchmarks count the receiver's
    for (mmsghdr& message : messages) {
        std::memset(&message, 0, sizeof(message));
        message.msg_hdr.msg_name = &address;
        message.msg_hdr.msg_namelen = sizeof(address);
        message.msg_hdr.msg_iov = &vector;
        message.msg_hdr.msg_iovlen = 1;
    }
    std::size_t sent = 0;
    while (sent < count) {
        const std::size_t batch = count - sent < kBatch ? count - sent : kBatch;
        const int n = sendmmsg(m_fd, messages, static_cast<unsigned>(batch), 0);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    return sent;
#else
    std::size_t sent = 0;
    while (sent < count && send(data, size)) {
        ++sent;
    }
    return sent;
#endif
}

}  // namespace vorlan_test
