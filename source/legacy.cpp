#include "legacy.h"

#include <cmath>
#include <cstring>
#include <string>

#include "sensor.h"

namespace vorlan_sdk {

using vorlan_common::load_f32le;
using vorlan_common::load_i16le;
using vorlan_common::load_i32le;
using vorlan_common::load_u16le;
using vorlan_common::load_u32le;

namespace {

// Metres per distance step of the VRN8 and VRN9 per-power distance tables
// (0x3B82FB32).
constexpr float kDistanceStepMetres = 0.00399723f;

// The distortion a VRN8 sensor's optics have; its block leaves those header
// fields unused.
constexpr float kVrn8Distortion1 = 0.061603989f;   // 0x3D7C5477
constexpr float kVrn8Distortion2 = -0.077997081f;  // 0xBD9FBCEF
constexpr float kVrn8Distortion3 = 0.39371279f;    // 0x3EC994B9

// Characters of a model name; the 28th byte stays the terminating NUL.
constexpr std::size_t kModelNameLength = 27;

// True when `length` bytes from a non-null `block` cover `needed` bytes.
bool covers(const uint8_t* block, int64_t length, std::size_t needed) {
    return block != nullptr && length >= 0 && static_cast<uint64_t>(length) >= needed;
}

// True when a block of `length` bytes holds its header and `count` records
// of `record_size` bytes, and `count` is within the format's maximum.
bool holds_segments(const uint8_t* block, int64_t length, uint64_t count, std::size_t max_count,
                    std::size_t record_size) {
    return count <= max_count && covers(block, length, kCalibrationHeaderSize + record_size * count);
}

void clear(VorlanCalibration& calibration) { std::memset(&calibration, 0, sizeof(calibration)); }

// Truncates toward zero and keeps the low 16 bits. A nonsensical scale can
// make the value NaN or too large for any integer; those give 0 rather than
// an undefined conversion.
int16_t truncate_to_i16(float value) {
    if (!(value > -2147483648.0f && value < 2147483648.0f)) {
        return 0;
    }
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(value))));
}

// A raw distance offset from a signed step of the per-power table, the
// segment's base offset d and the block's metres per raw unit, rounded
// half up by the +0.5 and the truncation.
int16_t scaled_distance_offset(int8_t step, float distance_scale, int16_t base) {
    const float value =
        static_cast<float>(step) * kDistanceStepMetres / distance_scale + static_cast<float>(base) + 0.5f;
    return truncate_to_i16(value);
}

// Up to 27 characters, stopping at the first NUL; the rest stays zero.
void copy_model_name(char (&out)[28], const char* text, std::size_t available) {
    std::size_t n = 0;
    while (n < kModelNameLength && n < available && text[n] != '\0') {
        out[n] = text[n];
        ++n;
    }
}

// The header fields VRN8, VRN9, VRNA and VRND share. The segment count and
// flags differ by format and are set by the caller.
void read_common_header(const uint8_t* b, VorlanCalibration& c) {
    c.id = load_u32le(b + 4);
    copy_model_name(c.model_name, reinterpret_cast<const char*>(b + 8), kModelNameLength);
    c.model = static_cast<VorlanSensorModel>(load_i16le(b + 36));
    c.distance_offset = load_f32le(b + 44);
    c.distance_scale = load_f32le(b + 48);
    c.image_clip_min_x = load_f32le(b + 52);
    c.image_clip_min_z = load_f32le(b + 56);
    c.image_clip_max_x = load_f32le(b + 60);
    c.image_clip_max_z = load_f32le(b + 64);
    c.distance_clip_min = load_f32le(b + 68);
    c.distance_clip_max = load_f32le(b + 72);
    c.image_center_x = load_f32le(b + 80);
    c.image_center_z = load_f32le(b + 84);
}

// Distortion coefficients of the VRN9, VRNA and VRND headers.
void read_header_distortion(const uint8_t* b, VorlanCalibration& c) {
    c.distortion_x[1] = load_f32le(b + 88);
    c.distortion_x[2] = load_f32le(b + 92);
    c.distortion_x[3] = load_f32le(b + 76);
}

// The four image offsets every 64- and 88-byte record starts with.
void read_image_offsets(const uint8_t* r, VorlanLaserCalibration& laser) {
    laser.image_x_center = load_i16le(r + 0);
    laser.image_x_offset = load_i16le(r + 2);
    laser.image_z_center = load_i16le(r + 4);
    laser.image_z_offset = load_i16le(r + 6);
}

