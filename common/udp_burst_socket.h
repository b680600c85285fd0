// The UDP socket both libraries receive the sensors' datagrams on: IPv4,
// bound to 0.0.0.0 with address reuse, optionally a member of a multicast
// group, with a large kernel receive buffer, read in bursts of datagrams per
// system call, and the kernel's count of the datagrams it dropped because
// that buffer was full.
//
// Not thread-safe: its owner runs the I/O context on one thread and guards
// the socket against other threads as its design needs.
#ifndef VORLAN_COMMON_UDP_BURST_SOCKET_H
#define VORLAN_COMMON_UDP_BURST_SOCKET_H

#include <asio.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <system_error>
#include <utility>

#if defined(__linux__)
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace vorlan_common {

class UdpBurstSocket {
public:
    // The largest datagram a UDP socket can deliver.
    static constexpr std::size_t kDatagramCapacity = 65536;
    // The kernel buffer asked for: a sensor's bursts must fit while the
    // receiving thread is off the processor, and the usual default holds only
    // about a millisecond of a fast sensor's traffic.
    static constexpr int kWantedBufferSize = 8 << 20;
    // Datagrams read by one system call, each into a buffer of its own. The
    // buffers take address space, but only the bytes datagrams fill are ever
    // touched.
    static constexpr std::size_t kMaxBurst = 32;

    // One datagram of the last burst. `sender` is its IPv4 source address as
    // a number (a.b.c.d is a*2^24 + b*2^16 + c*2^8 + d), meaningful only when
    // `is_ipv4`; `size` may be 0 (an empty datagram is legal). The bytes stay
    // valid until the next read_burst.
    struct Datagram {
        uint32_t sender = 0;
        bool is_ipv4 = false;
        const uint8_t* data = nullptr;
        std::size_t size = 0;
    };

    UdpBurstSocket();
    ~UdpBurstSocket();
    UdpBurstSocket(const UdpBurstSocket&) = delete;
    UdpBurstSocket& operator=(const UdpBurstSocket&) = delete;

    // Opens the socket with address reuse, asks for kWantedBufferSize bytes
    // of kernel buffer (a smaller grant is said once per process on standard
    // error after `warning_prefix`, and is not a failure), and binds it to
    // 0.0.0.0:`port` (0 asks the system for a free port). False with `error`
    // set when a step fails; the socket is then closed. Nothing is thrown.
    bool open(uint16_t port, const char* warning_prefix, std::error_code& error);
    // Joins `group` on the local interface whose address is `interface_address`.
    bool join_multicast(const asio::ip::address_v4& group, const asio::ip::address_v4& interface_address,
                        std::error_code& error);

    // The context the socket's asynchronous waits complete on.
    asio::io_context& io_context() { return m_io_context; }
    // Calls `handler(const std::error_code&)` on the I/O context once
    // datagrams wait to be read (or the wait failed or was cancelled).
    template <class Handler>
    void async_wait_readable(Handler&& handler) {
        m_socket.async_wait(asio::socket_base::wait_read, std::forward<Handler>(handler));
    }

    // Reads up to kMaxBurst waiting datagrams without waiting and returns how
    // many were read. 0 when none waited, or with `error` set when the read
    // failed (a failure the socket reported is taken off it by the read).
    std::size_t read_burst(std::error_code& error);
    // Datagram `i` of the last burst; `i` below what read_burst returned.
    Datagram datagram(std::size_t i) const;

    // Datagrams the system dropped on this socket since it was opened
    // because its receive buffer was full. Reads the system's counter while
    // the socket is open; after close, the last count read. 0 on platforms
    // that do not count.
    uint64_t system_drops();

    // Cancels the pending wait, shuts the socket down and closes it, having
    // read the drop counter a last time. Safe to call when not open.
    void close();
    bool is_open() const { return m_socket.is_open(); }

    // The port the socket is bound to, and the kernel receive buffer it was
    // given in bytes (in the terms of the request).
    uint16_t local_port() const { return m_local_port; }
    int buffer_size() const { return m_buffer_size; }

private:
    uint8_t* buffer(std::size_t i) const { return m_buffers.get() + i * kDatagramCapacity; }

    asio::io_context m_io_context;
    asio::ip::udp::socket m_socket;
    std::unique_ptr<uint8_t[]> m_buffers;  // kMaxBurst buffers of kDatagramCapacity bytes
#if defined(__linux__)
    mmsghdr m_messages[kMaxBurst];
    iovec m_vectors[kMaxBurst];
    sockaddr_in m_senders[kMaxBurst];
#else
    asio::ip::udp::endpoint m_senders[kMaxBurst];
    std::size_t m_sizes[kMaxBurst] = {};
#endif
    uint16_t m_local_port = 0;
    int m_buffer_size = 0;
    uint32_t m_system_counter = 0;  // the system's 32-bit drop counter when last read
    uint64_t m_system_drops = 0;    // its moves, added up
};

}  // namespace vorlan_common

#endif  // VORLAN_COMMON_UDP_BURST_SOCKET_H
