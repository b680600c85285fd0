#include "frame_summary.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace vorlan_tool {

FrameSummary summarise_frame(VorlanSensorHandle sensor, const VorlanSensorImagePoint* points, std::size_t n_points) {
    FrameSummary summary;
    summary.sensor = sensor;
    summary.points = n_points;
    if (n_points == 0) {
        return summary;
    }
    summary.first_time = points[0].timestamp;
    summary.last_time = points[0].timestamp;
    bool any_valid = false;
    for (std::size_t i = 0; i < n_points; ++i) {
        const VorlanSensorImagePoint& point = points[i];
        summary.first_time = std::min(summary.first_time, point.timestamp);
        summary.last_time = std::max(summary.last_time, point.timestamp);
        if ((point.flags & VORLAN_POINT_VALID) == 0) {
            continue;
        }
        ++summary.valid_points;
        if (!any_valid) {
            summary.min_distance = summary.max_distance = point.distance;
            any_valid = true;
        } else {
            summary.min_distance = std::min(summary.min_distance, point.distance);
            summary.max_distance = std::max(summary.max_distance, point.distance);
        }
    }
    return summary;
}

std::string dotted_address(VorlanSensorHandle handle) {
    const uint32_t address = static_cast<uint32_t>(handle);
    char text[20];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xff, (address >> 8) & 0xff,
                  address & 0xff);
    return text;
}

std::string format_sensor_name(VorlanSensorHandle handle) { return dotted_address(handle); }

std::string format_sensor_name(VorlanSensorHandle handle, uint64_t serial_number) {
    return dotted_address(handle) + " serial " + std::to_string(serial_number);
}

std::string sensor_file_stem(VorlanSensorHandle handle, uint64_t serial_number) {
    return dotted_address(handle) + "_" + std::to_string(serial_number);
}

std::string format_frame(std::size_t index, const std::string& sensor_name, const FrameSummary& summary) {
    char line[240];
    std::snprintf(line, sizeof(line), "frame %-5zu sensor %s  points %6zu  valid %6zu  span %.3f s  range %.2f-%.2f m",
                  index, sensor_name.c_str(), summary.points, summary.valid_points,
                  static_cast<double>(summary.last_time - summary.first_time) * 1e-6,
                  static_cast<double>(summary.min_distance), static_cast<double>(summary.max_distance));
    return line;
}

std::string format_sensor(const VorlanSensorInformation& information) {
    char line[240];
    const char* name = information.model_name[0] != '\0' ? information.model_name : "(unknown model)";
    std::string sync;
    if ((information.flags & VORLAN_SENSOR_INFO_IS_PPS_CONNECTED) != 0) sync += " PPS";
    if ((information.flags & VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED) != 0) sync += " NMEA";
    if ((information.flags & VORLAN_SENSOR_INFO_IS_PTP_CONNECTED) != 0) sync += " PTP";
    std::snprintf(line, sizeof(line),
                  "sensor %s  %s (model %u)  firmware %.27s  %s  channels %u  returns %u  sync%s%s",
                  format_sensor_name(information.handle, information.serial_number).c_str(), name,
                  static_cast<unsigned>(information.model), information.firmware_version,
                  (information.flags & VORLAN_SENSOR_INFO_IS_CALIBRATED) != 0 ? "calibrated" : "not calibrated",
                  static_cast<unsigned>(information.segment_count), static_cast<unsigned>(information.return_count),
                  sync.empty() ? " none" : sync.c_str(),
                  (information.handle & VORLAN_SENSOR_HANDLE_FLAG_MOCK) != 0 ? "  from a capture" : "");
    return line;
}

}  // namespace vorlan_tool
