#include "legacy_translation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "legacy_positions.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace vorlan_sdk2 {
namespace {

// ---- Reflectivity ----

// Above 127 % the byte 127 + i stands for 127 * (5000/127)^(i/128) percent,
// the table holding those values to one decimal place.
constexpr size_t kReflectivitySteps = 129;

std::array<float, kReflectivitySteps> make_reflectivity_table() {
    std::array<float, kReflectivitySteps> table{};
    for (size_t i = 0; i < table.size(); ++i) {
        const double percent = 127.0 * std::pow(5000.0 / 127.0, static_cast<double>(i) / 128.0);
        table[i] = static_cast<float>(std::round(percent * 10.0) / 10.0);
    }
    return table;
}

const std::array<float, kReflectivitySteps> kReflectivityTable = make_reflectivity_table();

// Where the table takes over from plain percent, and where it ends.
constexpr float kFirstTablePercent = 127.1f;
constexpr float kLastTablePercent = 4999.0f;
constexpr int32_t kFirstWholePercent = 127;
constexpr int32_t kLastWholePercent = 5000;
constexpr size_t kWholePercents = kLastWholePercent - kFirstWholePercent + 1;

// Entry i is the nearest to a percent p exactly when p lies between the
// midpoints of entry i with its neighbours, a tie going to the lower entry:
// the code of p is 127 + the number of midpoints below p. Midpoints lie
// more than 1 % apart, so [w, w + 1) holds at most one of them for a whole
// percent w, and for p in that range the count is that of w, plus one when
// p lies past that midpoint.
struct PercentStep {
    float next_midpoint;  // rounded down: p > it exactly when p > the midpoint
    uint8_t midpoints_below;
};

std::array<PercentStep, kWholePercents> make_percent_steps() {
    std::array<double, kReflectivitySteps - 1> midpoints{};
    for (size_t i = 1; i < kReflectivitySteps; ++i) {
        // The sum of two floats and its half are exact in double precision.
        midpoints[i - 1] = (static_cast<double>(kReflectivityTable[i - 1]) + kReflectivityTable[i]) / 2.0;
    }
    std::array<PercentStep, kWholePercents> steps{};
    size_t below = 0;
    for (int32_t whole = kFirstWholePercent; whole <= kLastWholePercent; ++whole) {
        while (below < midpoints.size() && midpoints[below] < whole) {
            ++below;
        }
        PercentStep& step = steps[static_cast<size_t>(whole - kFirstWholePercent)];
        step.midpoints_below = static_cast<uint8_t>(below);
        if (below == midpoints.size()) {
            step.next_midpoint = std::numeric_limits<float>::infinity();
            continue;
        }
        float rounded = static_cast<float>(midpoints[below]);
        if (static_cast<double>(rounded) > midpoints[below]) {
            rounded = std::nextafter(rounded, -std::numeric_limits<float>::infinity());
        }
        step.next_midpoint = rounded;
    }
    return steps;
}

const std::array<PercentStep, kWholePercents> kPercentSteps = make_percent_steps();

// Both ranges are worked out for every point and one is chosen, without a
// branch: intensities fall on both sides of 127 % point by point.
inline uint8_t reflectivity_code(float fraction) {
    const float percent = 100.0f * fraction;
    // Negative or not a number: 0, as 0 % is.
    const float kept = percent >= 0.0f ? std::min(percent, static_cast<float>(kLastWholePercent)) : 0.0f;
    const int32_t plain = roundHalfAway(kept);
    const int32_t whole = std::max(static_cast<int32_t>(kept), kFirstWholePercent);
    const PercentStep& step = kPercentSteps[static_cast<size_t>(whole - kFirstWholePercent)];
    const int32_t table = 127 + step.midpoints_below + static_cast<int32_t>(kept > step.next_midpoint);
    return static_cast<uint8_t>(kept < kFirstTablePercent ? plain : (kept > kLastTablePercent ? 255 : table));
}

#if defined(__SSE2__) || defined(_M_X64)
#define VORLAN_SDK2_REFLECTIVITY_LANES 1

// reflectivity_code of four points in SSE2 lanes, the table's two values of
// each looked up lane by lane; the code of point l in byte l.
inline uint32_t reflectivity_codes(const LegacySensorImagePoint* points) {
    const __m128 fraction =
        _mm_set_ps(points[3].intensity, points[2].intensity, points[1].intensity, points[0].intensity);
    const __m128 percent = _mm_mul_ps(_mm_set1_ps(100.0f), fraction);
    const __m128 kept = _mm_and_ps(_mm_cmpge_ps(percent, _mm_setzero_ps()),
                                   _mm_min_ps(percent, _mm_set1_ps(static_cast<float>(kLastWholePercent))));
    // Rounding as roundHalfAway does; nothing is negative here. A true
    // comparison is -1 in a lane, so subtracting it adds one.
    const __m128i whole = _mm_cvttps_epi32(kept);
    const __m128 left = _mm_sub_ps(kept, _mm_cvtepi32_ps(whole));
    const __m128i plain = _mm_sub_epi32(whole, _mm_castps_si128(_mm_cmpge_ps(left, _mm_set1_ps(0.5f))));

    alignas(16) int32_t at[4];
    const __m128i first_whole = _mm_set1_epi32(kFirstWholePercent);
    _mm_store_si128(reinterpret_cast<__m128i*>(at),
                    _mm_sub_epi32(_mm_cvttps_epi32(_mm_max_ps(kept, _mm_set1_ps(static_cast<float>(kFirstWholePercent)))),
                                  first_whole));
    const PercentStep& s0 = kPercentSteps[static_cast<size_t>(at[0])];
    const PercentStep& s1 = kPercentSteps[static_cast<size_t>(at[1])];
    const PercentStep& s2 = kPercentSteps[static_cast<size_t>(at[2])];
    const PercentStep& s3 = kPercentSteps[static_cast<size_t>(at[3])];
    const __m128 next = _mm_set_ps(s3.next_midpoint, s2.next_midpoint, s1.next_midpoint, s0.next_midpoint);
    const __m128i below = _mm_set_epi32(s3.midpoints_below, s2.midpoints_below, s1.midpoints_below, s0.midpoints_below);
    const __m128i table = _mm_sub_epi32(_mm_add_epi32(below, _mm_set1_epi32(127)),
                                        _mm_castps_si128(_mm_cmpgt_ps(kept, next)));

    const __m128i in_plain = _mm_castps_si128(_mm_cmplt_ps(kept, _mm_set1_ps(kFirstTablePercent)));
    const __m128i past_table = _mm_castps_si128(_mm_cmpgt_ps(kept, _mm_set1_ps(kLastTablePercent)));
    const auto select = [](__m128i mask, __m128i if_set, __m128i if_clear) {
        return _mm_or_si128(_mm_and_si128(mask, if_set), _mm_andnot_si128(mask, if_clear));
    };
    const __m128i code = select(in_plain, plain, select(past_table, _mm_set1_epi32(255), table));
    // Codes are 0-255: packing keeps them.
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(code, code), code)));
}
#endif

