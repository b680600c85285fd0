#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "legacy.h"
#include "sensor.h"
#include "support/calibration_block_builder.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::build_legacy_block;
using vorlan_test::build_vrn8_block;
using vorlan_test::build_vrn9_block;
using vorlan_test::build_vrna_block;
using vorlan_test::build_vrnb_block;
using vorlan_test::build_vrnd_block;
using vorlan_test::CalibrationHeaderFields;
using vorlan_test::LegacyBlockFields;
using vorlan_test::make_segments;
using vorlan_test::Vrn8Segment;
using vorlan_test::Vrn9Segment;
using vorlan_test::VrnASegment;
using vorlan_test::VrnbHeaderFields;
using vorlan_test::VrnbSegment;
using vorlan_test::VrnDSegment;

// The first `length` bytes of a block at the very end of a heap buffer of
// exactly that size, so that a converter reading past `length` touches memory
// the address sanitizer watches.
class ExactBuffer {
public:
    ExactBuffer(const std::vector<uint8_t>& block, std::size_t length)
        : m_bytes(new uint8_t[length == 0 ? 1 : length]), m_length(length) {
        std::memcpy(m_bytes.get(), block.data(), std::min(length, block.size()));
    }
    const uint8_t* data() const { return m_bytes.get(); }
    int64_t length() const { return static_cast<int64_t>(m_length); }

private:
    std::unique_ptr<uint8_t[]> m_bytes;
    std::size_t m_length;
};

// A calibration full of a byte pattern, so that fields a converter leaves
// alone, or forgets to clear, show.
std::unique_ptr<VorlanCalibration> patterned_calibration() {
    auto calibration = std::make_unique<VorlanCalibration>();
    std::memset(calibration.get(), 0xA5, sizeof(VorlanCalibration));
    return calibration;
}

bool convert(const std::vector<uint8_t>& block, VorlanCalibration& out) {
    const ExactBuffer buffer(block, block.size());
    return Sensor::convert_calibration(out, buffer.data(), buffer.length());
}

// Converts `block`, expecting success.
std::unique_ptr<VorlanCalibration> converted(const std::vector<uint8_t>& block) {
    auto calibration = patterned_calibration();
    EXPECT_TRUE(convert(block, *calibration));
    return calibration;
}

