#include "support/reference_calibration.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace vorlan_test {

namespace {

constexpr std::size_t kSegmentsInTable = 192;  // entries of VorlanCalibration.lasers
constexpr uint8_t kLastPowerLevelWithTables = 31;

// Metres of one return.
float return_distance(const VorlanCalibration& calibration, uint32_t raw, int32_t power_offset, bool saturated) {
    float d = static_cast<float>(static_cast<int64_t>(raw) - power_offset) * calibration.distance_scale -
              calibration.distance_offset;
    if (saturated && d > 0.5f && (calibration.flags & VORLAN_CALIBRATION_SATURATION_CORRECTION) != 0) {
        d = d + 0.6f;
    }
    return d;
}

bool inside_image(const VorlanCalibration& c, float x, float z) {
    if (c.image_clip_min_x != 0.0f && x < c.image_clip_min_x) return false;
    if (c.image_clip_max_x != 0.0f && x > c.image_clip_max_x) return false;
    if (c.image_clip_min_z != 0.0f && z < c.image_clip_min_z) return false;
    if (c.image_clip_max_z != 0.0f && z > c.image_clip_max_z) return false;
    return true;
}

bool inside_distance(const VorlanCalibration& c, float distance) {
    if (c.distance_clip_min != 0.0f && distance < c.distance_clip_min) return false;
    if (c.distance_clip_max != 0.0f && distance > c.distance_clip_max) return false;
    return true;
}

}  // namespace

void reference_calibrate_point(const VorlanCalibration& calibration, const VorlanSensorRawPointWithTime& point,
                               uint32_t return_count, ReferenceClips clips, VorlanSensorImagePoint* image_points) {
    if (return_count != 1 && return_count != 2) {
        return;
    }
    const uint32_t distances[2] = {point.distance, point.distance_2};
    const uint8_t saturated[2] = {point.saturated, point.saturated_2};
    const uint8_t intensities[2] = {point.intensity, point.intensity_2};
    const uint8_t frame_flag = point.frame_flag != 0 ? VORLAN_POINT_FRAME_FLAG : 0;

    for (uint32_t i = 0; i < return_count; ++i) {
        VorlanSensorImagePoint& out = image_points[i];
        std::memset(&out, 0, sizeof(out));
        out.timestamp = point.timestamp;
        out.segment_id = point.segment_id;
        out.flags = frame_flag;
    }
    image_points[0].return_type = VORLAN_RETURN_FIRST;

    // No table entry: empty points, never valid.
    if (point.segment_id >= kSegmentsInTable) {
        image_points[0].return_type |= VORLAN_RETURN_FARTHEST;
        return;
    }
    const VorlanLaserCalibration& laser = calibration.lasers[point.segment_id];

    // Position.
    const int32_t dx = point.image_x - laser.image_x_center;
    const int32_t dz = point.image_z - laser.image_z_center;
    const float e = static_cast<float>(dz) * laser.image_z_to_x +
                    laser.image_x_scale * static_cast<float>(dx - laser.image_x_offset);
    const float f = static_cast<float>(dx) * laser.image_x_to_z +
                    static_cast<float>(dz - laser.image_z_offset) * laser.image_z_scale;
    const float F = calibration.distance_offset;
    const float cx = calibration.image_center_x;
    const float cz = calibration.image_center_z;
    const float* a = calibration.distortion_x;
    const float* b = calibration.distortion_z;
    float x;
    float z;
    if ((calibration.flags & VORLAN_CALIBRATION_RATIONAL_DISTORTION) != 0) {
        const float ep = e / F - cx;
        const float fp = f / F - cz;
        const float s = ep * ep + fp * fp;
        const float s2 = s * s;
        const float s3 = s2 * s;
        x = ep / (a[0] + a[1] * s + a[2] * s2 + a[3] * s3) + cx;
        z = fp / (b[0] + b[1] * s + b[2] * s2 + b[3] * s3) + cz;
    } else {
        const float u = e - cx;
        const float v = f - cz;
        const float s = (u * u + v * v) / (F * F);
        const float s2 = s * s;
        const float g = a[1] * s + a[2] * s2 + a[3] * s2 * s;
        x = (e + u * g) / F;
        z = (f + v * g) / F;
    }
    const bool inside = !clips.image || inside_image(calibration, x, z);

    // Power level tables.
    const uint8_t p = point.power_level;
    const int32_t power_offset = p <= kLastPowerLevelWithTables ? laser.power_level_distance_offset[p] : 0;
    const float reference = p <= kLastPowerLevelWithTables ? laser.power_level_intensity[p] : 0.0f;
    float falloff = 0.0f;
    if (reference != 0.0f) {
        const float* h = laser.intensity_falloff;
        const float fdx = static_cast<float>(dx);
        const float fdz = static_cast<float>(dz);
        falloff = std::exp(h[0] + h[1] * fdx + h[2] * fdz + h[3] * fdx * fdx + h[4] * fdx * fdz + h[5] * fdz * fdz);
    }

    for (uint32_t i = 0; i < return_count; ++i) {
        VorlanSensorImagePoint& out = image_points[i];
        out.image_x = x;
        out.image_z = z;
        const uint32_t r = distances[i];
        const float d = return_distance(calibration, r, power_offset, saturated[i] != 0);

        bool valid = false;
        if (i > 0 && r == point.distance) {
            out.distance = 0.0f;  // the first return again
        } else if (r == 0) {
            out.distance = 0.0f;
        } else {
            out.distance = d;
            valid = inside && d > 0.0f && p != 0;
        }
        if (valid && clips.distance && !inside_distance(calibration, out.distance)) {
            valid = false;
        }
        if (valid) {
            out.flags |= VORLAN_POINT_VALID;
        }
        if (saturated[i] != 0 || intensities[i] == 255) {
            out.flags |= VORLAN_POINT_SATURATED;
        }

        out.intensity = 1.0f;
        if (reference != 0.0f) {
            const float t = d + laser.intensity_range_offset;
            const float normalised = r != 0 ? static_cast<float>(intensities[i]) * t * t / reference : 0.0f;
            out.intensity = falloff != 0.0f ? normalised / falloff : normalised;
        }
    }

    // The farthest return; the first one on ties.
    const bool second_farther = return_count > 1 && image_points[1].distance > image_points[0].distance;
    image_points[second_farther ? 1 : 0].return_type |= VORLAN_RETURN_FARTHEST;
}

