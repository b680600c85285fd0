#include "loss_report.h"

#if defined(__linux__)
#include <sys/socket.h>
#endif

#include "socket_listener.h"
#include "udp_receive_buffer.h"

namespace vorlan_tool {

LossMeter::LossMeter() : m_start(vorlan_sdk::NetworkManager::instance().get_statistics()) {}

LossCounts LossMeter::counts() const {
    const vorlan_sdk::NetworkManager::Statistics now = vorlan_sdk::NetworkManager::instance().get_statistics();
    LossCounts counts;
    counts.received = now.received - m_start.received;
    counts.queue_dropped = now.dropped - m_start.dropped;
    counts.kernel_dropped = now.lost_in_socket - m_start.lost_in_socket;
#if defined(__linux__) && defined(SO_MEMINFO)
    // The listener reads the socket's own drop counter (SO_MEMINFO).
    counts.kernel_counted = true;
#endif
    return counts;
}

std::string format_losses(const LossCounts& counts) {
    return "received " + std::to_string(counts.received) + "  queue dropped " + std::to_string(counts.queue_dropped) +
           (counts.kernel_counted ? "  kernel dropped " + std::to_string(counts.kernel_dropped)
                                  : "  kernel drops not reported by this system");
}

std::string receive_buffer_shortfall() {
    const int wanted = vorlan_sdk::SocketListener::kSocketBufferSize;
    const int granted = vorlan_sdk::NetworkManager::instance().socket_buffer_size();
    if (granted == 0 || granted >= wanted) {
        return "";
    }
    return "receive buffer " + std::to_string(granted) + " bytes, less than " + std::to_string(wanted) + ": " +
           vorlan_common::udp_receive_buffer_advice(wanted);
}

}  // namespace vorlan_tool