bool is_all_zero(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// ---- Length and segment count checks -------------------------------------------

struct FormatCase {
    const char* name;
    // A valid block of `n` segments.
    std::vector<uint8_t> (*build)(std::size_t n);
    std::size_t max_segments;
    std::size_t record_size;
};

const FormatCase kFormats[] = {
    {"VRN8", [](std::size_t n) { return build_vrn8_block({}, make_segments<Vrn8Segment>(n)); }, 24, 64},
    {"VRN9", [](std::size_t n) { return build_vrn9_block({}, make_segments<Vrn9Segment>(n)); }, 24, 64},
    {"VRNA", [](std::size_t n) { return build_vrna_block({}, make_segments<VrnASegment>(n)); }, 32, 64},
    {"VRNB", [](std::size_t n) { return build_vrnb_block({}, make_segments<VrnbSegment>(n)); }, 192, 13},
    {"VRND", [](std::size_t n) { return build_vrnd_block({}, make_segments<VrnDSegment>(n)); }, 24, 88},
};

TEST(CalibrationBlockLength, EachFormatTakesItsMostSegmentsInExactlyTheBytesTheyNeed) {
    for (const FormatCase& format : kFormats) {
        SCOPED_TRACE(format.name);
        const std::vector<uint8_t> block = format.build(format.max_segments);
        ASSERT_EQ(block.size(), 128 + format.record_size * format.max_segments);
        const auto calibration = converted(block);
        EXPECT_EQ(calibration->segment_count, format.max_segments);
        EXPECT_EQ(calibration->id, 1u);
    }
}

TEST(CalibrationBlockLength, OneByteShortIsRefusedWithoutReadingPastTheLength) {
    for (const FormatCase& format : kFormats) {
        for (const std::size_t n : {std::size_t{0}, std::size_t{1}, format.max_segments}) {
            SCOPED_TRACE(std::string(format.name) + " with " + std::to_string(n) + " segments");
            const std::vector<uint8_t> block = format.build(n);
            const ExactBuffer short_block(block, block.size() - 1);
            auto calibration = patterned_calibration();
            const auto before = *calibration;
            EXPECT_FALSE(Sensor::convert_calibration(*calibration, short_block.data(), short_block.length()));
            EXPECT_EQ(std::memcmp(calibration.get(), &before, sizeof(before)), 0) << "refusal changed the output";
        }
    }
}

TEST(CalibrationBlockLength, OneSegmentAboveTheMostIsRefusedEvenWithTheBytesForIt) {
    for (const FormatCase& format : kFormats) {
        SCOPED_TRACE(format.name);
        const std::vector<uint8_t> block = format.build(format.max_segments + 1);
        auto calibration = patterned_calibration();
        EXPECT_FALSE(convert(block, *calibration));
    }
}

TEST(CalibrationBlockLength, ACountAnnouncingMoreRecordsThanTheBlockHoldsIsRefused) {
    CalibrationHeaderFields header;
    header.segment_count = 10;
    VrnbHeaderFields vrnb_header;
    vrnb_header.segment_count = 10;
    const std::vector<std::vector<uint8_t>> blocks = {
        build_vrn8_block(header, make_segments<Vrn8Segment>(9)),
        build_vrn9_block(header, make_segments<Vrn9Segment>(9)),
        build_vrna_block(header, make_segments<VrnASegment>(9)),
        build_vrnd_block(header, make_segments<VrnDSegment>(9)),
        build_vrnb_block(vrnb_header, make_segments<VrnbSegment>(9)),
    };
    for (const auto& block : blocks) {
        auto calibration = patterned_calibration();
        EXPECT_FALSE(convert(block, *calibration));
    }
}

TEST(CalibrationBlockLength, VrnEightCountIsThirtyTwoBitsWide) {
    // A count of 2^16 + 1 must not pass as 1.
    CalibrationHeaderFields header;
    header.segment_count = 0x10001;
    auto calibration = patterned_calibration();
    EXPECT_FALSE(convert(build_vrn8_block(header, make_segments<Vrn8Segment>(1)), *calibration));
}

TEST(CalibrationBlockLength, LegacyBlockNeedsAllItsBytes) {
    const std::vector<uint8_t> block = build_legacy_block({});
    ASSERT_EQ(block.size(), 796u);
    auto calibration = patterned_calibration();
    const ExactBuffer short_block(block, 795);
    EXPECT_FALSE(Sensor::convert_calibration(*calibration, short_block.data(), short_block.length()));
    EXPECT_EQ(converted(block)->segment_count, 8);
}

TEST(CalibrationBlockLength, NullBlockNegativeLengthAndUnknownTypeAreRefused) {
    const std::vector<uint8_t> block = build_vrna_block({}, make_segments<VrnASegment>(2));
    auto calibration = patterned_calibration();
    EXPECT_FALSE(Sensor::convert_calibration(*calibration, nullptr, 1000));
    // A negative length read as unsigned would look huge.
    EXPECT_FALSE(Sensor::convert_calibration(*calibration, block.data(), -1));
    EXPECT_FALSE(Sensor::convert_calibration(*calibration, block.data(), INT64_MIN));
    for (const int64_t length : {0, 1, 3}) {
        const ExactBuffer tiny(block, static_cast<std::size_t>(length));
        EXPECT_FALSE(Sensor::convert_calibration(*calibration, tiny.data(), tiny.length()));
    }
    for (const char* type : {"VRNC", "VRN7", "INFO", "vrna"}) {
        std::vector<uint8_t> other = block;
        std::memcpy(other.data(), type, 4);
        EXPECT_FALSE(convert(other, *calibration)) << type;
    }
    EXPECT_FALSE(convert_vrna_calibration(nullptr, *calibration, 4096));
    EXPECT_FALSE(convert_legacy_calibration(block.data(), *calibration, -796));
}

// ---- Fields a format does not carry ---------------------------------------------

TEST(CalibrationBlockFields, EverythingAFormatDoesNotCarryIsZero) {
    const auto vrna = converted(build_vrna_block({}, make_segments<VrnASegment>(2)));
    EXPECT_EQ(vrna->distortion_x[0], 0.0f);
    EXPECT_TRUE(is_all_zero(vrna->distortion_z, sizeof(vrna->distortion_z)));
    EXPECT_EQ(vrna->reserved, 0);
    EXPECT_EQ(vrna->lasers[0].segment_scale, 0.0f);
    EXPECT_TRUE(is_all_zero(vrna->lasers[0].intensity_falloff, sizeof(vrna->lasers[0].intensity_falloff)));
    EXPECT_TRUE(is_all_zero(&vrna->lasers[2], sizeof(VorlanLaserCalibration) * 190));

    const auto vrn8 = converted(build_vrn8_block({}, make_segments<Vrn8Segment>(1)));
    EXPECT_EQ(vrn8->flags, 0);
    EXPECT_EQ(vrn8->lasers[0].image_x_to_z, 0.0f);
    EXPECT_TRUE(is_all_zero(&vrn8->lasers[0].power_level_intensity[16], 16 * sizeof(float)));
    EXPECT_TRUE(is_all_zero(&vrn8->lasers[0].power_level_distance_offset[16], 16 * sizeof(int16_t)));

    const auto legacy = converted(build_legacy_block({}));
    EXPECT_EQ(legacy->flags, 0);
    EXPECT_TRUE(is_all_zero(legacy->distortion_x, sizeof(legacy->distortion_x)));
    EXPECT_TRUE(is_all_zero(&legacy->lasers[8], sizeof(VorlanLaserCalibration) * 184));
}

// ---- VRNA and VRND -------------------------------------------------------------

TEST(VrnACalibration, HeaderAndRecordFields) {
    CalibrationHeaderFields header;
    header.id = 0xCAFE;
    header.model = 11;
    header.flags = 0x11;
    header.distance_offset = 0.25f;
    header.distance_scale = 0.002f;
    header.clips = {-0.5f, -0.25f, 0.5f, 0.25f, 0.3f, 200.0f};
    header.image_center_x = 0.125f;
    header.image_center_z = -0.0625f;
    header.distortion = {1.5f, -2.5f, 3.5f};  // distortion_x[1], [2], [3]
    VrnASegment segment;
    segment.geometry = {-300, 12, 45, -7, 2e-4f, 3e-4f};
    segment.distance_offset = -17;
    segment.intensity_range_offset_cm = 250;
    segment.image_z_to_x = 0.01f;
    segment.image_x_to_z = -0.02f;
    const auto c = converted(build_vrna_block(header, {VrnASegment{}, segment}));

    EXPECT_EQ(c->id, 0xCAFEu);
    EXPECT_EQ(c->model, 11);
    EXPECT_EQ(c->flags, 0x11);
    EXPECT_EQ(c->segment_count, 2);
    EXPECT_EQ(c->distance_offset, 0.25f);
    EXPECT_EQ(c->distance_scale, 0.002f);
    EXPECT_EQ(c->image_clip_min_x, -0.5f);
    EXPECT_EQ(c->image_clip_min_z, -0.25f);
    EXPECT_EQ(c->image_clip_max_x, 0.5f);
    EXPECT_EQ(c->image_clip_max_z, 0.25f);
    EXPECT_EQ(c->distance_clip_min, 0.3f);
    EXPECT_EQ(c->distance_clip_max, 200.0f);
    EXPECT_EQ(c->image_center_x, 0.125f);
    EXPECT_EQ(c->image_center_z, -0.0625f);
    EXPECT_EQ(c->distortion_x[1], 1.5f);
    EXPECT_EQ(c->distortion_x[2], -2.5f);
    EXPECT_EQ(c->distortion_x[3], 3.5f);

    const VorlanLaserCalibration& laser = c->lasers[1];
    EXPECT_EQ(laser.image_x_center, -300);
    EXPECT_EQ(laser.image_x_offset, 12);
    EXPECT_EQ(laser.image_z_center, 45);
    EXPECT_EQ(laser.image_z_offset, -7);
    EXPECT_EQ(laser.image_x_scale, 2e-4f);
    EXPECT_EQ(laser.image_z_scale, 3e-4f);
    EXPECT_EQ(laser.image_z_to_x, 0.01f);
    EXPECT_EQ(laser.image_x_to_z, -0.02f);
    EXPECT_EQ(laser.intensity_range_offset, 2.5f);
    for (const int16_t offset : laser.power_level_distance_offset) {
        EXPECT_EQ(offset, -17);
    }
}

TEST(VrnACalibration, IntensityLevelsAreARunningProductOfTheSteps) {
    struct Case {
        const char* name;
        float base;
        std::vector<uint8_t> steps;    // the first steps; the rest are 0
        std::vector<float> expected;   // the first levels
        float last;                    // level 31
    };
    const Case cases[] = {
        // Step 64 doubles; step 0 keeps the level.
        {"doubling once", 2.0f, {64}, {4.0f, 4.0f, 4.0f}, 4.0f},
        {"no steps", 3.0f, {}, {3.0f, 3.0f}, 3.0f},
        // 1.5, then 1.5 * 1.25, then * 2, then * (1 + 255/64).
        {"mixed", 8.0f, {32, 16, 64, 255}, {12.0f, 15.0f, 30.0f, 149.53125f}, 149.53125f},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        VrnASegment segment;
        segment.intensity_base = test.base;
        std::copy(test.steps.begin(), test.steps.end(), segment.intensity_steps.begin());
        const auto c = converted(build_vrna_block({}, {segment}));
        for (std::size_t j = 0; j < test.expected.size(); ++j) {
            EXPECT_FLOAT_EQ(c->lasers[0].power_level_intensity[j], test.expected[j]) << "level " << j;
        }
        EXPECT_FLOAT_EQ(c->lasers[0].power_level_intensity[31], test.last);
    }
}

TEST(VrnDCalibration, RecordsCarryTheIntensityFalloffAfterTheVrnAFields) {
    VrnDSegment first;
    first.intensity_falloff = {0.5f, -1.0f, 2.0f, -0.25f, 0.125f, 4.0f};
    VrnDSegment second;
    second.geometry.image_x_center = 77;
    second.intensity_base = 2.0f;
    second.intensity_steps[0] = 64;
    second.intensity_falloff = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
    CalibrationHeaderFields header;
    header.model = 16;
    header.flags = 0x1;
    const auto c = converted(build_vrnd_block(header, {first, second}));
    EXPECT_EQ(c->model, 16);
    EXPECT_EQ(c->flags, 0x1);
    for (std::size_t k = 0; k < 6; ++k) {
        EXPECT_EQ(c->lasers[0].intensity_falloff[k], first.intensity_falloff[k]);
        EXPECT_EQ(c->lasers[1].intensity_falloff[k], second.intensity_falloff[k]);
    }
    EXPECT_EQ(c->lasers[1].image_x_center, 77);
    EXPECT_EQ(c->lasers[1].power_level_intensity[5], 4.0f);
}

// ---- VRN9 ---------------------------------------------------------------------

TEST(Vrn9Calibration, DistanceOffsetsScaleTheStepsAndTruncateTowardZero) {
    CalibrationHeaderFields header;
    header.distance_scale = 0.0009993083f;  // one step is 4 raw units
    header.flags = 0x11;                    // not read by this format
    Vrn9Segment segment;
    segment.distance_offset = 100;
    segment.distance_steps[0] = 10;    // 100 + 40 + 0.5 -> 140
    segment.distance_steps[1] = -10;   // 100 - 40 + 0.5 -> 60
    segment.distance_steps[2] = 127;   // 100 + 508 + 0.5 -> 608
    segment.distance_steps[3] = -128;  // 100 - 512 + 0.5 = -411.5 -> -411
    Vrn9Segment negative;
    negative.distance_offset = -3;     // -3 + 0.5 = -2.5 -> -2 (toward zero)
    const auto c = converted(build_vrn9_block(header, {segment, negative}));
    EXPECT_EQ(c->flags, 0);
    const int16_t* offsets = c->lasers[0].power_level_distance_offset;
    EXPECT_EQ(offsets[0], 140);
    EXPECT_EQ(offsets[1], 60);
    EXPECT_EQ(offsets[2], 608);
    EXPECT_EQ(offsets[3], -411);
    EXPECT_EQ(offsets[4], 100);
    EXPECT_EQ(offsets[31], 100);
    EXPECT_EQ(c->lasers[1].power_level_distance_offset[0], -2);
}

TEST(Vrn9Calibration, IntensityLevelsUseTheHeaderStepsForEverySegment) {
    CalibrationHeaderFields header;
    for (std::size_t j = 0; j < 32; ++j) {
        header.shared_intensity_steps[j] = static_cast<uint8_t>(j * 8);
    }
    const auto segments = make_segments<Vrn9Segment>(3, {}, [](Vrn9Segment& s, std::size_t i) {
        s.intensity_base = 0.5f * static_cast<float>(i + 1);
        s.intensity_range_offset_cm = 75;
    });
    const auto c = converted(build_vrn9_block(header, segments));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(c->lasers[i].power_level_intensity[0], 0.0f);
        EXPECT_EQ(c->lasers[i].power_level_intensity[1], 8.0f * 0.5f * static_cast<float>(i + 1));
        EXPECT_EQ(c->lasers[i].power_level_intensity[31], 248.0f * 0.5f * static_cast<float>(i + 1));
        EXPECT_FLOAT_EQ(c->lasers[i].intensity_range_offset, 0.75f);
    }
}

