// A plain frame cutter, one point at a time, to hold the library's frame
// aggregator against. It keeps each frame as a list of points and decides
// before every point whether that point starts a new frame; no batching, no
// in-place moves. Its frames are meant to equal the library's byte for byte.
//
// Points are the 10-byte point record at a fixed stride: relative timestamp
// at offset 7, flags at offset 9 (0x04 frame parity, 0x08 carried over).
#ifndef VORLAN_TESTS_SUPPORT_REFERENCE_FRAMES_H
#define VORLAN_TESTS_SUPPORT_REFERENCE_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace vorlan_test {

struct ReferenceFrame {
    uint64_t handle = 0;
    int64_t timestamp = 0;
    std::size_t stride = 0;
    std::vector<uint8_t> points;  // n x stride bytes
};

class ReferenceFrames {
public:
    // `mode`: 0 natural frames, else the period in microseconds. Sensors for
    // which `fixed_10hz` answers true get 100 ms frames in every mode.
    ReferenceFrames(int32_t mode, bool (*fixed_10hz)(uint64_t), bool (*time_synced)(uint64_t))
        : m_mode(mode), m_fixed_10hz(fixed_10hz), m_time_synced(time_synced) {}

    void add(uint64_t handle, int64_t timestamp, std::size_t n_points, std::size_t stride, const uint8_t* points);
    // Forgets every sensor's buffered points; the frame being filled then
    // starts at the last point's time.
    void clear();

    // Every frame cut so far, in order.
    std::vector<ReferenceFrame> frames;
    // The absolute time of each point appended, by the point's first four
    // bytes (x and y), which tests use as its identity.
    std::map<uint32_t, int64_t> time_of_point;

private:
    struct Sensor {
        bool started = false;
        int32_t period = 0;
        std::size_t stride = 0;
        std::size_t capacity = 0;
        int64_t frame_timestamp = 0;
        int64_t last_timestamp = 0;
        uint8_t parity = 0;
        int64_t phase = 0;
        std::vector<std::vector<uint8_t>> points;
    };

    void cut(uint64_t handle, Sensor& sensor);

    const int32_t m_mode;
    bool (*const m_fixed_10hz)(uint64_t);
    bool (*const m_time_synced)(uint64_t);
    std::map<uint64_t, Sensor> m_sensors;
};

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_REFERENCE_FRAMES_H
