#include "frame_message.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vorlan_tool {
namespace {

template <typename T>
void put(std::vector<uint8_t>& out, std::size_t offset, T value) {
    // The host is little-endian (x86-64, arm64), as the page reads it.
    std::memcpy(out.data() + offset, &value, sizeof(T));
}

bool travels(const FramePoint& point) {
    return (point.flags & kFramePointValid) != 0 && std::isfinite(point.x) && std::isfinite(point.y) &&
           std::isfinite(point.z);
}

uint32_t clamp_count(std::size_t count) {
    return static_cast<uint32_t>(std::min<std::size_t>(count, UINT32_MAX));
}

}  // namespace

std::size_t encode_frame_message(const Frame& frame, uint16_t sensor_slot, std::vector<uint8_t>& out, float position) {
    std::size_t n = 0;
    float intensity_max = 0.0f;
    const FramePoint* points = frame.points;
    const std::size_t n_points = points != nullptr ? frame.n_points : 0;
    for (std::size_t i = 0; i < n_points; ++i) {
        if (travels(points[i])) {
            ++n;
            if (std::isfinite(points[i].intensity)) {
                intensity_max = std::max(intensity_max, points[i].intensity);
            }
        }
    }
    // A message holds at most 2^32 - 1 points; a frame never comes near.
    n = std::min<std::size_t>(n, UINT32_MAX);

    out.assign(kFrameMessageHeaderSize + n * kFrameMessageBytesPerPoint, 0);
    put<uint32_t>(out, 0, kFrameMessageMagic);
    put<uint16_t>(out, 4, static_cast<uint16_t>(kFrameMessageHeaderSize));
    put<uint16_t>(out, 6, sensor_slot);
    put<uint64_t>(out, 8, frame.index);
    put<uint64_t>(out, 16, frame.sensor_index);
    put<int64_t>(out, 24, frame.first_time);
    put<int64_t>(out, 32, frame.last_time);
    put<uint32_t>(out, 40, clamp_count(frame.n_points));
    put<uint32_t>(out, 44, static_cast<uint32_t>(n));
    put<uint32_t>(out, 48, clamp_count(frame.n_valid));
    put<uint32_t>(out, 52, frame.whole ? 1u : 0u);
    put<float>(out, 56, intensity_max);
    put<float>(out, 60, position);
    put<uint64_t>(out, 64, frame.losses.packets_lost);
    put<uint64_t>(out, 72, frame.losses.points_lost);
    put<uint64_t>(out, 80, frame.losses.queue_dropped + frame.losses.kernel_dropped);
    put<uint64_t>(out, 88, frame.losses.undecodable);

    float* xyz = reinterpret_cast<float*>(out.data() + kFrameMessageHeaderSize);
    uint8_t* intensity = out.data() + kFrameMessageHeaderSize + 12 * n;
    uint8_t* returns = intensity + 2 * n;
    const float scale = intensity_max > 0.0f ? 65535.0f / intensity_max : 0.0f;
    std::size_t k = 0;
    for (std::size_t i = 0; i < n_points && k < n; ++i) {
        const FramePoint& p = points[i];
        if (!travels(p)) {
            continue;
        }
        xyz[3 * k] = p.x;
        xyz[3 * k + 1] = p.y;
        xyz[3 * k + 2] = p.z;
        const float level = std::isfinite(p.intensity) ? std::clamp(p.intensity * scale, 0.0f, 65535.0f) : 0.0f;
        const uint16_t scaled = static_cast<uint16_t>(std::lround(level));
        std::memcpy(intensity + 2 * k, &scaled, 2);
        returns[k] = p.return_index;
        ++k;
    }
    return n;
}

}  // namespace vorlan_tool
