#include "point_cloud_message.h"

#include <cstddef>
#include <limits>
#include <utility>

namespace vorlan_tool {

const std::array<PointFieldLayout, 8> kFramePointFields = {{
    {"x", offsetof(FramePoint, x), kPointFieldFloat32},
    {"y", offsetof(FramePoint, y), kPointFieldFloat32},
    {"z", offsetof(FramePoint, z), kPointFieldFloat32},
    {"intensity", offsetof(FramePoint, intensity), kPointFieldFloat32},
    {"t", offsetof(FramePoint, t), kPointFieldUint32},
    {"channel", offsetof(FramePoint, channel), kPointFieldUint16},
    {"return", offsetof(FramePoint, return_index), kPointFieldUint8},
    {"flags", offsetof(FramePoint, flags), kPointFieldUint8},
}};

namespace {

bool host_is_big_endian() {
    const uint16_t probe = 1;
    return *reinterpret_cast<const uint8_t*>(&probe) == 0;
}

}  // namespace

builtin_interfaces_msg_dds__Time_ ros_time_from_micros(int64_t micros) {
    int64_t seconds = micros / 1000000;
    int64_t rest = micros % 1000000;
    if (rest < 0) {
        seconds -= 1;
        rest += 1000000;
    }
    builtin_interfaces_msg_dds__Time_ time{};
    if (seconds > std::numeric_limits<int32_t>::max()) {
        time.sec = std::numeric_limits<int32_t>::max();
        time.nanosec = 999999999u;
    } else if (seconds < std::numeric_limits<int32_t>::min()) {
        time.sec = std::numeric_limits<int32_t>::min();
        time.nanosec = 0;
    } else {
        time.sec = static_cast<int32_t>(seconds);
        time.nanosec = static_cast<uint32_t>(rest * 1000);
    }
    return time;
}

PointCloudMessage::PointCloudMessage(std::string frame_id, bool xyz_intensity_only)
    : m_frame_id(std::move(frame_id)), m_xyz_intensity_only(xyz_intensity_only) {
    for (std::size_t i = 0; i < kFramePointFields.size(); ++i) {
        // The message only reads these strings; the generated type has no const.
        m_fields[i].name = const_cast<char*>(kFramePointFields[i].name);
        m_fields[i].offset = kFramePointFields[i].offset;
        m_fields[i].datatype = kFramePointFields[i].datatype;
        m_fields[i].count = 1;
    }
    m_message.header.frame_id = const_cast<char*>(m_frame_id.c_str());
    m_message.height = 1;
    m_message.fields._buffer = m_fields.data();
    const uint32_t fields = xyz_intensity_only ? 4 : static_cast<uint32_t>(m_fields.size());
    m_message.fields._length = fields;
    m_message.fields._maximum = fields;
    m_message.fields._release = false;
    m_message.is_bigendian = host_is_big_endian();
    m_message.point_step = xyz_intensity_only ? 4 * sizeof(float) : sizeof(FramePoint);
    m_message.data._release = false;
}

bool PointCloudMessage::fill(const Frame& frame, bool drop_invalid) {
    m_message.header.stamp = ros_time_from_micros(frame.first_time);
    const FramePoint* points = frame.points;
    std::size_t count = frame.points != nullptr ? frame.n_points : 0;
    bool dense = true;
    if (drop_invalid) {
        m_valid_points.clear();
        for (std::size_t i = 0; i < count; ++i) {
            if ((points[i].flags & kFramePointValid) != 0) {
                m_valid_points.push_back(points[i]);
            }
        }
        points = m_valid_points.data();
        count = m_valid_points.size();
    } else {
        for (std::size_t i = 0; i < count && dense; ++i) {
            dense = (points[i].flags & kFramePointValid) != 0;
        }
    }
    constexpr std::size_t kMaxPoints = std::numeric_limits<uint32_t>::max() / sizeof(FramePoint);
    const bool too_large = count > kMaxPoints;
    if (too_large || count == 0) {
        count = 0;
        // An empty sequence still hands the serializer a buffer to read none of.
        static const FramePoint kNoPoint{};
        points = &kNoPoint;
    }
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(points);
    if (m_xyz_intensity_only && count != 0) {
        m_xyz_intensity.resize(count * 4);
        for (std::size_t i = 0; i < count; ++i) {
            float* out = &m_xyz_intensity[i * 4];
            out[0] = points[i].x;
            out[1] = points[i].y;
            out[2] = points[i].z;
            out[3] = points[i].intensity;
        }
        bytes = reinterpret_cast<const uint8_t*>(m_xyz_intensity.data());
    }
    m_message.width = static_cast<uint32_t>(count);
    m_message.row_step = static_cast<uint32_t>(count * m_message.point_step);
    // The serializer only reads the points; the generated type has no const.
    m_message.data._buffer = const_cast<uint8_t*>(bytes);
    m_message.data._length = m_message.row_step;
    m_message.data._maximum = m_message.row_step;
    m_message.is_dense = dense;
    return !too_large;
}

}  // namespace vorlan_tool
