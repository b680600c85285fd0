// The simulator's reading of the calibration blocks it writes, held against
// values worked out by hand from the block formats.
#include "sim_calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace vorlan_tool {
namespace {

using vorlan_test::CalibrationHeaderFields;

TEST(SimCalibration, PowerLevelTablesFollowEachBlockKind) {
    CalibrationHeaderFields header;
    header.distance_scale = 0.0009993083f;

    vorlan_test::Vrn8Segment vrn8;
    vrn8.distance_offset = 100;
    vrn8.distance_steps[3] = 10;   // 10 steps of 4 mm: 40 units of 1 mm
    vrn8.distance_steps[4] = -10;  // -40 units, then rounded toward zero
    vrn8.intensity_base = 2.5f;
    vrn8.intensity_steps[3] = 4;
    const SegmentOptics a = vrn8_optics(header, {vrn8}).segments.at(0);

    vorlan_test::VrnASegment vrna;
    vrna.distance_offset = -7;
    vrna.intensity_base = 2.0f;
    vrna.intensity_steps[0] = 64;  // each step of 64 doubles
    vrna.intensity_steps[2] = 32;
    vrna.intensity_range_offset_cm = 30;
    const SegmentOptics b = vrna_optics(header, {vrna}).segments.at(0);

    vorlan_test::VrnbHeaderFields vrnb_header;
    vrnb_header.ramp_start = 3;
    vrnb_header.ramp_end = 6;
    vorlan_test::VrnbSegment vrnb;
    vrnb.full_power_intensity = 100.0f;
    vrnb.low_power_fraction = 16384;  // a quarter: o = 25
    vrnb.high_power_gain = 4096;      // doubles the top of the rise
    const SegmentOptics c = vrnb_optics(vrnb_header, {vrnb}).segments.at(0);

    const struct {
        const char* what;
        double got;
        double expected;
    } cases[] = {
        {"VRN8 distance offset of a level without a step", static_cast<double>(a.distance_offset[0]), 100},
        {"VRN8 distance offset, +10 steps", static_cast<double>(a.distance_offset[3]), 140},
        {"VRN8 distance offset, -10 steps", static_cast<double>(a.distance_offset[4]), 60},
        {"VRN8 has no level 16", static_cast<double>(a.distance_offset[16]), 0},
        {"VRN8 intensity of level 3", a.intensity_reference[3], 10.0},
        {"VRN8 intensity of a level without a step", a.intensity_reference[5], 0.0},
        {"VRNA offset on every level", static_cast<double>(b.distance_offset[31]), -7},
        {"VRNA intensity of level 0", b.intensity_reference[0], 4.0},
        {"VRNA intensity of level 1", b.intensity_reference[1], 4.0},
        {"VRNA intensity of level 2", b.intensity_reference[2], 6.0},
        {"VRNA intensity of level 31", b.intensity_reference[31], 6.0},
        {"VRNA range offset in metres", b.intensity_range_offset, 0.3},
        {"VRNB level 0", c.intensity_reference[0], 0.0},
        {"VRNB level 1 at the low-power return", c.intensity_reference[1], 25.0},
        {"VRNB ramp start", c.intensity_reference[3], 25.0},
        {"VRNB ramp middle", c.intensity_reference[4], 50.0},
        {"VRNB rise start at full power", c.intensity_reference[6], 100.0},
        {"VRNB rise end", c.intensity_reference[31], 100.0 * 75.0 * 2.0},
        {"VRNB range offset", c.intensity_range_offset, 0.5},
        {"VRNB has no distance offsets", static_cast<double>(c.distance_offset[9]), 0},
    };
    for (const auto& t : cases) {
        EXPECT_NEAR(t.expected, t.got, 1e-4 * std::max(1.0, std::abs(t.expected))) << t.what;
    }
}

TEST(SimCalibration, VrnbIntensityStaysZeroWithoutAUsableRecord) {
    const struct {
        float full_power;
        uint16_t low_fraction;
        int16_t gain;
    } records[] = {{0.0f, 100, 100}, {100.0f, 0, 100}, {100.0f, 100, 0}, {100.0f, 100, -5}};
    for (const auto& r : records) {
        vorlan_test::VrnbSegment record;
        record.full_power_intensity = r.full_power;
        record.low_power_fraction = r.low_fraction;
        record.high_power_gain = r.gain;
        const SegmentOptics segment = vrnb_optics({}, {record}).segments.at(0);
        for (double level : segment.intensity_reference) {
            EXPECT_EQ(0.0, level) << r.full_power << " " << r.low_fraction << " " << r.gain;
        }
    }
}

TEST(SimCalibration, ImagePositionsFollowGeometryAndDistortion) {
    // A segment whose counts are 1e-4 image units each at a 0.5 m image
    // plane (scale 5e-5), shifted by 100 counts across and 200 down.
    CalibrationHeaderFields header;
    header.distance_offset = 0.5f;
    vorlan_test::VrnASegment record;
    record.geometry.image_x_scale = 5e-5f;
    record.geometry.image_z_scale = 5e-5f;
    record.geometry.image_x_offset = 100;
    record.geometry.image_z_offset = -200;
    record.geometry.image_x_center = 10;
    const SensorOptics plain = vrna_optics(header, {record});
    ASSERT_FALSE(plain.rational);

    CalibrationHeaderFields bent_header = header;
    bent_header.distortion = {0.1f, 0.0f, 0.0f};  // distortion_x[1]
    const SensorOptics bent = vrna_optics(bent_header, {record});

    vorlan_test::VrnbHeaderFields rational_header;
    rational_header.distance_offset = 0.5f;
    rational_header.base_scale = 5e-5f;
    rational_header.distortion_x = {2.0f, 0.0f, 0.0f, 0.0f};  // halves every x
    rational_header.distortion_z = {1.0f, 1.0f, 0.0f, 0.0f};  // z / (1 + r²)
    vorlan_test::VrnbSegment rational_record;
    rational_record.scale_step = 0;
    const SensorOptics rational = vrnb_optics(rational_header, {rational_record});
    ASSERT_TRUE(rational.rational);

    const double r2 = 0.12 * 0.12 + 0.04 * 0.04;
    const struct {
        const char* what;
        const SensorOptics& optics;
        int raw_x;
        int raw_z;
        double x;
        double z;
    } cases[] = {
        {"origin of the segment", plain, 110, -200, 0.0, 0.0},
        {"counts scale into image units", plain, 1310, 200, 0.12, 0.04},
        {"radial term pushes outward", bent, 1310, 200, 0.12 * (1 + 0.1 * r2), 0.04 * (1 + 0.1 * r2)},
        {"rational model divides per axis", rational, 1200, 400, 0.06, 0.04 / (1 + 0.12 * 0.12 + 0.04 * 0.04)},
    };
    for (const auto& t : cases) {
        const ImagePosition p = t.optics.image_position(0, t.raw_x, t.raw_z);
        EXPECT_NEAR(t.x, p.x, 1e-7) << t.what;
        EXPECT_NEAR(t.z, p.z, 1e-7) << t.what;
    }
}

TEST(SimCalibration, RangeAndIntensityInvertTheirReadings) {
    CalibrationHeaderFields header;
    header.distance_offset = 0.0168f;
    header.distance_scale = 0.002f;
    vorlan_test::VrnDSegment record;
    record.distance_offset = 9;
    record.intensity_base = 4.0f;
    record.intensity_range_offset_cm = 50;
    record.intensity_falloff = {std::log(2.0f), 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const SensorOptics optics = vrnd_optics(header, {record});
    for (const double metres : {0.3, 7.25, 80.0}) {
        const double raw = optics.raw_distance(0, 5, metres);
        const double offset = header.distance_offset;
        const double scale = header.distance_scale;
        EXPECT_NEAR((metres + offset) / scale + 9, raw, 1e-6) << metres;
        EXPECT_NEAR(metres, optics.metres(0, 5, static_cast<uint32_t>(std::lround(raw))), 0.0011) << metres;
        // One raw unit reads as (d + 0.5)^2 / (reference * falloff 2).
        const double expected = (metres + 0.5) * (metres + 0.5) / 8.0;
        EXPECT_NEAR(expected, optics.intensity_per_unit(0, 0, metres, 0, 0), 1e-6 * expected) << metres;
    }
}

}  // namespace
}  // namespace vorlan_tool
