// The networking source: one UDP socket on 0.0.0.0, optionally a member of
// an IPv4 multicast group, and the worker thread that receives on it and
// hands each datagram on, in arrival order, one at a time.
#ifndef VORLAN_SDK2_NETWORKING_SOURCE_H
#define VORLAN_SDK2_NETWORKING_SOURCE_H

#include <asio.hpp>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "udp_burst_socket.h"

namespace vorlan_sdk2 {

// Called on the worker thread with the sender's IPv4 address as the handle
// (a.b.c.d is a*2^24 + b*2^16 + c*2^8 + d), the host wall clock in
// microseconds since 1970 and one whole datagram of at least one byte, valid
// only during the call.
using DatagramSink = void (*)(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void* context);

// The worker waits until the socket is readable and then reads what waits
// in bursts (several datagrams per system call), handing them on one by one.
class SocketListener : public std::enable_shared_from_this<SocketListener> {
public:
    // Opens an IPv4 UDP socket with address reuse bound to 0.0.0.0:`port`
    // (0 asks the system for a free port). Returns null and sets `error` when
    // a step fails; nothing is thrown and nothing is kept.
    static std::shared_ptr<SocketListener> open(uint16_t port, DatagramSink sink, void* context,
                                                std::error_code& error);
    // As open, then joins `group` on the local interface `interface_address`.
    // Both must be IPv4: anything else sets `error` (invalid argument).
    static std::shared_ptr<SocketListener> openMulticast(const asio::ip::address& group,
                                                         const asio::ip::address& interface_address, uint16_t port,
                                                         DatagramSink sink, void* context, std::error_code& error);

    ~SocketListener();
    SocketListener(const SocketListener&) = delete;
    SocketListener& operator=(const SocketListener&) = delete;

    // Starts the worker thread. Call once. The worker holds the listener
    // alive until it ends.
    void start();
    // Ends the worker, which closes the socket on its way out, and waits for
    // it. Called from the sink (on the worker itself) it cannot wait: the
    // worker then ends as soon as the sink returns.
    void stop();

    uint16_t localPort() const { return m_socket.local_port(); }
    // Datagrams handed to the sink, and datagrams the system dropped because
    // the socket's receive buffer was full (0 where the system does not
    // tell), since the socket was opened; still readable once it is closed.
    // Any thread.
    uint64_t received() const { return m_received.load(std::memory_order_relaxed); }
    uint64_t dropped();
    // The kernel receive buffer the socket was given, in bytes.
    int socketBufferSize() const { return m_socket.buffer_size(); }

private:
    // Bursts read before the I/O context gets a turn.
    static constexpr int kMaxBurstReads = 4;

    SocketListener(DatagramSink sink, void* context);

    void work();
    // Starts one asynchronous wait for datagrams.
    void listen();
    void onReadable(const std::error_code& error);
    // Reads one burst and hands its datagrams to the sink; false when the
    // burst was not full (nothing more waits) or the listener stops.
    bool deliverBurst();
    // On the worker: at most once a second, tells on standard error of the
    // datagrams the system dropped since the last telling.
    void reportDrops();

    const DatagramSink m_sink;
    void* const m_context;
    // Read and waited on by the worker only once it runs; its closing and
    // its drop count guarded by m_socket_mutex; its port and buffer size do
    // not change once open.
    vorlan_common::UdpBurstSocket m_socket;
    std::atomic<bool> m_stop{true};
    // Moved by stop(): calls off the worker's delivery under way (a wait for
    // room in the relay or the frame FIFO).
    std::atomic<uint64_t> m_cancels{0};
    std::atomic<uint64_t> m_received{0};  // written by the worker only
    // Guards the closing of the socket against a client thread reading its
    // drop count.
    std::mutex m_socket_mutex;
    uint64_t m_dropped_told = 0;  // dropped() when last told (worker only)
    uint64_t m_received_told = 0;
    int64_t m_last_told_us = 0;
    std::mutex m_worker_mutex;  // guards m_worker
    std::thread m_worker;
};

// ---- The library's one listener, which hands every datagram to
// VorlanReceiveData.

// VORLAN_ERROR_INVALID_STATE while a listener runs, VORLAN_ERROR_COMMUNICATION
// when the system refuses a step of opening (nothing is then kept).
int startNetworking(uint16_t port);
// As startNetworking, joining `group` on the interface with the address
// `interface_address`. An address that does not parse, is not IPv4 or cannot
// be joined gives VORLAN_ERROR_COMMUNICATION; a null string
// VORLAN_ERROR_INVALID_ARGUMENTS.
int startNetworkingMulticast(const char* group, const char* interface_address, uint16_t port);
// VORLAN_ERROR_INVALID_STATE when no listener runs.
int stopNetworking();
// The counts of the listener running, or of the last one stopped; zero
// before the first.
void networkCounts(uint64_t& received, uint64_t& dropped);

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_NETWORKING_SOURCE_H
