#include "support/reference_frames.h"

#include <algorithm>
#include <cstring>

namespace vorlan_test {

namespace {

constexpr uint8_t kParity = 0x04;
constexpr uint8_t kCarried = 0x08;
constexpr std::size_t kKeep = 2048;

}  // namespace

void ReferenceFrames::add(uint64_t handle, int64_t timestamp, std::size_t n_points, std::size_t stride,
                          const uint8_t* points) {
    if (n_points == 0) {
        return;
    }
    Sensor& sensor = m_sensors[handle];
    if (!sensor.started) {
        sensor.started = true;
        sensor.period = m_fixed_10hz(handle) ? 100000 : m_mode;
        sensor.stride = stride;
        // 18 bytes per microsecond of period (1.8 MB for natural frames),
        // counted in points of at least 12 bytes.
        const uint64_t bytes = sensor.period == 0 ? 1800000 : uint64_t(sensor.period) * 18;
        sensor.capacity = bytes / std::max<std::size_t>(stride, 12);
        sensor.frame_timestamp = sensor.last_timestamp = timestamp;
        sensor.parity = points[9] & kParity;
    } else if (stride != sensor.stride) {
        return;
    }
    const bool synced = m_time_synced(handle);

    bool first_point_taken = false;
    // How much the re-timing of the batch's first point moved it, as long as
    // the frame it went into is still being filled: the time test measures
    // points as sent within that stretch.
    int64_t retimed_by = 0;
    int cuts_in_a_row = 0;
    std::size_t i = 0;
    while (i < n_points) {
        const uint8_t* point = points + i * stride;
        const int64_t relative = point[7];
        bool starts_frame;
        if (sensor.points.size() >= sensor.capacity) {
            starts_frame = true;
        } else if (sensor.period == 0) {
            starts_frame = (point[9] & kParity) != sensor.parity;
        } else {
            const int64_t time_as_sent = sensor.last_timestamp - retimed_by + relative;
            starts_frame = time_as_sent - sensor.frame_timestamp >= sensor.phase + sensor.period;
        }
        if (starts_frame) {
            if (++cuts_in_a_row > 2) {
                return;
            }
            cut(handle, sensor);
            retimed_by = 0;
            continue;
        }
        cuts_in_a_row = 0;
        std::vector<uint8_t> copy(point, point + stride);
        if (!first_point_taken && !synced) {
            const int64_t retimed = std::min<int64_t>(255, std::max<int64_t>(0, timestamp + relative - sensor.last_timestamp));
            copy[7] = uint8_t(retimed);
            retimed_by = retimed - relative;
        }
        first_point_taken = true;
        sensor.last_timestamp += copy[7];
        uint32_t identity = 0;
        std::memcpy(&identity, copy.data(), sizeof identity);
        time_of_point[identity] = sensor.last_timestamp;
        sensor.points.push_back(std::move(copy));
        ++i;
    }
}

void ReferenceFrames::cut(uint64_t handle, Sensor& sensor) {
    ReferenceFrame frame;
    frame.handle = handle;
    frame.timestamp = sensor.frame_timestamp;
    frame.stride = sensor.stride;
    for (const auto& point : sensor.points) {
        frame.points.insert(frame.points.end(), point.begin(), point.end());
    }
    frames.push_back(std::move(frame));
    sensor.parity ^= kParity;

    if (sensor.period != 0) {
        const int64_t length = sensor.last_timestamp - sensor.frame_timestamp;
        sensor.phase = (sensor.phase + sensor.period - length) % sensor.period;
        sensor.points.clear();
        sensor.frame_timestamp = sensor.last_timestamp;
        return;
    }
    if (sensor.points.size() > kKeep) {
        sensor.points.erase(sensor.points.begin(), sensor.points.end() - kKeep);
    }
    // The kept points begin the next frame at their own times.
    int64_t kept_span = 0;
    for (auto& point : sensor.points) {
        point[9] |= kCarried;
        kept_span += point[7];
    }
    sensor.frame_timestamp = sensor.last_timestamp - kept_span;
}

void ReferenceFrames::clear() {
    for (auto& entry : m_sensors) {
        Sensor& sensor = entry.second;
        sensor.points.clear();
        // The empty frame starts at the last point; the end of a timed frame
        // stays where it was.
        sensor.phase -= sensor.last_timestamp - sensor.frame_timestamp;
        sensor.frame_timestamp = sensor.last_timestamp;
    }
}

}  // namespace vorlan_test
