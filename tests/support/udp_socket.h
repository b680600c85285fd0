// Plain POSIX UDP sockets on 127.0.0.1 for tests and benchmarks: a sender,
// a port holder that proves whether a port is bound, and free-port lookup.
#ifndef VORLAN_TEST_SUPPORT_UDP_SOCKET_H
#define VORLAN_TEST_SUPPORT_UDP_SOCKET_H

#include <cstddef>
#include <cstdint>

namespace vorlan_test {

// A port nobody was bound to a moment ago (the system's choice).
uint16_t free_udp_port();

// Binds 0.0.0.0:port without address reuse, so it fails while anyone else
// (the library included) holds the port, and keeps the library out while it
// succeeds.
class UdpPortHolder {
public:
    explicit UdpPortHolder(uint16_t port);
    ~UdpPortHolder();
    UdpPortHolder(const UdpPortHolder&) = delete;
    UdpPortHolder& operator=(const UdpPortHolder&) = delete;

    bool is_bound() const { return m_is_bound; }
    void release();

private:
    int m_fd = -1;
    bool m_is_bound = false;
};

// True when the port could be bound without address reuse right now.
bool udp_port_is_free(uint16_t port);

// Sends datagrams from 127.0.0.1 to 127.0.0.1:port.
class UdpSender {
public:
    explicit UdpSender(uint16_t port);
    ~UdpSender();
    UdpSender(const UdpSender&) = delete;
    UdpSender& operator=(const UdpSender&) = delete;

    void set_port(uint16_t port) { m_port = port; }
    // True when the whole datagram was handed to the system.
    bool send(const void* data, std::size_t size);
    // Sends `count` copies of the `size` bytes at `data` with as few system
    // calls as the platform allows; returns how many were sent.
    std::size_t send_many(const void* data, std::size_t size, std::size_t count);

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

}  // namespace vorlan_test

#endif  // VORLAN_TEST_SUPPORT_UDP_SOCKET_H
