// The calibration kernel of calibration_kernel.h built for AVX2: the same
// template code over eight lanes, and the exponential of the intensity
// falloff worked out eight at a time in the very steps, and with the very
// constants, of the C library's single-precision exponential on processors
// with FMA, so that every bit is the one std::exp gives. Whether this
// process's std::exp is that one is checked once, before the vector form is
// trusted.
#include "calibration_avx2.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "calibration.h"
#include "calibration_columns.h"
#include "float_lanes.h"
#include "wire_bytes.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VORLAN_CALIBRATION_AVX2 1
#endif

#if defined(VORLAN_CALIBRATION_AVX2)

// Everything defined from here on is built for AVX2 (and FMA, which only the
// exponential asks for by name: the build contracts no other arithmetic);
// the headers above were read without it, so that the functions they share
// with other files stay as those files build them.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

#include "calibration_kernel.h"
#include "float_lanes_avx2.h"

namespace vorlan_sdk {
namespace {

// 2^(i/32) for i = 0..31 as doubles, less i << 47 in their bits: adding
// k << 47 to entry k mod 32 makes 2^(k/32) for any k the exponential meets.
constexpr uint64_t kPowersOfTwo[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51, 0x3fef72b83c7d517b,
    0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1, 0x3fef06fe0a31b715, 0x3feef1a7373aa9cb,
    0x3feedea64c123422, 0x3feece086061892d, 0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429,
    0x3feea47eb03a5585, 0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d, 0x3feee89f995ad3ad,
    0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069, 0x3fef5818dcfba487, 0x3fef7c97337b9b5f,
    0x3fefa4afa2a490da, 0x3fefd0765b6e4540};
constexpr uint64_t kInverseLn2Times32 = 0x40471547652b82fe;  // 32 / ln 2
constexpr uint64_t kRoundingShift = 0x4338000000000000;      // 1.5 * 2^52
// 2^(r/32) - 1 for |r| <= 1/2: the coefficients of r^3, r^2 and r.
constexpr uint64_t kPolynomial[3] = {0x3ebc6af84b912394, 0x3f2ebfce50fac4f3, 0x3f962e42ff0c52d6};
// Inputs whose magnitude has these bits or more (|x| >= 88, infinities and
// NaNs) take the library's own exponential, which handles overflow,
// underflow and NaN.
constexpr int32_t kFirstSpecialMagnitude = 0x42B00000;

__m256d splat_double(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof(value));
    return _mm256_set1_pd(value);
}

// e^x of four floats (as doubles) for |x| < 88, rounded to float.
inline __m128 exp4(__m128 x) {
    const __m256d xd = _mm256_cvtps_pd(x);
    const __m256d inverse_ln2 = splat_double(kInverseLn2Times32);
    const __m256d shift = splat_double(kRoundingShift);
    // x * 32 / ln 2 = k + r, k whole (the low bits of kd's word), |r| <= 1/2.
    const __m256d shifted = _mm256_fmadd_pd(inverse_ln2, xd, shift);
    const __m256i k = _mm256_castpd_si256(shifted);
    const __m256d kd = _mm256_sub_pd(shifted, shift);
    const __m256d r = _mm256_fmsub_pd(inverse_ln2, xd, kd);
    const __m256i entry = _mm256_i64gather_epi64(reinterpret_cast<const long long*>(kPowersOfTwo),
                                                 _mm256_and_si256(k, _mm256_set1_epi64x(31)), 8);
    const __m256d scale = _mm256_castsi256_pd(_mm256_add_epi64(entry, _mm256_slli_epi64(k, 47)));
    const __m256d z = _mm256_fmadd_pd(splat_double(kPolynomial[0]), r, splat_double(kPolynomial[1]));
    const __m256d r2 = _mm256_mul_pd(r, r);
    __m256d y = _mm256_fmadd_pd(splat_double(kPolynomial[2]), r, _mm256_set1_pd(1.0));
    y = _mm256_fmadd_pd(z, r2, y);
    return _mm256_cvtpd_ps(_mm256_mul_pd(y, scale));
}

// e^x of eight floats; lanes at or beyond the special magnitude are left to
// the caller (their bits are set in `special`).
inline __m256 exp8(__m256 x, int& special) {
    const __m256i magnitude = _mm256_and_si256(_mm256_castps_si256(x), _mm256_set1_epi32(0x7FFFFFFF));
    special = _mm256_movemask_ps(
        _mm256_castsi256_ps(_mm256_cmpgt_epi32(magnitude, _mm256_set1_epi32(kFirstSpecialMagnitude - 1))));
    const __m128 low = exp4(_mm256_castps256_ps128(x));
    const __m128 high = exp4(_mm256_extractf128_ps(x, 1));
    return _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1);
}