// ---- Time ----

// Relative times are one byte: a step longer than 255 µs is carried by the
// following points, and a step back in time restarts the count there.
class RelativeClock {
public:
    explicit RelativeClock(int64_t start) : m_time(start) {}

    // Without branches on the step: time steps back now and then, at
    // points of the sensor's scan that come out of order.
    uint8_t step(int64_t timestamp) {
        int64_t delta = 0;
        if (__builtin_sub_overflow(timestamp, m_time, &delta)) {
            delta = timestamp > m_time ? std::numeric_limits<int64_t>::max() : -1;
        }
        const bool back = delta < 0;
        const int64_t step = std::min<int64_t>(delta, kLargestStep);
        m_time = back ? timestamp : m_time + step;
        return static_cast<uint8_t>(back ? 0 : step);
    }

private:
    static constexpr int64_t kLargestStep = 255;
    int64_t m_time;
};

// The flags of this library from those of the first, the no-return flag
// apart (it is also set for a point whose position is not a number).
constexpr std::array<uint8_t, 256> make_flag_table() {
    std::array<uint8_t, 256> table{};
    for (size_t legacy = 0; legacy < table.size(); ++legacy) {
        uint8_t flags = 0;
        if ((legacy & VORLAN_POINT_VALID) == 0) {
            flags |= VORLAN_POINT_FLAG_NO_RETURN;
        }
        if ((legacy & VORLAN_POINT_SATURATED) != 0) {
            flags |= VORLAN_POINT_FLAG_SATURATED;
        }
        if ((legacy & VORLAN_POINT_FRAME_FLAG) != 0) {
            flags |= VORLAN_POINT_FLAG_FRAME_PARITY;
        }
        table[legacy] = flags;
    }
    return table;
}