TEST(Vrn9Calibration, ANonsensicalScaleGivesZeroOffsetsInsteadOfUndefinedConversions) {
    CalibrationHeaderFields header;
    header.distance_scale = 0.0f;  // steps become infinite, or NaN for step 0
    Vrn9Segment segment;
    segment.distance_offset = 5;
    segment.distance_steps[0] = 1;
    segment.distance_steps[1] = -1;
    const auto c = converted(build_vrn9_block(header, {segment}));
    EXPECT_EQ(c->lasers[0].power_level_distance_offset[0], 0);
    EXPECT_EQ(c->lasers[0].power_level_distance_offset[1], 0);
    EXPECT_EQ(c->lasers[0].power_level_distance_offset[2], 0);
}

// ---- VRN8 ---------------------------------------------------------------------

TEST(Vrn8Calibration, DistortionIsFixedWhateverTheHeaderHolds) {
    CalibrationHeaderFields header;
    header.distortion = {9.0f, 9.0f, 9.0f};
    header.flags = 0x11;  // VRN8 has a 32-bit count there and no flags
    const auto c = converted(build_vrn8_block(header, make_segments<Vrn8Segment>(2)));
    EXPECT_EQ(c->distortion_x[0], 0.0f);
    EXPECT_EQ(c->distortion_x[1], 0.061603989f);
    EXPECT_EQ(c->distortion_x[2], -0.077997081f);
    EXPECT_EQ(c->distortion_x[3], 0.39371279f);
    uint32_t bits[3];
    std::memcpy(bits, &c->distortion_x[1], sizeof(bits));
    EXPECT_EQ(bits[0], 0x3D7C5477u);
    EXPECT_EQ(bits[1], 0xBD9FBCEFu);
    EXPECT_EQ(bits[2], 0x3EC994B9u);
    EXPECT_EQ(c->flags, 0);
}

