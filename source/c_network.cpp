// Exported functions of the UDP port and of the mock receive path.
#include "c_wrapper.h"
#include "mock_receive.h"
#include "network.h"

#define VORLAN_SOURCE_FILE "source/c_network"

extern "C" {

VorlanSensorErrorCode vorlan_sdk_set_port(uint16_t port) {
    return VORLAN_C_CALL(true, vorlan_sdk::NetworkManager::instance().set_port(port));
}

uint16_t vorlan_sdk_get_port(void) {
    return vorlan_sdk::internal::c_value<uint16_t>(0, [] { return vorlan_sdk::NetworkManager::instance().get_port(); });
}

VorlanSensorErrorCode vorlan_sdk_mock_network_receive(VorlanSensorHandle handle, int64_t timestamp,
                                                      const uint8_t* buffer, size_t buffer_size) {
    return VORLAN_C_CALL(true, vorlan_sdk::receive_mocked_payload(handle, timestamp, buffer, buffer_size));
}

}  // extern "C"
