#include "calibration.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core.h"

#define VORLAN_SOURCE_FILE "source/calibration"

// The per-point steps below must fold into one loop body; left to itself the
// compiler keeps some of them as calls.
#if defined(__GNUC__)
#define VORLAN_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define VORLAN_ALWAYS_INLINE inline
#endif

namespace vorlan_sdk {

namespace {

constexpr uint16_t kSaturationCorrectionFlag = VORLAN_CALIBRATION_SATURATION_CORRECTION;
constexpr uint16_t kRationalDistortionFlag = VORLAN_CALIBRATION_RATIONAL_DISTORTION;
// Saturated returns read short; calibrations that carry the correction flag
// add this much to saturated returns beyond the near field.
constexpr float kSaturationRangeCorrection = 0.6f;
constexpr float kSaturationCorrectionMinDistance = 0.5f;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// A clip bound of 0 is no bound.
inline float lower_bound(float bound) { return bound != 0.0f ? bound : -kInfinity; }
inline float upper_bound(float bound) { return bound != 0.0f ? bound : kInfinity; }

// What one batch needs of the calibration, with the clip settings folded into
// the bounds (an unbounded or disabled side is infinite), so that the
// per-point work is arithmetic and a few comparisons.
//
// The comparisons are combined with bitwise operators on purpose: whether a
// point is inside depends on where the scan is, which branch prediction
// cannot follow.
struct BatchCalibration {
    BatchCalibration(const VorlanCalibration& c, CalibrationClips clips)
        : calibration(c),
          min_x(clips.image ? lower_bound(c.image_clip_min_x) : -kInfinity),
          max_x(clips.image ? upper_bound(c.image_clip_max_x) : kInfinity),
          min_z(clips.image ? lower_bound(c.image_clip_min_z) : -kInfinity),
          max_z(clips.image ? upper_bound(c.image_clip_max_z) : kInfinity),
          min_distance(clips.distance ? lower_bound(c.distance_clip_min) : -kInfinity),
          max_distance(clips.distance ? upper_bound(c.distance_clip_max) : kInfinity),
          distance_scale(c.distance_scale),
          distance_offset(c.distance_offset),
          center_x(c.image_center_x),
          center_z(c.image_center_z),
          correct_saturation((c.flags & kSaturationCorrectionFlag) != 0) {
        for (int i = 0; i < 4; ++i) {
            a[i] = c.distortion_x[i];
            b[i] = c.distortion_z[i];
        }
    }

    // NaN coordinates count as inside, as with the plain comparisons.
    bool inside_image(float x, float z) const { return !((x < min_x) | (x > max_x) | (z < min_z) | (z > max_z)); }
    bool inside_distance(float distance) const { return !((distance < min_distance) | (distance > max_distance)); }

    // Metres of one return: the raw count less the power level's offset,
    // scaled, and lengthened when saturated.
    float distance(uint32_t raw, int32_t power_offset, bool saturated) const {
        const float d = static_cast<float>(static_cast<int64_t>(raw) - power_offset) * distance_scale - distance_offset;
        const bool corrected = saturated & (d > kSaturationCorrectionMinDistance) & correct_saturation;
        return corrected ? d + kSaturationRangeCorrection : d;
    }