TEST(Vrn8Calibration, SixteenPowerLevelsAndTheCrossFactor) {
    CalibrationHeaderFields header;
    header.model = 3;
    header.distance_scale = 0.001f;
    Vrn8Segment segment;
    segment.geometry = {10, -20, 30, -40, 5e-4f, 4e-4f};
    segment.distance_offset = 0;
    segment.cross_factor = 0.5f;
    segment.intensity_base = 0.25f;
    segment.intensity_range_offset = 1.75f;
    segment.intensity_steps[0] = 4;
    segment.intensity_steps[15] = 200;
    segment.distance_steps[0] = 25;    // 99.93 + 0.5 -> 100
    segment.distance_steps[1] = -25;   // -99.93 + 0.5 -> -99 (toward zero)
    segment.distance_steps[15] = 1;    // 4.0 + 0.5 -> 4
    const auto c = converted(build_vrn8_block(header, {segment}));
    const VorlanLaserCalibration& laser = c->lasers[0];
    EXPECT_EQ(laser.image_x_center, 10);
    EXPECT_EQ(laser.image_x_offset, -20);
    EXPECT_EQ(laser.image_z_center, 30);
    EXPECT_EQ(laser.image_z_offset, -40);
    EXPECT_EQ(laser.image_x_scale, 5e-4f);
    EXPECT_EQ(laser.image_z_scale, 4e-4f);
    EXPECT_EQ(laser.image_z_to_x, 4e-4f * 0.5f);
    EXPECT_EQ(laser.intensity_range_offset, 1.75f);
    EXPECT_EQ(laser.power_level_intensity[0], 1.0f);
    EXPECT_EQ(laser.power_level_intensity[1], 0.0f);
    EXPECT_EQ(laser.power_level_intensity[15], 50.0f);
    EXPECT_EQ(laser.power_level_distance_offset[0], 100);
    EXPECT_EQ(laser.power_level_distance_offset[1], -99);
    EXPECT_EQ(laser.power_level_distance_offset[2], 0);
    EXPECT_EQ(laser.power_level_distance_offset[15], 4);
}

