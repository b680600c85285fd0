// Stand-in for the UDP network manager: keeps the port; opening sockets and
// the worker thread come with the live input.
#ifndef VORLAN_SOURCE_NETWORK_H
#define VORLAN_SOURCE_NETWORK_H

#include <atomic>
#include <cstdint>

#include "vorlan_sdk_impl/vorlan_sdk.hpp"

namespace vorlan_sdk {

class NetworkManager {
public:
    static NetworkManager& instance();

    // Starts the listener unless VORLAN_SDK_CONTROL_DISABLE_NETWORK is set.
    SensorError initialize();
    // Stops the listener and its threads when running.
    void deinitialize();
    SensorError set_port(uint16_t port);
    uint16_t get_port() const { return m_port.load(); }

private:
    NetworkManager() = default;

    std::atomic<uint16_t> m_port{8808};
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_NETWORK_H
