// Exported functions of point calibration.
#include "c_wrapper.h"
#include "calibration.h"

#define VORLAN_SOURCE_FILE "source/c_calibration"

namespace {

using vorlan_sdk::SensorError;

SensorError calibrate_with(const VorlanCalibration* calibration, size_t n_points,
                           const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                           VorlanSensorImagePoint* image_points) {
    VORLAN_CHECK(calibration != nullptr, VORLAN_ERROR_INVALID_ARGUMENTS, "Calibration not given!");
    return vorlan_sdk::calibrate_points(*calibration, n_points, raw_points, return_count, image_points);
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

}  // extern "C"