// ---- VRNB ---------------------------------------------------------------------

TEST(VrnBCalibration, SegmentGeometryScalesTheBaseFactors) {
    VrnbHeaderFields header;
    header.id = 0x0BADF00D;
    header.model = 12;
    header.flags = 0x1;
    header.distance_offset = 0.5f;
    header.distance_scale = 0.004f;
    header.clips = {-1.0f, -0.75f, 1.0f, 0.75f, 0.2f, 300.0f};
    header.base_scale = 0.5f;
    header.base_z_to_x = 0.25f;
    header.base_x_to_z = -0.125f;
    header.image_center_x = 0.03125f;
    header.image_center_z = -0.015625f;
    header.distortion_x = {1.0f, 0.1f, 0.2f, 0.3f};
    header.distortion_z = {1.0f, -0.1f, -0.2f, -0.3f};
    VrnbSegment segment;
    segment.image_x_offset = -1234;
    segment.image_z_offset = 567;
    segment.scale_step = 128;  // g = 1.25
    const auto c = converted(build_vrnb_block(header, {VrnbSegment{}, segment}));

    EXPECT_EQ(c->id, 0x0BADF00Du);
    EXPECT_EQ(c->model, 12);
    EXPECT_STREQ(c->model_name, "Parvo-D40");  // the display name of model 12
    EXPECT_EQ(c->flags, 0x11);  // the rational distortion model is always on
    EXPECT_EQ(c->segment_count, 2);
    EXPECT_EQ(c->distance_offset, 0.5f);
    EXPECT_EQ(c->distance_scale, 0.004f);
    EXPECT_EQ(c->image_clip_min_x, -1.0f);
    EXPECT_EQ(c->image_clip_max_z, 0.75f);
    EXPECT_EQ(c->distance_clip_min, 0.2f);
    EXPECT_EQ(c->distance_clip_max, 300.0f);
    EXPECT_EQ(c->image_center_x, 0.03125f);
    EXPECT_EQ(c->image_center_z, -0.015625f);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(c->distortion_x[k], header.distortion_x[k]);
        EXPECT_EQ(c->distortion_z[k], header.distortion_z[k]);
    }

    EXPECT_EQ(c->lasers[0].segment_scale, 1.0f);
    EXPECT_EQ(c->lasers[0].image_x_scale, 0.5f);
    const VorlanLaserCalibration& laser = c->lasers[1];
    EXPECT_EQ(laser.segment_scale, 1.25f);
    EXPECT_EQ(laser.image_x_scale, 0.625f);
    EXPECT_EQ(laser.image_z_scale, 0.625f);
    EXPECT_EQ(laser.image_z_to_x, 0.3125f);
    EXPECT_EQ(laser.image_x_to_z, -0.15625f);
    EXPECT_EQ(laser.image_x_offset, -1234);
    EXPECT_EQ(laser.image_z_offset, 567);
    EXPECT_EQ(laser.image_x_center, 0);
    EXPECT_EQ(laser.image_z_center, 0);
    EXPECT_EQ(laser.intensity_range_offset, 0.5f);
    EXPECT_TRUE(is_all_zero(laser.power_level_distance_offset, sizeof(laser.power_level_distance_offset)));
}

