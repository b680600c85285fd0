#include "legacy_positions.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstddef>
#include <limits>

#include "cpu_features.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VORLAN_SDK2_SSE2_LANES 1
#if defined(__GNUC__) || defined(__clang__)
#include <immintrin.h>
// AVX2 code is compiled for that processor only where it is asked for, and
// run only after the processor said it has it.
#define VORLAN_SDK2_AVX2_LANES 1
#define VORLAN_SDK2_AVX2 __attribute__((target("avx2")))
#endif
#endif

namespace vorlan_sdk2 {
namespace {

// Image points without a return are placed this far along their ray.
constexpr double kNoReturnDistance = 100.0;
// Coordinates are carried in 5 mm units in 16 bits.
constexpr double kUnitsPerMetre = 200.0;
constexpr double kLargestUnits = std::numeric_limits<int16_t>::max();
// A coordinate at least this large would round past the largest.
constexpr double kFirstTooFar = kLargestUnits + 0.5;

// ---- One point at a time ----

void position_of(const VorlanSensorImagePoint& point, VorlanPoint& out) {
    const double image_x = point.image_x;
    const double image_z = point.image_z;
    const bool valid = (point.flags & VORLAN_POINT_VALID) != 0;
    const double range = valid ? static_cast<double>(point.distance) : kNoReturnDistance;
    const double along = range / std::sqrt(image_x * image_x + image_z * image_z + 1.0);
    double units[3] = {-image_x * along * kUnitsPerMetre, along * kUnitsPerMetre, -image_z * along * kUnitsPerMetre};
    double largest = 0.0;
    for (double value : units) {
        if (!std::isfinite(value)) {
            out.x = out.y = out.z = 0;
            out.flags = VORLAN_POINT_FLAG_NO_RETURN;
            return;
        }
        largest = std::max(largest, std::fabs(value));
    }
    if (largest >= kFirstTooFar) {
        const double scale = kLargestUnits / largest;
        for (double& value : units) {
            value = std::clamp(value * scale, -kLargestUnits, kLargestUnits);
        }
    }
    out.x = static_cast<int16_t>(roundHalfAway(units[0]));
    out.y = static_cast<int16_t>(roundHalfAway(units[1]));
    out.z = static_cast<int16_t>(roundHalfAway(units[2]));
    out.flags = 0;
}

void positions_one(const VorlanSensorImagePoint* points, size_t n, VorlanPoint* out) {
    for (size_t i = 0; i < n; ++i) {
        position_of(points[i], out[i]);
    }
}

#if defined(VORLAN_SDK2_SSE2_LANES)

// ---- Groups of four points ----

static_assert(offsetof(VorlanSensorImagePoint, distance) == offsetof(VorlanSensorImagePoint, image_x) + 4 &&
                  offsetof(VorlanSensorImagePoint, image_z) == offsetof(VorlanSensorImagePoint, image_x) + 8 &&
                  offsetof(VorlanSensorImagePoint, intensity) == offsetof(VorlanSensorImagePoint, image_x) + 12,
              "image_x, distance, image_z and intensity are read as one 16-byte row");

constexpr size_t kGroup = 4;

// The single-precision inputs of four points, one point per lane.
struct Columns {
    __m128 image_x;
    __m128 range;  // the distance, or the placeholder of a point without a return
    __m128 image_z;
};

// The rows of the points of a group; a group cut short at the end repeats
// its last point, whose results are not written.
inline void group_rows(const VorlanSensorImagePoint* points, size_t count,
                       const VorlanSensorImagePoint* (&rows)[kGroup]) {
    const size_t last = count - 1;
    rows[0] = points;
    rows[1] = points + (last < 1 ? last : 1);
    rows[2] = points + (last < 2 ? last : 2);
    rows[3] = points + (last < 3 ? last : 3);
}

inline Columns load_columns(const VorlanSensorImagePoint* const (&rows)[kGroup]) {
    __m128 r0 = _mm_loadu_ps(&rows[0]->image_x);
    __m128 r1 = _mm_loadu_ps(&rows[1]->image_x);
    __m128 r2 = _mm_loadu_ps(&rows[2]->image_x);
    __m128 r3 = _mm_loadu_ps(&rows[3]->image_x);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);  // image_x, distance, image_z, intensity
    const __m128i flags = _mm_set_epi32(rows[3]->flags, rows[2]->flags, rows[1]->flags, rows[0]->flags);
    const __m128i valid_bit = _mm_set1_epi32(VORLAN_POINT_VALID);
    const __m128 valid = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(flags, valid_bit), valid_bit));
    // 100 is exact in both precisions: choosing in single precision gives
    // the same double as choosing after the conversion.
    const __m128 range = _mm_or_ps(_mm_and_ps(valid, r1),
                                   _mm_andnot_ps(valid, _mm_set1_ps(static_cast<float>(kNoReturnDistance))));
    return {r0, range, r2};
}

