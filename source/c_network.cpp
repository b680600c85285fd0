// Exported functions of the UDP port and of the mock receive path.
#include "c_wrapper.h"
#include "network.h"
#include "sensor.h"

#define VORLAN_SOURCE_FILE "source/c_network"

namespace {

using vorlan_sdk::SdkManager;
using vorlan_sdk::SensorError;

// Live and mocked input never mix: payloads are taken here only while the
// network is disabled.
SensorError mock_receive(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* buffer, size_t buffer_size) {
    if (!SdkManager::instance().has_control_flag(VORLAN_SDK_CONTROL_DISABLE_NETWORK)) {
        return SensorError(VORLAN_ERROR_COMMUNICATION, "Must disable networking!");
    }
    if (buffer == nullptr && buffer_size != 0) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    // A payload is at most one UDP datagram; anything larger cannot have
    // come off the wire and would not fit the decoders' signed sizes.
    if (buffer_size > 65535) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    vorlan_sdk::SensorManager::instance().handle_network_receive(handle, timestamp, static_cast<int32_t>(buffer_size),
                                                                 buffer);
    return VORLAN_SUCCESS;
}

}  // namespace

extern "C" {

VorlanSensorErrorCode vorlan_sdk_set_port(uint16_t port) {
    return VORLAN_C_CALL(true, vorlan_sdk::NetworkManager::instance().set_port(port));
}

uint16_t vorlan_sdk_get_port(void) {
    return vorlan_sdk::internal::c_value<uint16_t>(0, [] { return vorlan_sdk::NetworkManager::instance().get_port(); });
}

VorlanSensorErrorCode vorlan_sdk_mock_network_receive(VorlanSensorHandle handle, int64_t timestamp,
                                                      const uint8_t* buffer, size_t buffer_size) {
    return VORLAN_C_CALL(true, mock_receive(handle, timestamp, buffer, buffer_size));
}

}  // extern "C"
