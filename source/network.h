// Live input: receives the sensors' UDP datagrams on one port and feeds them,
// one at a time and in arrival order, to the sensor registry.
//
// Two threads do the work. The I/O thread of a SocketListener only stamps
// each datagram, copies it into a pooled packet and queues it; the worker
// thread shows each packet to the client's network packet callback and then
// hands it to SensorManager::handle_network_receive. A slow decoder or client
// callback therefore never stalls the socket.
//
// The queue is bounded. When it is full the I/O thread stops reading and
// waits for the worker to free room, leaving new datagrams in the socket's
// buffer (several megabytes), so a worker descheduled for a while loses
// nothing. Only a worker that stays behind longer than the stall limit has
// its backlog dropped: new data is then worth more than old. Every datagram
// lost, in the backlog or in a full socket buffer, is counted and reported
// to the error callback as VORLAN_ERROR_COMMUNICATION, at most once a second.
#ifndef VORLAN_SOURCE_NETWORK_H
#define VORLAN_SOURCE_NETWORK_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "single_consumer_queue.h"
#include "vorlan_sdk.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"
#include "vorlan_sdk_impl/vorlan_sdk_util.hpp"

namespace vorlan_sdk {

class SocketListener;

class NetworkManager {
public:
    // One received datagram. Packets come from a pool and go back to it when
    // the last reference is dropped; `data` keeps its capacity between uses.
    struct Packet {
        VorlanSensorHandle handle = 0;
        int64_t timestamp = 0;  // host wall clock at reception, µs since the Unix epoch
        std::vector<uint8_t> data;
    };

    // Counters since the process started, for diagnostics and benchmarks.
    struct Statistics {
        uint64_t received = 0;        // datagrams queued by the I/O thread
        uint64_t dropped = 0;         // queued datagrams discarded by overload
        uint64_t lost_in_socket = 0;  // datagrams the system dropped, its buffer full
        uint64_t stalls = 0;          // times the I/O thread held back for a full queue
    };

    // The most packets that wait for the worker.
    static constexpr std::size_t kMaxQueuedPackets = 1000;
    // How long the I/O thread waits for a worker whose queue is full before
    // it drops the backlog. A worker descheduled on a busy host is back well
    // within it; one stuck longer (a slow client callback, say) would
    // otherwise leave only ever older data to decode.
    static constexpr std::chrono::milliseconds kDefaultMaxStall{200};

    static NetworkManager& instance();
    // Stops the threads if the client never deinitialised.
    ~NetworkManager();

    // (Re)starts the listener and the worker on the stored port unless
    // VORLAN_SDK_CONTROL_DISABLE_NETWORK is set, stopping running ones first.
    // A socket that cannot be opened or bound gives VORLAN_ERROR_COMMUNICATION
    // with the system's message; nothing then runs, and a later set_port or
    // initialize tries again.
    SensorError initialize();
    // Stops both threads and closes the socket. Packets still queued stay
    // queued for the next worker.
    void deinitialize();
    // Stores `port`. When the listener runs, or should run but could not be
    // opened, it is restarted on the new port; the result is that restart's.
    SensorError set_port(uint16_t port);
    uint16_t get_port() const { return m_port.load(); }

    // True while the listener and the worker run.
    bool is_running() const { return m_is_initialized.load(); }
    Statistics get_statistics() const;
    // The kernel receive buffer of the running listener in bytes; 0 when none runs.
    int socket_buffer_size();
    // Replaces kDefaultMaxStall (tests make a stall's outcome certain with it).
    void set_max_stall(std::chrono::milliseconds max_stall) { m_max_stall_ms.store(max_stall.count()); }

private:
    NetworkManager();
    NetworkManager(const NetworkManager&) = delete;
    NetworkManager& operator=(const NetworkManager&) = delete;

    // m_mutex held.
    SensorError initialize_impl();
    void deinitialize_impl();

    // Runs on the I/O thread for every datagram or socket error; `running`
    // is the run flag of the worker it feeds.
    void receive(const std::atomic<bool>& running, const std::error_code& error, VorlanSensorHandle handle,
                 int32_t size, const uint8_t* data);
    // Runs on the I/O thread when the queue is full: waits until the worker
    // has emptied half of it, and drops the backlog if it has not within the
    // stall limit. Gives up early when `running` falls.
    void make_room(const std::atomic<bool>& running);
    // Runs on the I/O thread after each burst of datagrams.
    void end_burst();
    // Runs on the I/O thread: queues the staged packets and wakes the worker
    // if it sleeps.
    void push_staged();
    // Runs on the worker: queues and delivers one report of the datagrams
    // lost since the last one, unless that was less than a second ago.
    void report_losses();
    // The worker thread's loop; it ends once `*running` is false.
    void work(std::shared_ptr<std::atomic<bool>> running);

    std::atomic<uint16_t> m_port{8808};
    std::atomic<bool> m_is_initialized{false};
    util::SingleConsumerQueue<std::shared_ptr<Packet>> m_queue;
    // Packets of the burst being read (as many as one system call reads),
    // queued together under one lock; used by the I/O thread only (one runs
    // at a time).
    std::array<std::shared_ptr<Packet>, 32> m_staged;
    std::size_t m_n_staged = 0;

    // Serialises initialize, deinitialize and set_port.
    util::TimedMutex m_mutex;  // guards the members below
    std::unique_ptr<SocketListener> m_listener;
    // Each worker has its own run flag: a worker stopped from inside one of
    // its own callbacks cannot be joined and finishes after its replacement
    // has started.
    std::shared_ptr<std::atomic<bool>> m_is_running;
    std::thread m_worker;
    // The network is enabled but the socket could not be opened.
    bool m_is_retry_pending = false;

    std::atomic<uint64_t> m_n_received{0};
    std::atomic<uint64_t> m_n_dropped{0};
    std::atomic<uint64_t> m_n_lost_in_socket{0};
    std::atomic<uint64_t> m_n_stalls{0};
    std::atomic<int64_t> m_max_stall_ms{kDefaultMaxStall.count()};
    // Losses not yet reported, and when the last report was queued (steady
    // clock, µs; the lowest value before the first).
    std::atomic<uint64_t> m_n_unreported_drops{0};
    std::atomic<uint64_t> m_n_unreported_socket_losses{0};
    std::atomic<int64_t> m_last_loss_report_us{INT64_MIN};
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_NETWORK_H
