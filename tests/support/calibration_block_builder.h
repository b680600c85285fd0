// Builds the calibration blocks sensors carry in their information packets:
// "VRN8", "VRN9", "VRNA", "VRND" (one 128-byte header, then one record per
// segment), "VRNB" (its own header, 13-byte records) and the fixed 796-byte
// legacy block ("VSC" and 0xB8). Each builder takes a struct of the fields
// with usable defaults and returns the block's bytes, ready to be placed in
// an information packet (info_packet_builder) or fed to the converters.
#ifndef VORLAN_TESTS_SUPPORT_CALIBRATION_BLOCK_BUILDER_H
#define VORLAN_TESTS_SUPPORT_CALIBRATION_BLOCK_BUILDER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorlan_test {

// The clip box and range every header carries; 0 is no bound.
struct CalibrationClipFields {
    float image_min_x = 0.0f;
    float image_min_z = 0.0f;
    float image_max_x = 0.0f;
    float image_max_z = 0.0f;
    float distance_min = 0.0f;
    float distance_max = 0.0f;
};

// The 128-byte header of VRN8, VRN9, VRNA and VRND.
struct CalibrationHeaderFields {
    uint32_t id = 1;
    std::string model_name;  // at most 27 characters are written
    int16_t model = 0;
    // Written instead of the number of records when set (blocks that announce
    // more, or fewer, segments than they carry).
    std::optional<uint32_t> segment_count;
    uint16_t flags = 0;  // only VRNA and VRND read it
    float distance_offset = 1.0f;
    float distance_scale = 0.001f;
    CalibrationClipFields clips;
    float image_center_x = 0.0f;
    float image_center_z = 0.0f;
    // distortion_x[1..3] (header offsets 88, 92, 76); VRN8 ignores them.
    std::array<float, 3> distortion{};
    // VRN9 only: the intensity steps shared by all segments (offset 96).
    std::array<uint8_t, 32> shared_intensity_steps{};
};

// The image geometry every 64/88-byte record starts with.
struct SegmentGeometry {
    int16_t image_x_center = 0;
    int16_t image_x_offset = 0;
    int16_t image_z_center = 0;
    int16_t image_z_offset = 0;
    float image_x_scale = 1e-4f;
    float image_z_scale = 1e-4f;
};

// A VRN8 record: 16 power levels.
struct Vrn8Segment {
    SegmentGeometry geometry;
    int16_t distance_offset = 0;  // base raw distance offset d
    float cross_factor = 0.0f;    // image_z_to_x = image_z_scale * cross_factor
    float intensity_base = 1.0f;
    float intensity_range_offset = 0.0f;
    std::array<uint8_t, 16> intensity_steps{};  // level j = step * base
    std::array<int8_t, 16> distance_steps{};    // in units of 0.00399723 m
};

// A VRN9 record: per-power distance steps; intensity steps in the header.
struct Vrn9Segment {
    SegmentGeometry geometry;
    int16_t distance_offset = 0;             // base raw distance offset d
    uint16_t intensity_range_offset_cm = 0;  // centimetres
    float image_z_to_x = 0.0f;
    float image_x_to_z = 0.0f;
    float intensity_base = 1.0f;
    std::array<int8_t, 32> distance_steps{};
};

// A VRNA record; VRND records add the intensity falloff.
struct VrnASegment {
    SegmentGeometry geometry;
    int16_t distance_offset = 0;             // one raw offset for every power level
    uint16_t intensity_range_offset_cm = 0;  // centimetres
    float image_z_to_x = 0.0f;
    float image_x_to_z = 0.0f;
    float intensity_base = 1.0f;
    // Level j = base * product over k <= j of (1 + step[k] / 64).
    std::array<uint8_t, 32> intensity_steps{};
};

struct VrnDSegment : VrnASegment {
    std::array<float, 6> intensity_falloff{};
};

std::vector<uint8_t> build_vrn8_block(const CalibrationHeaderFields& header, const std::vector<Vrn8Segment>& segments);
std::vector<uint8_t> build_vrn9_block(const CalibrationHeaderFields& header, const std::vector<Vrn9Segment>& segments);
std::vector<uint8_t> build_vrna_block(const CalibrationHeaderFields& header, const std::vector<VrnASegment>& segments);
std::vector<uint8_t> build_vrnd_block(const CalibrationHeaderFields& header, const std::vector<VrnDSegment>& segments);

// The VRNB header. Segment geometry comes from base factors scaled per
// segment by 1 + scale_step / 512.
struct VrnbHeaderFields {
    uint32_t id = 1;
    int16_t model = 12;
    std::optional<uint16_t> segment_count;  // as in CalibrationHeaderFields
    uint16_t flags = 0;
    float distance_offset = 1.0f;
    float distance_scale = 0.001f;
    CalibrationClipFields clips;
    float base_scale = 1e-4f;
    float base_z_to_x = 0.0f;
    float base_x_to_z = 0.0f;
    float image_center_x = 0.0f;
    float image_center_z = 0.0f;
    std::array<float, 4> distortion_x{1.0f, 0.0f, 0.0f, 0.0f};
    std::array<float, 4> distortion_z{1.0f, 0.0f, 0.0f, 0.0f};
    uint8_t ramp_start = 3;  // L0
    uint8_t ramp_end = 20;   // L1
};

struct VrnbSegment {
    int16_t image_x_offset = 0;
    int16_t image_z_offset = 0;
    uint8_t scale_step = 0;
    float full_power_intensity = 100.0f;  // h
    uint16_t low_power_fraction = 6554;   // l, of 65536 (about 0.1)
    int16_t high_power_gain = 410;        // m, of 4096; 0 or less leaves every level 0
};

std::vector<uint8_t> build_vrnb_block(const VrnbHeaderFields& header, const std::vector<VrnbSegment>& segments);

// The legacy block: eight segments, each split into a geometry record and a
// power record.
struct LegacyGeometryFields {
    int16_t image_x_center = 0;
    int16_t image_z_center = 0;
    int16_t image_x_offset = 0;
    int16_t image_z_offset = 0;
    int16_t distance_offset = 0;  // base raw distance offset d
    float image_x_scale = 1e-4f;
    float image_z_scale = 1e-4f;
    float cross_factor = 0.0f;
};

struct LegacyPowerFields {
    float intensity_base = 1.0f;
    float intensity_range_offset = 0.0f;
    std::array<uint8_t, 16> intensity_steps{};
    std::array<int8_t, 16> distance_steps{};  // raw units added to d
};

struct LegacyBlockFields {
    CalibrationClipFields clips;
    float distance_offset = 1.0f;
    float distance_scale = 0.001f;
    float image_center_x = 0.0f;
    float image_center_z = 0.0f;
    uint32_t id = 1;
    std::string model_name;
    int32_t model = 3;
    std::array<LegacyGeometryFields, 8> geometry{};
    std::array<LegacyPowerFields, 8> power{};
};

// Always 796 bytes.
std::vector<uint8_t> build_legacy_block(const LegacyBlockFields& fields);

// `n` records equal to `segment`, each then passed with its index to
// `adjust` when one is given.
template <typename Segment>
std::vector<Segment> make_segments(std::size_t n, const Segment& segment = Segment{},
                                   const std::function<void(Segment&, std::size_t)>& adjust = {}) {
    std::vector<Segment> segments(n, segment);
    if (adjust) {
        for (std::size_t i = 0; i < n; ++i) {
            adjust(segments[i], i);
        }
    }
    return segments;
}

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_CALIBRATION_BLOCK_BUILDER_H
