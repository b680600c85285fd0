// Arbitrary point batches into the second library's frame aggregator, as
// parsers hand them on from sensors or from an attacker's datagrams: any
// stride, count, time and flag bytes, several sensors, natural or timed
// frames, clears in between. Each batch lies in a buffer of exactly its size
// and the frame listener reads every byte of every frame, so that the
// sanitizers see any read or write past a batch or a frame buffer.
//
// Input: a mode byte (even: natural frames; odd: timed, 1 to 20 ms), then
// batches, each a 6-byte header (sensor, stride less 10, point count, time
// step in microseconds) and its points; a header whose sensor byte is 0xFF
// clears the aggregator instead.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "frames.h"
#include "point_data_parser.h"
#include "sdk2_parser_harness.h"
#include "vorlan_sdk2.h"

namespace {

void on_frame(uint64_t, int64_t, size_t n_points, size_t stride, const uint8_t* points, void*) {
    vorlan_fuzz::touch(points, n_points * stride);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION) != VORLAN_SUCCESS) {
        return 0;
    }
    const int32_t mode = (data[0] & 1) == 0 ? 0 : 1000 * (1 + (data[0] >> 1) % 20);
    (void)VorlanListenFrames(mode, on_frame, nullptr);
    std::size_t offset = 1;
    int64_t time = 1'700'000'000'000'000;
    while (offset + 6 <= size) {
        const uint8_t* header = data + offset;
        offset += 6;
        if (header[0] == 0xFF) {
            vorlan_sdk2::clearFrameAggregator();
            continue;
        }
        const uint64_t handle = 0x0A000000u | (header[0] & 3u);  // a few sensors: buffers are large
        const std::size_t stride = 10 + header[1] % 24;
        std::size_t count = header[2] | static_cast<std::size_t>(header[3]) << 8;
        if (count * stride > size - offset) {
            count = (size - offset) / stride;
        }
        time += header[4] | static_cast<int64_t>(header[5]) << 8;
        const std::vector<uint8_t> points(data + offset, data + offset + count * stride);
        vorlan_sdk2::VorlanAddPoints(handle, time, count, stride, points.data());
        offset += count * stride;
    }
    VorlanDeinitialize();
    return 0;
}