// The 64-byte VRNA record; VRND records start with it.
void read_vrna_record(const uint8_t* r, VorlanLaserCalibration& laser) {
    read_image_offsets(r, laser);
    const int16_t distance_offset = load_i16le(r + 8);
    for (int16_t& offset : laser.power_level_distance_offset) {
        offset = distance_offset;
    }
    laser.intensity_range_offset = static_cast<float>(load_u16le(r + 10)) / 100.0f;
    laser.image_x_scale = load_f32le(r + 12);
    laser.image_z_scale = load_f32le(r + 16);
    laser.image_z_to_x = load_f32le(r + 20);
    laser.image_x_to_z = load_f32le(r + 24);
    const float base = load_f32le(r + 28);
    // Each step multiplies the previous level by 1 + step / 64.
    float product = 1.0f;
    for (std::size_t j = 0; j < 32; ++j) {
        product *= 1.0f + static_cast<float>(r[32 + j]) / 64.0f;
        laser.power_level_intensity[j] = base * product;
    }
}

// VRNA and VRND: the same header, and records of 64 or 88 bytes.
bool convert_vrna_like(const uint8_t* block, VorlanCalibration& calibration, int64_t length,
                       std::size_t record_size, std::size_t max_segments) {
    if (!covers(block, length, kCalibrationHeaderSize)) {
        return false;
    }
    const uint16_t n = load_u16le(block + 40);
    if (!holds_segments(block, length, n, max_segments, record_size)) {
        return false;
    }
    clear(calibration);
    read_common_header(block, calibration);
    read_header_distortion(block, calibration);
    calibration.segment_count = n;
    calibration.flags = load_u16le(block + 42);
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* r = block + kCalibrationHeaderSize + record_size * i;
        VorlanLaserCalibration& laser = calibration.lasers[i];
        read_vrna_record(r, laser);
        if (record_size == kVrnDRecordSize) {
            for (std::size_t k = 0; k < 6; ++k) {
                laser.intensity_falloff[k] = load_f32le(r + 64 + 4 * k);
            }
        }
    }
    return true;
}

// VRNB intensity references from the full-power intensity h, the low-power
// fraction l (of 65536) and the high-power gain m (of 4096): the low levels
// hold the low-power intensity o, a linear ramp climbs from o at level L0
// towards h at L1, and an exponential rise runs from h at L1 to level 31.
void vrnb_power_levels(float h, uint16_t l, int16_t m, unsigned ramp_start, unsigned ramp_end,
                       float (&levels)[32]) {
    if (!(h > 0.0f) || l == 0 || m <= 0) {
        return;
    }
    const float o = static_cast<float>(l) * h / 65536.0f;
    levels[1] = o;
    levels[2] = o;
    const float span = h - o;
    // Levels past 31 do not exist; a block that names them only shortens the ramp.
    for (unsigned j = ramp_start; j < ramp_end && j <= 31; ++j) {
        levels[j] = span / static_cast<float>(ramp_end - ramp_start) * static_cast<float>(j - ramp_start) + o;
    }
    const float w = std::log((span * 100.0f * (static_cast<float>(m) / 4096.0f + 1.0f) - o) / span);
    if (ramp_end <= 31) {
        for (unsigned j = ramp_end; j <= 31; ++j) {
            // A rise that starts at level 31 has no length: the level holds
            // its starting value h instead of 0/0.
            const float exponent = ramp_end < 31 ? static_cast<float>(j - ramp_end) * w /
                                                       static_cast<float>(31 - ramp_end)
                                                 : 0.0f;
            levels[j] = std::exp(exponent) * span + o;
        }
    }
}

}  // namespace

