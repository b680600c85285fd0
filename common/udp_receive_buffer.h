// The receive buffer of a UDP socket: both libraries ask the kernel for a
// large one, since sensors send in bursts faster than a worker is always
// scheduled, and say once when they get less.
#ifndef VORLAN_COMMON_UDP_RECEIVE_BUFFER_H
#define VORLAN_COMMON_UDP_RECEIVE_BUFFER_H

#include <asio.hpp>

#include <atomic>
#include <cstdio>
#include <string>
#include <system_error>

#if defined(__linux__)
#include <sys/socket.h>
#endif

namespace vorlan_common {

// The receive buffer the kernel actually reserves for `socket`, in the
// terms of the request. Linux reserves twice the size asked for (the other
// half pays for its own bookkeeping); asio already halves what it reads back
// there, so the figure compares with the request as it is.
inline int granted_udp_receive_buffer(asio::ip::udp::socket& socket) {
    asio::socket_base::receive_buffer_size option;
    std::error_code error;
    socket.get_option(option, error);
    return error ? 0 : option.value();
}

// How to let a socket have `wanted` bytes, for a grant that fell short:
// Linux caps every request at net.core.rmem_max unless the process may go
// past it.
inline std::string udp_receive_buffer_advice(int wanted) {
#if defined(__linux__)
    return "raise the system's limit with: sysctl -w net.core.rmem_max=" + std::to_string(wanted);
#else
    (void)wanted;
    return "raise the system's limit on socket receive buffers";
#endif
}

// Asks for `wanted` bytes. A smaller grant is survivable (datagrams may be
// lost in bursts), so it is said once per process on standard error, after
// `prefix`, and nothing fails. Returns the size granted.
inline int request_udp_receive_buffer(asio::ip::udp::socket& socket, int wanted, const char* prefix) {
    std::error_code error;
    socket.set_option(asio::socket_base::receive_buffer_size(wanted), error);
    int granted = granted_udp_receive_buffer(socket);
#if defined(__linux__)
    if (granted < wanted) {
        // Goes past the system limit when the process has the privilege to;
        // otherwise it fails and leaves the buffer as it was.
        int value = wanted;
        if (setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &value, sizeof(value)) == 0) {
            granted = granted_udp_receive_buffer(socket);
        }
    }
#endif
    static std::atomic<bool> reported{false};
    if (granted < wanted && !reported.exchange(true)) {
        std::fprintf(stderr,
                     "%sUDP receive buffer is %d bytes, less than the %d asked for: datagrams may be lost at high "
                     "packet rates; %s\n",
                     prefix, granted, wanted, udp_receive_buffer_advice(wanted).c_str());
    }
    return granted;
}

}  // namespace vorlan_common

#endif  // VORLAN_COMMON_UDP_RECEIVE_BUFFER_H
