// A second ceiling for the point path: the benchmark's hand decode-and-
// calibrate loop written with AVX2, eight points at a time, chosen at run
// time (a processor without AVX2 and FMA has no such ceiling). It does what
// the scalar hand loop does, with no check of any kind, so that the library
// is measured against the most a processor here can do with the same
// arithmetic, not only against plain C++.
#ifndef VORLAN_BENCH_SUPPORT_VECTOR_KERNEL_H
#define VORLAN_BENCH_SUPPORT_VECTOR_KERNEL_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vorlan_sdk.h"

namespace vorlan_bench {

// Where the fields of one device point lie in its bytes.
struct PointLayout {
    std::size_t size = 0;         // bytes per point
    bool wide_distance = false;   // 19-bit distances (3 more bits after the low 16)
    bool two_returns = false;
};

// A calibration laid out one array per field and segment, as the kernel
// reads eight segments at once.
class VectorCalibration {
public:
    explicit VectorCalibration(const VorlanCalibration& calibration);

    const VorlanCalibration& calibration() const { return m_calibration; }
    const float* field(std::size_t k) const { return m_fields[k].data(); }
    const float* power_level_intensity() const { return m_intensity.data(); }       // [segment * 32 + level]
    const int32_t* power_level_distance_offset() const { return m_offset.data(); }  // likewise

    enum Field : std::size_t {
        kXCenter, kXOffset, kZCenter, kZOffset, kZToX, kXScale, kXToZ, kZScale, kRangeOffset,
        kFalloff0, kFalloff1, kFalloff2, kFalloff3, kFalloff4, kFalloff5, kFields
    };

private:
    VorlanCalibration m_calibration;
    std::vector<float> m_fields[kFields];
    std::vector<float> m_intensity;
    std::vector<int32_t> m_offset;
};

// Whether this processor runs the kernel.
bool vector_kernel_available();

// Decodes and calibrates the `n` points of `packet` (its points from byte
// 22; `n` a multiple of 8, point i of segment i % segments, with segments a
// multiple of 8) into `image` (n points per return), timed `period_us` apart
// after `base`. The packet must be followed by at least 4 readable bytes.
void vector_packet(const VectorCalibration& calibration, const PointLayout& layout, const uint8_t* packet,
                   std::size_t n, std::size_t segments, int64_t base, uint32_t period_us,
                   VorlanSensorImagePoint* image);

}  // namespace vorlan_bench

#endif  // VORLAN_BENCH_SUPPORT_VECTOR_KERNEL_H
