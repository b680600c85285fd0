// A calibration's segment entries as columns, one array per value, as the
// calibration kernels read them. Sensors send their segments in turn, so the
// points of a vector mostly belong to consecutive segments: they then take
// each value with one load, instead of one load per lane and a transpose.
// Past the last segment the entries start again from the first, for vectors
// that wrap around to segment 0.
#ifndef VORLAN_SOURCE_CALIBRATION_COLUMNS_H
#define VORLAN_SOURCE_CALIBRATION_COLUMNS_H

#include <cstddef>
#include <cstdint>

#include "calibration.h"
#include "float_lanes.h"

namespace vorlan_sdk {
namespace internal {

struct SegmentColumns {
    // Lanes of the widest vector a kernel reads the columns with.
    static constexpr std::size_t kMaxWidth = 8;
    static constexpr std::size_t kSpan = kMaxSegments + kMaxWidth;

    // Whether a calibration of `segment_count` segments can be laid out, and
    // is worth it: vectors of one lane gather nothing.
    static bool lays_out(std::size_t segment_count) {
        return util::WideLanes::kWidth > 1 && segment_count != 0 && segment_count <= kMaxSegments;
    }

    // Columns of the first `count` segments (see lays_out), with rows up to
    // the last one a vector of kMaxWidth lanes starting at the last segment
    // reads.
    void fill(const VorlanCalibration& calibration, std::size_t segment_count);

    std::size_t count = 0;  // 0: no columns, every vector gathers its entries
    int32_t segment[kSpan];  // the segment of each row: row mod count
    int32_t x_center[kSpan];
    int32_t x_offset[kSpan];
    int32_t z_center[kSpan];
    int32_t z_offset[kSpan];
    float range_offset[kSpan];
    float x_scale[kSpan];
    float z_scale[kSpan];
    float z_to_x[kSpan];
    float x_to_z[kSpan];
    float h[6][kSpan];
};

}  // namespace internal
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_CALIBRATION_COLUMNS_H