// The coordinates of a group rounded to whole units; lane l's position is a
// number when bit l of `finite` is set.
struct GroupUnits {
    alignas(16) int32_t x[kGroup];
    alignas(16) int32_t y[kGroup];
    alignas(16) int32_t z[kGroup];
    int finite;
};

// x, y, z of four points, zero where not a number, in the first 8 bytes of
// their records (the 2 bytes after z are written over with 0: the
// translation fills them afterwards); flags as write_group leaves them.
inline void write_full_group(__m128i x, __m128i y, __m128i z, int finite, VorlanPoint* out) {
    static_assert(sizeof(VorlanPoint) == 10 && offsetof(VorlanPoint, x) == 0 && offsetof(VorlanPoint, y) == 2 &&
                      offsetof(VorlanPoint, z) == 4,
                  "x, y, z lead the 10-byte record");
    // Every value lies within 16 bits: the saturating packs keep it.
    const __m128i xy = _mm_unpacklo_epi16(_mm_packs_epi32(x, x), _mm_packs_epi32(y, y));
    const __m128i z0 = _mm_unpacklo_epi16(_mm_packs_epi32(z, z), _mm_setzero_si128());
    const __m128i first_two = _mm_unpacklo_epi32(xy, z0);
    const __m128i last_two = _mm_unpackhi_epi32(xy, z0);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(out);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes), first_two);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + sizeof(VorlanPoint)), _mm_srli_si128(first_two, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + 2 * sizeof(VorlanPoint)), last_two);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes + 3 * sizeof(VorlanPoint)), _mm_srli_si128(last_two, 8));
    for (size_t l = 0; l < kGroup; ++l) {
        out[l].flags = ((finite >> l) & 1) != 0 ? uint8_t{0} : uint8_t{VORLAN_POINT_FLAG_NO_RETURN};
    }
}

inline void write_group(const GroupUnits& units, size_t count, VorlanPoint* out) {
    for (size_t l = 0; l < count; ++l) {
        const bool finite = ((units.finite >> l) & 1) != 0;
        out[l].x = finite ? static_cast<int16_t>(units.x[l]) : int16_t{0};
        out[l].y = finite ? static_cast<int16_t>(units.y[l]) : int16_t{0};
        out[l].z = finite ? static_cast<int16_t>(units.z[l]) : int16_t{0};
        out[l].flags = finite ? uint8_t{0} : uint8_t{VORLAN_POINT_FLAG_NO_RETURN};
    }
}

// Rounded coordinates of the `count` points of a group into their records.
inline void write_units(__m128i x, __m128i y, __m128i z, int finite, size_t count, VorlanPoint* out) {
    if (count == kGroup) {
        write_full_group(x, y, z, finite, out);
        return;
    }
    GroupUnits units;
    _mm_store_si128(reinterpret_cast<__m128i*>(units.x), x);
    _mm_store_si128(reinterpret_cast<__m128i*>(units.y), y);
    _mm_store_si128(reinterpret_cast<__m128i*>(units.z), z);
    units.finite = finite;
    write_group(units, count, out);
}

// -- Two lanes of SSE2 --

struct Units2 {
    __m128d x, y, z;
};

