#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "calibration.h"
#include "core.h"

namespace vorlan_sdk {
namespace {

constexpr uint8_t kValid = VORLAN_POINT_VALID;
constexpr uint8_t kSaturated = VORLAN_POINT_SATURATED;
constexpr uint8_t kFirst = VORLAN_RETURN_FIRST;
constexpr uint8_t kFarthest = VORLAN_RETURN_FARTHEST;

// One segment; X = image_x / 1000, Z = image_z / 1000 (no distortion,
// distance_offset 1); distance = raw / 100 - 1 m.
VorlanCalibration plain_calibration() {
    VorlanCalibration calibration{};
    calibration.id = 1;
    calibration.segment_count = 1;
    calibration.distance_offset = 1.0f;
    calibration.distance_scale = 0.01f;
    calibration.lasers[0].image_x_scale = 0.001f;
    calibration.lasers[0].image_z_scale = 0.001f;
    return calibration;
}

// A point of segment 0 at the image centre, 10 m away under plain_calibration.
VorlanSensorRawPointWithTime raw_point(uint32_t distance = 1100, uint32_t distance_2 = 0) {
    VorlanSensorRawPointWithTime point{};
    point.timestamp = 1'600'000'000'000'000;
    point.distance = distance;
    point.distance_2 = distance_2;
    point.intensity = 50;
    point.intensity_2 = 30;
    point.power_level = 1;
    return point;
}

constexpr CalibrationClips kAllClips{true, true};

// Calibrates into a buffer full of garbage, so that a field left unassigned
// shows.
std::array<VorlanSensorImagePoint, 2> calibrate(const VorlanCalibration& calibration,
                                                const VorlanSensorRawPointWithTime& point, uint32_t returns,
                                                CalibrationClips clips = kAllClips) {
    std::array<VorlanSensorImagePoint, 2> out;
    std::memset(out.data(), 0xA5, sizeof(out));
    calibrate_point(calibration, point, returns, out.data(), clips);
    return out;
}

// ---- Image position -------------------------------------------------------------

// Segment 0 maps raw (300, 50) to e = 2.0 and f = 2.32:
// dx = 200, dz = 100; e = 100 * 0.001 + 0.01 * (200 - 10); f = 200 * 0.002 + (100 - 4) * 0.02.
VorlanCalibration geometry_calibration(uint16_t flags) {
    VorlanCalibration calibration{};
    calibration.segment_count = 1;
    calibration.flags = flags;
    calibration.distance_offset = 2.0f;
    calibration.distance_scale = 0.01f;
    calibration.image_center_x = 0.5f;
    calibration.image_center_z = -0.25f;
    VorlanLaserCalibration& laser = calibration.lasers[0];
    laser.image_x_center = 100;
    laser.image_x_offset = 10;
    laser.image_z_center = -50;
    laser.image_z_offset = 4;
    laser.image_x_scale = 0.01f;
    laser.image_z_scale = 0.02f;
    laser.image_z_to_x = 0.001f;
    laser.image_x_to_z = 0.002f;
    return calibration;
}

TEST(CalibrationGeometry, PolynomialModelCorrectsRadialDistortion) {
    VorlanCalibration calibration = geometry_calibration(0);
    const float distortion[4] = {0.0f, 0.1f, 0.01f, 0.001f};
    std::memcpy(calibration.distortion_x, distortion, sizeof(distortion));
    // The polynomial model ignores distortion_z.
    calibration.distortion_z[1] = 5.0f;
    VorlanSensorRawPointWithTime point = raw_point();
    point.image_x = 300;
    point.image_z = 50;

    // u = 1.5, v = 2.57, s = (u² + v²) / 4 = 2.213725,
    // g = 0.1 s + 0.01 s² + 0.001 s³ = 0.28122682; X = (e + u g) / 2, Z = (f + v g) / 2.
    const auto out = calibrate(calibration, point, 2);
    for (const VorlanSensorImagePoint& image : out) {
        EXPECT_NEAR(image.image_x, 1.21092011, 1e-5);
        EXPECT_NEAR(image.image_z, 1.52137646, 1e-5);
    }
}

TEST(CalibrationGeometry, RationalModelDividesByEachAxisPolynomial) {
    VorlanCalibration calibration = geometry_calibration(VORLAN_CALIBRATION_RATIONAL_DISTORTION);
    const float a[4] = {1.0f, 0.1f, 0.0f, 0.0f};
    const float b[4] = {1.0f, 0.0f, 0.05f, 0.0f};
    std::memcpy(calibration.distortion_x, a, sizeof(a));
    std::memcpy(calibration.distortion_z, b, sizeof(b));
    VorlanSensorRawPointWithTime point = raw_point();
    point.image_x = 300;
    point.image_z = 50;

    // e' = 2.0 / 2 - 0.5 = 0.5, f' = 2.32 / 2 + 0.25 = 1.41, s = 2.2381;
    // X = e' / (1 + 0.1 s) + 0.5, Z = f' / (1 + 0.05 s²) - 0.25.
    const auto out = calibrate(calibration, point, 1);
    EXPECT_NEAR(out[0].image_x, 0.90856015, 1e-5);
    EXPECT_NEAR(out[0].image_z, 0.87758994, 1e-5);
}

// ---- Distance, validity, returns --------------------------------------------------

TEST(CalibrationDistance, PowerLevelOffsetIsSubtractedBeforeScaling) {
    VorlanCalibration calibration = plain_calibration();
    calibration.distance_offset = 2.0f;
    calibration.lasers[0].power_level_distance_offset[3] = 100;
    calibration.lasers[0].power_level_distance_offset[31] = 200;

    struct Case {
        uint8_t power_level;
        float distance;
    };
    const Case cases[] = {
        {3, 12.0f},   // (1500 - 100) * 0.01 - 2
        {31, 11.0f},  // the last level with a table entry
        {32, 13.0f},  // beyond the tables: no offset
        {200, 13.0f},
    };
    for (const Case& c : cases) {
        VorlanSensorRawPointWithTime point = raw_point(1500);
        point.power_level = c.power_level;
        EXPECT_FLOAT_EQ(calibrate(calibration, point, 1)[0].distance, c.distance) << int{c.power_level};
    }
}

TEST(CalibrationDistance, ValidityNeedsReturnPositiveDistanceAndPower) {
    struct Case {
        const char* name;
        uint32_t raw;
        uint8_t power_level;
        float distance;
        bool valid;
    };
    const Case cases[] = {
        {"good return", 1100, 1, 10.0f, true},
        {"power level 0 is never valid", 1100, 0, 10.0f, false},
        {"no return", 0, 1, 0.0f, false},
        {"behind the offset", 50, 1, -0.5f, false},
        {"exactly at the offset", 100, 1, 0.0f, false},
    };
    for (const Case& c : cases) {
        VorlanSensorRawPointWithTime point = raw_point(c.raw);
        point.power_level = c.power_level;
        const auto out = calibrate(plain_calibration(), point, 1);
        EXPECT_FLOAT_EQ(out[0].distance, c.distance) << c.name;
        EXPECT_EQ((out[0].flags & kValid) != 0, c.valid) << c.name;
    }
}

TEST(CalibrationReturns, SecondReturnAndFarthestMark) {
    struct Case {
        const char* name;
        uint32_t first;
        uint32_t second;
        float distance_2;
        bool valid_2;
        uint8_t type_1;
        uint8_t type_2;
    };
    const Case cases[] = {
        {"second farther", 600, 2100, 20.0f, true, kFirst, kFarthest},
        {"second nearer", 2100, 600, 5.0f, true, kFirst | kFarthest, 0},
        {"repeated first return", 1100, 1100, 0.0f, false, kFirst | kFarthest, 0},
        {"no second return", 1100, 0, 0.0f, false, kFirst | kFarthest, 0},
        {"only a second return", 0, 1100, 10.0f, true, kFirst, kFarthest},
    };
    for (const Case& c : cases) {
        const auto out = calibrate(plain_calibration(), raw_point(c.first, c.second), 2);
        EXPECT_FLOAT_EQ(out[1].distance, c.distance_2) << c.name;
        EXPECT_EQ((out[1].flags & kValid) != 0, c.valid_2) << c.name;
        EXPECT_EQ(out[0].return_type, c.type_1) << c.name;
        EXPECT_EQ(out[1].return_type, c.type_2) << c.name;
    }
}

TEST(CalibrationReturns, EveryFieldIsAssignedAndPaddingCleared) {
    VorlanSensorRawPointWithTime point = raw_point(1100, 2100);
    point.segment_id = 0;
    point.frame_flag = 1;
    const auto out = calibrate(plain_calibration(), point, 2);
    for (const VorlanSensorImagePoint& image : out) {
        EXPECT_EQ(image.timestamp, point.timestamp);
        EXPECT_EQ(image.segment_id, 0);
        EXPECT_EQ(image.flags, kValid | VORLAN_POINT_FRAME_FLAG);
        EXPECT_FLOAT_EQ(image.intensity, 1.0f);
        for (uint8_t byte : image.padding) {
            EXPECT_EQ(byte, 0);
        }
    }
    EXPECT_EQ(out[0].return_type, kFirst);
    EXPECT_EQ(out[1].return_type, kFarthest);
}

// ---- Clips --------------------------------------------------------------------------

TEST(CalibrationClip, ImageClipBoundsOnlyWhereSet) {
    struct Case {
        const char* name;
        float min_x, max_x, min_z, max_z;
        int16_t image_x, image_z;  // thousandths
        bool valid;
    };
    const Case cases[] = {
        {"no bounds", 0, 0, 0, 0, -600, 900, true},
        {"below min x", -0.5f, 0, 0, 0, -600, 0, false},
        {"at min x", -0.5f, 0, 0, 0, -500, 0, true},
        {"above max x", 0, 0.5f, 0, 0, 600, 0, false},
        {"below min z", 0, 0, -0.25f, 0, 0, -300, false},
        {"above max z", 0, 0, 0, 0.25f, 0, 300, false},
        {"inside the box", -0.5f, 0.5f, -0.25f, 0.25f, 400, -200, true},
    };
    for (const Case& c : cases) {
        VorlanCalibration calibration = plain_calibration();
        calibration.image_clip_min_x = c.min_x;
        calibration.image_clip_max_x = c.max_x;
        calibration.image_clip_min_z = c.min_z;
        calibration.image_clip_max_z = c.max_z;
        VorlanSensorRawPointWithTime point = raw_point();
        point.image_x = c.image_x;
        point.image_z = c.image_z;
        const auto out = calibrate(calibration, point, 1);
        EXPECT_EQ((out[0].flags & kValid) != 0, c.valid) << c.name;
        EXPECT_EQ(sensor_calibration_apply_image_clip(calibration, out[0].image_x, out[0].image_z), c.valid)
            << c.name;
        const auto unclipped = calibrate(calibration, point, 1, CalibrationClips{false, true});
        EXPECT_NE(unclipped[0].flags & kValid, 0) << c.name;
    }
}

TEST(CalibrationClip, DistanceClipBoundsOnlyWhereSet) {
    struct Case {
        const char* name;
        float min, max;
        uint32_t raw;
        bool valid;
    };
    const Case cases[] = {
        {"no bounds", 0, 0, 20100, true},
        {"below min", 1.0f, 0, 150, false},
        {"at min", 1.0f, 0, 200, true},
        {"at max", 0, 50.0f, 5100, true},
        {"above max", 0, 50.0f, 5200, false},
    };
    for (const Case& c : cases) {
        VorlanCalibration calibration = plain_calibration();
        calibration.distance_clip_min = c.min;
        calibration.distance_clip_max = c.max;
        const auto out = calibrate(calibration, raw_point(c.raw), 1);
        EXPECT_EQ((out[0].flags & kValid) != 0, c.valid) << c.name;
        EXPECT_EQ(sensor_calibration_apply_distance_clip(calibration, out[0].distance), c.valid) << c.name;
        const auto unclipped = calibrate(calibration, raw_point(c.raw), 1, CalibrationClips{true, false});
        EXPECT_NE(unclipped[0].flags & kValid, 0) << c.name;
    }
}

// calibrate_points takes the clips from the control flags.
TEST(CalibrationClip, ControlFlagsDisableClips) {
    VorlanCalibration calibration = plain_calibration();
    calibration.image_clip_min_x = -0.5f;
    calibration.distance_clip_max = 5.0f;
    VorlanSensorRawPointWithTime points[2] = {raw_point(), raw_point(300)};
    points[1].image_x = -600;
    VorlanSensorImagePoint out[2];

    ASSERT_EQ(calibrate_points(calibration, 2, points, 1, out).code(), VORLAN_SUCCESS);
    EXPECT_EQ(out[0].flags & kValid, 0);  // 10 m beyond the range
    EXPECT_EQ(out[1].flags & kValid, 0);  // left of the box

    const VorlanSDKControl both = VORLAN_SDK_CONTROL_DISABLE_IMAGE_CLIP | VORLAN_SDK_CONTROL_DISABLE_DISTANCE_CLIP;
    ASSERT_EQ(SdkManager::instance().set_control_flags(both, both).code(), VORLAN_SUCCESS);
    ASSERT_EQ(calibrate_points(calibration, 2, points, 1, out).code(), VORLAN_SUCCESS);
    EXPECT_NE(out[0].flags & kValid, 0);
    EXPECT_NE(out[1].flags & kValid, 0);
    ASSERT_EQ(SdkManager::instance().set_control_flags(both, 0).code(), VORLAN_SUCCESS);
}

// ---- Saturation ---------------------------------------------------------------------

TEST(CalibrationSaturation, RangeCorrectionAndFlag) {
    struct Case {
        const char* name;
        uint16_t calibration_flags;
        uint8_t saturated;
        uint8_t intensity;
        uint32_t raw;
        float distance;
        bool flagged;
    };
    const Case cases[] = {
        {"saturated at 10 m reads 10.6 m", VORLAN_CALIBRATION_SATURATION_CORRECTION, 1, 50, 1100, 10.6f, true},
        {"saturated at 0.4 m is not corrected", VORLAN_CALIBRATION_SATURATION_CORRECTION, 1, 50, 140, 0.4f, true},
        {"unsaturated is not corrected", VORLAN_CALIBRATION_SATURATION_CORRECTION, 0, 50, 1100, 10.0f, false},
        {"no correction without the flag", 0, 1, 50, 1100, 10.0f, true},
        {"intensity 255 marks saturation only", VORLAN_CALIBRATION_SATURATION_CORRECTION, 0, 255, 1100, 10.0f,
         true},
    };
    for (const Case& c : cases) {
        VorlanCalibration calibration = plain_calibration();
        calibration.flags = c.calibration_flags;
        VorlanSensorRawPointWithTime point = raw_point(c.raw);
        point.saturated = c.saturated;
        point.intensity = c.intensity;
        const auto out = calibrate(calibration, point, 1);
        EXPECT_FLOAT_EQ(out[0].distance, c.distance) << c.name;
        EXPECT_EQ((out[0].flags & kSaturated) != 0, c.flagged) << c.name;
        EXPECT_NE(out[0].flags & kValid, 0) << c.name;
    }
}

TEST(CalibrationSaturation, RepeatedSecondReturnKeepsItsSaturationFlag) {
    VorlanSensorRawPointWithTime point = raw_point(1100, 1100);
    point.saturated_2 = 1;
    auto out = calibrate(plain_calibration(), point, 2);
    EXPECT_EQ(out[1].flags, kSaturated);
    point.saturated_2 = 0;
    point.intensity_2 = 255;
    out = calibrate(plain_calibration(), point, 2);
    EXPECT_EQ(out[1].flags, kSaturated);
}

// Image points of one raw point per entry of `saturated`, every return
// valid with intensity 0.25, the first return saturated where it says so.
std::vector<VorlanSensorImagePoint> batch(const std::vector<bool>& saturated, uint32_t returns) {
    std::vector<VorlanSensorImagePoint> points(saturated.size() * returns);
    for (std::size_t j = 0; j < saturated.size(); ++j) {
        for (uint32_t r = 0; r < returns; ++r) {
            VorlanSensorImagePoint& point = points[j * returns + r];
            point.flags = kValid;
            point.intensity = 0.25f;
        }
        if (saturated[j]) {
            points[j * returns].flags |= kSaturated;
        }
    }
    return points;
}

TEST(CalibrationSaturation, Model3KeepsSaturatedReturnsFromTheSecondOfARunOn) {
    VorlanCalibration calibration = plain_calibration();
    calibration.model = 3;
    calibration.segment_count = 2;
    // Segment 0 at even positions: -, S, -, S, S, S; segment 1 saturated at
    // every other point, never twice in a row.
    const std::vector<bool> saturated = {false, false, true, true, false, false,
                                         true,  true,  true, false, true,  true};
    std::vector<VorlanSensorImagePoint> points = batch(saturated, 1);
    filter_saturated(calibration, saturated.size(), 1, points.data());
    const bool valid[] = {true, true, false, false, true, true, false, false, true, true, true, false};
    for (std::size_t j = 0; j < saturated.size(); ++j) {
        EXPECT_EQ((points[j].flags & kValid) != 0, valid[j]) << j;
    }
}

TEST(CalibrationSaturation, Model3DropsSaturatedSecondReturnOfAnUnsaturatedPoint) {
    VorlanCalibration calibration = plain_calibration();
    calibration.model = 3;
    std::vector<VorlanSensorImagePoint> points = batch({true, true, false}, 2);
    // Every second return saturated too.
    points[1].flags |= kSaturated;
    points[3].flags |= kSaturated;
    points[5].flags |= kSaturated;
    filter_saturated(calibration, 3, 2, points.data());
    EXPECT_EQ(points[0].flags & kValid, 0);  // first of the run
    EXPECT_EQ(points[1].flags & kValid, 0);
    EXPECT_NE(points[2].flags & kValid, 0);  // second of the run: both returns stay
    EXPECT_NE(points[3].flags & kValid, 0);
    EXPECT_NE(points[4].flags & kValid, 0);  // first return not saturated
    EXPECT_EQ(points[5].flags & kValid, 0);  // saturated second return of it
}

TEST(CalibrationSaturation, ThirdSaturatedPointInARowReadsAtLeastOne) {
    VorlanCalibration calibration = plain_calibration();
    calibration.model = 7;  // no run rule: saturated returns stay valid
    std::vector<VorlanSensorImagePoint> points = batch({true, true, true, true, false, true}, 1);
    points[3].intensity = 4.0f;
    filter_saturated(calibration, points.size(), 1, points.data());
    const float intensity[] = {0.25f, 0.25f, 1.0f, 4.0f, 0.25f, 0.25f};
    for (std::size_t j = 0; j < points.size(); ++j) {
        EXPECT_FLOAT_EQ(points[j].intensity, intensity[j]) << j;
        EXPECT_NE(points[j].flags & kValid, 0) << j;
    }
}

TEST(CalibrationSaturation, RunStateLastsOneCall) {
    VorlanCalibration calibration = plain_calibration();
    calibration.model = 3;
    for (int call = 0; call < 2; ++call) {
        std::vector<VorlanSensorImagePoint> points = batch({true}, 1);
        filter_saturated(calibration, 1, 1, points.data());
        EXPECT_EQ(points[0].flags & kValid, 0) << call;
    }
}

TEST(CalibrationSaturation, SegmentCountsWithoutSegmentsLeaveTheBatchAlone) {
    for (uint16_t segment_count : {uint16_t{0}, uint16_t{193}, uint16_t{65535}}) {
        VorlanCalibration calibration = plain_calibration();
        calibration.model = 3;
        calibration.segment_count = segment_count;
        std::vector<VorlanSensorImagePoint> points = batch({true, true, true}, 1);
        filter_saturated(calibration, points.size(), 1, points.data());
        for (const VorlanSensorImagePoint& point : points) {
            EXPECT_EQ(point.flags, kValid | kSaturated) << segment_count;
            EXPECT_FLOAT_EQ(point.intensity, 0.25f) << segment_count;
        }
    }
}

// ---- Intensity ----------------------------------------------------------------------

TEST(CalibrationIntensity, NormalisedByRangeReferenceAndFalloff) {
    struct Case {
        const char* name;
        float reference;
        float range_offset;
        std::array<float, 6> falloff;
        float intensity;
    };
    const float ln2 = std::log(2.0f);
    const Case cases[] = {
        {"no intensity data", 0.0f, 0.0f, {}, 1.0f},
        {"range squared over reference", 48.0f, 0.0f, {}, 150.0f},  // 50 * 12² / 48
        {"range offset", 48.0f, 3.0f, {}, 234.375f},                // 50 * 15² / 48
        {"constant falloff", 48.0f, 0.0f, {ln2, 0, 0, 0, 0, 0}, 75.0f},
        // dx = 200, dz = 100: 0.1 + 0.2 - 0.2 + 0.04 + 0.04 - 0.03 = 0.15.
        {"falloff over the image", 48.0f, 0.0f, {0.1f, 0.001f, -0.002f, 1e-6f, 2e-6f, -3e-6f}, 129.106196f},
    };
    for (const Case& c : cases) {
        VorlanCalibration calibration = plain_calibration();
        calibration.distance_offset = 2.0f;
        VorlanLaserCalibration& laser = calibration.lasers[0];
        laser.image_x_center = 100;
        laser.image_z_center = -50;
        laser.power_level_intensity[3] = c.reference;
        laser.intensity_range_offset = c.range_offset;
        std::memcpy(laser.intensity_falloff, c.falloff.data(), sizeof(laser.intensity_falloff));
        VorlanSensorRawPointWithTime point = raw_point(1400);  // 12 m
        point.power_level = 3;
        point.image_x = 300;
        point.image_z = 50;
        EXPECT_NEAR(calibrate(calibration, point, 1)[0].intensity, c.intensity, 1e-3) << c.name;
    }
}

TEST(CalibrationIntensity, EachReturnUsesItsOwnRangeAndByte) {
    VorlanCalibration calibration = plain_calibration();
    calibration.lasers[0].power_level_intensity[1] = 100.0f;
    struct Case {
        const char* name;
        uint32_t first, second;
        float intensity_1, intensity_2;
    };
    const Case cases[] = {
        {"two returns", 1100, 2100, 50.0f, 120.0f},     // 50 * 10² / 100, 30 * 20² / 100
        {"repeated second return", 1100, 1100, 50.0f, 30.0f},
        {"no first return", 0, 2100, 0.0f, 120.0f},
        {"no second return", 1100, 0, 50.0f, 0.0f},
    };
    for (const Case& c : cases) {
        const auto out = calibrate(calibration, raw_point(c.first, c.second), 2);
        EXPECT_FLOAT_EQ(out[0].intensity, c.intensity_1) << c.name;
        EXPECT_FLOAT_EQ(out[1].intensity, c.intensity_2) << c.name;
    }
}

// ---- Segments without calibration ------------------------------------------------------

TEST(CalibrationSegments, SegmentIdBeyondTheTableYieldsEmptyInvalidPoints) {
    VorlanCalibration calibration = plain_calibration();
    calibration.segment_count = 192;
    for (uint8_t segment : {uint8_t{192}, uint8_t{200}, uint8_t{255}}) {
        VorlanSensorRawPointWithTime point = raw_point(1100, 2100);
        point.segment_id = segment;
        point.saturated = 1;
        point.frame_flag = 1;
        const auto out = calibrate(calibration, point, 2);
        for (const VorlanSensorImagePoint& image : out) {
            EXPECT_EQ(image.timestamp, point.timestamp);
            EXPECT_EQ(image.segment_id, segment);
            EXPECT_EQ(image.flags, VORLAN_POINT_FRAME_FLAG);
            EXPECT_EQ(image.image_x, 0.0f);
            EXPECT_EQ(image.image_z, 0.0f);
            EXPECT_EQ(image.distance, 0.0f);
            EXPECT_EQ(image.intensity, 0.0f);
        }
        EXPECT_EQ(out[0].return_type, kFirst | kFarthest);
        EXPECT_EQ(out[1].return_type, 0);
    }
}

TEST(CalibrationSegments, LastSegmentOfTheTableIsCalibrated) {
    VorlanCalibration calibration = plain_calibration();
    calibration.lasers[191] = calibration.lasers[0];
    VorlanSensorRawPointWithTime point = raw_point();
    point.segment_id = 191;
    EXPECT_EQ(calibrate(calibration, point, 1)[0].flags, kValid);
}

// ---- Batches and the C interface -------------------------------------------------------

TEST(CalibrationBatch, RefusesBadArgumentsWithoutWriting) {
    const VorlanCalibration calibration = plain_calibration();
    VorlanSensorRawPointWithTime points[1] = {raw_point()};
    VorlanSensorImagePoint out[3];
    std::memset(out, 0xA5, sizeof(out));
    for (uint32_t returns : {0u, 3u, 0xFFFFFFFFu}) {
        EXPECT_EQ(calibrate_points(calibration, 1, points, returns, out).code(), VORLAN_ERROR_INVALID_ARGUMENTS)
            << returns;
    }
    EXPECT_EQ(calibrate_points(calibration, 1, nullptr, 1, out).code(), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(calibrate_points(calibration, 1, points, 1, nullptr).code(), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(out[0].timestamp, static_cast<int64_t>(0xA5A5A5A5A5A5A5A5ull));
    EXPECT_EQ(calibrate_points(calibration, 0, nullptr, 1, nullptr).code(), VORLAN_SUCCESS);
}

TEST(CalibrationBatch, PointsLandAtTheirReturnSlots) {
    VorlanCalibration calibration = plain_calibration();
    std::vector<VorlanSensorRawPointWithTime> points = {raw_point(1100, 2100), raw_point(600, 0),
                                                       raw_point(3100, 1100)};
    points[1].timestamp += 10;
    points[2].timestamp += 20;
    std::vector<VorlanSensorImagePoint> out(6);
    ASSERT_EQ(calibrate_points(calibration, points.size(), points.data(), 2, out.data()).code(), VORLAN_SUCCESS);
    const float distance[] = {10.0f, 20.0f, 5.0f, 0.0f, 30.0f, 10.0f};
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_FLOAT_EQ(out[i].distance, distance[i]) << i;
        EXPECT_EQ(out[i].timestamp, points[i / 2].timestamp) << i;
    }
}

class CalibrationCInterface : public ::testing::Test {
protected:
    void TearDown() override { vorlan_sdk_deinitialize(); }

    static void initialize() {
        VorlanSDKOptions options = vorlan_sdk_create_options();
        options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
        ASSERT_EQ(vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr), VORLAN_SUCCESS);
    }
};

TEST_F(CalibrationCInterface, CalibratesWithAClientCalibrationAndRefusesBadArguments) {
    const VorlanCalibration calibration = plain_calibration();
    const VorlanSensorRawPointWithTime points[2] = {raw_point(1100), raw_point(2100)};
    VorlanSensorImagePoint out[2];
    EXPECT_EQ(vorlan_sdk_calibrate_points_with_calibration(&calibration, 2, points, 1, out),
              VORLAN_ERROR_NOT_INITIALIZED);
    initialize();
    ASSERT_EQ(vorlan_sdk_calibrate_points_with_calibration(&calibration, 2, points, 1, out), VORLAN_SUCCESS);
    EXPECT_FLOAT_EQ(out[0].distance, 10.0f);
    EXPECT_FLOAT_EQ(out[1].distance, 20.0f);

    EXPECT_EQ(vorlan_sdk_calibrate_points_with_calibration(nullptr, 1, points, 1, out), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(vorlan_sdk_calibrate_points_with_calibration(&calibration, 1, points, 3, out),
              VORLAN_ERROR_INVALID_ARGUMENTS);
    const char* message = nullptr;
    EXPECT_EQ(vorlan_sdk_get_error(&message), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_NE(std::string(message).find("Invalid return count!"), std::string::npos);
}

// ---- Transforms ------------------------------------------------------------------------

// Rotates v by the quaternion q (x, y, z, w) as q v q*, independently of the
// matrix form.
std::array<double, 3> rotate(const float q[4], const std::array<double, 3>& v) {
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    // t = 2 (q.xyz × v); v' = v + w t + q.xyz × t
    const double tx = 2 * (y * v[2] - z * v[1]);
    const double ty = 2 * (z * v[0] - x * v[2]);
    const double tz = 2 * (x * v[1] - y * v[0]);
    return {v[0] + w * tx + (y * tz - z * ty), v[1] + w * ty + (z * tx - x * tz), v[2] + w * tz + (x * ty - y * tx)};
}

TEST(CalibrationTransform, KnownRotations) {
    const float s = std::sqrt(0.5f);
    struct Case {
        const char* name;
        float rotation[4];
        float matrix[9];
    };
    const Case cases[] = {
        {"identity", {0, 0, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
        {"90 degrees about z", {0, 0, s, s}, {0, -1, 0, 1, 0, 0, 0, 0, 1}},
        {"180 degrees about y", {0, 1, 0, 0}, {-1, 0, 0, 0, 1, 0, 0, 0, -1}},
    };
    for (const Case& c : cases) {
        VorlanSensorTransform transform{};
        std::memcpy(transform.rotation, c.rotation, sizeof(c.rotation));
        transform.translation[0] = 1.5f;
        transform.translation[1] = -2.0f;
        transform.translation[2] = 0.25f;
        VorlanSensorCompiledTransform compiled;
        compile_sensor_transform(transform, compiled);
        for (int i = 0; i < 9; ++i) {
            EXPECT_NEAR(compiled.rotation[i], c.matrix[i], 1e-6) << c.name << " element " << i;
        }
        EXPECT_EQ(compiled.translation[0], 1.5f);
        EXPECT_EQ(compiled.translation[1], -2.0f);
        EXPECT_EQ(compiled.translation[2], 0.25f);
    }
}

TEST(CalibrationTransform, MatrixRotatesLikeTheQuaternion) {
    // A unit quaternion about the axis (1, 2, 3) by 40 degrees.
    const double angle = 40.0 * 3.14159265358979 / 180.0;
    const double norm = std::sqrt(14.0);
    const double half = std::sin(angle / 2);
    VorlanSensorTransform transform{};
    transform.rotation[0] = static_cast<float>(half / norm);
    transform.rotation[1] = static_cast<float>(2 * half / norm);
    transform.rotation[2] = static_cast<float>(3 * half / norm);
    transform.rotation[3] = static_cast<float>(std::cos(angle / 2));
    VorlanSensorCompiledTransform compiled;
    compile_sensor_transform(transform, compiled);
    const std::array<std::array<double, 3>, 3> vectors = {{{1, 0, 0}, {0.5, -2, 4}, {-3, 1, 0.25}}};
    for (const auto& v : vectors) {
        const std::array<double, 3> expected = rotate(transform.rotation, v);
        for (int row = 0; row < 3; ++row) {
            const float* m = compiled.rotation + 3 * row;
            EXPECT_NEAR(m[0] * v[0] + m[1] * v[1] + m[2] * v[2], expected[row], 1e-5);
        }
    }
}

}  // namespace
}  // namespace vorlan_sdk
