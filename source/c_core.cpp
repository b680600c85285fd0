// Exported functions of the lifecycle, options, control flags, errors and
// callback registration.
#include "c_wrapper.h"
#include "core.h"

#define VORLAN_SOURCE_FILE "source/c_core"

namespace {

using vorlan_sdk::CallbackManager;
using vorlan_sdk::SdkManager;
using vorlan_sdk::SensorError;

// The exported initialise refuses a running library instead of restarting it.
SensorError initialize_unless_initialized(int32_t sdk_ver, const VorlanSDKOptions* options,
                                          VorlanSensorErrorCallback cb, void* user_data) {
    if (SdkManager::instance().is_initialized()) {
        return VORLAN_ERROR_ALREADY_INITIALIZED;
    }
    return SdkManager::instance().initialize(sdk_ver, options, cb, user_data);
}

SensorError set_frame_options_checked(const VorlanSDKFrameOptions* options) {
    if (options == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    return SdkManager::instance().set_frame_options(*options);
}

// Most unlisten functions succeed without effect before initialisation.
template <class Slot>
SensorError clear_when_initialized(Slot& slot) {
    if (!SdkManager::instance().is_initialized()) {
        return VORLAN_SUCCESS;
    }
    return slot.clear();
}

}  // namespace

extern "C" {

const char* vorlan_sdk_get_version_string(void) { return "1.18.2"; }
int32_t vorlan_sdk_get_version_major(void) { return 1; }
int32_t vorlan_sdk_get_version_minor(void) { return 18; }
int32_t vorlan_sdk_get_version_patch(void) { return 2; }

VorlanSensorErrorCode vorlan_sdk_initialize(int32_t sdk_ver, const VorlanSDKOptions* options,
                                            VorlanSensorErrorCallback cb, void* user_data) {
    return VORLAN_C_CALL(false, initialize_unless_initialized(sdk_ver, options, cb, user_data));
}

VorlanSensorErrorCode vorlan_sdk_deinitialize(void) {
    return VORLAN_C_CALL(false, vorlan_sdk::SdkManager::instance().deinitialize());
}

int32_t vorlan_sdk_is_initialized(void) {
    return vorlan_sdk::internal::c_value<int32_t>(0, [] { return SdkManager::instance().is_initialized() ? 1 : 0; });
}

VorlanSDKControl vorlan_sdk_get_control_flags(void) {
    return vorlan_sdk::internal::c_value<VorlanSDKControl>(0,
                                                           [] { return SdkManager::instance().get_control_flags(); });
}

int32_t vorlan_sdk_has_control_flag(VorlanSDKControl flag) {
    return vorlan_sdk::internal::c_value<int32_t>(
        0, [flag] { return SdkManager::instance().has_control_flag(flag) ? 1 : 0; });
}

VorlanSensorErrorCode vorlan_sdk_set_control_flags(VorlanSDKControl mask, VorlanSDKControl flags) {
    return VORLAN_C_CALL(true, vorlan_sdk::SdkManager::instance().set_control_flags(mask, flags));
}

VorlanSensorErrorCode vorlan_sdk_set_frame_options(const VorlanSDKFrameOptions* options) {
    return VORLAN_C_CALL(true, set_frame_options_checked(options));
}

VorlanSDKFrameMode vorlan_sdk_get_frame_mode(void) {
    return vorlan_sdk::internal::c_value<VorlanSDKFrameMode>(VORLAN_SDK_FRAME_STREAMING,
                                                             [] { return SdkManager::instance().get_frame_mode(); });
}

float vorlan_sdk_get_frame_length(void) {
    return vorlan_sdk::internal::c_value<float>(0.0f, [] { return SdkManager::instance().get_frame_length(); });
}

VorlanSensorErrorCode vorlan_sdk_clear(void) {
    if (!vorlan_sdk_is_initialized()) {
        return vorlan_sdk::internal::store_result(SensorError());
    }
    return VORLAN_C_CALL(false, vorlan_sdk::SdkManager::instance().clear());
}

VorlanSensorErrorCode vorlan_sdk_get_error(const char** message) {
    try {
        return vorlan_sdk::internal::hand_out_last_error(message);
    } catch (...) {
        if (message != nullptr) {
            *message = "";
        }
        return VORLAN_ERROR_OUT_OF_MEMORY;
    }
}

VorlanSensorErrorCode vorlan_sdk_listen_network_packet(VorlanNetworkReceiveCallback cb, void* user_data) {
    return VORLAN_C_CALL(true, vorlan_sdk::CallbackManager::instance().network_cb.set(cb, user_data));
}
VorlanSensorErrorCode vorlan_sdk_unlisten_network_packet(void) {
    return VORLAN_C_CALL(false, clear_when_initialized(CallbackManager::instance().network_cb));
}

VorlanSensorErrorCode vorlan_sdk_listen_serial_lines(VorlanSerialReceiveCallback cb, void* user_data) {
    return VORLAN_C_CALL(true, vorlan_sdk::CallbackManager::instance().serial_cb.set(cb, user_data));
}
VorlanSensorErrorCode vorlan_sdk_unlisten_serial_lines(void) {
    return VORLAN_C_CALL(false, clear_when_initialized(CallbackManager::instance().serial_cb));
}

VorlanSensorErrorCode vorlan_sdk_listen_raw_frames(VorlanSensorRawFramesCallback cb, void* user_data) {
    return VORLAN_C_CALL(true, vorlan_sdk::CallbackManager::instance().raw_frame_cb.set(cb, user_data));
}
VorlanSensorErrorCode vorlan_sdk_unlisten_raw_frames(void) {
    return VORLAN_C_CALL(false, clear_when_initialized(CallbackManager::instance().raw_frame_cb));
}

VorlanSensorErrorCode vorlan_sdk_listen_image_frames(VorlanSensorImageFramesCallback cb, void* user_data) {
    return VORLAN_C_CALL(true, vorlan_sdk::CallbackManager::instance().image_frame_cb.set(cb, user_data));
}
VorlanSensorErrorCode vorlan_sdk_unlisten_image_frames(void) {
    return VORLAN_C_CALL(false, clear_when_initialized(CallbackManager::instance().image_frame_cb));
}

VorlanSensorErrorCode vorlan_sdk_listen_waveforms(VorlanSensorWaveformCallback cb, void* user_data) {
    return VORLAN_C_CALL(true, vorlan_sdk::CallbackManager::instance().waveform_cb.set(cb, user_data));
}
VorlanSensorErrorCode vorlan_sdk_unlisten_waveforms(void) {
    return VORLAN_C_CALL(false, clear_when_initialized(CallbackManager::instance().waveform_cb));
}

VorlanSensorErrorCode vorlan_sdk_listen_info_packets(VorlanSensorInformationCallback cb, void* user_data) {
    return VORLAN_C_CALL(true, vorlan_sdk::CallbackManager::instance().sensor_info_cb.set(cb, user_data));
}
// Unlike the other kinds, removing the information callback needs a running
// library.
VorlanSensorErrorCode vorlan_sdk_unlisten_info_packets(void) {
    return VORLAN_C_CALL(true, vorlan_sdk::CallbackManager::instance().sensor_info_cb.clear());
}

}  // extern "C"