constexpr std::array<uint8_t, 256> kFlagTable = make_flag_table();

}  // namespace

VorlanSensor translateSensorInformation(uint64_t handle, const LegacySensorInformation& info) {
    VorlanSensor sensor;
    std::memset(&sensor, 0, sizeof sensor);
    sensor.info_size = sizeof(VorlanSensor);
    sensor.serial_number = static_cast<uint32_t>(info.serial_number);
    sensor.handle = handle;
    std::memcpy(sensor.model_name, info.model_name, sizeof sensor.model_name);
    sensor.model = info.model;
    sensor.model_reserved = info.reserved;
    sensor.firmware_version[0] = info.firmware_major;
    sensor.firmware_version[1] = info.firmware_minor;
    sensor.firmware_version[2] = info.firmware_build;
    sensor.firmware_version[3] = info.firmware_reserved;
    sensor.ptp_time = info.ptp_time;
    sensor.return_count = info.return_count;
    sensor.channel_count = info.segment_count;
    if ((info.flags & VORLAN_SENSOR_INFO_IS_PTP_CONNECTED) != 0) {
        sensor.flags |= VORLAN_SENSOR_FLAG_PTP_CONNECTED;
    }
    if ((info.flags & VORLAN_SENSOR_INFO_IS_PPS_CONNECTED) != 0) {
        sensor.flags |= VORLAN_SENSOR_FLAG_PPS_CONNECTED;
    }
    if ((info.flags & VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED) != 0) {
        sensor.flags |= VORLAN_SENSOR_FLAG_NMEA_CONNECTED;
    }
    sensor.temperature = legacyTemperature(info.last_reported_temperature);
    return sensor;
}

uint16_t legacyTemperature(float celsius) {
    // In single precision, as the sensor reports it: 25 °C is 29815, where
    // double precision would truncate 29814.999... to 29814.
    const float centikelvin = (celsius + 273.15f) * 100.0f;
    // Written so that a value that is not a number also gives 0.
    if (!(centikelvin >= 0.0f && centikelvin <= 65535.0f)) {
        return 0;
    }
    return static_cast<uint16_t>(centikelvin);
}

uint8_t legacyReflectivity(float fraction) { return reflectivity_code(fraction); }

int64_t translateImagePoints(const LegacySensorImagePoint* points, size_t n, VorlanPoint* out) {
    return translateImagePoints(points, n, out, widestPositionLanes());
}

int64_t translateImagePoints(const LegacySensorImagePoint* points, size_t n, VorlanPoint* out,
                             PositionLanes lanes) {
    if (n == 0) {
        return 0;
    }
    // Positions first, several points at once; then what is done point by
    // point, the running clock above all.
    writeLegacyPositions(points, n, out, lanes);
    RelativeClock clock(points[0].timestamp);
    const auto finish = [&clock](const LegacySensorImagePoint& point, uint8_t reflectivity, VorlanPoint& record) {
        record.flags |= kFlagTable[point.flags];
        record.reflectivity = reflectivity;
        record.relative_timestamp = clock.step(point.timestamp);
        record.channel_id = point.segment_id;
    };
    size_t i = 0;
#if defined(VORLAN_SDK2_REFLECTIVITY_LANES)
    if (lanes != PositionLanes::kOne) {
        for (; i + 4 <= n; i += 4) {
            const uint32_t codes = reflectivity_codes(points + i);
            for (size_t l = 0; l < 4; ++l) {
                finish(points[i + l], static_cast<uint8_t>(codes >> (8 * l)), out[i + l]);
            }
        }
    }
#endif
    for (; i < n; ++i) {
        finish(points[i], reflectivity_code(points[i].intensity), out[i]);
    }
    return points[0].timestamp;
}

}  // namespace vorlan_sdk2
