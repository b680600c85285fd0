#include "support/calibration_block_builder.h"

#include <algorithm>
#include <cstring>

#include "wire_bytes.h"

namespace vorlan_test {

using vorlan_common::store_f32le;
using vorlan_common::store_u16le;
using vorlan_common::store_u32le;

namespace {

constexpr std::size_t kHeaderSize = 128;

void store_i16(uint8_t* p, int16_t value) { store_u16le(p, static_cast<uint16_t>(value)); }

void store_type(uint8_t* p, const char* type) { std::memcpy(p, type, 4); }

void store_name(uint8_t* p, const std::string& name) {
    std::memcpy(p, name.data(), std::min<std::size_t>(name.size(), 27));
}

// Six floats: the clip box, then the distance range.
void store_clips(uint8_t* p, const CalibrationClipFields& clips) {
    const float values[6] = {clips.image_min_x, clips.image_min_z,  clips.image_max_x,
                             clips.image_max_z, clips.distance_min, clips.distance_max};
    for (std::size_t k = 0; k < 6; ++k) {
        store_f32le(p + 4 * k, values[k]);
    }
}

// The shared 128-byte header; the segment count is 32-bit for VRN8 and
// 16-bit (followed by the flags) for the others.
void store_common_header(uint8_t* p, const char* type, const CalibrationHeaderFields& h, std::size_t n_records,
                         bool wide_count) {
    store_type(p, type);
    store_u32le(p + 4, h.id);
    store_name(p + 8, h.model_name);
    store_i16(p + 36, h.model);
    const uint32_t count = h.segment_count.value_or(static_cast<uint32_t>(n_records));
    if (wide_count) {
        store_u32le(p + 40, count);
    } else {
        store_u16le(p + 40, static_cast<uint16_t>(count));
        store_u16le(p + 42, h.flags);
    }
    store_f32le(p + 44, h.distance_offset);
    store_f32le(p + 48, h.distance_scale);
    store_clips(p + 52, h.clips);
    store_f32le(p + 76, h.distortion[2]);
    store_f32le(p + 80, h.image_center_x);
    store_f32le(p + 84, h.image_center_z);
    store_f32le(p + 88, h.distortion[0]);
    store_f32le(p + 92, h.distortion[1]);
    std::copy(h.shared_intensity_steps.begin(), h.shared_intensity_steps.end(), p + 96);
}

void store_geometry_offsets(uint8_t* r, const SegmentGeometry& g) {
    store_i16(r + 0, g.image_x_center);
    store_i16(r + 2, g.image_x_offset);
    store_i16(r + 4, g.image_z_center);
    store_i16(r + 6, g.image_z_offset);
}

void store_vrna_record(uint8_t* r, const VrnASegment& s) {
    store_geometry_offsets(r, s.geometry);
    store_i16(r + 8, s.distance_offset);
    store_u16le(r + 10, s.intensity_range_offset_cm);
    store_f32le(r + 12, s.geometry.image_x_scale);
    store_f32le(r + 16, s.geometry.image_z_scale);
    store_f32le(r + 20, s.image_z_to_x);
    store_f32le(r + 24, s.image_x_to_z);
    store_f32le(r + 28, s.intensity_base);
    std::copy(s.intensity_steps.begin(), s.intensity_steps.end(), r + 32);
}

template <std::size_t N>
void store_signed_bytes(uint8_t* p, const std::array<int8_t, N>& values) {
    for (std::size_t k = 0; k < N; ++k) {
        p[k] = static_cast<uint8_t>(values[k]);
    }
}

}  // namespace

std::vector<uint8_t> build_vrn8_block(const CalibrationHeaderFields& header, const std::vector<Vrn8Segment>& segments) {
    constexpr std::size_t kRecord = 64;
    std::vector<uint8_t> block(kHeaderSize + kRecord * segments.size(), 0);
    store_common_header(block.data(), "VRN8", header, segments.size(), true);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        uint8_t* r = block.data() + kHeaderSize + kRecord * i;
        const Vrn8Segment& s = segments[i];
        store_geometry_offsets(r, s.geometry);
        store_i16(r + 8, s.distance_offset);
        store_f32le(r + 12, s.geometry.image_x_scale);
        store_f32le(r + 16, s.geometry.image_z_scale);
        store_f32le(r + 20, s.cross_factor);
        store_f32le(r + 24, s.intensity_base);
        store_f32le(r + 28, s.intensity_range_offset);
        std::copy(s.intensity_steps.begin(), s.intensity_steps.end(), r + 32);
        store_signed_bytes(r + 48, s.distance_steps);
    }
    return block;
}

std::vector<uint8_t> build_vrn9_block(const CalibrationHeaderFields& header, const std::vector<Vrn9Segment>& segments) {
    constexpr std::size_t kRecord = 64;
    std::vector<uint8_t> block(kHeaderSize + kRecord * segments.size(), 0);
    store_common_header(block.data(), "VRN9", header, segments.size(), false);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        uint8_t* r = block.data() + kHeaderSize + kRecord * i;
        const Vrn9Segment& s = segments[i];
        store_geometry_offsets(r, s.geometry);
        store_i16(r + 8, s.distance_offset);
        store_u16le(r + 10, s.intensity_range_offset_cm);
        store_f32le(r + 12, s.geometry.image_x_scale);
        store_f32le(r + 16, s.geometry.image_z_scale);
        store_f32le(r + 20, s.image_z_to_x);
        store_f32le(r + 24, s.image_x_to_z);
        store_f32le(r + 28, s.intensity_base);
        store_signed_bytes(r + 32, s.distance_steps);
    }
    return block;
}

