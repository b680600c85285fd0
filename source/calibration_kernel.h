// The calibration kernel, written once over a lane type (float_lanes.h).
// Everything here has internal linkage on purpose: each file that includes
// it compiles its own copy for the instruction set that file is built for
// (calibration.cpp for every processor, calibration_avx2.cpp for AVX2), and
// no copy can stand in for another at link time.
//
// A kernel is a type with `Wide`, the lanes whole vectors of points go
// through, and `exponentials(falloff, reference, n)`, which replaces
// falloff[i] by its exponential where reference[i] is not 0 and by 0
// elsewhere, as std::exp would.
#ifndef VORLAN_SOURCE_CALIBRATION_KERNEL_H
#define VORLAN_SOURCE_CALIBRATION_KERNEL_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "calibration.h"
#include "calibration_columns.h"
#include "float_lanes.h"
#include "wire_bytes.h"

// The per-point steps below must fold into one loop body; left to itself the
// compiler keeps some of them as calls.
#if !defined(VORLAN_ALWAYS_INLINE)
#if defined(__GNUC__)
#define VORLAN_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define VORLAN_ALWAYS_INLINE inline
#endif
#endif

namespace vorlan_sdk {
namespace {


constexpr uint16_t kSaturationCorrectionFlag = VORLAN_CALIBRATION_SATURATION_CORRECTION;
constexpr uint16_t kRationalDistortionFlag = VORLAN_CALIBRATION_RATIONAL_DISTORTION;
// Saturated returns read short; calibrations that carry the correction flag
// add this much to saturated returns beyond the near field.
constexpr float kSaturationRangeCorrection = 0.6f;
constexpr float kSaturationCorrectionMinDistance = 0.5f;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// A clip bound of 0 is no bound.
inline float lower_bound(float bound) { return bound != 0.0f ? bound : -kInfinity; }
inline float upper_bound(float bound) { return bound != 0.0f ? bound : kInfinity; }

// What one batch needs of the calibration, with the clip settings folded into
// the bounds (an unbounded or disabled side is infinite), so that the
// per-point work is arithmetic and a few comparisons.
//
// The comparisons are combined with bitwise operators on purpose: whether a
// point is inside depends on where the scan is, which branch prediction
// cannot follow.
struct BatchCalibration {
    BatchCalibration(const VorlanCalibration& c, CalibrationClips clips)
        : calibration(c),
          min_x(clips.image ? lower_bound(c.image_clip_min_x) : -kInfinity),
          max_x(clips.image ? upper_bound(c.image_clip_max_x) : kInfinity),
          min_z(clips.image ? lower_bound(c.image_clip_min_z) : -kInfinity),
          max_z(clips.image ? upper_bound(c.image_clip_max_z) : kInfinity),
          min_distance(clips.distance ? lower_bound(c.distance_clip_min) : -kInfinity),
          max_distance(clips.distance ? upper_bound(c.distance_clip_max) : kInfinity),
          distance_scale(c.distance_scale),
          distance_offset(c.distance_offset),
          center_x(c.image_center_x),
          center_z(c.image_center_z),
          correct_saturation((c.flags & kSaturationCorrectionFlag) != 0) {
        for (int i = 0; i < 4; ++i) {
            a[i] = c.distortion_x[i];
            b[i] = c.distortion_z[i];
        }
    }

    // NaN coordinates count as inside, as with the plain comparisons.
    bool inside_image(float x, float z) const { return !((x < min_x) | (x > max_x) | (z < min_z) | (z > max_z)); }
    bool inside_distance(float distance) const { return !((distance < min_distance) | (distance > max_distance)); }

