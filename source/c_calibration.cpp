// Exported functions of point calibration, and of each sensor's calibration
// and pose.
#include <memory>

#include "c_wrapper.h"
#include "calibration.h"
#include "sensor.h"

#define VORLAN_SOURCE_FILE "source/c_calibration"

namespace {

using vorlan_sdk::Sensor;
using vorlan_sdk::SensorError;

SensorError calibrate_with(const VorlanCalibration* calibration, size_t n_points,
                           const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                           VorlanSensorImagePoint* image_points) {
    VORLAN_CHECK(calibration != nullptr, VORLAN_ERROR_INVALID_ARGUMENTS, "Calibration not given!");
    return vorlan_sdk::calibrate_points(*calibration, n_points, raw_points, return_count, image_points);
}

// Runs `operation` on the attached sensor of `handle`.
template <class Operation>
SensorError with_sensor(VorlanSensorHandle handle, Operation&& operation) {
    const std::shared_ptr<Sensor> sensor = vorlan_sdk::SensorManager::instance().get_sensor_by_handle(handle);
    if (!sensor) {
        return VORLAN_ERROR_SENSOR_NOT_FOUND;
    }
    return operation(*sensor);
}

SensorError calibrate_with_sensor(VorlanSensorHandle handle, size_t n_points,
                                  const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                                  VorlanSensorImagePoint* image_points) {
    if (n_points != 0 && (raw_points == nullptr || image_points == nullptr)) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    return with_sensor(handle, [&](Sensor& sensor) {
        return sensor.calibrate_points(n_points, raw_points, return_count, image_points);
    });
}

SensorError get_calibration(VorlanSensorHandle handle, VorlanCalibration* calibration) {
    if (calibration == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    return with_sensor(handle, [&](Sensor& sensor) { return sensor.get_calibration(*calibration); });
}

SensorError set_calibration(VorlanSensorHandle handle, const VorlanCalibration* calibration) {
    if (calibration == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    return with_sensor(handle, [&](Sensor& sensor) { return sensor.set_calibration(*calibration); });
}

SensorError get_transform(VorlanSensorHandle handle, VorlanSensorTransform* transform) {
    if (transform == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    return with_sensor(handle, [&](Sensor& sensor) { return sensor.get_transform(*transform); });
}

SensorError set_transform(VorlanSensorHandle handle, const VorlanSensorTransform* transform) {
    if (transform == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    return with_sensor(handle, [&](Sensor& sensor) { return sensor.set_transform(*transform); });
}

SensorError clear_transform(VorlanSensorHandle handle) {
    return with_sensor(handle, [](Sensor& sensor) { return sensor.clear_transform(); });
}

SensorError has_transform(VorlanSensorHandle handle, int32_t* result) {
    if (result == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    return with_sensor(handle, [&](Sensor& sensor) -> SensorError {
        *result = sensor.has_transform() ? 1 : 0;
        return VORLAN_SUCCESS;
    });
}

}  // namespace

extern "C" {

VorlanSensorErrorCode vorlan_sdk_calibrate_points_with_calibration(const VorlanCalibration* calibration,
                                                                   size_t n_points,
                                                                   const VorlanSensorRawPointWithTime* raw_points,
                                                                   uint32_t return_count,
                                                                   VorlanSensorImagePoint* image_points) {
    return VORLAN_C_CALL(true, calibrate_with(calibration, n_points, raw_points, return_count, image_points));
}

VorlanSensorErrorCode vorlan_sdk_calibrate_points(VorlanSensorHandle handle, size_t n_points,
                                                  const VorlanSensorRawPointWithTime* raw_points,
                                                  uint32_t return_count, VorlanSensorImagePoint* image_points) {
    return VORLAN_C_CALL(true, calibrate_with_sensor(handle, n_points, raw_points, return_count, image_points));
}

VorlanSensorErrorCode vorlan_sdk_get_calibration(VorlanSensorHandle handle, VorlanCalibration* calibration) {
    return VORLAN_C_CALL(true, get_calibration(handle, calibration));
}

VorlanSensorErrorCode vorlan_sdk_set_calibration(VorlanSensorHandle handle, const VorlanCalibration* calibration) {
    return VORLAN_C_CALL(true, set_calibration(handle, calibration));
}

VorlanSensorErrorCode vorlan_sdk_get_transform(VorlanSensorHandle handle, VorlanSensorTransform* transform) {
    return VORLAN_C_CALL(true, get_transform(handle, transform));
}

VorlanSensorErrorCode vorlan_sdk_set_transform(VorlanSensorHandle handle, const VorlanSensorTransform* transform) {
    return VORLAN_C_CALL(true, set_transform(handle, transform));
}

VorlanSensorErrorCode vorlan_sdk_clear_transform(VorlanSensorHandle handle) {
    return VORLAN_C_CALL(true, clear_transform(handle));
}

VorlanSensorErrorCode vorlan_sdk_has_transform(VorlanSensorHandle handle, int32_t* has_transform) {
    return VORLAN_C_CALL(true, ::has_transform(handle, has_transform));
}

}  // extern "C"