std::vector<uint8_t> build_vrna_block(const CalibrationHeaderFields& header, const std::vector<VrnASegment>& segments) {
    constexpr std::size_t kRecord = 64;
    std::vector<uint8_t> block(kHeaderSize + kRecord * segments.size(), 0);
    store_common_header(block.data(), "VRNA", header, segments.size(), false);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        store_vrna_record(block.data() + kHeaderSize + kRecord * i, segments[i]);
    }
    return block;
}

std::vector<uint8_t> build_vrnd_block(const CalibrationHeaderFields& header, const std::vector<VrnDSegment>& segments) {
    constexpr std::size_t kRecord = 88;
    std::vector<uint8_t> block(kHeaderSize + kRecord * segments.size(), 0);
    store_common_header(block.data(), "VRND", header, segments.size(), false);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        uint8_t* r = block.data() + kHeaderSize + kRecord * i;
        store_vrna_record(r, segments[i]);
        for (std::size_t k = 0; k < 6; ++k) {
            store_f32le(r + 64 + 4 * k, segments[i].intensity_falloff[k]);
        }
    }
    return block;
}

std::vector<uint8_t> build_vrnb_block(const VrnbHeaderFields& h, const std::vector<VrnbSegment>& segments) {
    constexpr std::size_t kRecord = 13;
    std::vector<uint8_t> block(kHeaderSize + kRecord * segments.size(), 0);
    uint8_t* p = block.data();
    store_type(p, "VRNB");
    store_u32le(p + 4, h.id);
    store_i16(p + 8, h.model);
    store_u16le(p + 12, h.segment_count.value_or(static_cast<uint16_t>(segments.size())));
    store_u16le(p + 14, h.flags);
    store_f32le(p + 16, h.distance_offset);
    store_f32le(p + 20, h.distance_scale);
    store_clips(p + 24, h.clips);
    store_f32le(p + 48, h.base_scale);
    store_f32le(p + 52, h.base_z_to_x);
    store_f32le(p + 56, h.base_x_to_z);
    store_f32le(p + 60, h.image_center_x);
    store_f32le(p + 64, h.image_center_z);
    for (std::size_t k = 0; k < 4; ++k) {
        store_f32le(p + 68 + 4 * k, h.distortion_x[k]);
        store_f32le(p + 84 + 4 * k, h.distortion_z[k]);
    }
    p[112] = h.ramp_start;
    p[113] = h.ramp_end;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        uint8_t* r = p + kHeaderSize + kRecord * i;
        const VrnbSegment& s = segments[i];
        store_i16(r + 0, s.image_x_offset);
        store_i16(r + 2, s.image_z_offset);
        r[4] = s.scale_step;
        store_f32le(r + 5, s.full_power_intensity);
        store_u16le(r + 9, s.low_power_fraction);
        store_i16(r + 11, s.high_power_gain);
    }
    return block;
}

std::vector<uint8_t> build_legacy_block(const LegacyBlockFields& f) {
    std::vector<uint8_t> block(796, 0);
    uint8_t* p = block.data();
    p[0] = 'V';
    p[1] = 'S';
    p[2] = 'C';
    p[3] = 0xB8;
    store_clips(p + 4, f.clips);
    store_f32le(p + 36, f.distance_offset);
    store_f32le(p + 56, f.image_center_x);
    store_f32le(p + 60, f.image_center_z);
    for (std::size_t i = 0; i < 8; ++i) {
        uint8_t* g = p + 64 + 28 * i;
        const LegacyGeometryFields& geometry = f.geometry[i];
        store_i16(g + 0, geometry.image_x_center);
        store_i16(g + 2, geometry.image_z_center);
        store_i16(g + 4, geometry.image_x_offset);
        store_i16(g + 6, geometry.image_z_offset);
        store_i16(g + 8, geometry.distance_offset);
        store_f32le(g + 12, geometry.image_x_scale);
        store_f32le(g + 16, geometry.image_z_scale);
        store_f32le(g + 20, geometry.cross_factor);
    }
    // Inside the first geometry record's span, in bytes it does not use.
    store_f32le(p + 88, f.distance_scale);
    store_u32le(p + 340, f.id);
    store_name(p + 344, f.model_name);
    store_u32le(p + 372, static_cast<uint32_t>(f.model));
    for (std::size_t i = 0; i < 8; ++i) {
        uint8_t* r = p + 380 + 52 * i;
        const LegacyPowerFields& power = f.power[i];
        store_f32le(r + 0, power.intensity_base);
        store_f32le(r + 4, power.intensity_range_offset);
        std::copy(power.intensity_steps.begin(), power.intensity_steps.end(), r + 20);
        store_signed_bytes(r + 36, power.distance_steps);
    }
    return block;
}

}  // namespace vorlan_test