// Whether exp8 gives what std::exp gives on a spread of inputs over the
// range the vector form covers (and a few beyond it). A C library whose
// exponential rounds differently anywhere in it would be caught here with
// near certainty; calibration then keeps to std::exp.
bool exp8_matches_library() {
    alignas(32) float inputs[8];
    alignas(32) float outputs[8];
    uint32_t state = 0x9E3779B9u;
    for (int round = 0; round < 2048; ++round) {
        for (int l = 0; l < 8; ++l) {
            state = state * 1664525u + 1013904223u;
            // Evenly over (-88, 88), then small magnitudes of every exponent.
            const float spread = (static_cast<float>(state >> 8) / 16777216.0f - 0.5f) * 175.9f;
            inputs[l] = round % 2 == 0 ? spread : std::ldexp(spread, -static_cast<int>(state % 40));
        }
        int special = 0;
        _mm256_store_ps(outputs, exp8(_mm256_load_ps(inputs), special));
        for (int l = 0; l < 8; ++l) {
            const float expected = std::exp(inputs[l]);
            if ((special & (1 << l)) == 0 && std::memcmp(&expected, &outputs[l], sizeof(expected)) != 0) {
                return false;
            }
        }
    }
    return true;
}

// AVX2 lanes, with the exponentials eight at a time.
struct Avx2Kernel {
    using Wide = util::Avx2Lanes;
    static void exponentials(float* falloff, const float* reference, std::size_t n) {
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const __m256 x = _mm256_load_ps(falloff + i);
            const __m256 has_reference =
                _mm256_cmp_ps(_mm256_load_ps(reference + i), _mm256_setzero_ps(), _CMP_NEQ_UQ);
            int special = 0;
            _mm256_store_ps(falloff + i, _mm256_and_ps(exp8(x, special), has_reference));
            special &= _mm256_movemask_ps(has_reference);
            if (special != 0) {
                alignas(32) float inputs[8];
                _mm256_store_ps(inputs, x);
                for (std::size_t l = 0; l < 8; ++l) {
                    if ((special & (1 << l)) != 0) {
                        falloff[i + l] = std::exp(inputs[l]);
                    }
                }
            }
        }
        plain_exponentials(falloff, reference, i, n - i);
    }
};

// AVX2 lanes with std::exp, for a C library whose exponential is not the
// one exp8 copies.
struct Avx2LibraryExpKernel {
    using Wide = util::Avx2Lanes;
    static void exponentials(float* falloff, const float* reference, std::size_t n) {
        plain_exponentials(falloff, reference, 0, n);
    }
};

// Whether the exponentials go eight at a time; asked only where the
// processor has AVX2 and FMA.
bool vector_exp_usable() {
    static const bool usable = exp8_matches_library();
    return usable;
}

}  // namespace
}  // namespace vorlan_sdk

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace vorlan_sdk {

// Built for every processor, as it decides whether the rest may run.
bool internal::avx2_calibration_runs() {
    static const bool runs = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return runs;
}

void internal::calibrate_with_avx2(const VorlanCalibration& calibration, std::size_t n_points,
                                   const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                                   VorlanSensorImagePoint* image_points, CalibrationClips clips, bool with_rules,
                                   const SegmentColumns* columns) {
    if (vector_exp_usable()) {
        calibrate_with<Avx2Kernel>(calibration, n_points, raw_points, return_count, image_points, clips, with_rules,
                                   columns);
    } else {
        calibrate_with<Avx2LibraryExpKernel>(calibration, n_points, raw_points, return_count, image_points, clips,
                                             with_rules, columns);
    }
}

}  // namespace vorlan_sdk

#else  // no AVX2 kernel in this build

namespace vorlan_sdk {

bool internal::avx2_calibration_runs() { return false; }

void internal::calibrate_with_avx2(const VorlanCalibration&, std::size_t, const VorlanSensorRawPointWithTime*,
                                   uint32_t, VorlanSensorImagePoint*, CalibrationClips, bool,
                                   const SegmentColumns*) {}

}  // namespace vorlan_sdk

#endif  // VORLAN_CALIBRATION_AVX2