    const VorlanCalibration& calibration;
    float min_x, max_x, min_z, max_z;
    float min_distance, max_distance;
    float distance_scale;
    float distance_offset;
    float center_x;
    float center_z;
    float a[4];
    float b[4];
    bool correct_saturation;
};

// Calibration runs over short runs of points in structure-of-arrays scratch
// (RunScratch), a vector of the kernel's Wide lanes at a time (four with
// SSE2, eight with AVX2; the points left over go one at a time through the
// same code). A first pass reads the raw points and their segments'
// calibration entries, looks up the power-level tables and does all the
// arithmetic but the lens model and what needs the exponential of the
// falloff; the lens model and image clip follow, then the exponentials (the
// kernel's own pass), then the intensities, the
// saturation rules where a return is saturated, and a last pass writes the
// image points.
constexpr std::size_t kRunLength = 64;
// Points per segment in a batch from which its segments' entries are laid
// out as columns first (SegmentColumns).
constexpr std::size_t kColumnsPerSegment = 4;
constexpr int kFlagsShift = 8;
constexpr int kSegmentShift = 16;

// One run's working arrays, indexed by the point's place in the run (and the
// return). Every array is 32-byte aligned, a whole number of vectors long.
template <uint32_t kReturns>
struct alignas(32) RunScratch {
    // e and f from the first pass, the image coordinates from the lens pass.
    float image_x[kRunLength];
    float image_z[kRunLength];
    float reference[kRunLength];  // intensity reference of the power level; 0: none
    float falloff[kRunLength];    // the falloff's exponent, then (where reference != 0) its exponential
    int32_t calibrated[kRunLength];  // mask: the segment has a table entry
    float distance[kReturns][kRunLength];
    float normalised[kReturns][kRunLength];  // intensity times range squared over the reference, before the falloff
    // The image point's last eight bytes as a little-endian word: return
    // type (bits 0-7), flags (from kFlagsShift) and segment (from
    // kSegmentShift); the padding is 0.
    int32_t tail[kReturns][kRunLength];
    // From the intensity pass.
    float intensity[kReturns][kRunLength];
};

// What calibration takes from a segment's entry, in every lane.
template <class Lanes>
struct SegmentValues {
    typename Lanes::Bits x_center, x_offset, z_center, z_offset;
    typename Lanes::Floats range_offset;
    typename Lanes::Floats x_scale, z_scale, z_to_x, x_to_z;
    typename Lanes::Floats h[6];  // intensity falloff
};


using internal::SegmentColumns;

// The values for the vector whose first point belongs to segment `first`
// and whose points' segments are `segments`; false (nothing written) unless
// they are first, first + 1, ... in turn.
template <class Lanes>
VORLAN_ALWAYS_INLINE bool take_columns(const SegmentColumns& c, std::size_t first, typename Lanes::Bits segments,
                                       SegmentValues<Lanes>& values) {
    using L = Lanes;
    if (first >= c.count || !L::none(L::inverse(L::equal_bits(segments, L::load_bits_unaligned(c.segment + first))))) {
        return false;
    }
    values.x_center = L::load_bits_unaligned(c.x_center + first);
    values.x_offset = L::load_bits_unaligned(c.x_offset + first);
    values.z_center = L::load_bits_unaligned(c.z_center + first);
    values.z_offset = L::load_bits_unaligned(c.z_offset + first);
    values.range_offset = L::load_unaligned(c.range_offset + first);
    values.x_scale = L::load_unaligned(c.x_scale + first);
    values.z_scale = L::load_unaligned(c.z_scale + first);
    values.z_to_x = L::load_unaligned(c.z_to_x + first);
    values.x_to_z = L::load_unaligned(c.x_to_z + first);
    for (int k = 0; k < 6; ++k) {
        values.h[k] = L::load_unaligned(c.h[k] + first);
    }
    return true;
}

// The calibration's values in every lane.
template <class Lanes>
struct LaneConstants {
    using Floats = typename Lanes::Floats;
    using Bits = typename Lanes::Bits;

    explicit LaneConstants(const BatchCalibration& batch)
        : scale(Lanes::splat(batch.distance_offset)),
          cx(Lanes::splat(batch.center_x)),
          cz(Lanes::splat(batch.center_z)),
          a{Lanes::splat(batch.a[0]), Lanes::splat(batch.a[1]), Lanes::splat(batch.a[2]), Lanes::splat(batch.a[3])},
          b{Lanes::splat(batch.b[0]), Lanes::splat(batch.b[1]), Lanes::splat(batch.b[2]), Lanes::splat(batch.b[3])},
          min_x(Lanes::splat(batch.min_x)),
          max_x(Lanes::splat(batch.max_x)),
          min_z(Lanes::splat(batch.min_z)),
          max_z(Lanes::splat(batch.max_z)),
          min_distance(Lanes::splat(batch.min_distance)),
          max_distance(Lanes::splat(batch.max_distance)),
          distance_scale(Lanes::splat(batch.distance_scale)),
          distance_offset(Lanes::splat(batch.distance_offset)),
          correction(Lanes::splat(kSaturationRangeCorrection)),
          correction_min_distance(Lanes::splat(kSaturationCorrectionMinDistance)),
          zero(Lanes::splat(0.0f)),
          one(Lanes::splat(1.0f)),
          full_intensity(Lanes::splat(255.0f)),
          no_bits(Lanes::splat_bits(0)),
          beyond_2_30(Lanes::splat_bits(0xC0000000u)),
          segments_in_table(Lanes::splat_bits(kMaxSegments)),
          correct_saturation(Lanes::splat_bits(batch.correct_saturation ? ~0u : 0u)),
          power_levels(Lanes::splat_bits(kMaxPowerLevel + 1)),
          intensity_table(Lanes::splat_bits(offsetof(VorlanLaserCalibration, power_level_intensity))),
          distance_table(Lanes::splat_bits(offsetof(VorlanLaserCalibration, power_level_distance_offset))),
          valid(Lanes::splat_bits(VORLAN_POINT_VALID << kFlagsShift)),
          saturated(Lanes::splat_bits(VORLAN_POINT_SATURATED << kFlagsShift)),
          frame_flag(Lanes::splat_bits(VORLAN_POINT_FRAME_FLAG << kFlagsShift)),
          first(Lanes::splat_bits(VORLAN_RETURN_FIRST)),
          farthest(Lanes::splat_bits(VORLAN_RETURN_FARTHEST)) {}

