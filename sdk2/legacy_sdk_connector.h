// Legacy translation: the first-generation library, loaded at run time from
// this library's directory, decodes the payloads no parser of the chain took
// and hands back calibrated image points and sensor information, which come
// out of this library as point batches and sensor records.
#ifndef VORLAN_SDK2_LEGACY_SDK_CONNECTOR_H
#define VORLAN_SDK2_LEGACY_SDK_CONNECTOR_H

#include <cstddef>
#include <cstdint>

#include "legacy_proxy_loader.h"
#include "legacy_translation.h"

namespace vorlan_sdk2 {

// The eight functions of the first library this one calls, bound by name.
class LegacySdkProxy : public ProxyLoader {
public:
    void LoadSymbols() override;
    void UnloadSymbols() override;

    decltype(&::vorlan_sdk_initialize) vorlan_sdk_initialize = nullptr;
    decltype(&::vorlan_sdk_deinitialize) vorlan_sdk_deinitialize = nullptr;
    decltype(&::vorlan_sdk_mock_network_receive) vorlan_sdk_mock_network_receive = nullptr;
    decltype(&::vorlan_sdk_listen_image_frames) vorlan_sdk_listen_image_frames = nullptr;
    decltype(&::vorlan_sdk_unlisten_image_frames) vorlan_sdk_unlisten_image_frames = nullptr;
    decltype(&::vorlan_sdk_get_sensor_information) vorlan_sdk_get_sensor_information = nullptr;
    decltype(&::vorlan_sdk_listen_info_packets) vorlan_sdk_listen_info_packets = nullptr;
    decltype(&::vorlan_sdk_unlisten_info_packets) vorlan_sdk_unlisten_info_packets = nullptr;
};

// Both return 0 or an error code; VORLAN_ERROR_INVALID_STATE when
// translation is already on (enable) or off (disable), or when called from
// a listener that translation itself is calling. Enabling loads and starts
// the first library and puts legacyParser at the end of the chain; a
// failure leaves translation off and the first library unloaded.
// Disabling waits for translations under way, then stops and unloads it.
// May throw std::bad_alloc.
int enableLegacyTranslation();
int disableLegacyTranslation();

// Loads, binds and starts the first library: 0, VORLAN_ERROR_FILE_IO when it
// cannot be loaded, VORLAN_ERROR_INVALID_RESPONSE when one of its functions
// is missing, or the first library's own code when it refuses to start or to
// take a listener. Called with the connector's lock held exclusively.
int loadLegacySDK();
// Stops the first library if this library started it, and unloads it.
// Returns 0. Called with the connector's lock held exclusively.
int unloadLegacySDK();

// The last parser of the chain: hands the payload to the first library.
// Never takes it (returns -1).
int legacyParser(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void* user_data);

// Listeners registered in the first library; they run on whichever thread
// fed it the payload.
void LegacySensorInfoCallback(uint64_t handle, const LegacySensorInformation* info, void* user_data);
void LegacySensorImageDataCallback(uint64_t handle, size_t n_points, const LegacySensorImagePoint* points,
                                   void* user_data);

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_LEGACY_SDK_CONNECTOR_H
