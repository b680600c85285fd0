#include "network.h"

namespace vorlan_sdk {

NetworkManager& NetworkManager::instance() {
    static NetworkManager manager;
    return manager;
}

SensorError NetworkManager::initialize() { return VORLAN_SUCCESS; }

void NetworkManager::deinitialize() {}

SensorError NetworkManager::set_port(uint16_t port) {
    m_port.store(port);
    return VORLAN_SUCCESS;
}

}  // namespace vorlan_sdk