    Floats scale, cx, cz;
    Floats a[4];
    Floats b[4];
    Floats min_x, max_x, min_z, max_z;
    Floats min_distance, max_distance;
    Floats distance_scale, distance_offset;
    Floats correction, correction_min_distance;
    Floats zero, one, full_intensity;
    Bits no_bits, beyond_2_30, segments_in_table, correct_saturation;
    Bits power_levels, intensity_table, distance_table;  // for lanes that gather
    Bits valid, saturated, frame_flag;  // in tail words
    Bits first, farthest;
};

// The first pass reads raw points and calibration entries as 32-bit
// little-endian words, four at a time:
//   raw point +8: image_x | image_z << 16, distance, distance_2,
//                 intensity, intensity_2, saturated, saturated_2 (bytes);
//             +24: segment_id, power_level, reserved, frame_flag (bytes);
//   calibration entry +0: image_x_center | image_x_offset << 16,
//                 image_z_center | image_z_offset << 16, intensity_range_offset;
//             +16: image_x_scale, image_z_scale, image_z_to_x, image_x_to_z;
//             +224, +232: intensity_falloff[0..3], [2..5].
static_assert(offsetof(VorlanLaserCalibration, image_x_center) == 0 &&
                  offsetof(VorlanLaserCalibration, image_x_offset) == 2 &&
                  offsetof(VorlanLaserCalibration, image_z_center) == 4 &&
                  offsetof(VorlanLaserCalibration, image_z_offset) == 6 &&
                  offsetof(VorlanLaserCalibration, intensity_range_offset) == 8 &&
                  offsetof(VorlanLaserCalibration, image_x_scale) == 16 &&
                  offsetof(VorlanLaserCalibration, image_z_scale) == 20 &&
                  offsetof(VorlanLaserCalibration, image_z_to_x) == 24 &&
                  offsetof(VorlanLaserCalibration, image_x_to_z) == 28 &&
                  offsetof(VorlanLaserCalibration, intensity_falloff) == 224 &&
                  sizeof(VorlanLaserCalibration) == 248,
              "calibration entry words");

// A segment entry's values for each lane from the lanes' own entries.
template <class Lanes>
VORLAN_ALWAYS_INLINE void gather_segment_values(const VorlanLaserCalibration* const (&lasers)[Lanes::kWidth],
                                                SegmentValues<Lanes>& values) {
    using L = Lanes;
    typename L::Bits centres[4];
    L::load_words(lasers, offsetof(VorlanLaserCalibration, image_x_center), centres);
    typename L::Bits gains[4];
    L::load_words(lasers, offsetof(VorlanLaserCalibration, image_x_scale), gains);
    typename L::Bits h_low[4];
    L::load_words(lasers, offsetof(VorlanLaserCalibration, intensity_falloff), h_low);
    typename L::Bits h_high[4];
    L::load_words(lasers, offsetof(VorlanLaserCalibration, intensity_falloff) + 2 * sizeof(float), h_high);
    values.x_center = L::low_half(centres[0]);
    values.x_offset = L::high_half(centres[0]);
    values.z_center = L::low_half(centres[1]);
    values.z_offset = L::high_half(centres[1]);
    values.range_offset = L::as_floats(centres[2]);
    values.x_scale = L::as_floats(gains[0]);
    values.z_scale = L::as_floats(gains[1]);
    values.z_to_x = L::as_floats(gains[2]);
    values.x_to_z = L::as_floats(gains[3]);
    values.h[0] = L::as_floats(h_low[0]);
    values.h[1] = L::as_floats(h_low[1]);
    values.h[2] = L::as_floats(h_low[2]);
    values.h[3] = L::as_floats(h_low[3]);
    values.h[4] = L::as_floats(h_high[2]);
    values.h[5] = L::as_floats(h_high[3]);
}

// The first pass for raw points [i, i + Lanes::kWidth) of a run. Every value
// is worked out in every lane and the outcome chosen afterwards.
template <class Lanes, uint32_t kReturns, bool kRational>
VORLAN_ALWAYS_INLINE void measure_lanes(const BatchCalibration& batch, const LaneConstants<Lanes>& k,
                                        const SegmentColumns* columns, const VorlanSensorRawPointWithTime* raw,
                                        std::size_t i, RunScratch<kReturns>& run) {
    using L = Lanes;
    using Floats = typename L::Floats;
    using Bits = typename L::Bits;
    constexpr std::size_t kWidth = L::kWidth;

    const VorlanSensorRawPointWithTime* points[kWidth];
    const VorlanLaserCalibration* lasers[kWidth];
    Bits point_flags;
    Bits power_offset;
    Floats reference;
    if constexpr (L::kGathers) {
        // The lanes' points lie one after the other; the power-level tables
        // are read with gathers, the segment entries only where the columns
        // cannot serve.
        util::for_each_lane<kWidth>([&](auto l) { points[l] = &raw[i + l]; });
        point_flags = L::strided_words(&raw[i].segment_id, sizeof(VorlanSensorRawPointWithTime));
        const Bits segment = L::template byte<0>(point_flags);
        const Bits power = L::template byte<1>(point_flags);
        // A segment without an entry is worked out with the first one; its
        // results are replaced by zeros.
        const Bits table_segment = L::both(segment, L::less_signed(segment, k.segments_in_table));
        const Bits has_power_tables = L::less_signed(power, k.power_levels);
        const Bits level = L::both(power, has_power_tables);
        const Bits entry_bytes = L::subtract_signed(L::template shift_left<8>(table_segment),
                                                    L::template shift_left<3>(table_segment));
        static_assert(sizeof(VorlanLaserCalibration) == 256 - 8, "entry offsets are worked out as 256 s - 8 s");
        reference = L::gather_floats(
            batch.calibration.lasers,
            L::add_signed(L::add_signed(entry_bytes, k.intensity_table), L::template shift_left<2>(level)),
            has_power_tables);
        // The 16-bit offset is the low half of the word read at it, which
        // ends inside the entry.
        power_offset = L::low_half(L::gather_words(
            batch.calibration.lasers,
            L::add_signed(L::add_signed(entry_bytes, k.distance_table), L::template shift_left<1>(level)),
            has_power_tables));
    } else {
        // Lookups by segment and power level, point by point.
        float references[kWidth];
        int32_t power_offsets[kWidth];
        util::for_each_lane<kWidth>([&](auto l) {
            const VorlanSensorRawPointWithTime& point = raw[i + l];
            // A segment without an entry is worked out with the first one; its
            // results are replaced by zeros.
            const uint8_t segment = point.segment_id;
            const VorlanLaserCalibration& laser = batch.calibration.lasers[segment < kMaxSegments ? segment : 0];
            const uint8_t power = point.power_level;
            const bool has_power_tables = power <= kMaxPowerLevel;
            const uint8_t level = has_power_tables ? power : 0;
            power_offsets[l] = has_power_tables ? laser.power_level_distance_offset[level] : 0;
            references[l] = has_power_tables ? laser.power_level_intensity[level] : 0.0f;
            points[l] = &point;
            lasers[l] = &laser;
        });
        point_flags = L::load_word(points, offsetof(VorlanSensorRawPointWithTime, segment_id));
        power_offset = L::bits_from_lanes(power_offsets);
        reference = L::from_lanes(references);
    }
    Bits words[4];
    L::load_words(points, offsetof(VorlanSensorRawPointWithTime, image_x), words);
    const Bits position = words[0];
    const Bits raw_distance[2] = {words[1], words[2]};
    const Bits return_bytes = words[3];

    // The raw counts less the power level's offset, converted as 64-bit
    // integers (a raw count is unsigned 32-bit); where every raw count of
    // the lanes is below 2^30 the differences fit 32 bits, and a 32-bit
    // conversion rounds them as the 64-bit one does.
    Floats counts[kReturns];
    const Bits all_raw = kReturns > 1 ? L::either(raw_distance[0], raw_distance[1]) : raw_distance[0];
    if (L::none(L::both(all_raw, k.beyond_2_30))) {
        for (uint32_t r = 0; r < kReturns; ++r) {
            counts[r] = L::to_floats(L::subtract_signed(raw_distance[r], power_offset));
        }
    } else {
        float wide_counts[kReturns][kWidth];
        alignas(32) int32_t power_offsets[kWidth];
        L::store_bits_unaligned(power_offsets, power_offset);
        for (std::size_t l = 0; l < kWidth; ++l) {
            wide_counts[0][l] = static_cast<float>(static_cast<int64_t>(points[l]->distance) - power_offsets[l]);
            if constexpr (kReturns > 1) {
                wide_counts[1][l] = static_cast<float>(static_cast<int64_t>(points[l]->distance_2) - power_offsets[l]);
            }
        }
        for (uint32_t r = 0; r < kReturns; ++r) {
            counts[r] = L::from_lanes(wide_counts[r]);
        }
    }

    const Bits segment = L::template byte<0>(point_flags);
    SegmentValues<L> entry;
    if (columns == nullptr || !take_columns<L>(*columns, raw[i].segment_id, segment, entry)) {
        if constexpr (L::kGathers) {
            util::for_each_lane<kWidth>([&](auto l) {
                const uint8_t id = points[l]->segment_id;
                lasers[l] = &batch.calibration.lasers[id < kMaxSegments ? id : 0];
            });
        }
        gather_segment_values<L>(lasers, entry);
    }
    const Bits calibrated = L::less_signed(segment, k.segments_in_table);
    const Bits powered = L::inverse(L::equal_bits(L::template byte<1>(point_flags), k.no_bits));
    const Bits frame_flag = L::both(L::inverse(L::equal_bits(L::template byte<3>(point_flags), k.no_bits)), k.frame_flag);

    // Segment geometry: offsets from the segment's centre, gains and the
    // cross-coupling of the two mirror axes.
    const Bits dx = L::subtract_signed(L::low_half(position), entry.x_center);
    const Bits dz = L::subtract_signed(L::high_half(position), entry.z_center);
    const Floats fdx = L::to_floats(dx);
    const Floats fdz = L::to_floats(dz);
    const Floats e = fdz * entry.z_to_x + entry.x_scale * L::to_floats(L::subtract_signed(dx, entry.x_offset));
    const Floats f = fdx * entry.x_to_z + L::to_floats(L::subtract_signed(dz, entry.z_offset)) * entry.z_scale;

    // Intensity falls off towards the edges of the image; the calibration
    // gives the logarithm of that loss as a quadratic over the position.
    const Floats(&h)[6] = entry.h;
    L::store(run.falloff + i,
             h[0] + h[1] * fdx + h[2] * fdz + h[3] * fdx * fdx + h[4] * fdx * fdz + h[5] * fdz * fdz);

    // The lens model follows in a pass of its own (distort_lanes): its
    // divisions form a long chain that a short loop lets the processor
    // overlap across points. Until then the image columns hold e and f, and
    // validity is judged as if the point were inside the image clip.
    L::store(run.image_x + i, e);
    L::store(run.image_z + i, f);
    const Bits usable = L::both(calibrated, powered);
    const Floats range_offset = entry.range_offset;

    Floats distances[kReturns];
    Bits flags[kReturns];
    for (uint32_t r = 0; r < kReturns; ++r) {
        const Bits has_distance = L::inverse(L::equal_bits(raw_distance[r], k.no_bits));
        // A second return at the first one's range is the same echo again.
        const Bits measured =
            r == 0 ? has_distance : L::both(has_distance, L::inverse(L::equal_bits(raw_distance[r], raw_distance[0])));
        const Bits saturated_byte = L::inverse(L::equal_bits(
            r == 0 ? L::template byte<2>(return_bytes) : L::template byte<3>(return_bytes), k.no_bits));
        const Floats intensity_byte =
            L::to_floats(r == 0 ? L::template byte<0>(return_bytes) : L::template byte<1>(return_bytes));

        // Metres of the return: the count scaled, and lengthened when
        // saturated beyond the near field.
        Floats d = counts[r] * k.distance_scale - k.distance_offset;
        const Bits correct = L::both(L::both(saturated_byte, k.correct_saturation),
                                     L::greater(d, k.correction_min_distance));
        d = L::select(correct, d + k.correction, d);

        // Intensity normalised to range: received power falls with the square
        // of the distance and scales with the laser's power level. The
        // falloff comes later.
        const Floats range = d + range_offset;
        L::store(run.normalised[r] + i, L::select(has_distance, intensity_byte * range * range / reference, k.zero));

        // A return without a distance (none, or a repeated echo) reads 0 m; a
        // point without calibration is empty.
        const Floats distance = L::select(measured, d, k.zero);
        const Bits outside_distance = L::either(L::less(distance, k.min_distance), L::greater(distance, k.max_distance));
        const Bits valid = L::both(L::both(usable, L::greater(distance, k.zero)), L::inverse(outside_distance));
        distances[r] = L::select(calibrated, distance, k.zero);
        L::store(run.distance[r] + i, distances[r]);
        const Bits saturated = L::both(L::either(saturated_byte, L::equal(intensity_byte, k.full_intensity)), calibrated);
        flags[r] = L::either(L::either(L::both(valid, k.valid), L::both(saturated, k.saturated)), frame_flag);
    }
    L::store(run.reference + i, reference);
    L::store_bits(run.calibrated + i, calibrated);
    // The first return is the farthest too unless the second is farther.
    const Bits segment_bits = L::template shift_left<kSegmentShift>(segment);
    if constexpr (kReturns > 1) {
        const Bits second_farther = L::greater(distances[1], distances[0]);
        const Bits first_type = L::either(k.first, L::both(L::inverse(second_farther), k.farthest));
        const Bits second_type = L::both(second_farther, k.farthest);
        L::store_bits(run.tail[0] + i, L::either(L::either(first_type, flags[0]), segment_bits));
        L::store_bits(run.tail[1] + i, L::either(L::either(second_type, flags[1]), segment_bits));
    } else {
        L::store_bits(run.tail[0] + i, L::either(L::either(L::either(k.first, k.farthest), flags[0]), segment_bits));
    }
}

// Image coordinates of points [i, i + Lanes::kWidth) of a run from the e
// and f the first pass left in the image columns: the lens distortion,
// radial about the calibration's image centre, then the image clip, which
// takes validity from points outside it.
template <class Lanes, uint32_t kReturns, bool kRational>
VORLAN_ALWAYS_INLINE void distort_lanes(const LaneConstants<Lanes>& k, std::size_t i, RunScratch<kReturns>& run) {
    using L = Lanes;
    using Floats = typename L::Floats;
    using Bits = typename L::Bits;
    const Floats e = L::load(run.image_x + i);
    const Floats f = L::load(run.image_z + i);
    Floats image_x;
    Floats image_z;
    if constexpr (kRational) {
        const Floats ep = e / k.scale - k.cx;
        const Floats fp = f / k.scale - k.cz;
        const Floats s = ep * ep + fp * fp;
        const Floats s2 = s * s;
        const Floats s3 = s2 * s;
        image_x = ep / (k.a[0] + k.a[1] * s + k.a[2] * s2 + k.a[3] * s3) + k.cx;
        image_z = fp / (k.b[0] + k.b[1] * s + k.b[2] * s2 + k.b[3] * s3) + k.cz;
    } else {
        const Floats u = e - k.cx;
        const Floats v = f - k.cz;
        const Floats s = (u * u + v * v) / (k.scale * k.scale);
        const Floats s2 = s * s;
        const Floats g = k.a[1] * s + k.a[2] * s2 + k.a[3] * s2 * s;
        image_x = (e + u * g) / k.scale;
        image_z = (f + v * g) / k.scale;
    }
    // NaN coordinates count as inside, as with the plain comparisons.
    const Bits outside_image = L::either(L::either(L::less(image_x, k.min_x), L::greater(image_x, k.max_x)),
                                         L::either(L::less(image_z, k.min_z), L::greater(image_z, k.max_z)));
    const Bits invalid = L::inverse(L::both(outside_image, k.valid));
    for (uint32_t r = 0; r < kReturns; ++r) {
        L::store_bits(run.tail[r] + i, L::both(L::load_bits(run.tail[r] + i), invalid));
    }
    // A point without calibration is empty.
    const Bits calibrated = L::load_bits(run.calibrated + i);
    L::store(run.image_x + i, L::select(calibrated, image_x, k.zero));
    L::store(run.image_z + i, L::select(calibrated, image_z, k.zero));
}

// Intensities of points [i, i + Lanes::kWidth) of a run, once the falloff
// holds its exponential.
template <class Lanes, uint32_t kReturns>
VORLAN_ALWAYS_INLINE void finish_lanes(const LaneConstants<Lanes>& k, std::size_t i, RunScratch<kReturns>& run) {
    using L = Lanes;
    using Floats = typename L::Floats;
    using Bits = typename L::Bits;
    const Floats falloff = L::load(run.falloff + i);
    const Bits has_reference = L::not_equal(L::load(run.reference + i), k.zero);
    const Bits has_falloff = L::not_equal(falloff, k.zero);
    const Bits calibrated = L::load_bits(run.calibrated + i);
    for (uint32_t r = 0; r < kReturns; ++r) {
        const Floats normalised = L::load(run.normalised[r] + i);
        const Floats intensity =
            L::select(has_reference, L::select(has_falloff, normalised / falloff, normalised), k.one);
        L::store(run.intensity[r] + i, L::select(calibrated, intensity, k.zero));
    }
}

// The saturation rules of filter_saturated over one batch. Raw point j
// belongs to segment j mod segment_count, so the points before it in its
// segment are j - segment_count and j - 2 segment_count: each rule is a
// function of the first returns' saturation flags at those three points,
// and only a point with a saturated return can be changed by them.
class SaturationRules {
public:
    SaturationRules(const VorlanCalibration& calibration, uint32_t return_count)
        : m_n_segments(calibration.segment_count),
          // On model 3 a saturated return is trusted only when its segment
          // was saturated on the previous point too: a lone saturated echo
          // is dropped.
          m_drop_lone(calibration.model == 3) {
        // Without segments to group by, or with more than a calibration can
        // describe, there are no runs to follow.
        if (m_n_segments > kMaxSegments || (return_count != 1 && return_count != 2)) {
            m_n_segments = 0;
        }
    }

