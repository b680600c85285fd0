// A frame as a sensor_msgs/PointCloud2 message: one row of 24-byte points
// (x, y, z, intensity float32, t uint32, channel uint16, return and flags
// uint8), stamped with the frame's first point time.
#ifndef VORLAN_TOOLS_PUBLISH_POINT_CLOUD_MESSAGE_H
#define VORLAN_TOOLS_PUBLISH_POINT_CLOUD_MESSAGE_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "PointCloud2.h"
#include "frame_source.h"

namespace vorlan_tool {

// PointField datatypes.
constexpr uint8_t kPointFieldUint8 = 2;
constexpr uint8_t kPointFieldUint16 = 4;
constexpr uint8_t kPointFieldUint32 = 6;
constexpr uint8_t kPointFieldFloat32 = 7;

struct PointFieldLayout {
    const char* name;
    uint32_t offset;
    uint8_t datatype;
};
// The fields of FramePoint in order, as the message describes them.
extern const std::array<PointFieldLayout, 8> kFramePointFields;

// µs since the Unix epoch as a ROS time: seconds rounded down, nanoseconds
// 0..999999999. Seconds beyond what a ROS time holds are clamped.
builtin_interfaces_msg_dds__Time_ ros_time_from_micros(int64_t micros);

// Reused for every frame of one sensor, so that steady publishing allocates
// nothing here. Not thread-safe: one sensor's frames come one at a time.
class PointCloudMessage {
public:
    // `xyz_intensity_only`: 16-byte points of the first four fields, for
    // links that cannot carry all 24 bytes.
    explicit PointCloudMessage(std::string frame_id, bool xyz_intensity_only = false);
    PointCloudMessage(const PointCloudMessage&) = delete;
    PointCloudMessage& operator=(const PointCloudMessage&) = delete;

    // Fills the message with `frame`. The message points into the frame's
    // points (or, with `drop_invalid`, into a copy of its valid points) and
    // is valid until the next fill and while the frame is. False, leaving
    // the message empty, for a frame too large to describe (its byte count
    // above 32 bits).
    bool fill(const Frame& frame, bool drop_invalid);

    const sensor_msgs_msg_dds__PointCloud2_& message() const { return m_message; }
    const std::string& frame_id() const { return m_frame_id; }

private:
    sensor_msgs_msg_dds__PointCloud2_ m_message{};
    std::string m_frame_id;
    std::array<sensor_msgs_msg_dds__PointField_, 8> m_fields{};
    std::vector<FramePoint> m_valid_points;  // grows to the largest frame, then reused
    const bool m_xyz_intensity_only;
    std::vector<float> m_xyz_intensity;  // likewise
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_PUBLISH_POINT_CLOUD_MESSAGE_H
