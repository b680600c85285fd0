// Single-precision arithmetic over a few lanes at once, for loops that do the
// same work for many points: `ScalarLanes` is one float, `Sse2Lanes` four in
// an SSE2 register (every x86-64 processor has SSE2, so no build flag is
// needed). Each lane of a vector operation is the IEEE operation of the
// scalar one, rounded the same way, so the two give the same bits; code is
// written once as a template over the lane type.
//
// Choices are explicit selects of values computed in every lane: the
// compiler's own vectoriser will not turn such code into vectors, since it
// may not compute a floating-point value the source computes only on one
// side of a branch.
#ifndef VORLAN_SOURCE_FLOAT_LANES_H
#define VORLAN_SOURCE_FLOAT_LANES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "wire_bytes.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define VORLAN_HAS_SSE2_LANES 1
#endif

namespace vorlan_sdk {
namespace util {

// Calls f(std::integral_constant<std::size_t, l>()) for l = 0 .. n - 1,
// written out rather than looped, so that small per-lane arrays indexed by l
// can live in registers. Always inlined: code built for a wider instruction
// set (float_lanes_avx2.h) passes lambdas that can only be inlined into it.
#if defined(__GNUC__)
#define VORLAN_LANES_INLINE inline __attribute__((always_inline))
#else
#define VORLAN_LANES_INLINE inline
#endif
template <class F, std::size_t... l>
VORLAN_LANES_INLINE void for_each_lane(F&& f, std::index_sequence<l...>) {
    (f(std::integral_constant<std::size_t, l>()), ...);
}
template <std::size_t n, class F>
VORLAN_LANES_INLINE void for_each_lane(F&& f) {
    for_each_lane(std::forward<F>(f), std::make_index_sequence<n>());
}

// Each lane also has a 32-bit word (`Bits`): comparisons give masks in it
// (all bits set for true, none for false), which select() chooses by; it
// also carries small integers (signed 32-bit arithmetic) and bit sets.
//
// load_words() reads records of the caller's layout, one record per lane:
// the 16 bytes at `offset` in rows[l] for lane l, 4 bytes for load_word();
// the bytes need no alignment. store_rows() writes floats back to records
// of one array.

// One lane: a plain float and a 32-bit word.
struct ScalarLanes {
    static constexpr std::size_t kWidth = 1;
    // Whether gather_floats, gather_words and strided_words are there
    // (float_lanes_avx2.h); code that asks falls back on per-lane loads.
    static constexpr bool kGathers = false;
    using Floats = float;
    using Bits = uint32_t;

    static Floats load(const float* p) { return *p; }
    static void store(float* p, Floats v) { *p = v; }
    static Floats load_unaligned(const float* p) { return *p; }
    static void store_unaligned(float* p, Floats v) { *p = v; }
    static Bits load_bits_unaligned(const int32_t* p) { return static_cast<uint32_t>(*p); }
    static void store_bits_unaligned(int32_t* p, Bits b) { *p = static_cast<int32_t>(b); }
    static Bits load_bits(const int32_t* p) { return static_cast<uint32_t>(*p); }
    static void store_bits(int32_t* p, Bits b) { *p = static_cast<int32_t>(b); }
    static Floats splat(float x) { return x; }
    static Bits splat_bits(uint32_t x) { return x; }
    static Floats from_lanes(const float (&values)[kWidth]) { return values[0]; }
    static Bits bits_from_lanes(const int32_t (&values)[kWidth]) { return static_cast<uint32_t>(values[0]); }
    // True when no lane has a bit set.
    static bool none(Bits b) { return b == 0; }

    // Little-endian words whatever the processor's order, as SSE2 reads them.
    template <class Row>
    static void load_words(const Row* const (&rows)[kWidth], std::size_t offset, Bits (&columns)[4]) {
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(rows[0]) + offset;
        for (std::size_t c = 0; c < 4; ++c) {
            columns[c] = vorlan_common::load_u32le(bytes + 4 * c);
        }
    }
    template <class Row>
    static Bits load_word(const Row* const (&rows)[kWidth], std::size_t offset) {
        return vorlan_common::load_u32le(reinterpret_cast<const uint8_t*>(rows[0]) + offset);
    }
    // The inverse of load_words for floats, over records `stride` bytes
    // apart: lane l's four values, one per column, go in column order to the
    // 16 bytes at first + l * stride.
    static void store_rows(unsigned char* first, std::size_t stride, const Floats (&columns)[4]) {
        static_cast<void>(stride);
        std::memcpy(first, columns, sizeof(columns));
    }
    static Floats as_floats(Bits b) {
        float value;
        std::memcpy(&value, &b, sizeof(value));
        return value;
    }

