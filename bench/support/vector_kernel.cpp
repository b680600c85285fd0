#include "support/vector_kernel.h"

#include <immintrin.h>

#include <cstring>

namespace vorlan_bench {

VectorCalibration::VectorCalibration(const VorlanCalibration& calibration) : m_calibration(calibration) {
    const std::size_t segments = sizeof(calibration.lasers) / sizeof(calibration.lasers[0]);
    for (auto& field : m_fields) {
        field.resize(segments);
    }
    m_intensity.resize(segments * 32);
    m_offset.resize(segments * 32);
    for (std::size_t s = 0; s < segments; ++s) {
        const VorlanLaserCalibration& l = calibration.lasers[s];
        m_fields[kXCenter][s] = l.image_x_center;
        m_fields[kXOffset][s] = l.image_x_offset;
        m_fields[kZCenter][s] = l.image_z_center;
        m_fields[kZOffset][s] = l.image_z_offset;
        m_fields[kZToX][s] = l.image_z_to_x;
        m_fields[kXScale][s] = l.image_x_scale;
        m_fields[kXToZ][s] = l.image_x_to_z;
        m_fields[kZScale][s] = l.image_z_scale;
        m_fields[kRangeOffset][s] = l.intensity_range_offset;
        for (std::size_t k = 0; k < 6; ++k) {
            m_fields[kFalloff0 + k][s] = l.intensity_falloff[k];
        }
        for (std::size_t level = 0; level < 32; ++level) {
            m_intensity[s * 32 + level] = l.power_level_intensity[level];
            m_offset[s * 32 + level] = l.power_level_distance_offset[level];
        }
    }
}

bool vector_kernel_available() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

namespace {

#define VORLAN_AVX2 __attribute__((target("avx2,fma")))

// e^x to single precision over the range the intensity falloff uses: the
// exponent by rounding x / ln 2, the rest by a degree-5 polynomial.
VORLAN_AVX2 inline __m256 exp8(__m256 x) {
    x = _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(-87.3f)), _mm256_set1_ps(88.7f));
    const __m256 n = _mm256_floor_ps(_mm256_fmadd_ps(x, _mm256_set1_ps(1.44269504088896341f), _mm256_set1_ps(0.5f)));
    x = _mm256_fnmadd_ps(n, _mm256_set1_ps(0.693359375f), x);
    x = _mm256_fnmadd_ps(n, _mm256_set1_ps(-2.12194440e-4f), x);
    __m256 y = _mm256_set1_ps(1.9875691500e-4f);
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(1.3981999507e-3f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(8.3334519073e-3f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(4.1665795894e-2f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(1.6666665459e-1f));
    y = _mm256_fmadd_ps(y, x, _mm256_set1_ps(5.0000001201e-1f));
    y = _mm256_fmadd_ps(y, _mm256_mul_ps(x, x), _mm256_add_ps(x, _mm256_set1_ps(1.0f)));
    const __m256i power = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(n), _mm256_set1_epi32(127)), 23);
    return _mm256_mul_ps(y, _mm256_castsi256_ps(power));
}

// The 32-bit words at `offset` in each of eight points `size` bytes apart.
VORLAN_AVX2 inline __m256i words(const uint8_t* first, __m256i starts, int offset) {
    return _mm256_i32gather_epi32(reinterpret_cast<const int*>(first + offset), starts, 1);
}

// A field of the eight segments from `segment` on.
VORLAN_AVX2 inline __m256 field(const VectorCalibration& table, std::size_t k, std::size_t segment) {
    return _mm256_loadu_ps(table.field(k) + segment);
}