// The three coordinates of two points in units, unrounded; `finite` gets
// the lanes whose coordinates are all numbers.
inline Units2 units_of_two(__m128d image_x, __m128d range, __m128d image_z, __m128d& finite) {
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d per_metre = _mm_set1_pd(kUnitsPerMetre);
    const __m128d squares = _mm_add_pd(_mm_add_pd(_mm_mul_pd(image_x, image_x), _mm_mul_pd(image_z, image_z)), one);
    const __m128d along = _mm_div_pd(range, _mm_sqrt_pd(squares));
    Units2 u{_mm_mul_pd(_mm_mul_pd(_mm_xor_pd(image_x, sign), along), per_metre), _mm_mul_pd(along, per_metre),
             _mm_mul_pd(_mm_mul_pd(_mm_xor_pd(image_z, sign), along), per_metre)};
    const __m128d ax = _mm_andnot_pd(sign, u.x);
    const __m128d ay = _mm_andnot_pd(sign, u.y);
    const __m128d az = _mm_andnot_pd(sign, u.z);
    const __m128d most = _mm_set1_pd(std::numeric_limits<double>::max());
    finite = _mm_and_pd(_mm_and_pd(_mm_cmple_pd(ax, most), _mm_cmple_pd(ay, most)), _mm_cmple_pd(az, most));
    const __m128d largest = _mm_max_pd(_mm_max_pd(ax, ay), az);
    const __m128d too_far = _mm_cmpge_pd(largest, _mm_set1_pd(kFirstTooFar));
    if (_mm_movemask_pd(too_far) != 0) {  // rare: only points past 163.8 m
        const __m128d scale = _mm_or_pd(_mm_and_pd(too_far, _mm_div_pd(_mm_set1_pd(kLargestUnits), largest)),
                                        _mm_andnot_pd(too_far, one));
        const __m128d low = _mm_set1_pd(-kLargestUnits);
        const __m128d high = _mm_set1_pd(kLargestUnits);
        u.x = _mm_min_pd(_mm_max_pd(_mm_mul_pd(u.x, scale), low), high);
        u.y = _mm_min_pd(_mm_max_pd(_mm_mul_pd(u.y, scale), low), high);
        u.z = _mm_min_pd(_mm_max_pd(_mm_mul_pd(u.z, scale), low), high);
    }
    return u;
}

// roundHalfAway in two lanes, in one addition: the value plus just under
// a half, toward its sign, truncated. For |value| < 2^52 the sum reaches the
// next whole number exactly when the fraction is at least a half (a plain
// half would also carry a value a hair under a half, whose sum rounds up).
// Lanes that are not numbers give garbage.
constexpr double kJustUnderHalf = 0.5 - 0x1p-54;

inline __m128i round_two(__m128d value) {
    const __m128d toward = _mm_or_pd(_mm_and_pd(value, _mm_set1_pd(-0.0)), _mm_set1_pd(kJustUnderHalf));
    return _mm_cvttpd_epi32(_mm_add_pd(value, toward));
}

void positions_two(const VorlanSensorImagePoint* points, size_t n, VorlanPoint* out) {
    for (size_t i = 0; i < n; i += kGroup) {
        const size_t count = std::min(kGroup, n - i);
        const VorlanSensorImagePoint* rows[kGroup];
        group_rows(points + i, count, rows);
        const Columns columns = load_columns(rows);
        __m128d finite_low;
        __m128d finite_high;
        const Units2 low = units_of_two(_mm_cvtps_pd(columns.image_x), _mm_cvtps_pd(columns.range),
                                        _mm_cvtps_pd(columns.image_z), finite_low);
        const Units2 high = units_of_two(_mm_cvtps_pd(_mm_movehl_ps(columns.image_x, columns.image_x)),
                                         _mm_cvtps_pd(_mm_movehl_ps(columns.range, columns.range)),
                                         _mm_cvtps_pd(_mm_movehl_ps(columns.image_z, columns.image_z)), finite_high);
        // Lanes that are not numbers are zeroed before rounding, which
        // leaves them at the origin.
        const auto rounded = [&](__m128d low_value, __m128d high_value) {
            return _mm_unpacklo_epi64(round_two(_mm_and_pd(finite_low, low_value)),
                                      round_two(_mm_and_pd(finite_high, high_value)));
        };
        const __m128i x = rounded(low.x, high.x);
        const __m128i y = rounded(low.y, high.y);
        const __m128i z = rounded(low.z, high.z);
        const int finite = _mm_movemask_pd(finite_low) | (_mm_movemask_pd(finite_high) << 2);
        write_units(x, y, z, finite, count, out + i);
    }
}

#endif  // VORLAN_SDK2_SSE2_LANES

#if defined(VORLAN_SDK2_AVX2_LANES)

// -- Four lanes of AVX2: the same steps as two lanes --

VORLAN_SDK2_AVX2 inline __m256d select4(__m256d mask, __m256d if_set, __m256d if_clear) {
    return _mm256_blendv_pd(if_clear, if_set, mask);
}

VORLAN_SDK2_AVX2 inline __m128i round_four(__m256d value) {
    const __m256d toward =
        _mm256_or_pd(_mm256_and_pd(value, _mm256_set1_pd(-0.0)), _mm256_set1_pd(kJustUnderHalf));
    return _mm256_cvttpd_epi32(_mm256_add_pd(value, toward));
}

