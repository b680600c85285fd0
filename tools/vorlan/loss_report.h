// What `listen` and `record` say about loss: datagrams the library received,
// those its queue dropped when the packet worker fell behind, and those the
// system dropped on the socket because its buffer was full, all counted
// from the moment the meter was made.
#ifndef VORLAN_TOOLS_LOSS_REPORT_H
#define VORLAN_TOOLS_LOSS_REPORT_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "network.h"

namespace vorlan_tool {

// How long a stopping command waits for the packet worker to catch up.
constexpr std::chrono::milliseconds kDrainBound{2000};

struct LossCounts {
    uint64_t received = 0;
    uint64_t queue_dropped = 0;   // of the received ones
    // Received but still waiting for the packet worker when the library
    // stopped: never handed on either.
    uint64_t left_queued = 0;
    uint64_t kernel_dropped = 0;  // never received
    // False where the system keeps no drop count for a socket.
    bool kernel_counted = false;
};

// Made before the socket opens; every datagram the library hands on (its
// network-packet callback) is counted with handled().
class LossMeter {
public:
    LossMeter();
    // Called on the library's packet thread.
    void handled() { m_handled.fetch_add(1, std::memory_order_relaxed); }
    // Waits, at most `bound`, until the packet worker has handed on every
    // datagram received so far: stopping earlier would leave them queued.
    void wait_until_handled(std::chrono::milliseconds bound) const;
    LossCounts counts() const;

private:
    vorlan_sdk::NetworkManager::Statistics m_start;
    std::atomic<uint64_t> m_handled{0};
};

// "received 16865  queue dropped 0  kernel dropped 0", with the datagrams
// left queued when there are any; where the system counts no socket drops,
// says so instead of a figure.
std::string format_losses(const LossCounts& counts);

// Empty when the listening socket got the receive buffer the library asks
// for; otherwise the size it got and how to raise the limit.
std::string receive_buffer_shortfall();

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_LOSS_REPORT_H
