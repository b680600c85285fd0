// Device points to raw points with AVX2: the decoders of packet_data.cpp,
// four points at a time in 64-bit lanes, and each record written with one
// 32-byte store.
#include "packet_data_avx2.h"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "wire_bytes.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) && \
    ((defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_WIN32))
#define VORLAN_DECODE_AVX2 1
#endif

#if defined(VORLAN_DECODE_AVX2)

// Everything defined from here on is built for AVX2; the headers above were
// read without it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace vorlan_sdk {
namespace {

using vorlan_common::load_u32le;
using vorlan_common::load_u64le;

// The little-endian words at `offset` in four points `size` bytes apart.
inline __m256i words64(const uint8_t* first, std::size_t size, std::size_t offset) {
    return _mm256_setr_epi64x(static_cast<long long>(load_u64le(first + offset)),
                              static_cast<long long>(load_u64le(first + size + offset)),
                              static_cast<long long>(load_u64le(first + 2 * size + offset)),
                              static_cast<long long>(load_u64le(first + 3 * size + offset)));
}
inline __m256i words32(const uint8_t* first, std::size_t size, std::size_t offset) {
    return _mm256_setr_epi64x(load_u32le(first + offset), load_u32le(first + size + offset),
                              load_u32le(first + 2 * size + offset), load_u32le(first + 3 * size + offset));
}
inline __m256i bits(uint64_t mask) { return _mm256_set1_epi64x(static_cast<long long>(mask)); }

// The three words of packet_data.cpp's RawWords for four points; every read
// lies inside its point.
template <std::size_t kSize>
inline void decode4(const uint8_t* p, __m256i& position, __m256i& returns, __m256i& flags) {
    const __m256i w = words64(p, kSize, 0);
    if constexpr (kSize == 8 || kSize == 11) {
        position = _mm256_and_si256(w, bits(0x0000'FFFF'FFFF'FFFFu));
        returns = _mm256_and_si256(_mm256_srli_epi64(w, 16), bits(0x0000'00FF'0000'0000u));
        flags = _mm256_and_si256(_mm256_srli_epi64(w, 48), bits(0x0F00u));
        if constexpr (kSize == 11) {
            // Bytes 8-10: the second distance and intensity.
            const __m256i v = _mm256_srli_epi64(words32(p, kSize, 7), 8);
            returns = _mm256_or_si256(returns, _mm256_or_si256(_mm256_and_si256(v, bits(0xFFFF)),
                                                               _mm256_slli_epi64(_mm256_srli_epi64(v, 16), 40)));
        }
    } else {
        position = _mm256_and_si256(w, bits(0x0007'FFFF'FFFF'FFFFu));
        returns = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi64(w, 24), bits(0x0000'00FF'0000'0000u)),
                                  _mm256_and_si256(_mm256_srli_epi64(w, 4), bits(0x0001'0000'0000'0000u)));
        // Byte 8 (the power level) is the top byte of the word at 1.
        const __m256i power = _mm256_slli_epi64(_mm256_srli_epi64(words64(p, kSize, 1), 56), 8);
        flags = _mm256_or_si256(power, _mm256_and_si256(_mm256_srli_epi64(w, 27), bits(0x0100'0000u)));
        if constexpr (kSize == 13) {
            const __m256i v = words32(p, kSize, 9);
            const __m256i distance = _mm256_and_si256(v, bits(0x000F'FFFFu));
            const __m256i intensity = _mm256_slli_epi64(_mm256_srli_epi64(v, 24), 40);
            const __m256i saturated = _mm256_slli_epi64(_mm256_and_si256(_mm256_srli_epi64(v, 20), bits(1)), 56);
            returns = _mm256_or_si256(returns, _mm256_or_si256(distance, _mm256_or_si256(intensity, saturated)));
        }
    }
}

// The segment after `segment` in turn.
inline std::size_t next_segment(std::size_t segment, std::size_t segment_count) {
    return segment + 1 == segment_count ? 0 : segment + 1;
}

template <std::size_t kSize>
std::size_t spread(const uint8_t* device, std::size_t n, const int64_t* offsets, int64_t base, std::size_t& segment,
                   std::size_t segment_count, VorlanSensorRawPointWithTime* raw) {
    // Segments go in the lanes four at a time, each wrapping at most once.
    if (segment_count < 4 || n < 4) {
        return 0;
    }
    const std::size_t s1 = next_segment(segment, segment_count);
    const std::size_t s2 = next_segment(s1, segment_count);
    const std::size_t s3 = next_segment(s2, segment_count);
    __m256i segments = _mm256_setr_epi64x(static_cast<long long>(segment), static_cast<long long>(s1),
                                          static_cast<long long>(s2), static_cast<long long>(s3));
    const __m256i count = _mm256_set1_epi64x(static_cast<long long>(segment_count));
    const __m256i last = _mm256_set1_epi64x(static_cast<long long>(segment_count) - 1);
    const __m256i base_time = _mm256_set1_epi64x(base);
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        __m256i position;
        __m256i returns;
        __m256i flags;
        decode4<kSize>(device + j * kSize, position, returns, flags);
        // The segment byte, as a cast keeps it.
        flags = _mm256_or_si256(flags, _mm256_and_si256(segments, bits(0xFF)));
        segments = _mm256_add_epi64(segments, _mm256_set1_epi64x(4));
        segments = _mm256_sub_epi64(segments, _mm256_and_si256(_mm256_cmpgt_epi64(segments, last), count));
        // Wrapping sums, as 64-bit lanes add.
        const __m256i time =
            _mm256_add_epi64(base_time, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets + j)));
        // Four columns (time, position, returns, flags) to four records.
        const __m256i t0 = _mm256_unpacklo_epi64(time, position);
        const __m256i t1 = _mm256_unpackhi_epi64(time, position);
        const __m256i t2 = _mm256_unpacklo_epi64(returns, flags);
        const __m256i t3 = _mm256_unpackhi_epi64(returns, flags);
        auto* out = reinterpret_cast<__m256i*>(raw + j);
        _mm256_storeu_si256(out, _mm256_permute2x128_si256(t0, t2, 0x20));
        _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(t1, t3, 0x20));
        _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(t0, t2, 0x31));
        _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(t1, t3, 0x31));
    }
    segment = static_cast<std::size_t>(_mm256_extract_epi64(segments, 0));
    return j;
}

}  // namespace
}  // namespace vorlan_sdk

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace vorlan_sdk {

std::size_t internal::spread_points_avx2(std::size_t point_size, const uint8_t* device, std::size_t n,
                                         const int64_t* offsets, int64_t base, std::size_t& segment,
                                         std::size_t segment_count, VorlanSensorRawPointWithTime* raw) {
    static_assert(sizeof(VorlanSensorRawPointWithTime) == 32, "one record per 32-byte store");
    switch (point_size) {
        case 8: return spread<8>(device, n, offsets, base, segment, segment_count, raw);
        case 11: return spread<11>(device, n, offsets, base, segment, segment_count, raw);
        case 9: return spread<9>(device, n, offsets, base, segment, segment_count, raw);
        case 13: return spread<13>(device, n, offsets, base, segment, segment_count, raw);
        default: return 0;
    }
}

}  // namespace vorlan_sdk

#else  // no AVX2 decoder in this build

namespace vorlan_sdk {

std::size_t internal::spread_points_avx2(std::size_t, const uint8_t*, std::size_t, const int64_t*, int64_t,
                                         std::size_t&, std::size_t, VorlanSensorRawPointWithTime*) {
    return 0;
}

}  // namespace vorlan_sdk

#endif  // VORLAN_DECODE_AVX2