VORLAN_SDK2_AVX2 void positions_four(const VorlanSensorImagePoint* points, size_t n, VorlanPoint* out) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d per_metre = _mm256_set1_pd(kUnitsPerMetre);
    const __m256d most = _mm256_set1_pd(std::numeric_limits<double>::max());
    const __m256d first_too_far = _mm256_set1_pd(kFirstTooFar);
    for (size_t i = 0; i < n; i += kGroup) {
        const size_t count = std::min(kGroup, n - i);
        const VorlanSensorImagePoint* rows[kGroup];
        group_rows(points + i, count, rows);
        const Columns columns = load_columns(rows);
        const __m256d image_x = _mm256_cvtps_pd(columns.image_x);
        const __m256d image_z = _mm256_cvtps_pd(columns.image_z);
        const __m256d squares =
            _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(image_x, image_x), _mm256_mul_pd(image_z, image_z)), one);
        const __m256d along = _mm256_div_pd(_mm256_cvtps_pd(columns.range), _mm256_sqrt_pd(squares));
        __m256d x = _mm256_mul_pd(_mm256_mul_pd(_mm256_xor_pd(image_x, sign), along), per_metre);
        __m256d y = _mm256_mul_pd(along, per_metre);
        __m256d z = _mm256_mul_pd(_mm256_mul_pd(_mm256_xor_pd(image_z, sign), along), per_metre);
        const __m256d ax = _mm256_andnot_pd(sign, x);
        const __m256d ay = _mm256_andnot_pd(sign, y);
        const __m256d az = _mm256_andnot_pd(sign, z);
        const __m256d finite = _mm256_and_pd(
            _mm256_and_pd(_mm256_cmp_pd(ax, most, _CMP_LE_OQ), _mm256_cmp_pd(ay, most, _CMP_LE_OQ)),
            _mm256_cmp_pd(az, most, _CMP_LE_OQ));
        const __m256d largest = _mm256_max_pd(_mm256_max_pd(ax, ay), az);
        const __m256d too_far = _mm256_cmp_pd(largest, first_too_far, _CMP_GE_OQ);
        if (_mm256_movemask_pd(too_far) != 0) {  // rare: only points past 163.8 m
            const __m256d scale = select4(too_far, _mm256_div_pd(_mm256_set1_pd(kLargestUnits), largest), one);
            const __m256d low = _mm256_set1_pd(-kLargestUnits);
            const __m256d high = _mm256_set1_pd(kLargestUnits);
            x = _mm256_min_pd(_mm256_max_pd(_mm256_mul_pd(x, scale), low), high);
            y = _mm256_min_pd(_mm256_max_pd(_mm256_mul_pd(y, scale), low), high);
            z = _mm256_min_pd(_mm256_max_pd(_mm256_mul_pd(z, scale), low), high);
        }
        // Lanes that are not numbers are zeroed before rounding, which
        // leaves them at the origin.
        write_units(round_four(_mm256_and_pd(finite, x)), round_four(_mm256_and_pd(finite, y)),
                    round_four(_mm256_and_pd(finite, z)), _mm256_movemask_pd(finite), count, out + i);
    }
}

#endif  // VORLAN_SDK2_AVX2_LANES

PositionLanes find_widest_lanes() {
#if defined(VORLAN_SDK2_AVX2_LANES)
    if (cpuHasAvx2()) {
        return PositionLanes::kFour;
    }
#endif
#if defined(VORLAN_SDK2_SSE2_LANES)
    return PositionLanes::kTwo;
#else
    return PositionLanes::kOne;
#endif
}

}  // namespace

PositionLanes widestPositionLanes() {
    static const PositionLanes widest = find_widest_lanes();
    return widest;
}

void writeLegacyPositions(const VorlanSensorImagePoint* points, size_t n, VorlanPoint* out, PositionLanes lanes) {
    if (static_cast<int>(lanes) > static_cast<int>(widestPositionLanes())) {
        lanes = widestPositionLanes();
    }
    switch (lanes) {
#if defined(VORLAN_SDK2_AVX2_LANES)
        case PositionLanes::kFour:
            positions_four(points, n, out);
            return;
#endif
#if defined(VORLAN_SDK2_SSE2_LANES)
        case PositionLanes::kTwo:
            positions_two(points, n, out);
            return;
#endif
        default:
            positions_one(points, n, out);
            return;
    }
}

}  // namespace vorlan_sdk2
