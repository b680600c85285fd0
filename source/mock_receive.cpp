#include "mock_receive.h"

#include <exception>
#include <new>

#include "core.h"
#include "sensor.h"

#define VORLAN_SOURCE_FILE "source/mock_receive"

namespace vorlan_sdk {

SensorError receive_mocked_payload(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data,
                                   std::size_t size) {
    if (!SdkManager::instance().has_control_flag(VORLAN_SDK_CONTROL_DISABLE_NETWORK)) {
        return SensorError(VORLAN_ERROR_COMMUNICATION, "Must disable networking!");
    }
    if (data == nullptr && size != 0) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    // A payload is at most one UDP datagram; anything larger cannot have
    // come off the wire and would not fit the decoders' signed sizes.
    if (size > 65535) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    // The replay thread has no wrapper around it to catch what escapes.
    try {
        SensorManager::instance().handle_network_receive(handle, timestamp, static_cast<int32_t>(size), data);
    } catch (const std::bad_alloc&) {
        return VORLAN_ERROR_OUT_OF_MEMORY;
    } catch (const std::exception& error) {
        return SensorError(VORLAN_ERROR_GENERIC, error.what());
    } catch (...) {
        return VORLAN_ERROR_GENERIC;
    }
    return VORLAN_SUCCESS;
}

}  // namespace vorlan_sdk