// h = 100, l = 1/4 (o = 25), m = 4096 (gain 2), ramp from level 3 to 8:
// levels 1-2 hold 25; the ramp gives 25, 40, 55, 70, 85 at levels 3-7; the
// rise goes from h = 100 at level 8 to o + (h - o) e^w = 15000 at level 31,
// e^w = ((h - o) 100 * 2 - o) / (h - o) = 14975 / 75.
VrnbSegment ramp_segment() {
    VrnbSegment segment;
    segment.full_power_intensity = 100.0f;
    segment.low_power_fraction = 16384;
    segment.high_power_gain = 4096;
    return segment;
}

VrnbHeaderFields ramp_header(uint8_t start, uint8_t end) {
    VrnbHeaderFields header;
    header.ramp_start = start;
    header.ramp_end = end;
    return header;
}

TEST(VrnBCalibration, IntensityLevelsRampLinearlyThenRiseExponentially) {
    const auto c = converted(build_vrnb_block(ramp_header(3, 8), {ramp_segment()}));
    const float* levels = c->lasers[0].power_level_intensity;
    EXPECT_EQ(levels[0], 0.0f);
    EXPECT_EQ(levels[1], 25.0f);
    EXPECT_EQ(levels[2], 25.0f);
    const float ramp[] = {25.0f, 40.0f, 55.0f, 70.0f, 85.0f};
    for (std::size_t j = 3; j < 8; ++j) {
        EXPECT_FLOAT_EQ(levels[j], ramp[j - 3]) << "level " << j;
    }
    EXPECT_FLOAT_EQ(levels[8], 100.0f);
    EXPECT_NEAR(levels[31], 15000.0f, 15000.0f * 1e-5f);
    // Above o, each level is the previous one times the same factor.
    const double factor = std::pow(14975.0 / 75.0, 1.0 / 23.0);
    for (std::size_t j = 9; j <= 31; ++j) {
        EXPECT_NEAR((levels[j] - 25.0) / (levels[j - 1] - 25.0), factor, 1e-4) << "level " << j;
    }
}