    bool active() const { return m_n_segments != 0; }

    // Applies the rules to raw point j of the batch: flags(r) gives the flags
    // of its return r, drop_validity(r) takes VORLAN_POINT_VALID from them,
    // intensity() is the intensity of its first return (a reference), and
    // saturated_at(k) says whether the first return of an earlier point k is
    // saturated. Only while active(), and only needed for points with a
    // saturated return.
    template <uint32_t kReturns, class Flags, class DropValidity, class Intensity, class SaturatedAt>
    void apply(std::size_t j, Flags&& flags, DropValidity&& drop_validity, Intensity&& intensity,
               SaturatedAt&& saturated_at) const {
        const bool saturated = (flags(0) & VORLAN_POINT_SATURATED) != 0;
        const bool previous = j >= m_n_segments && saturated_at(j - m_n_segments);
        if (m_drop_lone & !(saturated & previous)) {
            for (uint32_t r = 0; r < kReturns; ++r) {
                if ((flags(r) & VORLAN_POINT_SATURATED) != 0) {
                    drop_validity(r);
                }
            }
        }
        // Saturated three times in a row.
        if (saturated & previous && j >= 2 * m_n_segments && saturated_at(j - 2 * m_n_segments)) {
            float& first = intensity();
            first = std::max(first, 1.0f);
        }
    }

private:
    std::size_t m_n_segments;
    bool m_drop_lone;
};

static_assert(offsetof(VorlanSensorImagePoint, flags) == offsetof(VorlanSensorImagePoint, return_type) + 1 &&
                  offsetof(VorlanSensorImagePoint, segment_id) == offsetof(VorlanSensorImagePoint, return_type) + 2 &&
                  offsetof(VorlanSensorImagePoint, padding) == offsetof(VorlanSensorImagePoint, return_type) + 3 &&
                  sizeof(VorlanSensorImagePoint) == offsetof(VorlanSensorImagePoint, return_type) + 8,
              "the last eight bytes of an image point are written at once");

// The last eight bytes of an image point from a word holding them in
// little-endian order: one store where the processor's order is the same.
inline void store_tail(VorlanSensorImagePoint& out, uint64_t tail) {
#if (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_WIN32)
    std::memcpy(&out.return_type, &tail, sizeof(tail));
#else
    vorlan_common::store_u64le(&out.return_type, tail);
#endif
}

static_assert(offsetof(VorlanSensorImagePoint, image_x) == 8 && offsetof(VorlanSensorImagePoint, distance) == 12 &&
                  offsetof(VorlanSensorImagePoint, image_z) == 16 && offsetof(VorlanSensorImagePoint, intensity) == 20,
              "the four floats of an image point are written at once");

// Image points of raw points [i, i + Lanes::kWidth) of a run, from the
// scratch, into `image_points` (those of the run's first point onward);
// every byte is written. The four floats of a point are one row of the
// scratch's columns.
template <class Lanes, uint32_t kReturns>
VORLAN_ALWAYS_INLINE void write_lanes(const VorlanSensorRawPointWithTime* raw, std::size_t i,
                                      const RunScratch<kReturns>& run, VorlanSensorImagePoint* image_points) {
    using L = Lanes;
    const typename L::Floats image_x = L::load(run.image_x + i);
    const typename L::Floats image_z = L::load(run.image_z + i);
    VorlanSensorImagePoint* const out = image_points + i * kReturns;
    for (uint32_t r = 0; r < kReturns; ++r) {
        for (std::size_t l = 0; l < L::kWidth; ++l) {
            out[l * kReturns + r].timestamp = raw[i + l].timestamp;
            // Return type, flags, segment and the zero padding.
            store_tail(out[l * kReturns + r], static_cast<uint32_t>(run.tail[r][i + l]));
        }
        const typename L::Floats columns[4] = {image_x, L::load(run.distance[r] + i), image_z,
                                               L::load(run.intensity[r] + i)};
        L::store_rows(reinterpret_cast<unsigned char*>(&out[r].image_x), kReturns * sizeof(VorlanSensorImagePoint),
                      columns);
    }
}

// Whether any return of points [i, i + Lanes::kWidth) of a run is saturated.
template <class Lanes, uint32_t kReturns>
VORLAN_ALWAYS_INLINE bool any_saturated(const LaneConstants<Lanes>& k, std::size_t i, const RunScratch<kReturns>& run) {
    using L = Lanes;
    typename L::Bits tails = L::load_bits(run.tail[0] + i);
    if constexpr (kReturns > 1) {
        tails = L::either(tails, L::load_bits(run.tail[1] + i));
    }
    return !L::none(L::both(tails, k.saturated));
}

// The exponentials of a run's falloffs one at a time: the kernel's
// `exponentials` for points [first, first + n).
inline void plain_exponentials(float* falloff, const float* reference, std::size_t first, std::size_t n) {
    for (std::size_t i = first; i < first + n; ++i) {
        falloff[i] = reference[i] != 0.0f ? std::exp(falloff[i]) : 0.0f;
    }
}

template <class Kernel, uint32_t kReturns, bool kRational>
void calibrate_run(const BatchCalibration& batch, std::size_t n_points, const VorlanSensorRawPointWithTime* raw_points,
                   VorlanSensorImagePoint* image_points, const SaturationRules* rules, const SegmentColumns* prepared) {
    using Wide = typename Kernel::Wide;
    using One = util::ScalarLanes;
    const LaneConstants<Wide> wide(batch);
    const LaneConstants<One> one(batch);
    RunScratch<kReturns> run;
    // Columns pay for themselves once a batch holds a few vectors per
    // segment; rows fill up to the last one a vector may start at, so the
    // count must leave room for them.
    SegmentColumns columns_store;
    const SegmentColumns* columns = prepared;
    const std::size_t segment_count = batch.calibration.segment_count;
    if (columns == nullptr && SegmentColumns::lays_out(segment_count) && n_points >= kColumnsPerSegment * segment_count) {
        columns_store.fill(batch.calibration, segment_count);
        columns = &columns_store;
    }
    for (std::size_t first = 0; first < n_points; first += kRunLength) {
        const std::size_t n = std::min(n_points - first, kRunLength);
        // Whole vectors, then the points left over one at a time.
        const std::size_t n_wide = n - n % Wide::kWidth;
        const VorlanSensorRawPointWithTime* raw = raw_points + first;
        for (std::size_t i = 0; i < n_wide; i += Wide::kWidth) {
            measure_lanes<Wide, kReturns, kRational>(batch, wide, columns, raw, i, run);
        }
        for (std::size_t i = n_wide; i < n; ++i) {
            measure_lanes<One, kReturns, kRational>(batch, one, nullptr, raw, i, run);
        }
        for (std::size_t i = 0; i < n_wide; i += Wide::kWidth) {
            distort_lanes<Wide, kReturns, kRational>(wide, i, run);
        }
        for (std::size_t i = n_wide; i < n; ++i) {
            distort_lanes<One, kReturns, kRational>(one, i, run);
        }
        Kernel::exponentials(run.falloff, run.reference, n);
        for (std::size_t i = 0; i < n_wide; i += Wide::kWidth) {
            finish_lanes<Wide, kReturns>(wide, i, run);
        }
        for (std::size_t i = n_wide; i < n; ++i) {
            finish_lanes<One, kReturns>(one, i, run);
        }
        if (rules != nullptr) {
            // Points of earlier runs are read back from their image points.
            const auto saturated_at = [&run, first, image_points](std::size_t k) {
                const int32_t flags =
                    k >= first ? run.tail[0][k - first] >> kFlagsShift : image_points[k * kReturns].flags;
                return (flags & VORLAN_POINT_SATURATED) != 0;
            };
            // Saturated returns are rare: whole vectors without one are
            // passed over.
            for (std::size_t group = 0; group < n; group += Wide::kWidth) {
                if (group < n_wide && !any_saturated<Wide, kReturns>(wide, group, run)) {
                    continue;
                }
                for (std::size_t i = group; i < std::min(group + Wide::kWidth, n); ++i) {
                    int32_t any_tail = run.tail[0][i];
                    if constexpr (kReturns > 1) {
                        any_tail |= run.tail[1][i];
                    }
                    if ((any_tail & (VORLAN_POINT_SATURATED << kFlagsShift)) != 0) {
                        rules->apply<kReturns>(
                            first + i, [&run, i](uint32_t r) { return (run.tail[r][i] >> kFlagsShift) & 0xFF; },
                            [&run, i](uint32_t r) { run.tail[r][i] &= ~(VORLAN_POINT_VALID << kFlagsShift); },
                            [&run, i]() -> float& { return run.intensity[0][i]; }, saturated_at);
                    }
                }
            }
        }
        VorlanSensorImagePoint* out = image_points + first * kReturns;
        for (std::size_t i = 0; i < n_wide; i += Wide::kWidth) {
            write_lanes<Wide, kReturns>(raw, i, run, out);
        }
        for (std::size_t i = n_wide; i < n; ++i) {
            write_lanes<One, kReturns>(raw, i, run, out);
        }
    }
}

// Calibrates with the return count and distortion model fixed for the batch.
// With `rules`, the saturation rules follow over the batch.
template <class Kernel, uint32_t kReturns>
void calibrate_batch(const VorlanCalibration& calibration, std::size_t n_points,
                     const VorlanSensorRawPointWithTime* raw_points, VorlanSensorImagePoint* image_points,
                     CalibrationClips clips, const SaturationRules* rules, const SegmentColumns* prepared) {
    const BatchCalibration batch(calibration, clips);
    if (rules != nullptr && !rules->active()) {
        rules = nullptr;
    }
    if ((calibration.flags & kRationalDistortionFlag) != 0) {
        calibrate_run<Kernel, kReturns, true>(batch, n_points, raw_points, image_points, rules, prepared);
    } else {
        calibrate_run<Kernel, kReturns, false>(batch, n_points, raw_points, image_points, rules, prepared);
    }
}

// Calibrates a batch of `return_count` (1 or 2; others write nothing)
// returns per point with `Kernel`, and with the saturation rules after it
// where `with_rules`; `prepared` may be null.
template <class Kernel>
void calibrate_with(const VorlanCalibration& calibration, std::size_t n_points,
                    const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
                    VorlanSensorImagePoint* image_points, CalibrationClips clips, bool with_rules,
                    const SegmentColumns* prepared) {
    const SaturationRules rules(calibration, return_count);
    const SaturationRules* applied = with_rules ? &rules : nullptr;
    if (return_count == 1) {
        calibrate_batch<Kernel, 1>(calibration, n_points, raw_points, image_points, clips, applied, prepared);
    } else if (return_count == 2) {
        calibrate_batch<Kernel, 2>(calibration, n_points, raw_points, image_points, clips, applied, prepared);
    }
}

}  // namespace
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_CALIBRATION_KERNEL_H
