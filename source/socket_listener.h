// One UDP socket and the I/O thread that receives on it. The thread only
// hands each datagram to the listeners; anything slow belongs elsewhere.
#ifndef VORLAN_SOURCE_SOCKET_LISTENER_H
#define VORLAN_SOURCE_SOCKET_LISTENER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>

#include "callback_list.h"
#include "udp_burst_socket.h"
#include "vorlan_sdk.h"

namespace vorlan_sdk {

// Listeners are called on the I/O thread with (error, handle, size, bytes).
// With an error set the handle is 0 and there are no bytes; otherwise the
// handle is the sender's IPv4 address and the bytes, valid only during the
// call, are one whole datagram of at least one byte. A listener that has no
// room for a datagram may hold the thread until it has: meanwhile new
// datagrams wait in the socket's buffer.
//
// The I/O thread waits until the socket is readable and then reads what
// waits, up to kMaxBurst datagrams per system call where the platform allows
// (a system call costs more than copying a datagram), and at most
// kMaxBurst * kMaxBurstReads before the I/O context gets a turn. After each
// such burst the `burst_end` listeners are called, so a listener that hands
// datagrams to another thread can wake it once per burst rather than once
// per datagram.
class SocketListener
    : public util::Callback<const std::error_code&, VorlanSensorHandle, int32_t, const uint8_t*> {
public:
    // The kernel buffer asked for.
    static constexpr int kSocketBufferSize = vorlan_common::UdpBurstSocket::kWantedBufferSize;
    // Datagrams read by one system call, and bursts read before the I/O
    // context gets a turn.
    static constexpr std::size_t kMaxBurst = vorlan_common::UdpBurstSocket::kMaxBurst;
    static constexpr int kMaxBurstReads = 4;

    // Opens an IPv4 UDP socket with address reuse bound to 0.0.0.0:`port`
    // (0 asks the system for a free port). Returns null and sets `error` when
    // a step fails; nothing is thrown.
    static std::unique_ptr<SocketListener> open(uint16_t port, std::error_code& error);

    ~SocketListener() override;

    // Registers a listener (from util::Callback).
    using Callback::listen;

    // Starts the I/O thread, stopping a previous one first.
    void run();
    // Stops and joins the I/O thread, which closes the socket on its way out.
    // Must not be called from a listener.
    void stop();
    // Starts one asynchronous wait for datagrams.
    void listen();

    // Called on the I/O thread after each burst of datagrams.
    util::Callback<> burst_end;
    // Called on the I/O thread with the number of datagrams the system has
    // dropped on this socket since the last call (its buffer was full), when
    // there are any; looked at every few milliseconds. Nothing is reported on
    // platforms that do not count them.
    util::Callback<uint64_t> system_drops;

    // The port the socket is bound to.
    uint16_t local_port() const { return m_socket.local_port(); }
    // The kernel receive buffer the socket was given, in bytes.
    int socket_buffer_size() const { return m_socket.buffer_size(); }

private:
    SocketListener() = default;

    void io_loop();
    void on_readable(const std::error_code& error);
    // Reads and delivers up to kMaxBurst waiting datagrams; returns how many
    // were read (0 when none waited or the read failed).
    std::size_t read_burst();
    // Emits system_drops when the socket's drop counter has moved.
    void report_system_drops();

    // Reading, waiting and closing guarded by m_socket_mutex; its port and
    // buffer size do not change once open.
    vorlan_common::UdpBurstSocket m_socket;
    util::TimedMutex m_socket_mutex;
    std::atomic<bool> m_is_running{false};
    std::thread m_thread;
    uint64_t m_system_drops = 0;  // the socket's drop count when last reported (I/O thread)
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_SOCKET_LISTENER_H
