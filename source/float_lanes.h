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

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define VORLAN_HAS_SSE2_LANES 1
#endif

namespace vorlan_sdk {
namespace util {

// Each lane also has a 32-bit word of bits (`Bits`): comparisons give masks
// in them (all bits set for true, none for false), which select() chooses
// by, and they carry small bit sets such as point flags.

// One lane: a plain float and a 32-bit word.
struct ScalarLanes {
    static constexpr std::size_t kWidth = 1;
    using Floats = float;
    using Bits = uint32_t;

    static Floats load(const float* p) { return *p; }
    static void store(float* p, Floats v) { *p = v; }
    static Bits load_bits(const int32_t* p) { return static_cast<uint32_t>(*p); }
    static void store_bits(int32_t* p, Bits b) { *p = static_cast<int32_t>(b); }
    static Floats splat(float x) { return x; }
    static Bits splat_bits(uint32_t x) { return x; }

    static Bits less(Floats a, Floats b) { return a < b ? ~0u : 0u; }
    static Bits greater(Floats a, Floats b) { return a > b ? ~0u : 0u; }
    static Bits not_equal(Floats a, Floats b) { return a != b ? ~0u : 0u; }
    static Bits equal(Floats a, Floats b) { return a == b ? ~0u : 0u; }
    static Bits equal_bits(Bits a, Bits b) { return a == b ? ~0u : 0u; }
    static Bits both(Bits a, Bits b) { return a & b; }
    static Bits either(Bits a, Bits b) { return a | b; }
    static Bits inverse(Bits a) { return ~a; }
    // `mask` all bits set or none.
    static Floats select(Bits mask, Floats if_set, Floats if_clear) { return mask != 0 ? if_set : if_clear; }
};

#if defined(VORLAN_HAS_SSE2_LANES)
// Four lanes in SSE2 registers; loads and stores need 16-byte alignment.
struct Sse2Lanes {
    static constexpr std::size_t kWidth = 4;
    struct Floats {
        __m128 v;
        friend Floats operator+(Floats a, Floats b) { return {_mm_add_ps(a.v, b.v)}; }
        friend Floats operator-(Floats a, Floats b) { return {_mm_sub_ps(a.v, b.v)}; }
        friend Floats operator*(Floats a, Floats b) { return {_mm_mul_ps(a.v, b.v)}; }
        friend Floats operator/(Floats a, Floats b) { return {_mm_div_ps(a.v, b.v)}; }
    };
    // Kept in a float register: the bitwise operations work on either kind.
    struct Bits {
        __m128 v;
    };

    static Floats load(const float* p) { return {_mm_load_ps(p)}; }
    static void store(float* p, Floats v) { _mm_store_ps(p, v.v); }
    static Bits load_bits(const int32_t* p) {
        return {_mm_castsi128_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(p)))};
    }
    static void store_bits(int32_t* p, Bits b) { _mm_store_si128(reinterpret_cast<__m128i*>(p), _mm_castps_si128(b.v)); }
    static Floats splat(float x) { return {_mm_set1_ps(x)}; }
    static Bits splat_bits(uint32_t x) { return {_mm_castsi128_ps(_mm_set1_epi32(static_cast<int32_t>(x)))}; }

    // The comparisons of C++: false with a NaN, but not_equal true.
    static Bits less(Floats a, Floats b) { return {_mm_cmplt_ps(a.v, b.v)}; }
    static Bits greater(Floats a, Floats b) { return {_mm_cmpgt_ps(a.v, b.v)}; }
    static Bits not_equal(Floats a, Floats b) { return {_mm_cmpneq_ps(a.v, b.v)}; }
    static Bits equal(Floats a, Floats b) { return {_mm_cmpeq_ps(a.v, b.v)}; }
    static Bits equal_bits(Bits a, Bits b) {
        return {_mm_castsi128_ps(_mm_cmpeq_epi32(_mm_castps_si128(a.v), _mm_castps_si128(b.v)))};
    }
    static Bits both(Bits a, Bits b) { return {_mm_and_ps(a.v, b.v)}; }
    static Bits either(Bits a, Bits b) { return {_mm_or_ps(a.v, b.v)}; }
    static Bits inverse(Bits a) { return {_mm_xor_ps(a.v, _mm_castsi128_ps(_mm_set1_epi32(-1)))}; }
    // `mask` all bits set or none in each lane.
    static Floats select(Bits mask, Floats if_set, Floats if_clear) {
        return {_mm_or_ps(_mm_and_ps(mask.v, if_set.v), _mm_andnot_ps(mask.v, if_clear.v))};
    }
};
using WideLanes = Sse2Lanes;
#else
using WideLanes = ScalarLanes;
#endif

}  // namespace util
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_FLOAT_LANES_H