bool convert_vrn8_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length) {
    if (!covers(block, length, kCalibrationHeaderSize)) {
        return false;
    }
    const uint32_t n = load_u32le(block + 40);
    if (!holds_segments(block, length, n, kVrn8MaxSegments, kVrn8RecordSize)) {
        return false;
    }
    clear(calibration);
    read_common_header(block, calibration);
    calibration.segment_count = static_cast<uint16_t>(n);
    calibration.distortion_x[1] = kVrn8Distortion1;
    calibration.distortion_x[2] = kVrn8Distortion2;
    calibration.distortion_x[3] = kVrn8Distortion3;
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* r = block + kCalibrationHeaderSize + kVrn8RecordSize * i;
        VorlanLaserCalibration& laser = calibration.lasers[i];
        read_image_offsets(r, laser);
        const int16_t base_offset = load_i16le(r + 8);
        laser.image_x_scale = load_f32le(r + 12);
        laser.image_z_scale = load_f32le(r + 16);
        laser.image_z_to_x = laser.image_z_scale * load_f32le(r + 20);
        const float intensity_base = load_f32le(r + 24);
        laser.intensity_range_offset = load_f32le(r + 28);
        for (std::size_t j = 0; j < 16; ++j) {
            laser.power_level_intensity[j] = static_cast<float>(r[32 + j]) * intensity_base;
            laser.power_level_distance_offset[j] =
                scaled_distance_offset(static_cast<int8_t>(r[48 + j]), calibration.distance_scale, base_offset);
        }
    }
    return true;
}

bool convert_vrn9_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length) {
    if (!covers(block, length, kCalibrationHeaderSize)) {
        return false;
    }
    const uint16_t n = load_u16le(block + 40);
    if (!holds_segments(block, length, n, kVrn9MaxSegments, kVrn9RecordSize)) {
        return false;
    }
    clear(calibration);
    read_common_header(block, calibration);
    read_header_distortion(block, calibration);
    calibration.segment_count = n;
    // Intensity steps shared by every segment.
    const uint8_t* shared_steps = block + 96;
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* r = block + kCalibrationHeaderSize + kVrn9RecordSize * i;
        VorlanLaserCalibration& laser = calibration.lasers[i];
        read_image_offsets(r, laser);
        const int16_t base_offset = load_i16le(r + 8);
        laser.intensity_range_offset = static_cast<float>(load_u16le(r + 10)) / 100.0f;
        laser.image_x_scale = load_f32le(r + 12);
        laser.image_z_scale = load_f32le(r + 16);
        laser.image_z_to_x = load_f32le(r + 20);
        laser.image_x_to_z = load_f32le(r + 24);
        const float intensity_base = load_f32le(r + 28);
        for (std::size_t j = 0; j < 32; ++j) {
            laser.power_level_intensity[j] = static_cast<float>(shared_steps[j]) * intensity_base;
            laser.power_level_distance_offset[j] =
                scaled_distance_offset(static_cast<int8_t>(r[32 + j]), calibration.distance_scale, base_offset);
        }
    }
    return true;
}

bool convert_vrna_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length) {
    return convert_vrna_like(block, calibration, length, kVrnARecordSize, kVrnAMaxSegments);
}

bool convert_vrnd_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length) {
    return convert_vrna_like(block, calibration, length, kVrnDRecordSize, kVrnDMaxSegments);
}

bool convert_vrnb_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length) {
    if (!covers(block, length, kCalibrationHeaderSize)) {
        return false;
    }
    const uint16_t n = load_u16le(block + 12);
    if (!holds_segments(block, length, n, kVrnBMaxSegments, kVrnBRecordSize)) {
        return false;
    }
    clear(calibration);
    calibration.id = load_u32le(block + 4);
    const int16_t model = load_i16le(block + 8);
    calibration.model = static_cast<VorlanSensorModel>(model);
    const std::string name = get_sensor_model_name(model);
    copy_model_name(calibration.model_name, name.c_str(), name.size());
    calibration.segment_count = n;
    // These sensors' optics follow the rational distortion model whatever
    // the block's flags say.
    calibration.flags = static_cast<uint16_t>(load_u16le(block + 14) | VORLAN_CALIBRATION_RATIONAL_DISTORTION);
    calibration.distance_offset = load_f32le(block + 16);
    calibration.distance_scale = load_f32le(block + 20);
    calibration.image_clip_min_x = load_f32le(block + 24);
    calibration.image_clip_min_z = load_f32le(block + 28);
    calibration.image_clip_max_x = load_f32le(block + 32);
    calibration.image_clip_max_z = load_f32le(block + 36);
    calibration.distance_clip_min = load_f32le(block + 40);
    calibration.distance_clip_max = load_f32le(block + 44);
    const float base_scale = load_f32le(block + 48);
    const float base_z_to_x = load_f32le(block + 52);
    const float base_x_to_z = load_f32le(block + 56);
    calibration.image_center_x = load_f32le(block + 60);
    calibration.image_center_z = load_f32le(block + 64);
    for (std::size_t k = 0; k < 4; ++k) {
        calibration.distortion_x[k] = load_f32le(block + 68 + 4 * k);
        calibration.distortion_z[k] = load_f32le(block + 84 + 4 * k);
    }
    const unsigned ramp_start = block[112];
    const unsigned ramp_end = block[113];
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* r = block + kCalibrationHeaderSize + kVrnBRecordSize * i;
        VorlanLaserCalibration& laser = calibration.lasers[i];
        const float scale = 1.0f + static_cast<float>(r[4]) / 512.0f;
        laser.segment_scale = scale;
        laser.image_x_scale = base_scale * scale;
        laser.image_z_scale = base_scale * scale;
        laser.image_z_to_x = base_z_to_x * scale;
        laser.image_x_to_z = base_x_to_z * scale;
        laser.intensity_range_offset = 0.5f;
        laser.image_x_offset = load_i16le(r + 0);
        laser.image_z_offset = load_i16le(r + 2);
        vrnb_power_levels(load_f32le(r + 5), load_u16le(r + 9), load_i16le(r + 11), ramp_start, ramp_end,
                          laser.power_level_intensity);
    }
    return true;
}

