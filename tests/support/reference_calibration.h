// A plain calibration, one raw point at a time, to hold the library's
// calibration against: every rule written out once, with no batching,
// precomputed bounds or other speed-ups. Its results are meant to equal the
// library's bit for bit, so each formula is evaluated in the same order of
// operations as the library's (single precision, rounded after every step).
#ifndef VORLAN_TESTS_SUPPORT_REFERENCE_CALIBRATION_H
#define VORLAN_TESTS_SUPPORT_REFERENCE_CALIBRATION_H

#include <cstddef>
#include <cstdint>

#include "vorlan_sdk.h"

namespace vorlan_test {

// Which clip tests apply (the two DISABLE_*_CLIP control flags, inverted).
struct ReferenceClips {
    bool image = true;
    bool distance = true;
};

// Writes `return_count` (1 or 2) image points for one raw point, every byte
// of each assigned.
void reference_calibrate_point(const VorlanCalibration& calibration, const VorlanSensorRawPointWithTime& point,
                               uint32_t return_count, ReferenceClips clips, VorlanSensorImagePoint* image_points);

// The saturation rules over a calibrated batch, walked segment by segment.
void reference_filter_saturated(const VorlanCalibration& calibration, std::size_t n_points, uint32_t return_count,
                                VorlanSensorImagePoint* image_points);

// reference_calibrate_point for every raw point, then
// reference_filter_saturated over the batch.
void reference_calibrate_points(const VorlanCalibration& calibration, std::size_t n_points,
                                const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                                ReferenceClips clips, VorlanSensorImagePoint* image_points);

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_REFERENCE_CALIBRATION_H
