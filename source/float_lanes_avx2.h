// Eight lanes in AVX2 registers, with the interface of the lane types of
// float_lanes.h and the same guarantee: each lane of an operation is the
// IEEE operation of the scalar one, rounded the same way, so code written
// over lanes gives the same bits with these. No operation here fuses a
// multiplication and an addition.
//
// Only for code built for AVX2 (a file under `#pragma GCC target("avx2")`,
// see calibration_avx2.cpp) and run where the processor has it. The type has
// internal linkage so that no other file can end up calling a copy of its
// functions.
#ifndef VORLAN_SOURCE_FLOAT_LANES_AVX2_H
#define VORLAN_SOURCE_FLOAT_LANES_AVX2_H

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "float_lanes.h"

namespace vorlan_sdk {
namespace util {
namespace {

// load() and store() need 32-byte alignment.
struct Avx2Lanes {
    static constexpr std::size_t kWidth = 8;
    struct Floats {
        __m256 v;
    };
    struct Bits {
        __m256i v;
    };

    static Floats load(const float* p) { return {_mm256_load_ps(p)}; }
    static void store(float* p, Floats v) { _mm256_store_ps(p, v.v); }
    static Floats load_unaligned(const float* p) { return {_mm256_loadu_ps(p)}; }
    static void store_unaligned(float* p, Floats v) { _mm256_storeu_ps(p, v.v); }
    static Bits load_bits_unaligned(const int32_t* p) {
        return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))};
    }
    static void store_bits_unaligned(int32_t* p, Bits b) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), b.v); }
    static Bits load_bits(const int32_t* p) { return {_mm256_load_si256(reinterpret_cast<const __m256i*>(p))}; }
    static void store_bits(int32_t* p, Bits b) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), b.v); }
    static Floats splat(float x) { return {_mm256_set1_ps(x)}; }
    static Bits splat_bits(uint32_t x) { return {_mm256_set1_epi32(static_cast<int32_t>(x))}; }
    static Floats from_lanes(const float (&values)[kWidth]) { return {_mm256_loadu_ps(values)}; }
    static Bits bits_from_lanes(const int32_t (&values)[kWidth]) {
        return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values))};
    }
    static bool none(Bits b) { return _mm256_testz_si256(b.v, b.v) != 0; }

    // Rows l and l + 4 share a register (low and high half): one 4 x 4
    // transpose in each half makes the columns.
    template <class Row>
    static void load_words(const Row* const (&rows)[kWidth], std::size_t offset, Bits (&columns)[4]) {
        const auto at = [&rows, offset](std::size_t l) {
            return reinterpret_cast<const float*>(reinterpret_cast<const unsigned char*>(rows[l]) + offset);
        };
        __m256 r[4];
        for_each_lane<4>([&](auto l) {
            r[l] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(at(l))), _mm_loadu_ps(at(l + 4)), 1);
        });
        const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
        const __m256 t1 = _mm256_unpacklo_ps(r[2], r[3]);
        const __m256 t2 = _mm256_unpackhi_ps(r[0], r[1]);
        const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
        columns[0].v = _mm256_castps_si256(_mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0)));
        columns[1].v = _mm256_castps_si256(_mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2)));
        columns[2].v = _mm256_castps_si256(_mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0)));
        columns[3].v = _mm256_castps_si256(_mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2)));
    }
    VORLAN_LANES_INLINE static void store_rows(unsigned char* first, std::size_t stride, const Floats (&columns)[4]) {
        const __m256 t0 = _mm256_unpacklo_ps(columns[0].v, columns[1].v);
        const __m256 t1 = _mm256_unpacklo_ps(columns[2].v, columns[3].v);
        const __m256 t2 = _mm256_unpackhi_ps(columns[0].v, columns[1].v);
        const __m256 t3 = _mm256_unpackhi_ps(columns[2].v, columns[3].v);
        const __m256 r[4] = {_mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0)),
                             _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2)),
                             _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0)),
                             _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2))};
        for_each_lane<4>([&](auto l) {
            _mm_storeu_ps(reinterpret_cast<float*>(first + l * stride), _mm256_castps256_ps128(r[l]));
            _mm_storeu_ps(reinterpret_cast<float*>(first + (l + 4) * stride), _mm256_extractf128_ps(r[l], 1));
        });
    }
    template <class Row>
    static Bits load_word(const Row* const (&rows)[kWidth], std::size_t offset) {
        int32_t words[kWidth];
        for_each_lane<kWidth>([&](auto l) {
            std::memcpy(&words[l], reinterpret_cast<const unsigned char*>(rows[l]) + offset, sizeof(words[l]));
        });
        return bits_from_lanes(words);
    }
    static Floats as_floats(Bits b) { return {_mm256_castsi256_ps(b.v)}; }

    static constexpr bool kGathers = true;
    // The float or 32-bit word at byte offset `offsets` from `base` in each
    // lane where `mask` is set; 0 where it is clear (nothing is read there).
    static Floats gather_floats(const void* base, Bits offsets, Bits mask) {
        return {_mm256_mask_i32gather_ps(_mm256_setzero_ps(), static_cast<const float*>(base), offsets.v,
                                         _mm256_castsi256_ps(mask.v), 1)};
    }
    static Bits gather_words(const void* base, Bits offsets, Bits mask) {
        return {_mm256_mask_i32gather_epi32(_mm256_setzero_si256(), static_cast<const int*>(base), offsets.v, mask.v,
                                            1)};
    }
    // The word at `first` + l * stride for lane l.
    static Bits strided_words(const void* first, int stride) {
        const __m256i offsets = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(stride));
        return {_mm256_i32gather_epi32(static_cast<const int*>(first), offsets, 1)};
    }

    // The comparisons of C++: false with a NaN, but not_equal true.
    static Bits less(Floats a, Floats b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ))}; }
    static Bits greater(Floats a, Floats b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ))}; }
    static Bits not_equal(Floats a, Floats b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_NEQ_UQ))}; }
    static Bits equal(Floats a, Floats b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ))}; }
    static Bits equal_bits(Bits a, Bits b) { return {_mm256_cmpeq_epi32(a.v, b.v)}; }
    static Bits less_signed(Bits a, Bits b) { return {_mm256_cmpgt_epi32(b.v, a.v)}; }
    static Bits both(Bits a, Bits b) { return {_mm256_and_si256(a.v, b.v)}; }
    static Bits either(Bits a, Bits b) { return {_mm256_or_si256(a.v, b.v)}; }
    static Bits inverse(Bits a) { return {_mm256_xor_si256(a.v, _mm256_set1_epi32(-1))}; }
    // `mask` all bits set or none in each lane.
    static Floats select(Bits mask, Floats if_set, Floats if_clear) {
        return {_mm256_blendv_ps(if_clear.v, if_set.v, _mm256_castsi256_ps(mask.v))};
    }

    static Bits subtract_signed(Bits a, Bits b) { return {_mm256_sub_epi32(a.v, b.v)}; }
    static Bits add_signed(Bits a, Bits b) { return {_mm256_add_epi32(a.v, b.v)}; }
    static Floats to_floats(Bits a) { return {_mm256_cvtepi32_ps(a.v)}; }
    static Bits low_half(Bits a) { return {_mm256_srai_epi32(_mm256_slli_epi32(a.v, 16), 16)}; }
    static Bits high_half(Bits a) { return {_mm256_srai_epi32(a.v, 16)}; }
    template <int n>
    static Bits byte(Bits a) {
        return {_mm256_and_si256(_mm256_srli_epi32(a.v, 8 * n), _mm256_set1_epi32(0xFF))};
    }
    template <int n>
    static Bits shift_left(Bits a) {
        return {_mm256_slli_epi32(a.v, n)};
    }
};

// Outside the type: functions defined inside a class would not be built for
// AVX2 by GCC's target pragma.
inline Avx2Lanes::Floats operator+(Avx2Lanes::Floats a, Avx2Lanes::Floats b) { return {_mm256_add_ps(a.v, b.v)}; }
inline Avx2Lanes::Floats operator-(Avx2Lanes::Floats a, Avx2Lanes::Floats b) { return {_mm256_sub_ps(a.v, b.v)}; }
inline Avx2Lanes::Floats operator*(Avx2Lanes::Floats a, Avx2Lanes::Floats b) { return {_mm256_mul_ps(a.v, b.v)}; }
inline Avx2Lanes::Floats operator/(Avx2Lanes::Floats a, Avx2Lanes::Floats b) { return {_mm256_div_ps(a.v, b.v)}; }

}  // namespace
}  // namespace util
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_FLOAT_LANES_AVX2_H
