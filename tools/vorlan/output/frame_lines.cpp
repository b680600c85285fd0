#include "frame_lines.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vorlan_tool {

std::string format_sensor_line(const SensorFacts& sensor, bool from_capture) {
    char line[240];
    std::snprintf(line, sizeof(line), "sensor %s  %s (model %u)  firmware %s  channels %u  returns %u  sync %s%s",
                  sensor.name.c_str(), sensor.model.empty() ? "(unknown model)" : sensor.model.c_str(),
                  sensor.model_number, sensor.firmware.empty() ? "unknown" : sensor.firmware.c_str(),
                  sensor.channels, sensor.returns, sensor.sync.empty() ? "none" : sensor.sync.c_str(),
                  from_capture ? "  from a capture" : "");
    return line;
}

FrameSummary summarise(const Frame& frame) {
    FrameSummary summary;
    summary.sensor = frame.sensor != nullptr ? frame.sensor->handle : 0;
    summary.points = frame.n_points;
    summary.valid_points = frame.n_valid;
    summary.first_time = frame.first_time;
    summary.last_time = frame.last_time;
    bool any = false;
    for (std::size_t i = 0; i < frame.n_points; ++i) {
        const FramePoint& point = frame.points[i];
        if ((point.flags & kFramePointValid) == 0) {
            continue;
        }
        const float distance = std::sqrt(point.x * point.x + point.y * point.y + point.z * point.z);
        summary.min_distance = any ? std::min(summary.min_distance, distance) : distance;
        summary.max_distance = any ? std::max(summary.max_distance, distance) : distance;
        any = true;
    }
    return summary;
}

std::string format_frame_line(const Frame& frame) {
    return format_frame(frame.index, frame.sensor != nullptr ? frame.sensor->name : std::string("?"),
                        summarise(frame));
}

void image_points_of(const Frame& frame, std::vector<VorlanSensorImagePoint>& out) {
    out.clear();
    out.reserve(frame.n_points);
    for (std::size_t i = 0; i < frame.n_points; ++i) {
        const FramePoint& point = frame.points[i];
        // A point on or behind the sensor's plane has no image coordinates.
        if ((point.flags & kFramePointValid) == 0 || !(point.y > 0.0f)) {
            continue;
        }
        VorlanSensorImagePoint image{};
        image.timestamp = frame.first_time + static_cast<int64_t>(point.t / 1000);
        image.image_x = -point.x / point.y;
        image.image_z = -point.z / point.y;
        image.distance = std::sqrt(point.x * point.x + point.y * point.y + point.z * point.z);
        image.intensity = point.intensity;
        image.segment_id = static_cast<uint8_t>(point.channel);
        image.return_type = point.return_index == 0 ? VORLAN_RETURN_FIRST : VORLAN_RETURN_FARTHEST;
        image.flags = VORLAN_POINT_VALID;
        out.push_back(image);
    }
}

}  // namespace vorlan_tool
