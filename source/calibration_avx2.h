// Calibration with AVX2, eight points at a time, for processors that have
// it; it gives exactly the image points the portable kernel gives.
#ifndef VORLAN_SOURCE_CALIBRATION_AVX2_H
#define VORLAN_SOURCE_CALIBRATION_AVX2_H

#include <cstddef>
#include <cstdint>

#include "calibration.h"

namespace vorlan_sdk {
namespace internal {

struct SegmentColumns;

// Whether this processor runs calibrate_with_avx2. Found out once.
bool avx2_calibration_runs();

// Calibrates `n_points` raw points into `return_count` (1 or 2; others
// write nothing) image points each, with the saturation rules after them
// where `with_rules`; `columns` (may be null) laid out from `calibration`.
// Only where avx2_calibration_runs().
void calibrate_with_avx2(const VorlanCalibration& calibration, std::size_t n_points,
                         const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                         VorlanSensorImagePoint* image_points, CalibrationClips clips, bool with_rules,
                         const SegmentColumns* columns);

}  // namespace internal
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_CALIBRATION_AVX2_H
