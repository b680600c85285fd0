// The binary message that carries one frame to the page. Only points with a
// measurement travel (points without one sit at the sensor and would pile up
// there); the header keeps the frame's full and valid counts so the page
// can show both.
//
// Layout, little-endian, offsets in bytes:
//    0 u32 magic "VFR1"          4 u16 header size (96)   6 u16 sensor slot
//    8 u64 index                16 u64 sensor index
//   24 i64 first time, µs       32 i64 last time, µs
//   40 u32 points in the frame  44 u32 points that follow (n)
//   48 u32 valid points         52 u32 flags (bit 0: whole frame)
//   56 f32 intensity of 65535   60 f32 seconds into the capture (NaN live)
//   64 u64 packets lost         72 u64 points lost
//   80 u64 datagrams dropped (library queue and kernel)   88 u64 undecodable
//   96 f32 x, y, z of n points; then u16 intensity of n points (scaled to the
//      frame's largest); then u8 return index of n points.
#ifndef VORLAN_TOOLS_VIEW_FRAME_MESSAGE_H
#define VORLAN_TOOLS_VIEW_FRAME_MESSAGE_H

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "sources/frame_source.h"

namespace vorlan_tool {

constexpr std::size_t kFrameMessageHeaderSize = 96;
constexpr uint32_t kFrameMessageMagic = 0x31524656;  // "VFR1"
// Bytes per point that travels: 12 of position, 2 of intensity, 1 of return.
constexpr std::size_t kFrameMessageBytesPerPoint = 15;

// Writes the message for `frame` into `out`, replacing what it held (its
// capacity is reused). Returns the number of points that travel: the valid
// ones with finite coordinates.
// `position`: where playback stood in the capture when the frame came
// (NaN for live data); a capture's page shows frames by it, as frame times
// need not start at the capture's start or stay the same when it loops.
std::size_t encode_frame_message(const Frame& frame, uint16_t sensor_slot, std::vector<uint8_t>& out,
                                 float position = std::numeric_limits<float>::quiet_NaN());

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_VIEW_FRAME_MESSAGE_H
