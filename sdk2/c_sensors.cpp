// The exported sensor registry: queries and sensor-information listeners.
#include "c_boundary.h"
#include "sensors.h"
#include "vorlan_sdk2.h"

using namespace vorlan_sdk2;

extern "C" {

VORLAN_SDK2_API int VorlanListenSensorInfo(VorlanSensorInfoCallback callback, void* user_data) {
    return c_call_initialized([&] {
        return InfoDataCallbacks().AddBack(callback, user_data) ? VORLAN_SUCCESS : VORLAN_ERROR_INVALID_ARGUMENTS;
    });
}

VORLAN_SDK2_API int VorlanUnlistenSensorInfo(VorlanSensorInfoCallback callback, void* user_data) {
    return c_call_initialized([&] {
        return callback != nullptr && InfoDataCallbacks().Remove(callback, user_data)
                   ? VORLAN_SUCCESS
                   : VORLAN_ERROR_INVALID_ARGUMENTS;
    });
}

VORLAN_SDK2_API int64_t VorlanGetSensorCount(void) {
    if (!isInitialized()) {
        return VORLAN_ERROR_NOT_INITIALIZED;
    }
    return static_cast<int64_t>(sensorCount());
}

VORLAN_SDK2_API int VorlanGetSensorInformation(uint64_t handle, VorlanSensor* out) {
    return c_call_initialized([&] {
        return out == nullptr ? VORLAN_ERROR_INVALID_ARGUMENTS : copySensorInformation(handle, out);
    });
}

VORLAN_SDK2_API int VorlanGetSensorInformationByIndex(size_t index, VorlanSensor* out) {
    return c_call_initialized([&] {
        return out == nullptr ? VORLAN_ERROR_INVALID_ARGUMENTS : copySensorInformationByIndex(index, out);
    });
}

}  // extern "C"
