// Exported functions of sensor lookup, the model family tests and the device
// value query.
#include <cstdint>
#include <limits>

#include "c_wrapper.h"
#include "packet.h"
#include "sensor.h"

#define VORLAN_SOURCE_FILE "source/c_sensor"

namespace {

using vorlan_sdk::SensorError;
using vorlan_sdk::SensorManager;

SensorError handle_by_serial_number(uint64_t serial_number, VorlanSensorHandle* handle) {
    if (handle == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    const std::shared_ptr<vorlan_sdk::Sensor> sensor =
        SensorManager::instance().get_sensor_by_serial_number(serial_number);
    if (!sensor) {
        return VORLAN_ERROR_SENSOR_NOT_FOUND;
    }
    *handle = sensor->handle();
    return VORLAN_SUCCESS;
}

SensorError information_by_index(size_t index, VorlanSensorInformation* information) {
    if (information == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    // Indices are signed 32-bit inside; a larger one must not wrap onto a
    // sensor that exists.
    if (index > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        return VORLAN_ERROR_SENSOR_NOT_FOUND;
    }
    const std::shared_ptr<vorlan_sdk::Sensor> sensor =
        SensorManager::instance().get_sensor(static_cast<int32_t>(index));
    if (!sensor) {
        return VORLAN_ERROR_SENSOR_NOT_FOUND;
    }
    *information = sensor->get_information();
    return VORLAN_SUCCESS;
}

SensorError information_by_handle(VorlanSensorHandle handle, VorlanSensorInformation* information) {
    if (information == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    const std::shared_ptr<vorlan_sdk::Sensor> sensor = SensorManager::instance().get_sensor_by_handle(handle);
    if (!sensor) {
        return VORLAN_ERROR_SENSOR_NOT_FOUND;
    }
    *information = sensor->get_information();
    return VORLAN_SUCCESS;
}

}  // namespace

extern "C" {

int32_t vorlan_is_tq50(VorlanSensorModel model) { return vorlan_sdk::is_tq50_model(model) ? 1 : 0; }

int32_t vorlan_is_parvo(VorlanSensorModel model) { return vorlan_sdk::is_parvo_model(model) ? 1 : 0; }

int32_t vorlan_is_kiru(VorlanSensorModel model) { return vorlan_sdk::is_kiru_model(model) ? 1 : 0; }

size_t vorlan_sdk_get_n_sensors(void) {
    return vorlan_sdk::internal::c_value<size_t>(0, [] { return SensorManager::instance().get_n_sensors(); });
}

VorlanSensorErrorCode vorlan_sdk_get_sensor_handle_by_serial_number(uint64_t serial_number,
                                                                    VorlanSensorHandle* handle) {
    return VORLAN_C_CALL(true, handle_by_serial_number(serial_number, handle));
}

VorlanSensorErrorCode vorlan_sdk_get_sensor_information_by_index(size_t index, VorlanSensorInformation* information) {
    return VORLAN_C_CALL(true, information_by_index(index, information));
}

VorlanSensorErrorCode vorlan_sdk_get_sensor_information(VorlanSensorHandle handle,
                                                        VorlanSensorInformation* information) {
    return VORLAN_C_CALL(true, information_by_handle(handle, information));
}

VorlanSensorErrorCode vorlan_sdk_get(VorlanSensorHandle handle, int32_t field, void* value, int32_t value_size) {
    return vorlan_sdk::internal::c_call(true, VORLAN_SOURCE_FILE, __LINE__, "sensor->get(field, value_size, value)",
                                        [&]() -> SensorError {
                                            if (value == nullptr) {
                                                return VORLAN_ERROR_INVALID_ARGUMENTS;
                                            }
                                            const std::shared_ptr<vorlan_sdk::Sensor> sensor =
                                                SensorManager::instance().get_sensor_by_handle(handle);
                                            if (!sensor) {
                                                return VORLAN_ERROR_SENSOR_NOT_FOUND;
                                            }
                                            return sensor->get(field, value_size, value);
                                        });
}

}  // extern "C"
