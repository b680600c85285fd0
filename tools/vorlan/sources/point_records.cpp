#include "point_records.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "frame_summary.h"
#include "wire_bytes.h"

namespace vorlan_tool {
namespace {

using vorlan_common::load_i16le;

constexpr double kMetresPerUnit = 0.005;
constexpr std::size_t kReflectivityOffset = 6;
constexpr std::size_t kRelativeTimeOffset = 7;
constexpr std::size_t kChannelOffset = 8;
constexpr std::size_t kFlagsOffset = 9;

CloudPoint read_record(const uint8_t* record, int64_t time) {
    CloudPoint point;
    point.x = load_i16le(record) * kMetresPerUnit;
    point.y = load_i16le(record + 2) * kMetresPerUnit;
    point.z = load_i16le(record + 4) * kMetresPerUnit;
    point.intensity = static_cast<float>(reflectivity_percent(record[kReflectivityOffset]));
    point.channel = record[kChannelOffset];
    point.flags = record[kFlagsOffset];
    point.has_return = (point.flags & VORLAN_POINT_FLAG_NO_RETURN) == 0;
    point.timestamp = time;
    return point;
}

}  // namespace

double reflectivity_percent(uint8_t code) {
    if (code <= 127) {
        return code;
    }
    return 127.0 * std::pow(5000.0 / 127.0, static_cast<double>(code - 127) / 128.0);
}

std::vector<CloudPoint> read_point_records(int64_t timestamp, const uint8_t* points, std::size_t n_points,
                                           std::size_t stride) {
    std::vector<CloudPoint> out;
    out.reserve(n_points);
    int64_t time = timestamp;
    for (std::size_t i = 0; i < n_points; ++i) {
        const uint8_t* record = points + i * stride;
        time += record[kRelativeTimeOffset];
        out.push_back(read_record(record, time));
    }
    return out;
}

FrameSummary summarise_point_records(uint64_t handle, int64_t timestamp, const uint8_t* points,
                                     std::size_t n_points, std::size_t stride) {
    FrameSummary summary;
    summary.sensor = handle;
    summary.points = n_points;
    int64_t time = timestamp;
    bool any_valid = false;
    for (std::size_t i = 0; i < n_points; ++i) {
        const uint8_t* record = points + i * stride;
        time += record[kRelativeTimeOffset];
        if (i == 0) {
            summary.first_time = time;
        }
        summary.last_time = time;
        if ((record[kFlagsOffset] & VORLAN_POINT_FLAG_NO_RETURN) != 0) {
            continue;
        }
        ++summary.valid_points;
        const double x = load_i16le(record), y = load_i16le(record + 2), z = load_i16le(record + 4);
        const auto distance = static_cast<float>(std::sqrt(x * x + y * y + z * z) * kMetresPerUnit);
        summary.min_distance = any_valid ? std::min(summary.min_distance, distance) : distance;
        summary.max_distance = any_valid ? std::max(summary.max_distance, distance) : distance;
        any_valid = true;
    }
    return summary;
}

std::vector<VorlanSensorImagePoint> to_image_points(int64_t timestamp, const uint8_t* points, std::size_t n_points,
                                                    std::size_t stride) {
    std::vector<VorlanSensorImagePoint> out;
    out.reserve(n_points);
    for (const CloudPoint& point : read_point_records(timestamp, points, n_points, stride)) {
        if (!point.has_return || !(point.y > 0.0)) {
            continue;  // no image coordinates behind the sensor
        }
        VorlanSensorImagePoint image{};
        image.timestamp = point.timestamp;
        image.image_x = static_cast<float>(-point.x / point.y);
        image.image_z = static_cast<float>(-point.z / point.y);
        image.distance = static_cast<float>(std::sqrt(point.x * point.x + point.y * point.y + point.z * point.z));
        image.intensity = point.intensity;
        image.segment_id = point.channel;
        image.flags = VORLAN_POINT_VALID;
        out.push_back(image);
    }
    return out;
}

std::string format_sensor_record(uint64_t handle, const VorlanSensor& sensor) {
    char name[sizeof sensor.model_name + 1] = {};
    std::copy(std::begin(sensor.model_name), std::end(sensor.model_name), name);
    std::string sync;
    if ((sensor.flags & VORLAN_SENSOR_FLAG_PTP_CONNECTED) != 0) sync += " PTP";
    if ((sensor.flags & VORLAN_SENSOR_FLAG_PPS_CONNECTED) != 0) sync += " PPS";
    if ((sensor.flags & VORLAN_SENSOR_FLAG_NMEA_CONNECTED) != 0) sync += " NMEA";
    char line[240];
    std::snprintf(line, sizeof(line),
                  "sensor %s  %s (model %u)  firmware %u.%u.%u.%u  channels %u  returns %u  sync%s",
                  format_sensor_name(handle, sensor.serial_number).c_str(), name[0] != '\0' ? name : "(unknown model)",
                  static_cast<unsigned>(sensor.model), sensor.firmware_version[0], sensor.firmware_version[1],
                  sensor.firmware_version[2], sensor.firmware_version[3], static_cast<unsigned>(sensor.channel_count),
                  static_cast<unsigned>(sensor.return_count), sync.empty() ? " none" : sync.c_str());
    return line;
}

}  // namespace vorlan_tool
