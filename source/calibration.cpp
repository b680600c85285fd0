#include "calibration.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core.h"

#define VORLAN_SOURCE_FILE "source/calibration"

namespace vorlan_sdk {

namespace {

constexpr uint16_t kSaturationCorrectionFlag = VORLAN_CALIBRATION_SATURATION_CORRECTION;
constexpr uint16_t kRationalDistortionFlag = VORLAN_CALIBRATION_RATIONAL_DISTORTION;
// Saturated returns read short; calibrations that carry the correction flag
// add this much to saturated returns beyond the near field.
constexpr float kSaturationRangeCorrection = 0.6f;
constexpr float kSaturationCorrectionMinDistance = 0.5f;

// Metres of one return: the raw count less the power level's offset, scaled.
inline float return_distance(const VorlanCalibration& calibration, uint32_t raw, int32_t power_offset,
                             bool saturated) {
    float distance = static_cast<float>(static_cast<int64_t>(raw) - power_offset) * calibration.distance_scale -
                     calibration.distance_offset;
    if (saturated && distance > kSaturationCorrectionMinDistance &&
        (calibration.flags & kSaturationCorrectionFlag) != 0) {
        distance += kSaturationRangeCorrection;
    }
    return distance;
}

// The image points of a raw point whose segment has no calibration entry.
template <uint32_t kReturns>
void write_uncalibrated(const VorlanSensorRawPointWithTime& point, VorlanSensorImagePoint* image_points) {
    for (uint32_t i = 0; i < kReturns; ++i) {
        VorlanSensorImagePoint out{};
        out.timestamp = point.timestamp;
        out.segment_id = point.segment_id;
        out.flags = point.frame_flag != 0 ? VORLAN_POINT_FRAME_FLAG : 0;
        // All distances are 0, so the first return is also the farthest.
        out.return_type = i == 0 ? (VORLAN_RETURN_FIRST | VORLAN_RETURN_FARTHEST) : 0;
        image_points[i] = out;
    }
}

template <uint32_t kReturns>
inline void calibrate_one(const VorlanCalibration& calibration, const VorlanSensorRawPointWithTime& point,
                          VorlanSensorImagePoint* image_points, CalibrationClips clips) {
    if (point.segment_id >= kMaxSegments) {
        write_uncalibrated<kReturns>(point, image_points);
        return;
    }
    const VorlanLaserCalibration& laser = calibration.lasers[point.segment_id];

    // Segment geometry: offsets from the segment's centre, gains and the
    // cross-coupling of the two mirror axes.
    const int32_t dx = int32_t{point.image_x} - laser.image_x_center;
    const int32_t dz = int32_t{point.image_z} - laser.image_z_center;
    const float e = static_cast<float>(dz) * laser.image_z_to_x +
                    laser.image_x_scale * static_cast<float>(dx - laser.image_x_offset);
    const float f = static_cast<float>(dx) * laser.image_x_to_z +
                    static_cast<float>(dz - laser.image_z_offset) * laser.image_z_scale;

    // Lens distortion, radial about the calibration's image centre.
    const float scale = calibration.distance_offset;
    const float cx = calibration.image_center_x;
    const float cz = calibration.image_center_z;
    const float* a = calibration.distortion_x;
    float image_x;
    float image_z;
    if ((calibration.flags & kRationalDistortionFlag) != 0) {
        const float* b = calibration.distortion_z;
        const float ep = e / scale - cx;
        const float fp = f / scale - cz;
        const float s = ep * ep + fp * fp;
        const float s2 = s * s;
        const float s3 = s2 * s;
        image_x = ep / (a[0] + a[1] * s + a[2] * s2 + a[3] * s3) + cx;
        image_z = fp / (b[0] + b[1] * s + b[2] * s2 + b[3] * s3) + cz;
    } else {
        const float u = e - cx;
        const float v = f - cz;
        const float s = (u * u + v * v) / (scale * scale);
        const float s2 = s * s;
        const float g = a[1] * s + a[2] * s2 + a[3] * s2 * s;
        image_x = (e + u * g) / scale;
        image_z = (f + v * g) / scale;
    }

    const bool inside = !clips.image || sensor_calibration_apply_image_clip(calibration, image_x, image_z);

    const uint8_t power = point.power_level;
    const bool has_power_tables = power <= kMaxPowerLevel;
    const int32_t power_offset = has_power_tables ? laser.power_level_distance_offset[power] : 0;
    const float reference = has_power_tables ? laser.power_level_intensity[power] : 0.0f;

    // Intensity falls off towards the edges of the image; the calibration
    // gives the logarithm of that loss as a quadratic over the position.
    float falloff = 0.0f;
    if (reference != 0.0f) {
        const float* h = laser.intensity_falloff;
        const float fdx = static_cast<float>(dx);
        const float fdz = static_cast<float>(dz);
        falloff = std::exp(h[0] + h[1] * fdx + h[2] * fdz + h[3] * fdx * fdx + h[4] * fdx * fdz + h[5] * fdz * fdz);
    }

    const uint32_t raw_distance[2] = {point.distance, point.distance_2};
    const uint8_t raw_saturated[2] = {point.saturated, point.saturated_2};
    const uint8_t raw_intensity[2] = {point.intensity, point.intensity_2};
    const uint8_t frame_flag = point.frame_flag != 0 ? VORLAN_POINT_FRAME_FLAG : 0;

    for (uint32_t i = 0; i < kReturns; ++i) {
        const uint32_t raw = raw_distance[i];
        const bool saturated = raw_saturated[i] != 0;
        const float distance = raw != 0 ? return_distance(calibration, raw, power_offset, saturated) : 0.0f;

        VorlanSensorImagePoint out{};
        out.timestamp = point.timestamp;
        out.image_x = image_x;
        out.image_z = image_z;
        out.segment_id = point.segment_id;

        // A second return at the first one's range is the same echo again.
        const bool repeated = i > 0 && raw == point.distance;
        bool valid = false;
        if (!repeated && raw != 0) {
            out.distance = distance;
            valid = inside && distance > 0.0f && power != 0;
        }
        if (valid && clips.distance && !sensor_calibration_apply_distance_clip(calibration, out.distance)) {
            valid = false;
        }
        out.flags = static_cast<uint8_t>((valid ? VORLAN_POINT_VALID : 0) |
                                         (saturated || raw_intensity[i] == 255 ? VORLAN_POINT_SATURATED : 0) |
                                         frame_flag);

        // Intensity normalised to range: received power falls with the
        // square of the distance and scales with the laser's power level.
        out.intensity = 1.0f;
        if (reference != 0.0f) {
            float intensity = 0.0f;
            if (raw != 0) {
                const float range = distance + laser.intensity_range_offset;
                intensity = static_cast<float>(raw_intensity[i]) * range * range / reference;
            }
            out.intensity = falloff != 0.0f ? intensity / falloff : intensity;
        }
        image_points[i] = out;
    }

    image_points[0].return_type = VORLAN_RETURN_FIRST;
    if (kReturns > 1 && image_points[1].distance > image_points[0].distance) {
        image_points[1].return_type |= VORLAN_RETURN_FARTHEST;
    } else {
        image_points[0].return_type |= VORLAN_RETURN_FARTHEST;
    }
}

template <uint32_t kReturns>
void calibrate_batch(const VorlanCalibration& calibration, std::size_t n_points,
                     const VorlanSensorRawPointWithTime* raw_points, VorlanSensorImagePoint* image_points,
                     CalibrationClips clips) {
    for (std::size_t i = 0; i < n_points; ++i) {
        calibrate_one<kReturns>(calibration, raw_points[i], image_points + i * kReturns, clips);
    }
}

}  // namespace

CalibrationClips CalibrationClips::from_control_flags() {
    const SdkManager& manager = SdkManager::instance();
    CalibrationClips clips;
    clips.image = !manager.has_control_flag(VORLAN_SDK_CONTROL_DISABLE_IMAGE_CLIP);
    clips.distance = !manager.has_control_flag(VORLAN_SDK_CONTROL_DISABLE_DISTANCE_CLIP);
    return clips;
}

bool sensor_calibration_apply_image_clip(const VorlanCalibration& calibration, float x, float z) {
    if (calibration.image_clip_min_x != 0.0f && x < calibration.image_clip_min_x) {
        return false;
    }
    if (calibration.image_clip_max_x != 0.0f && x > calibration.image_clip_max_x) {
        return false;
    }
    if (calibration.image_clip_min_z != 0.0f && z < calibration.image_clip_min_z) {
        return false;
    }
    if (calibration.image_clip_max_z != 0.0f && z > calibration.image_clip_max_z) {
        return false;
    }
    return true;
}

bool sensor_calibration_apply_distance_clip(const VorlanCalibration& calibration, float distance) {
    if (calibration.distance_clip_min != 0.0f && distance < calibration.distance_clip_min) {
        return false;
    }
    if (calibration.distance_clip_max != 0.0f && distance > calibration.distance_clip_max) {
        return false;
    }
    return true;
}

void calibrate_point(const VorlanCalibration& calibration, const VorlanSensorRawPointWithTime& point,
                     uint32_t return_count, VorlanSensorImagePoint* image_points, CalibrationClips clips) {
    if (return_count == 1) {
        calibrate_one<1>(calibration, point, image_points, clips);
    } else if (return_count == 2) {
        calibrate_one<2>(calibration, point, image_points, clips);
    }
}

void filter_saturated(const VorlanCalibration& calibration, std::size_t n_points, uint32_t return_count,
                      VorlanSensorImagePoint* image_points) {
    const std::size_t n_segments = calibration.segment_count;
    if (n_segments == 0 || n_segments > kMaxSegments || (return_count != 1 && return_count != 2) ||
        image_points == nullptr) {
        return;
    }
    // On model 3 a saturated return is trusted only when its segment was
    // saturated on the previous point too: a lone saturated echo is dropped.
    const bool drop_lone_saturated = calibration.model == 3;

    // Per segment, bit 0: the previous point's first return was saturated;
    // bit 1: the one before that.
    uint8_t history[kMaxSegments];
    std::memset(history, 0, n_segments);
    std::size_t segment = 0;
    for (std::size_t j = 0; j < n_points; ++j) {
        VorlanSensorImagePoint* point = image_points + j * return_count;
        const uint8_t before = history[segment];
        const bool saturated = (point[0].flags & VORLAN_POINT_SATURATED) != 0;
        if (drop_lone_saturated && !(saturated && (before & 1) != 0)) {
            for (uint32_t r = 0; r < return_count; ++r) {
                if ((point[r].flags & VORLAN_POINT_SATURATED) != 0) {
                    point[r].flags &= static_cast<uint8_t>(~VORLAN_POINT_VALID);
                }
            }
        }
        if (saturated && (before & 3) == 3) {
            point[0].intensity = std::max(point[0].intensity, 1.0f);
        }
        history[segment] = static_cast<uint8_t>(((before << 1) | (saturated ? 1 : 0)) & 3);
        if (++segment == n_segments) {
            segment = 0;
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
    VORLAN_CHECK(raw_points != nullptr && image_points != nullptr, VORLAN_ERROR_INVALID_ARGUMENTS,
                 "Points not given!");
    VORLAN_CHECK(n_points <= std::numeric_limits<std::size_t>::max() / sizeof(VorlanSensorImagePoint) / return_count,
                 VORLAN_ERROR_INVALID_ARGUMENTS, "Too many points!");

    const CalibrationClips clips = CalibrationClips::from_control_flags();
    if (return_count == 1) {
        calibrate_batch<1>(calibration, n_points, raw_points, image_points, clips);
    } else {
        calibrate_batch<2>(calibration, n_points, raw_points, image_points, clips);
    }
    filter_saturated(calibration, n_points, return_count, image_points);
    return VORLAN_SUCCESS;
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
