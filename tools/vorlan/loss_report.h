// What `listen` and `record` say about loss: datagrams the library received,
// those its queue dropped when the packet worker fell behind, and those the
// system dropped on the socket because its buffer was full, all counted
// from the moment the meter was made.
#ifndef VORLAN_TOOLS_LOSS_REPORT_H
#define VORLAN_TOOLS_LOSS_REPORT_H

#include <cstdint>
#include <string>

#include "network.h"

namespace vorlan_tool {

struct LossCounts {
    uint64_t received = 0;
    uint64_t queue_dropped = 0;   // of the received ones
    uint64_t kernel_dropped = 0;  // never received
    // False where the system keeps no drop count for a socket.
    bool kernel_counted = false;
};

class LossMeter {
public:
    LossMeter();
    LossCounts counts() const;

private:
    vorlan_sdk::NetworkManager::Statistics m_start;
};

// "received 16865  queue dropped 0  kernel dropped 0"; where the system
// counts no socket drops, says so instead of a figure.
std::string format_losses(const LossCounts& counts);

// Empty when the listening socket got the receive buffer the library asks
// for; otherwise the size it got and how to raise the limit.
std::string receive_buffer_shortfall();

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_LOSS_REPORT_H
