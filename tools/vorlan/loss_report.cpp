#include "loss_report.h"

#if defined(__linux__)
#include <sys/socket.h>
#endif

#include <thread>

#include "socket_listener.h"
#include "udp_receive_buffer.h"

namespace vorlan_tool {

LossMeter::LossMeter() : m_start(vorlan_sdk::NetworkManager::instance().get_statistics()) {}

void LossMeter::wait_until_handled(std::chrono::milliseconds bound) const {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (counts().left_queued != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

LossCounts LossMeter::counts() const {
    const vorlan_sdk::NetworkManager::Statistics now = vorlan_sdk::NetworkManager::instance().get_statistics();
    LossCounts counts;
    counts.received = now.received - m_start.received;
    counts.queue_dropped = now.dropped - m_start.dropped;
    counts.kernel_dropped = now.lost_in_socket - m_start.lost_in_socket;
    const uint64_t handled = m_handled.load(std::memory_order_relaxed);
    const uint64_t passed = counts.received - counts.queue_dropped;
    counts.left_queued = passed > handled ? passed - handled : 0;
#if defined(__linux__) && defined(SO_MEMINFO)
    // The listener reads the socket's own drop counter (SO_MEMINFO).
    counts.kernel_counted = true;
#endif
    return counts;
}

std::string format_losses(const LossCounts& counts) {
    return "received " + std::to_string(counts.received) + "  queue dropped " + std::to_string(counts.queue_dropped) +
           (counts.left_queued != 0 ? "  left queued " + std::to_string(counts.left_queued) : "") +
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
