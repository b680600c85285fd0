// Point calibration: turns the raw measurements of a sensor into image
// coordinates, distances in metres and normalised intensities with a
// VorlanCalibration, and compiles sensor poses into matrix form.
//
// These functions touch no shared state apart from reading the control flags
// and the kernel in use (once per batch), so any thread may call them on its
// own buffers.
#ifndef VORLAN_SOURCE_CALIBRATION_H
#define VORLAN_SOURCE_CALIBRATION_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "vorlan_sdk.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"

namespace vorlan_sdk {

// Segments a calibration can describe: the size of VorlanCalibration.lasers.
inline constexpr std::size_t kMaxSegments = 192;
// Power levels with their own distance offset and intensity reference.
inline constexpr uint8_t kMaxPowerLevel = 31;

// Which clip tests calibration applies. The control flags behind them are
// read once per batch so that one batch is calibrated under one setting and
// the hot loop does not touch the shared flag word.
struct CalibrationClips {
    bool image = true;
    bool distance = true;

    // The clips the current control flags ask for
    // (VORLAN_SDK_CONTROL_DISABLE_IMAGE_CLIP / _DISABLE_DISTANCE_CLIP).
    static CalibrationClips from_control_flags();
};

// The decoders and the calibration kernels read and write a raw point as
// four 64-bit words: its fields must lie where those words put them.
static_assert(sizeof(VorlanSensorRawPointWithTime) == 32 && offsetof(VorlanSensorRawPointWithTime, image_x) == 8 &&
                  offsetof(VorlanSensorRawPointWithTime, image_z) == 10 &&
                  offsetof(VorlanSensorRawPointWithTime, distance) == 12 &&
                  offsetof(VorlanSensorRawPointWithTime, distance_2) == 16 &&
                  offsetof(VorlanSensorRawPointWithTime, intensity) == 20 &&
                  offsetof(VorlanSensorRawPointWithTime, intensity_2) == 21 &&
                  offsetof(VorlanSensorRawPointWithTime, saturated) == 22 &&
                  offsetof(VorlanSensorRawPointWithTime, saturated_2) == 23 &&
                  offsetof(VorlanSensorRawPointWithTime, segment_id) == 24 &&
                  offsetof(VorlanSensorRawPointWithTime, power_level) == 25 &&
                  offsetof(VorlanSensorRawPointWithTime, frame_flag) == 27,
              "a raw point is four 64-bit words");

// Calibrates one raw point into `return_count` consecutive image points.
// Every field of each written image point is assigned (the buffer need not be
// zeroed). `return_count` is 1 or 2; other values write nothing. A point whose
// segment_id has no entry in `lasers` (192 or more) cannot be calibrated: its
// image points carry the timestamp, segment_id, return marks and frame flag
// with zero coordinates, distance and intensity, and are never valid.
void calibrate_point(const VorlanCalibration& calibration, const VorlanSensorRawPointWithTime& point,
                     uint32_t return_count, VorlanSensorImagePoint* image_points,
                     CalibrationClips clips = CalibrationClips::from_control_flags());

// Post-processing of a calibrated batch of `n_points` raw points
// (`return_count` image points each). Raw point j is taken to belong to
// segment j mod calibration.segment_count, as sensors send their segments in
// turn. For model 3 a saturated return stays valid only from the second
// saturated point in a row of its segment on; for every model a first return
// saturated three times in a row reads at least 1.0 in intensity. State lasts
// for one call. Nothing happens for a segment_count of 0 or above 192, or a
// return_count other than 1 or 2. Allocates nothing.
void filter_saturated(const VorlanCalibration& calibration, std::size_t n_points, uint32_t return_count,
                      VorlanSensorImagePoint* image_points);

// Calibrates raw points i = 0..n_points-1 into image points
// i * return_count onward, then runs filter_saturated over the batch.
// `image_points` must hold n_points * return_count records. Refuses a
// return_count other than 1 or 2, and null point pointers for a non-empty
// batch, with VORLAN_ERROR_INVALID_ARGUMENTS before writing anything.
SensorError calibrate_points(const VorlanCalibration& calibration, std::size_t n_points,
                             const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                             VorlanSensorImagePoint* image_points);

// calibrate_points for a batch the caller has checked: `return_count` is 1
// or 2, and the pointers hold the batch (they may be null only when it is
// empty). Makes no error object, for callers on the packet path.
void calibrate_checked_points(const VorlanCalibration& calibration, std::size_t n_points,
                              const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                              VorlanSensorImagePoint* image_points);

namespace internal {
struct SegmentColumns;

// The point path's kernels (decoding device points and calibrating them)
// the library carries. It runs the widest the processor has, chosen once.
enum class CalibrationKernel { portable, avx2 };

// The kernel in use.
CalibrationKernel calibration_kernel_in_use();

// Whether this processor runs `kernel`.
bool calibration_kernel_runs(CalibrationKernel kernel);

// For tests, which compare the kernels: calibrate with `kernel` from now on
// in every thread. False, and nothing changed, where the processor cannot
// run it.
bool use_calibration_kernel(CalibrationKernel kernel);
}  // namespace internal

// A calibration's segment entries laid out as calibration reads them fastest.
// Laying them out costs about as much as calibrating a packet gains from it,
// so a sensor keeps one and lays it out again only when its calibration
// changes. Made empty; build() must follow each change of the calibration
// it is used with.
class CalibrationLayout {
public:
    CalibrationLayout();
    ~CalibrationLayout();
    CalibrationLayout(const CalibrationLayout&) = delete;
    CalibrationLayout& operator=(const CalibrationLayout&) = delete;

    // Lays out `calibration`'s entries. One without segments, or with more
    // than `lasers` holds, is calibrated without a layout.
    void build(const VorlanCalibration& calibration);

    // Null while there is nothing laid out.
    const internal::SegmentColumns* columns() const { return m_usable ? m_columns.get() : nullptr; }

private:
    std::unique_ptr<internal::SegmentColumns> m_columns;
    bool m_usable = false;
};

// calibrate_checked_points with `layout`, built from `calibration` since it
// last changed.
void calibrate_checked_points(const VorlanCalibration& calibration, const CalibrationLayout& layout,
                              std::size_t n_points, const VorlanSensorRawPointWithTime* raw_points,
                              uint32_t return_count, VorlanSensorImagePoint* image_points);

// True when (x, z) lies inside the calibration's image clip box; a bound of 0
// is no bound.
bool sensor_calibration_apply_image_clip(const VorlanCalibration& calibration, float x, float z);
// True when `distance` (metres) lies inside the calibration's distance clip
// range; a bound of 0 is no bound.
bool sensor_calibration_apply_distance_clip(const VorlanCalibration& calibration, float distance);

// A sensor pose in matrix form: the translation, then the rotation matrix in
// row order. Default-constructed it is the identity pose.
struct VorlanSensorCompiledTransform {
    float translation[3] = {0.0f, 0.0f, 0.0f};
    float rotation[9] = {1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f};
};

// Translation copied, rotation matrix of the unit quaternion (x, y, z, w).
// The quaternion is not normalised: a pose that is not a unit quaternion
// yields a matrix that is not a rotation.
void compile_sensor_transform(const VorlanSensorTransform& transform, VorlanSensorCompiledTransform& compiled);

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_CALIBRATION_H