    const VorlanCalibration& calibration;
    float min_x, max_x, min_z, max_z;
    float min_distance, max_distance;
    float distance_scale;
    float distance_offset;
    float center_x;
    float center_z;
    float a[4];
    float b[4];
    bool correct_saturation;
};

// Calibration runs in two passes over short runs of points. The first does
// the arithmetic (position, distance, intensity) and nothing else, so that
// the divisions and the exponential of successive points overlap; the second
// derives the flags and return marks from its results, which are still in
// the first-level cache. Interleaving the two is measurably slower.
constexpr std::size_t kRunLength = 64;

// The raw fields of return `kReturn` (0: first, 1: second) of a raw point.
template <uint32_t kReturn>
inline uint32_t distance_of(const VorlanSensorRawPointWithTime& point) {
    return kReturn == 0 ? point.distance : point.distance_2;
}
template <uint32_t kReturn>
inline uint8_t saturated_of(const VorlanSensorRawPointWithTime& point) {
    return kReturn == 0 ? point.saturated : point.saturated_2;
}
template <uint32_t kReturn>
inline uint8_t intensity_of(const VorlanSensorRawPointWithTime& point) {
    return kReturn == 0 ? point.intensity : point.intensity_2;
}

// Pass one for return `kReturn` of a raw point whose position is known.
template <uint32_t kReturn>
VORLAN_ALWAYS_INLINE void measure_return(const BatchCalibration& batch, const VorlanSensorRawPointWithTime& point,
                                         float range_offset, int32_t power_offset, float reference, float falloff,
                                         float image_x, float image_z, VorlanSensorImagePoint& out) {
    const uint32_t raw = distance_of<kReturn>(point);
    const float distance = batch.distance(raw, power_offset, saturated_of<kReturn>(point) != 0);
    // A second return at the first one's range is the same echo again.
    const bool measured = (kReturn == 0 || raw != point.distance) & (raw != 0);

    // Intensity normalised to range: received power falls with the square of
    // the distance and scales with the laser's power level.
    float intensity = 1.0f;
    if (reference != 0.0f) {
        const float range = distance + range_offset;
        const float normalised =
            raw != 0 ? static_cast<float>(intensity_of<kReturn>(point)) * range * range / reference : 0.0f;
        intensity = falloff != 0.0f ? normalised / falloff : normalised;
    }

    out.timestamp = point.timestamp;
    out.image_x = image_x;
    out.distance = measured ? distance : 0.0f;
    out.image_z = image_z;
    out.intensity = intensity;
    out.segment_id = point.segment_id;
}

// Pass one for one raw point: every field but return_type, flags and the
// padding.
template <uint32_t kReturns, bool kRational>
VORLAN_ALWAYS_INLINE void measure_one(const BatchCalibration& batch, const VorlanSensorRawPointWithTime& point,
                                      VorlanSensorImagePoint* image_points) {
    if (point.segment_id >= kMaxSegments) {
        // No calibration entry: an empty point.
        for (uint32_t i = 0; i < kReturns; ++i) {
            VorlanSensorImagePoint& out = image_points[i];
            out.timestamp = point.timestamp;
            out.image_x = 0.0f;
            out.distance = 0.0f;
            out.image_z = 0.0f;
            out.intensity = 0.0f;
            out.segment_id = point.segment_id;
        }
        return;
    }
    const VorlanLaserCalibration& laser = batch.calibration.lasers[point.segment_id];

    // Segment geometry: offsets from the segment's centre, gains and the
    // cross-coupling of the two mirror axes.
    const int32_t dx = int32_t{point.image_x} - laser.image_x_center;
    const int32_t dz = int32_t{point.image_z} - laser.image_z_center;
    const float e = static_cast<float>(dz) * laser.image_z_to_x +
                    laser.image_x_scale * static_cast<float>(dx - laser.image_x_offset);
    const float f = static_cast<float>(dx) * laser.image_x_to_z +
                    static_cast<float>(dz - laser.image_z_offset) * laser.image_z_scale;

    // Lens distortion, radial about the calibration's image centre.
    const float scale = batch.distance_offset;
    const float cx = batch.center_x;
    const float cz = batch.center_z;
    const float* a = batch.a;
    float image_x;
    float image_z;
    if (kRational) {
        const float* b = batch.b;
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

    measure_return<0>(batch, point, laser.intensity_range_offset, power_offset, reference, falloff, image_x, image_z,
                      image_points[0]);
    if constexpr (kReturns > 1) {
        measure_return<1>(batch, point, laser.intensity_range_offset, power_offset, reference, falloff, image_x,
                          image_z, image_points[1]);
    }
}

// Pass two for return `kReturn` of a raw point: validity, saturation and
// frame flags, return marks and padding, from the fields pass one wrote.
// `usable` says whether the point as a whole can be valid.
template <uint32_t kReturn>
VORLAN_ALWAYS_INLINE void mark_return(const BatchCalibration& batch, const VorlanSensorRawPointWithTime& point,
                                      bool calibrated, bool usable, bool farthest, VorlanSensorImagePoint& out) {
    const uint8_t frame_flag = point.frame_flag != 0 ? VORLAN_POINT_FRAME_FLAG : 0;
    // A return without a distance (none, or a repeated echo) reads 0 m.
    const float distance = out.distance;
    const bool valid = usable & (distance > 0.0f) & batch.inside_distance(distance);
    const bool saturated = (saturated_of<kReturn>(point) != 0) | (intensity_of<kReturn>(point) == 255);
    out.return_type =
        static_cast<uint8_t>((kReturn == 0 ? VORLAN_RETURN_FIRST : 0) | (farthest ? VORLAN_RETURN_FARTHEST : 0));
    out.flags = calibrated ? static_cast<uint8_t>((valid ? VORLAN_POINT_VALID : 0) |
                                                  (saturated ? VORLAN_POINT_SATURATED : 0) | frame_flag)
                           : frame_flag;
    std::memset(out.padding, 0, sizeof(out.padding));
}

template <uint32_t kReturns>
VORLAN_ALWAYS_INLINE void mark_one(const BatchCalibration& batch, const VorlanSensorRawPointWithTime& point,
                                   VorlanSensorImagePoint* image_points) {
    const bool calibrated = point.segment_id < kMaxSegments;
    const bool usable =
        calibrated & (point.power_level != 0) & batch.inside_image(image_points[0].image_x, image_points[0].image_z);
    // The first return is the farthest too unless the second is farther.
    const bool second_farther = kReturns > 1 && image_points[kReturns - 1].distance > image_points[0].distance;
    mark_return<0>(batch, point, calibrated, usable, !second_farther, image_points[0]);
    if constexpr (kReturns > 1) {
        mark_return<1>(batch, point, calibrated, usable, second_farther, image_points[1]);
    }
}

// The saturation rules of filter_saturated, applied raw point by raw point in
// batch order; the state lasts as long as the object.
class SaturationRuns {
public:
    SaturationRuns(const VorlanCalibration& calibration, uint32_t return_count)
        : m_n_segments(calibration.segment_count),
          // On model 3 a saturated return is trusted only when its segment
          // was saturated on the previous point too: a lone saturated echo
          // is dropped.
          m_drop_lone(calibration.model == 3) {
        // Without segments to group by, or with more than a calibration can
        // describe, there are no runs to follow.
        if (m_n_segments > kMaxSegments || (return_count != 1 && return_count != 2)) {
            m_n_segments = 0;
        }
        std::memset(m_history, 0, m_n_segments);
    }

    bool active() const { return m_n_segments != 0; }

    // The next raw point's image points; only while active().
    template <uint32_t kReturns>
    void next(VorlanSensorImagePoint* point) {
        const uint8_t before = m_history[m_segment];
        const bool saturated = (point[0].flags & VORLAN_POINT_SATURATED) != 0;
        if (m_drop_lone & !(saturated & ((before & 1) != 0))) {
            for (uint32_t r = 0; r < kReturns; ++r) {
                const bool drop = (point[r].flags & VORLAN_POINT_SATURATED) != 0;
                point[r].flags &= static_cast<uint8_t>(drop ? ~VORLAN_POINT_VALID : 0xFF);
            }
        }
        if (saturated & ((before & 3) == 3)) {
            point[0].intensity = std::max(point[0].intensity, 1.0f);
        }
        m_history[m_segment] = static_cast<uint8_t>(((before << 1) | (saturated ? 1 : 0)) & 3);
        if (++m_segment == m_n_segments) {
            m_segment = 0;
        }
    }

private:
    std::size_t m_n_segments;
    bool m_drop_lone;
    std::size_t m_segment = 0;  // of the next raw point
    // Per segment, bit 0: the previous point's first return was saturated;
    // bit 1: the one before that.
    uint8_t m_history[kMaxSegments];
};

template <uint32_t kReturns, bool kRational>
void calibrate_run(const BatchCalibration& batch, std::size_t n_points, const VorlanSensorRawPointWithTime* raw_points,
                   VorlanSensorImagePoint* image_points, SaturationRuns* runs) {
    for (std::size_t first = 0; first < n_points; first += kRunLength) {
        const std::size_t end = std::min(n_points, first + kRunLength);
        for (std::size_t i = first; i < end; ++i) {
            measure_one<kReturns, kRational>(batch, raw_points[i], image_points + i * kReturns);
        }
        for (std::size_t i = first; i < end; ++i) {
            mark_one<kReturns>(batch, raw_points[i], image_points + i * kReturns);
            if (runs != nullptr) {
                runs->next<kReturns>(image_points + i * kReturns);
            }
        }
    }
}

// Calibrates with the return count and distortion model fixed for the batch.
// With `runs`, the saturation rules follow over the batch.
template <uint32_t kReturns>
void calibrate_batch(const VorlanCalibration& calibration, std::size_t n_points,
                     const VorlanSensorRawPointWithTime* raw_points, VorlanSensorImagePoint* image_points,
                     CalibrationClips clips, SaturationRuns* runs) {
    const BatchCalibration batch(calibration, clips);
    if (runs != nullptr && !runs->active()) {
        runs = nullptr;
    }
    if ((calibration.flags & kRationalDistortionFlag) != 0) {
        calibrate_run<kReturns, true>(batch, n_points, raw_points, image_points, runs);
    } else {
        calibrate_run<kReturns, false>(batch, n_points, raw_points, image_points, runs);
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
    return BatchCalibration(calibration, CalibrationClips{true, false}).inside_image(x, z);
}

bool sensor_calibration_apply_distance_clip(const VorlanCalibration& calibration, float distance) {
    return BatchCalibration(calibration, CalibrationClips{false, true}).inside_distance(distance);
}

void calibrate_point(const VorlanCalibration& calibration, const VorlanSensorRawPointWithTime& point,
                     uint32_t return_count, VorlanSensorImagePoint* image_points, CalibrationClips clips) {
    if (return_count == 1) {
        calibrate_batch<1>(calibration, 1, &point, image_points, clips, nullptr);
    } else if (return_count == 2) {
        calibrate_batch<2>(calibration, 1, &point, image_points, clips, nullptr);
    }
}

void filter_saturated(const VorlanCalibration& calibration, std::size_t n_points, uint32_t return_count,
                      VorlanSensorImagePoint* image_points) {
    SaturationRuns runs(calibration, return_count);
    if (!runs.active() || image_points == nullptr) {
        return;
    }
    for (std::size_t j = 0; j < n_points; ++j) {
        if (return_count == 1) {
            runs.next<1>(image_points + j);
        } else {
            runs.next<2>(image_points + 2 * j);
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

    const CalibrationClips clips = CalibrationClips::from_control_flags();
    SaturationRuns runs(calibration, return_count);
    if (return_count == 1) {
        calibrate_batch<1>(calibration, n_points, raw_points, image_points, clips, &runs);
    } else {
        calibrate_batch<2>(calibration, n_points, raw_points, image_points, clips, &runs);
    }
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
