// Decoding of device points into raw points with AVX2, four points at a
// time, for processors that have it; it writes exactly the records the
// portable decoder writes.
#ifndef VORLAN_SOURCE_PACKET_DATA_AVX2_H
#define VORLAN_SOURCE_PACKET_DATA_AVX2_H

#include <cstddef>
#include <cstdint>

#include "vorlan_sdk.h"

namespace vorlan_sdk {
namespace internal {

// Writes raw points [0, n) from the `point_size`-byte device points at
// `device` (8, 11, 9 or 13 bytes: the V2, V2 double, V3 and V3 double
// formats), point j timed base + offsets[j] and of segment `segment`
// counted on from point 0, wrapping at `segment_count` (> 0). Returns how
// many points it wrote, from 0 on (a multiple of 4; the caller writes the
// rest), and leaves `segment` at the segment of the next point. Only where
// the processor has AVX2; writes nothing for another point size.
std::size_t spread_points_avx2(std::size_t point_size, const uint8_t* device, std::size_t n, const int64_t* offsets,
                               int64_t base, std::size_t& segment, std::size_t segment_count,
                               VorlanSensorRawPointWithTime* raw);

}  // namespace internal
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_PACKET_DATA_AVX2_H