    static Bits less(Floats a, Floats b) { return a < b ? ~0u : 0u; }
    static Bits greater(Floats a, Floats b) { return a > b ? ~0u : 0u; }
    static Bits not_equal(Floats a, Floats b) { return a != b ? ~0u : 0u; }
    static Bits equal(Floats a, Floats b) { return a == b ? ~0u : 0u; }
    static Bits equal_bits(Bits a, Bits b) { return a == b ? ~0u : 0u; }
    static Bits less_signed(Bits a, Bits b) { return static_cast<int32_t>(a) < static_cast<int32_t>(b) ? ~0u : 0u; }
    static Bits both(Bits a, Bits b) { return a & b; }
    static Bits either(Bits a, Bits b) { return a | b; }
    static Bits inverse(Bits a) { return ~a; }
    // `mask` all bits set or none.
    static Floats select(Bits mask, Floats if_set, Floats if_clear) { return mask != 0 ? if_set : if_clear; }

    static Bits subtract_signed(Bits a, Bits b) { return a - b; }
    // The signed 32-bit value, rounded to float as a cast rounds it.
    static Floats to_floats(Bits a) { return static_cast<float>(static_cast<int32_t>(a)); }
    // The low and high signed 16-bit halves, and byte n, of the word.
    static Bits low_half(Bits a) { return static_cast<uint32_t>(int32_t{static_cast<int16_t>(a & 0xFFFF)}); }
    static Bits high_half(Bits a) { return static_cast<uint32_t>(int32_t{static_cast<int16_t>(a >> 16)}); }
    template <int n>
    static Bits byte(Bits a) {
        return (a >> (8 * n)) & 0xFF;
    }
    template <int n>
    static Bits shift_left(Bits a) {
        return a << n;
    }
};

#if defined(VORLAN_HAS_SSE2_LANES)
// Four lanes in SSE2 registers; load() and store() need 16-byte alignment.
struct Sse2Lanes {
    static constexpr std::size_t kWidth = 4;
    static constexpr bool kGathers = false;
    struct Floats {
        __m128 v;
        friend Floats operator+(Floats a, Floats b) { return {_mm_add_ps(a.v, b.v)}; }
        friend Floats operator-(Floats a, Floats b) { return {_mm_sub_ps(a.v, b.v)}; }
        friend Floats operator*(Floats a, Floats b) { return {_mm_mul_ps(a.v, b.v)}; }
        friend Floats operator/(Floats a, Floats b) { return {_mm_div_ps(a.v, b.v)}; }
    };
    struct Bits {
        __m128i v;
    };