VORLAN_AVX2 void packet_avx2(const VectorCalibration& table, const PointLayout& layout, const uint8_t* packet,
                             std::size_t n, std::size_t segments, int64_t base, uint32_t period_us,
                             VorlanSensorImagePoint* image) {
    const VorlanCalibration& c = table.calibration();
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i starts = _mm256_mullo_epi32(lane, _mm256_set1_epi32(int(layout.size)));
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    const __m256i byte = _mm256_set1_epi32(0xFF);
    const __m256 center_x = _mm256_set1_ps(c.image_center_x);
    const __m256 center_z = _mm256_set1_ps(c.image_center_z);
    const __m256 distance_offset = _mm256_set1_ps(c.distance_offset);
    const __m256 distance_offset_squared = _mm256_set1_ps(c.distance_offset * c.distance_offset);
    const __m256 distance_scale = _mm256_set1_ps(c.distance_scale);
    const __m256 d1 = _mm256_set1_ps(c.distortion_x[1]);
    const __m256 d2 = _mm256_set1_ps(c.distortion_x[2]);
    const __m256 d3 = _mm256_set1_ps(c.distortion_x[3]);
    const uint32_t returns = layout.two_returns ? 2 : 1;
    alignas(32) float out_x[8];
    alignas(32) float out_z[8];
    alignas(32) float out_distance[2][8];
    alignas(32) float out_intensity[2][8];
    for (std::size_t i = 0; i < n; i += 8) {
        const uint8_t* first = packet + 22 + i * layout.size;
        const std::size_t segment = i % segments;

        // Decode.
        const __m256i a = words(first, starts, 0);
        const __m256i b = words(first, starts, 4);
        const __m256i image_x = _mm256_srai_epi32(_mm256_slli_epi32(a, 16), 16);
        const __m256i image_z = _mm256_srai_epi32(a, 16);
        __m256i distance[2];
        __m256i intensity[2];
        __m256i power;
        if (layout.wide_distance) {
            distance[0] = _mm256_and_si256(b, _mm256_set1_epi32(0x7FFFF));
            intensity[0] = _mm256_srli_epi32(b, 24);
            power = _mm256_and_si256(words(first, starts, 8), byte);
            if (layout.two_returns) {
                const __m256i d = words(first, starts, 9);
                distance[1] = _mm256_and_si256(d, _mm256_set1_epi32(0xFFFFF));
                intensity[1] = _mm256_srli_epi32(d, 24);
            }
        } else {
            distance[0] = _mm256_and_si256(b, low16);
            intensity[0] = _mm256_and_si256(_mm256_srli_epi32(b, 16), byte);
            power = _mm256_and_si256(_mm256_srli_epi32(b, 24), _mm256_set1_epi32(0x0F));
            if (layout.two_returns) {
                const __m256i d = words(first, starts, 8);
                distance[1] = _mm256_and_si256(d, low16);
                intensity[1] = _mm256_and_si256(_mm256_srli_epi32(d, 16), byte);
            }
        }

        // Calibrate: the polynomial lens model and the intensity falloff.
        const __m256 fx = _mm256_sub_ps(_mm256_cvtepi32_ps(image_x), field(table, VectorCalibration::kXCenter, segment));
        const __m256 fz = _mm256_sub_ps(_mm256_cvtepi32_ps(image_z), field(table, VectorCalibration::kZCenter, segment));
        const __m256 e = _mm256_fmadd_ps(fz, field(table, VectorCalibration::kZToX, segment),
                                         _mm256_mul_ps(field(table, VectorCalibration::kXScale, segment),
                                                       _mm256_sub_ps(fx, field(table, VectorCalibration::kXOffset, segment))));
        const __m256 f = _mm256_fmadd_ps(fx, field(table, VectorCalibration::kXToZ, segment),
                                         _mm256_mul_ps(_mm256_sub_ps(fz, field(table, VectorCalibration::kZOffset, segment)),
                                                       field(table, VectorCalibration::kZScale, segment)));
        const __m256 u = _mm256_sub_ps(e, center_x);
        const __m256 v = _mm256_sub_ps(f, center_z);
        const __m256 s = _mm256_div_ps(_mm256_fmadd_ps(u, u, _mm256_mul_ps(v, v)), distance_offset_squared);
        const __m256 g = _mm256_mul_ps(s, _mm256_fmadd_ps(_mm256_fmadd_ps(d3, s, d2), s, d1));
        _mm256_store_ps(out_x, _mm256_div_ps(_mm256_fmadd_ps(u, g, e), distance_offset));
        _mm256_store_ps(out_z, _mm256_div_ps(_mm256_fmadd_ps(v, g, f), distance_offset));
        __m256 exponent = field(table, VectorCalibration::kFalloff0, segment);
        exponent = _mm256_fmadd_ps(field(table, VectorCalibration::kFalloff1, segment), fx, exponent);
        exponent = _mm256_fmadd_ps(field(table, VectorCalibration::kFalloff2, segment), fz, exponent);
        exponent = _mm256_fmadd_ps(_mm256_mul_ps(field(table, VectorCalibration::kFalloff3, segment), fx), fx, exponent);
        exponent = _mm256_fmadd_ps(_mm256_mul_ps(field(table, VectorCalibration::kFalloff4, segment), fx), fz, exponent);
        exponent = _mm256_fmadd_ps(_mm256_mul_ps(field(table, VectorCalibration::kFalloff5, segment), fz), fz, exponent);
        const __m256 falloff = exp8(exponent);
        const __m256i level = _mm256_add_epi32(
            _mm256_mullo_epi32(_mm256_add_epi32(lane, _mm256_set1_epi32(int(segment))), _mm256_set1_epi32(32)),
            _mm256_and_si256(power, _mm256_set1_epi32(31)));
        const __m256 reference = _mm256_i32gather_ps(table.power_level_intensity(), level, 4);
        const __m256i offset = _mm256_i32gather_epi32(table.power_level_distance_offset(), level, 4);
        const __m256 range_offset = field(table, VectorCalibration::kRangeOffset, segment);
        for (uint32_t r = 0; r < returns; ++r) {
            const __m256 d = _mm256_fmsub_ps(_mm256_cvtepi32_ps(_mm256_sub_epi32(distance[r], offset)),
                                             distance_scale, distance_offset);
            const __m256 t = _mm256_add_ps(d, range_offset);
            const __m256 scaled = _mm256_mul_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(intensity[r]), t), t);
            _mm256_store_ps(out_distance[r], d);
            _mm256_store_ps(out_intensity[r], _mm256_div_ps(_mm256_div_ps(scaled, reference), falloff));
        }

        // The records the client is handed.
        for (std::size_t k = 0; k < 8; ++k) {
            const std::size_t point = i + k;
            const int64_t time = base + static_cast<int64_t>(static_cast<float>(point + 1) * float(period_us));
            for (uint32_t r = 0; r < returns; ++r) {
                VorlanSensorImagePoint& q = image[point * returns + r];
                q = VorlanSensorImagePoint{};
                q.timestamp = time;
                q.image_x = out_x[k];
                q.image_z = out_z[k];
                q.distance = out_distance[r][k];
                q.intensity = out_intensity[r][k];
                q.segment_id = static_cast<uint8_t>(segment + k);
            }
        }
    }
}

}  // namespace

void vector_packet(const VectorCalibration& calibration, const PointLayout& layout, const uint8_t* packet,
                   std::size_t n, std::size_t segments, int64_t base, uint32_t period_us,
                   VorlanSensorImagePoint* image) {
    packet_avx2(calibration, layout, packet, n, segments, base, period_us, image);
}

}  // namespace vorlan_bench
