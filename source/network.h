// Live input: receives the sensors' UDP datagrams on one port and feeds them,
// one at a time and in arrival order, to the sensor registry.
//
// Two threads do the work. The I/O thread of a SocketListener only stamps
// each datagram, copies it into a pooled packet and queues it; the worker
// thread shows each packet to the client's network packet callback and then
// hands it to SensorManager::handle_network_receive. A slow decoder or client
// callback therefore never stalls the socket.
#ifndef VORLAN_SOURCE_NETWORK_H
#define VORLAN_SOURCE_NETWORK_H

#include <atomic>
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
        uint64_t received = 0;  // datagrams queued by the I/O thread
        uint64_t dropped = 0;   // queued datagrams discarded by overload
    };

    // Backlog beyond which the queue is emptied before the next push.
    static constexpr std::size_t kMaxQueuedPackets = 1000;

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

private:
    NetworkManager();
    NetworkManager(const NetworkManager&) = delete;
    NetworkManager& operator=(const NetworkManager&) = delete;

    // m_mutex held.
    SensorError initialize_impl();
    void deinitialize_impl();

    // Runs on the I/O thread for every datagram or socket error.
    void receive(const std::error_code& error, VorlanSensorHandle handle, int32_t size, const uint8_t* data);
    // Runs on the I/O thread after each burst of datagrams.
    void end_burst();
    // The worker thread's loop; it ends once `*running` is false.
    void work(std::shared_ptr<std::atomic<bool>> running);

    std::atomic<uint16_t> m_port{8808};
    std::atomic<bool> m_is_initialized{false};
    util::SingleConsumerQueue<std::shared_ptr<Packet>> m_queue;

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
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_NETWORK_H
