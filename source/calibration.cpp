#include "calibration.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cmath>
#include <cstring>
#include <limits>

#include "calibration_avx2.h"
#include "calibration_columns.h"
#include "calibration_kernel.h"
#include "core.h"
#include "float_lanes.h"

#define VORLAN_SOURCE_FILE "source/calibration"

namespace vorlan_sdk {

namespace {

using internal::SegmentColumns;

// Calibration with the lanes every processor of the build has.
struct PortableKernel {
    using Wide = util::WideLanes;
    static void exponentials(float* falloff, const float* reference, std::size_t n) {
        plain_exponentials(falloff, reference, 0, n);
    }
};

// The kernel calibration runs with: the widest this processor has, found
// once, unless a test chose another.
std::atomic<internal::CalibrationKernel>& selected_kernel() {
    static std::atomic<internal::CalibrationKernel> kernel{internal::avx2_calibration_runs()
                                                               ? internal::CalibrationKernel::avx2
                                                               : internal::CalibrationKernel::portable};
    return kernel;
}

// Calibrates a batch with the selected kernel (see calibrate_with).
void calibrate_selected(const VorlanCalibration& calibration, std::size_t n_points,
                        const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                        VorlanSensorImagePoint* image_points, CalibrationClips clips, bool with_rules,
                        const SegmentColumns* prepared) {
    if (selected_kernel().load(std::memory_order_relaxed) == internal::CalibrationKernel::avx2) {
        internal::calibrate_with_avx2(calibration, n_points, raw_points, return_count, image_points, clips,
                                      with_rules, prepared);
    } else {
        calibrate_with<PortableKernel>(calibration, n_points, raw_points, return_count, image_points, clips,
                                       with_rules, prepared);
    }
}

}  // namespace

void internal::SegmentColumns::fill(const VorlanCalibration& calibration, std::size_t segment_count) {
    count = segment_count;
    const std::size_t rows = segment_count + kMaxWidth - 1;
    std::size_t next = 0;  // the segment of the next row
    for (std::size_t row = 0; row < rows; ++row) {
        const VorlanLaserCalibration& laser = calibration.lasers[next];
        segment[row] = static_cast<int32_t>(next);
        x_center[row] = laser.image_x_center;
        x_offset[row] = laser.image_x_offset;
        z_center[row] = laser.image_z_center;
        z_offset[row] = laser.image_z_offset;
        range_offset[row] = laser.intensity_range_offset;
        x_scale[row] = laser.image_x_scale;
        z_scale[row] = laser.image_z_scale;
        z_to_x[row] = laser.image_z_to_x;
        x_to_z[row] = laser.image_x_to_z;
        for (std::size_t k = 0; k < 6; ++k) {
            h[k][row] = laser.intensity_falloff[k];
        }
        if (++next == segment_count) {
            next = 0;
        }
    }
}

// The columns are made with the first layout: a sensor that never sends
// points never needs them.
CalibrationLayout::CalibrationLayout() = default;

CalibrationLayout::~CalibrationLayout() = default;

void CalibrationLayout::build(const VorlanCalibration& calibration) {
    const std::size_t segment_count = calibration.segment_count;
    m_usable = internal::SegmentColumns::lays_out(segment_count);
    if (m_usable && m_columns == nullptr) {
        m_columns.reset(new (std::nothrow) internal::SegmentColumns);
        m_usable = m_columns != nullptr;  // calibrated without a layout meanwhile
    }
    if (m_usable) {
        m_columns->fill(calibration, segment_count);
    }
}

CalibrationClips CalibrationClips::from_control_flags() {
    const SdkManager& manager = SdkManager::instance();
    CalibrationClips clips;
    clips.image = !manager.has_control_flag(VORLAN_SDK_CONTROL_DISABLE_IMAGE_CLIP);
    clips.distance = !manager.has_control_flag(VORLAN_SDK_CONTROL_DISABLE_DISTANCE_CLIP);
    return clips;
}

bool sensor_calibration_apply_image_clip(const VorlanCalibration& calibration, float x, float z) {
    return BatchCalibration(calibration, CalibrationClips{true, false}).inside_image(x, z);
}

bool sensor_calibration_apply_distance_clip(const VorlanCalibration& calibration, float distance) {
    return BatchCalibration(calibration, CalibrationClips{false, true}).inside_distance(distance);
}

bool internal::calibration_kernel_runs(CalibrationKernel kernel) {
    return kernel == CalibrationKernel::portable || avx2_calibration_runs();
}

internal::CalibrationKernel internal::calibration_kernel_in_use() {
    return selected_kernel().load(std::memory_order_relaxed);
}

bool internal::use_calibration_kernel(CalibrationKernel kernel) {
    if (!calibration_kernel_runs(kernel)) {
        return false;
    }
    selected_kernel().store(kernel, std::memory_order_relaxed);
    return true;
}

void calibrate_point(const VorlanCalibration& calibration, const VorlanSensorRawPointWithTime& point,
                     uint32_t return_count, VorlanSensorImagePoint* image_points, CalibrationClips clips) {
    calibrate_selected(calibration, 1, &point, return_count, image_points, clips, false, nullptr);
}

void filter_saturated(const VorlanCalibration& calibration, std::size_t n_points, uint32_t return_count,
                      VorlanSensorImagePoint* image_points) {
    const SaturationRules rules(calibration, return_count);
    if (!rules.active() || image_points == nullptr) {
        return;
    }
    const auto saturated_at = [image_points, return_count](std::size_t k) {
        return (image_points[k * return_count].flags & VORLAN_POINT_SATURATED) != 0;
    };
    for (std::size_t j = 0; j < n_points; ++j) {
        VorlanSensorImagePoint* point = image_points + j * return_count;
        const auto flags = [point](uint32_t r) { return point[r].flags; };
        const auto drop_validity = [point](uint32_t r) {
            point[r].flags = static_cast<uint8_t>(point[r].flags & ~VORLAN_POINT_VALID);
        };
        const auto intensity = [point]() -> float& { return point[0].intensity; };
        if (return_count == 1) {
            rules.apply<1>(j, flags, drop_validity, intensity, saturated_at);
        } else {
            rules.apply<2>(j, flags, drop_validity, intensity, saturated_at);
        }
    }
}

SensorError calibrate_points(const VorlanCalibration& calibration, std::size_t n_points,
                             const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                             VorlanSensorImagePoint* image_points) {
    VORLAN_CHECK(return_count == 1 || return_count == 2, VORLAN_ERROR_INVALID_ARGUMENTS, "Invalid return count!");
    if (n_points == 0) {
        return VORLAN_SUCCESS;
    }
    VORLAN_CHECK(raw_points != nullptr && image_points != nullptr, VORLAN_ERROR_INVALID_ARGUMENTS, "Points not given!");
    VORLAN_CHECK(n_points <= std::numeric_limits<std::size_t>::max() / sizeof(VorlanSensorImagePoint) / return_count,
                 VORLAN_ERROR_INVALID_ARGUMENTS, "Too many points!");

    calibrate_checked_points(calibration, n_points, raw_points, return_count, image_points);
    return VORLAN_SUCCESS;
}

void calibrate_checked_points(const VorlanCalibration& calibration, std::size_t n_points,
                              const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                              VorlanSensorImagePoint* image_points) {
    if (n_points == 0) {
        return;
    }
    calibrate_selected(calibration, n_points, raw_points, return_count, image_points,
                       CalibrationClips::from_control_flags(), true, nullptr);
}

void calibrate_checked_points(const VorlanCalibration& calibration, const CalibrationLayout& layout,
                              std::size_t n_points, const VorlanSensorRawPointWithTime* raw_points,
                              uint32_t return_count, VorlanSensorImagePoint* image_points) {
    if (n_points == 0) {
        return;
    }
    calibrate_selected(calibration, n_points, raw_points, return_count, image_points,
                       CalibrationClips::from_control_flags(), true, layout.columns());
}

void compile_sensor_transform(const VorlanSensorTransform& transform, VorlanSensorCompiledTransform& compiled) {
    compiled.translation[0] = transform.translation[0];
    compiled.translation[1] = transform.translation[1];
    compiled.translation[2] = transform.translation[2];

    const float x = transform.rotation[0];
    const float y = transform.rotation[1];
    const float z = transform.rotation[2];
    const float w = transform.rotation[3];
    float* m = compiled.rotation;
    m[0] = 1.0f - 2.0f * (y * y + z * z);
    m[1] = 2.0f * (x * y - w * z);
    m[2] = 2.0f * (x * z + w * y);
    m[3] = 2.0f * (x * y + w * z);
    m[4] = 1.0f - 2.0f * (x * x + z * z);
    m[5] = 2.0f * (y * z - w * x);
    m[6] = 2.0f * (x * z - w * y);
    m[7] = 2.0f * (y * z + w * x);
    m[8] = 1.0f - 2.0f * (x * x + y * y);
}

}  // namespace vorlan_sdk