void reference_filter_saturated(const VorlanCalibration& calibration, std::size_t n_points, uint32_t return_count,
                                VorlanSensorImagePoint* image_points) {
    const std::size_t segments = calibration.segment_count;
    if (segments == 0 || segments > kSegmentsInTable || (return_count != 1 && return_count != 2)) {
        return;
    }
    for (std::size_t s = 0; s < segments; ++s) {
        // Saturated first returns in a row in this segment, through point j.
        std::size_t run = 0;
        for (std::size_t j = s; j < n_points; j += segments) {
            VorlanSensorImagePoint* point = image_points + j * return_count;
            const bool saturated = (point[0].flags & VORLAN_POINT_SATURATED) != 0;
            run = saturated ? run + 1 : 0;
            if (calibration.model == 3 && run <= 1) {
                for (uint32_t r = 0; r < return_count; ++r) {
                    if ((point[r].flags & VORLAN_POINT_SATURATED) != 0) {
                        point[r].flags &= static_cast<uint8_t>(~VORLAN_POINT_VALID);
                    }
                }
            }
            if (run >= 3 && point[0].intensity < 1.0f) {
                point[0].intensity = 1.0f;
            }
        }
    }
}

void reference_calibrate_points(const VorlanCalibration& calibration, std::size_t n_points,
                                const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                                ReferenceClips clips, VorlanSensorImagePoint* image_points) {
    for (std::size_t i = 0; i < n_points; ++i) {
        reference_calibrate_point(calibration, raw_points[i], return_count, clips, image_points + i * return_count);
    }
    reference_filter_saturated(calibration, n_points, return_count, image_points);
}

}  // namespace vorlan_test
