#include "legacy_translation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

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

// For each whole percent from 127 to 5000, the first table entry at least as
// large: entries lie more than 1 % apart, so for any percent p the first
// entry at least p is this one for floor(p) or the next.
constexpr int kFirstTablePercent = 127;
constexpr int kLastTablePercent = 5000;

std::array<uint8_t, kLastTablePercent - kFirstTablePercent + 1> make_first_entry_at_least() {
    std::array<uint8_t, kLastTablePercent - kFirstTablePercent + 1> first{};
    size_t entry = 0;
    for (int percent = kFirstTablePercent; percent <= kLastTablePercent; ++percent) {
        while (kReflectivityTable[entry] < static_cast<float>(percent)) {
            ++entry;
        }
        first[static_cast<size_t>(percent - kFirstTablePercent)] = static_cast<uint8_t>(entry);
    }
    return first;
}

const std::array<uint8_t, kLastTablePercent - kFirstTablePercent + 1> kFirstEntryAtLeast = make_first_entry_at_least();

// Rounds to the nearest integer, halves away from zero, for |value| < 2^31:
// the truncation and the fraction it leaves are exact. Plain instructions
// without branches, where std::round is a library call and a branch on the
// fraction would be mispredicted for every other point.
template <class Real>
int32_t round_half_away(Real value) {
    const int32_t whole = static_cast<int32_t>(value);
    const Real fraction = value - static_cast<Real>(whole);
    return whole + static_cast<int32_t>(fraction >= Real(0.5)) - static_cast<int32_t>(fraction <= Real(-0.5));
}

// ---- Position ----

// Image points without a return are placed this far along their ray.
constexpr double kNoReturnDistance = 100.0;
// Coordinates are carried in 5 mm units in 16 bits.
constexpr double kUnitsPerMetre = 200.0;
constexpr double kLargestUnits = std::numeric_limits<int16_t>::max();

// How far along its ray each point lies, in metres per unit of image
// coordinate: its distance (or the placeholder distance of a point without
// a return) over the ray's length. Apart from the rest of the translation,
// so that the square roots and divisions of many points are under way at
// once instead of each waiting for the one before.
void distances_along_rays(const LegacySensorImagePoint* points, size_t n, double* along) {
    for (size_t i = 0; i < n; ++i) {
        const double image_x = points[i].image_x;
        const double image_z = points[i].image_z;
        const bool valid = (points[i].flags & VORLAN_POINT_VALID) != 0;
        const double range = valid ? static_cast<double>(points[i].distance) : kNoReturnDistance;
        along[i] = range / std::sqrt(image_x * image_x + image_z * image_z + 1.0);
    }
}

// Writes the point's coordinates; false when they are not numbers.
//
// A point farther out than 16 bits of 5 mm reach (about 163.8 m on any axis)
// is pulled in along its ray until its largest coordinate is the largest
// that can be stored: direction kept, sign never flipped by wrapping.
bool write_position(const LegacySensorImagePoint& point, double along, VorlanPoint& out) {
    const double image_x = point.image_x;
    const double image_z = point.image_z;
    double units[3] = {-image_x * along * kUnitsPerMetre, along * kUnitsPerMetre, -image_z * along * kUnitsPerMetre};
    double largest = 0.0;
    for (double value : units) {
        if (!std::isfinite(value)) {
            return false;
        }
        largest = std::max(largest, std::fabs(value));
    }
    if (largest >= kLargestUnits + 0.5) {  // would round past the largest
        const double scale = kLargestUnits / largest;
        for (double& value : units) {
            value = std::clamp(value * scale, -kLargestUnits, kLargestUnits);
        }
    }
    out.x = static_cast<int16_t>(round_half_away(units[0]));
    out.y = static_cast<int16_t>(round_half_away(units[1]));
    out.z = static_cast<int16_t>(round_half_away(units[2]));
    return true;
}

// ---- Time ----

// Relative times are one byte: a step longer than 255 µs is carried by the
// following points, and a step back in time restarts the count there.
class RelativeClock {
public:
    explicit RelativeClock(int64_t start) : m_time(start) {}

    uint8_t step(int64_t timestamp) {
        int64_t delta = 0;
        if (__builtin_sub_overflow(timestamp, m_time, &delta)) {
            delta = timestamp > m_time ? std::numeric_limits<int64_t>::max() : -1;
        }
        if (delta < 0) {
            m_time = timestamp;
            return 0;
        }
        const int64_t step = std::min<int64_t>(delta, kLargestStep);
        m_time += step;
        return static_cast<uint8_t>(step);
    }

private:
    static constexpr int64_t kLargestStep = 255;
    int64_t m_time;
};

uint8_t translate_flags(uint8_t legacy_flags) {
    uint8_t flags = 0;
    if ((legacy_flags & VORLAN_POINT_VALID) == 0) {
        flags |= VORLAN_POINT_FLAG_NO_RETURN;
    }
    if ((legacy_flags & VORLAN_POINT_SATURATED) != 0) {
        flags |= VORLAN_POINT_FLAG_SATURATED;
    }
    if ((legacy_flags & VORLAN_POINT_FRAME_FLAG) != 0) {
        flags |= VORLAN_POINT_FLAG_FRAME_PARITY;
    }
    return flags;
}

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

uint8_t legacyReflectivity(float fraction) {
    const float percent = 100.0f * fraction;
    if (percent >= 0.0f && percent < 127.1f) {
        return static_cast<uint8_t>(round_half_away(percent));
    }
    if (percent > 4999.0f) {
        return 255;
    }
    if (!(percent >= 0.0f)) {
        return 0;  // negative, or not a number
    }
    // 127.1 <= percent <= 4999: the first entry at least as large exists,
    // and is not the first entry.
    size_t index = kFirstEntryAtLeast[static_cast<size_t>(static_cast<int>(percent) - kFirstTablePercent)];
    if (kReflectivityTable[index] < percent) {
        ++index;
    }
    const bool upper_nearer = kReflectivityTable[index] - percent < percent - kReflectivityTable[index - 1];
    return static_cast<uint8_t>(127 + (upper_nearer ? index : index - 1));
}

int64_t translateImagePoints(const LegacySensorImagePoint* points, size_t n, VorlanPoint* out) {
    if (n == 0) {
        return 0;
    }
    RelativeClock clock(points[0].timestamp);
    double along[kLegacyBatchPoints];
    for (size_t start = 0; start < n; start += kLegacyBatchPoints) {
        const size_t count = std::min(n - start, kLegacyBatchPoints);
        distances_along_rays(points + start, count, along);
        for (size_t i = 0; i < count; ++i) {
            const LegacySensorImagePoint& point = points[start + i];
            VorlanPoint& record = out[start + i];
            record.flags = translate_flags(point.flags);
            if (!write_position(point, along[i], record)) {
                // Nothing can be said of where it is: no return, at the origin.
                record.x = record.y = record.z = 0;
                record.flags |= VORLAN_POINT_FLAG_NO_RETURN;
            }
            record.reflectivity = legacyReflectivity(point.intensity);
            record.relative_timestamp = clock.step(point.timestamp);
            record.channel_id = point.segment_id;
        }
    }
    return points[0].timestamp;
}

}  // namespace vorlan_sdk2