bool convert_legacy_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length) {
    if (!covers(block, length, kLegacyBlockSize)) {
        return false;
    }
    clear(calibration);
    calibration.image_clip_min_x = load_f32le(block + 4);
    calibration.image_clip_min_z = load_f32le(block + 8);
    calibration.image_clip_max_x = load_f32le(block + 12);
    calibration.image_clip_max_z = load_f32le(block + 16);
    calibration.distance_clip_min = load_f32le(block + 20);
    calibration.distance_clip_max = load_f32le(block + 24);
    calibration.distance_offset = load_f32le(block + 36);
    calibration.image_center_x = load_f32le(block + 56);
    calibration.image_center_z = load_f32le(block + 60);
    calibration.distance_scale = load_f32le(block + 88);
    calibration.id = load_u32le(block + 340);
    copy_model_name(calibration.model_name, reinterpret_cast<const char*>(block + 344), kModelNameLength);
    calibration.model = static_cast<VorlanSensorModel>(load_i32le(block + 372));
    calibration.segment_count = kLegacySegments;
    for (std::size_t i = 0; i < kLegacySegments; ++i) {
        const uint8_t* g = block + 64 + 28 * i;
        const uint8_t* p = block + 380 + 52 * i;
        VorlanLaserCalibration& laser = calibration.lasers[i];
        laser.image_x_center = load_i16le(g + 0);
        laser.image_z_center = load_i16le(g + 2);
        laser.image_x_offset = load_i16le(g + 4);
        laser.image_z_offset = load_i16le(g + 6);
        const int16_t base_offset = load_i16le(g + 8);
        laser.image_x_scale = load_f32le(g + 12);
        laser.image_z_scale = load_f32le(g + 16);
        laser.image_z_to_x = laser.image_z_scale * load_f32le(g + 20);
        const float intensity_base = load_f32le(p + 0);
        laser.intensity_range_offset = load_f32le(p + 4);
        for (std::size_t j = 0; j < 16; ++j) {
            laser.power_level_intensity[j] = static_cast<float>(p[20 + j]) * intensity_base;
            // Steps are raw distance units here, not scaled.
            laser.power_level_distance_offset[j] =
                static_cast<int16_t>(base_offset + static_cast<int8_t>(p[36 + j]));
        }
    }
    return true;
}

bool Sensor::convert_calibration(VorlanCalibration& calibration, const uint8_t* block, int64_t length) {
    if (!covers(block, length, 4)) {
        return false;
    }
    switch (load_u32le(block)) {
        case kCalibrationTypeVrn8:
            return convert_vrn8_calibration(block, calibration, length);
        case kCalibrationTypeVrn9:
            return convert_vrn9_calibration(block, calibration, length);
        case kCalibrationTypeVrnA:
            return convert_vrna_calibration(block, calibration, length);
        case kCalibrationTypeVrnB:
            return convert_vrnb_calibration(block, calibration, length);
        case kCalibrationTypeVrnD:
            return convert_vrnd_calibration(block, calibration, length);
        case kCalibrationTypeLegacy:
            return convert_legacy_calibration(block, calibration, length);
        default:
            return false;
    }
}

}  // namespace vorlan_sdk