    static Floats load(const float* p) { return {_mm_load_ps(p)}; }
    static void store(float* p, Floats v) { _mm_store_ps(p, v.v); }
    static Floats load_unaligned(const float* p) { return {_mm_loadu_ps(p)}; }
    static void store_unaligned(float* p, Floats v) { _mm_storeu_ps(p, v.v); }
    static Bits load_bits_unaligned(const int32_t* p) {
        return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))};
    }
    static void store_bits_unaligned(int32_t* p, Bits b) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), b.v); }
    static Bits load_bits(const int32_t* p) { return {_mm_load_si128(reinterpret_cast<const __m128i*>(p))}; }
    static void store_bits(int32_t* p, Bits b) { _mm_store_si128(reinterpret_cast<__m128i*>(p), b.v); }
    static Floats splat(float x) { return {_mm_set1_ps(x)}; }
    static Bits splat_bits(uint32_t x) { return {_mm_set1_epi32(static_cast<int32_t>(x))}; }
    static Floats from_lanes(const float (&values)[kWidth]) {
        return {_mm_set_ps(values[3], values[2], values[1], values[0])};
    }
    static Bits bits_from_lanes(const int32_t (&values)[kWidth]) {
        return {_mm_set_epi32(values[3], values[2], values[1], values[0])};
    }
    static bool none(Bits b) { return _mm_movemask_epi8(_mm_cmpeq_epi32(b.v, _mm_setzero_si128())) == 0xFFFF; }

    template <class Row>
    static void load_words(const Row* const (&rows)[kWidth], std::size_t offset, Bits (&columns)[4]) {
        const auto at = [&rows, offset](std::size_t l) {
            return reinterpret_cast<const float*>(reinterpret_cast<const unsigned char*>(rows[l]) + offset);
        };
        __m128 r0 = _mm_loadu_ps(at(0));
        __m128 r1 = _mm_loadu_ps(at(1));
        __m128 r2 = _mm_loadu_ps(at(2));
        __m128 r3 = _mm_loadu_ps(at(3));
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        columns[0].v = _mm_castps_si128(r0);
        columns[1].v = _mm_castps_si128(r1);
        columns[2].v = _mm_castps_si128(r2);
        columns[3].v = _mm_castps_si128(r3);
    }
    static void store_rows(unsigned char* first, std::size_t stride, const Floats (&columns)[4]) {
        __m128 r0 = columns[0].v;
        __m128 r1 = columns[1].v;
        __m128 r2 = columns[2].v;
        __m128 r3 = columns[3].v;
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        _mm_storeu_ps(reinterpret_cast<float*>(first), r0);
        _mm_storeu_ps(reinterpret_cast<float*>(first + stride), r1);
        _mm_storeu_ps(reinterpret_cast<float*>(first + 2 * stride), r2);
        _mm_storeu_ps(reinterpret_cast<float*>(first + 3 * stride), r3);
    }
    template <class Row>
    static Bits load_word(const Row* const (&rows)[kWidth], std::size_t offset) {
        int32_t words[kWidth];
        for_each_lane<kWidth>([&](auto l) {
            std::memcpy(&words[l], reinterpret_cast<const unsigned char*>(rows[l]) + offset, sizeof(words[l]));
        });
        return {_mm_set_epi32(words[3], words[2], words[1], words[0])};
    }
    static Floats as_floats(Bits b) { return {_mm_castsi128_ps(b.v)}; }

    // The comparisons of C++: false with a NaN, but not_equal true.
    static Bits less(Floats a, Floats b) { return {_mm_castps_si128(_mm_cmplt_ps(a.v, b.v))}; }
    static Bits greater(Floats a, Floats b) { return {_mm_castps_si128(_mm_cmpgt_ps(a.v, b.v))}; }
    static Bits not_equal(Floats a, Floats b) { return {_mm_castps_si128(_mm_cmpneq_ps(a.v, b.v))}; }
    static Bits equal(Floats a, Floats b) { return {_mm_castps_si128(_mm_cmpeq_ps(a.v, b.v))}; }
    static Bits equal_bits(Bits a, Bits b) { return {_mm_cmpeq_epi32(a.v, b.v)}; }
    static Bits less_signed(Bits a, Bits b) { return {_mm_cmplt_epi32(a.v, b.v)}; }
    static Bits both(Bits a, Bits b) { return {_mm_and_si128(a.v, b.v)}; }
    static Bits either(Bits a, Bits b) { return {_mm_or_si128(a.v, b.v)}; }
    static Bits inverse(Bits a) { return {_mm_xor_si128(a.v, _mm_set1_epi32(-1))}; }
    // `mask` all bits set or none in each lane.
    static Floats select(Bits mask, Floats if_set, Floats if_clear) {
        const __m128 m = _mm_castsi128_ps(mask.v);
        return {_mm_or_ps(_mm_and_ps(m, if_set.v), _mm_andnot_ps(m, if_clear.v))};
    }

    static Bits subtract_signed(Bits a, Bits b) { return {_mm_sub_epi32(a.v, b.v)}; }
    static Floats to_floats(Bits a) { return {_mm_cvtepi32_ps(a.v)}; }
    static Bits low_half(Bits a) { return {_mm_srai_epi32(_mm_slli_epi32(a.v, 16), 16)}; }
    static Bits high_half(Bits a) { return {_mm_srai_epi32(a.v, 16)}; }
    template <int n>
    static Bits byte(Bits a) {
        return {_mm_and_si128(_mm_srli_epi32(a.v, 8 * n), _mm_set1_epi32(0xFF))};
    }
    template <int n>
    static Bits shift_left(Bits a) {
        return {_mm_slli_epi32(a.v, n)};
    }
};
using WideLanes = Sse2Lanes;
#else
using WideLanes = ScalarLanes;
#endif

}  // namespace util
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_FLOAT_LANES_H