TEST(VrnBCalibration, ARampOverlappingTheLowLevelsOverwritesThem) {
    const auto c = converted(build_vrnb_block(ramp_header(0, 4), {ramp_segment()}));
    const float* levels = c->lasers[0].power_level_intensity;
    // 75 / 4 per level from 25.
    EXPECT_FLOAT_EQ(levels[0], 25.0f);
    EXPECT_FLOAT_EQ(levels[1], 43.75f);
    EXPECT_FLOAT_EQ(levels[2], 62.5f);
    EXPECT_FLOAT_EQ(levels[3], 81.25f);
    EXPECT_FLOAT_EQ(levels[4], 100.0f);
}

TEST(VrnBCalibration, NoIntensityLevelsWithoutFullPowerFractionOrGain) {
    struct Case {
        const char* name;
        float h;
        uint16_t l;
        int16_t m;
    };
    const Case cases[] = {
        {"zero full power", 0.0f, 16384, 4096},
        {"negative full power", -5.0f, 16384, 4096},
        {"NaN full power", std::nanf(""), 16384, 4096},
        {"zero fraction", 100.0f, 0, 4096},
        {"zero gain", 100.0f, 16384, 0},
        {"negative gain", 100.0f, 16384, -1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        VrnbSegment segment = ramp_segment();
        segment.full_power_intensity = test.h;
        segment.low_power_fraction = test.l;
        segment.high_power_gain = test.m;
        const auto c = converted(build_vrnb_block(ramp_header(3, 8), {segment}));
        EXPECT_TRUE(is_all_zero(c->lasers[0].power_level_intensity, sizeof(float) * 32));
    }
}

TEST(VrnBCalibration, ARiseStartingAtTheLastLevelHoldsFullPowerThere) {
    const auto c = converted(build_vrnb_block(ramp_header(3, 31), {ramp_segment()}));
    const float* levels = c->lasers[0].power_level_intensity;
    EXPECT_FLOAT_EQ(levels[30], 75.0f / 28.0f * 27.0f + 25.0f);
    EXPECT_FLOAT_EQ(levels[31], 100.0f);
}

TEST(VrnBCalibration, RampLevelsBeyondThirtyOneAreNotWritten) {
    // A ramp end of 200 would run far past the 32 levels into the next fields.
    const auto c = converted(build_vrnb_block(ramp_header(10, 200), {ramp_segment(), ramp_segment()}));
    const VorlanLaserCalibration& laser = c->lasers[0];
    EXPECT_FLOAT_EQ(laser.power_level_intensity[10], 25.0f);
    EXPECT_FLOAT_EQ(laser.power_level_intensity[31], 75.0f / 190.0f * 21.0f + 25.0f);
    EXPECT_TRUE(is_all_zero(laser.power_level_distance_offset, sizeof(laser.power_level_distance_offset)));
    EXPECT_TRUE(is_all_zero(laser.intensity_falloff, sizeof(laser.intensity_falloff)));
    EXPECT_EQ(c->lasers[1].image_x_center, 0);
}

// ---- Legacy block -----------------------------------------------------------------

TEST(LegacyCalibration, FieldsAtTheirFixedOffsets) {
    LegacyBlockFields fields;
    fields.clips = {-0.4f, -0.3f, 0.4f, 0.3f, 1.0f, 150.0f};
    fields.distance_offset = 0.75f;
    fields.distance_scale = 0.0025f;
    fields.image_center_x = 0.01f;
    fields.image_center_z = -0.02f;
    fields.id = 0x12345678;
    fields.model_name = "Legacy";
    fields.model = 0x70003;  // only the low 16 bits count
    for (std::size_t i = 0; i < 8; ++i) {
        const auto k = static_cast<int16_t>(i);
        fields.geometry[i] = {static_cast<int16_t>(100 + k), static_cast<int16_t>(200 + k),
                              static_cast<int16_t>(-10 - k), static_cast<int16_t>(-20 - k),
                              static_cast<int16_t>(1000 * k), 1e-4f * static_cast<float>(i + 1), 2e-4f, 0.5f};
        fields.power[i].intensity_base = 0.5f * static_cast<float>(i + 1);
        fields.power[i].intensity_range_offset = 0.25f;
        fields.power[i].intensity_steps[0] = 10;
        fields.power[i].intensity_steps[15] = 255;
        fields.power[i].distance_steps[0] = -128;
        fields.power[i].distance_steps[15] = 127;
    }
    const auto c = converted(build_legacy_block(fields));

    EXPECT_EQ(c->segment_count, 8);
    EXPECT_EQ(c->id, 0x12345678u);
    EXPECT_STREQ(c->model_name, "Legacy");
    EXPECT_EQ(c->model, 3);
    EXPECT_EQ(c->image_clip_min_x, -0.4f);
    EXPECT_EQ(c->image_clip_min_z, -0.3f);
    EXPECT_EQ(c->image_clip_max_x, 0.4f);
    EXPECT_EQ(c->image_clip_max_z, 0.3f);
    EXPECT_EQ(c->distance_clip_min, 1.0f);
    EXPECT_EQ(c->distance_clip_max, 150.0f);
    EXPECT_EQ(c->distance_offset, 0.75f);
    EXPECT_EQ(c->distance_scale, 0.0025f);
    EXPECT_EQ(c->image_center_x, 0.01f);
    EXPECT_EQ(c->image_center_z, -0.02f);
    for (std::size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const VorlanLaserCalibration& laser = c->lasers[i];
        const int k = static_cast<int>(i);
        EXPECT_EQ(laser.image_x_center, 100 + k);
        EXPECT_EQ(laser.image_z_center, 200 + k);
        EXPECT_EQ(laser.image_x_offset, -10 - k);
        EXPECT_EQ(laser.image_z_offset, -20 - k);
        EXPECT_EQ(laser.image_x_scale, 1e-4f * static_cast<float>(i + 1));
        EXPECT_EQ(laser.image_z_scale, 2e-4f);
        EXPECT_EQ(laser.image_z_to_x, 1e-4f);
        EXPECT_EQ(laser.intensity_range_offset, 0.25f);
        EXPECT_EQ(laser.power_level_intensity[0], 5.0f * static_cast<float>(i + 1));
        EXPECT_EQ(laser.power_level_intensity[15], 127.5f * static_cast<float>(i + 1));
        // Unscaled raw steps added to the base offset.
        EXPECT_EQ(laser.power_level_distance_offset[0], 1000 * k - 128);
        EXPECT_EQ(laser.power_level_distance_offset[1], 1000 * k);
        EXPECT_EQ(laser.power_level_distance_offset[15], 1000 * k + 127);
    }
}

// ---- Dispatch ---------------------------------------------------------------------

TEST(CalibrationBlockDispatch, EachTypeReachesItsOwnConverter) {
    // The same bytes after the type mean different things to each format;
    // dispatching by type must give exactly what the format's converter gives.
    using Converter = bool (*)(const uint8_t*, VorlanCalibration&, int64_t);
    const std::pair<std::vector<uint8_t>, Converter> cases[] = {
        {build_vrn8_block({}, make_segments<Vrn8Segment>(3)), convert_vrn8_calibration},
        {build_vrn9_block({}, make_segments<Vrn9Segment>(3)), convert_vrn9_calibration},
        {build_vrna_block({}, make_segments<VrnASegment>(3)), convert_vrna_calibration},
        {build_vrnb_block({}, make_segments<VrnbSegment>(3)), convert_vrnb_calibration},
        {build_vrnd_block({}, make_segments<VrnDSegment>(3)), convert_vrnd_calibration},
        {build_legacy_block({}), convert_legacy_calibration},
    };
    for (const auto& [block, converter] : cases) {
        SCOPED_TRACE(std::string(block.begin(), block.begin() + 3));
        auto direct = patterned_calibration();
        ASSERT_TRUE(converter(block.data(), *direct, static_cast<int64_t>(block.size())));
        const auto dispatched = converted(block);
        EXPECT_EQ(std::memcmp(direct.get(), dispatched.get(), sizeof(VorlanCalibration)), 0);
    }
}

}  // namespace
}  // namespace vorlan_sdk
