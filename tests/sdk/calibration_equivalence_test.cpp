// The library's calibration against the plain one-point-at-a-time reference
// of tests/support, bit for bit, over thousands of varied points: both lens
// models, one and two returns, clips on and off, saturation runs, power
// levels without tables, segments beyond the table, batches that end inside
// and at the edge of the library's internal runs, and calibrations that make
// infinities and NaNs; with each calibration kernel the processor runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "calibration.h"
#include "core.h"
#include "support/reference_calibration.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::ReferenceClips;

// The NaN the processor itself makes (0/0; its sign differs between
// processors): with only this one in play, two NaNs that meet give the same
// bits whichever operand comes first.
float default_nan() {
    volatile float zero = 0.0f;
    return zero / zero;
}
const float kNaN = default_nan();

class Generator {
public:
    explicit Generator(uint32_t seed) : m_engine(seed) {}

    uint32_t below(uint32_t n) { return static_cast<uint32_t>(m_engine() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }
    float uniform(float low, float high) {
        return low + (high - low) * static_cast<float>(m_engine() % 1'000'000) / 1'000'000.0f;
    }
    template <class T>
    T pick(std::initializer_list<T> values) {
        return *(values.begin() + below(static_cast<uint32_t>(values.size())));
    }
    uint32_t bits() { return static_cast<uint32_t>(m_engine()); }

private:
    std::mt19937 m_engine;
};

// A clip bound: mostly none or a plausible value, now and then NaN.
float clip_bound(Generator& g, float low, float high) {
    const uint32_t kind = g.below(10);
    return kind < 4 ? 0.0f : kind < 9 ? g.uniform(low, high) : kNaN;
}

VorlanCalibration make_calibration(Generator& g, bool rational) {
    VorlanCalibration c{};
    c.id = 7;
    c.model = g.pick<int16_t>({3, 3, 7, 12, 16});
    c.segment_count = g.pick<uint16_t>({0, 1, 5, 24, 24, 64, 191, 192, 193});
    c.flags = static_cast<uint16_t>((g.chance(60) ? VORLAN_CALIBRATION_SATURATION_CORRECTION : 0) |
                                    (rational ? VORLAN_CALIBRATION_RATIONAL_DISTORTION : 0));
    // 0 divides by zero in the lens models: infinite and NaN positions.
    c.distance_offset = g.pick<float>({1.2f, 0.02f, 2.0f, -0.5f, 0.0f});
    c.distance_scale = g.pick<float>({0.0009993083f, 0.001f, 0.01f, 2e-5f});
    c.image_clip_min_x = clip_bound(g, -1.0f, -0.1f);
    c.image_clip_max_x = clip_bound(g, 0.1f, 1.0f);
    c.image_clip_min_z = clip_bound(g, -0.6f, -0.05f);
    c.image_clip_max_z = clip_bound(g, 0.05f, 0.6f);
    c.distance_clip_min = clip_bound(g, 0.1f, 3.0f);
    c.distance_clip_max = clip_bound(g, 20.0f, 300.0f);
    c.image_center_x = g.uniform(-0.05f, 0.05f);
    c.image_center_z = g.uniform(-0.05f, 0.05f);
    c.distortion_x[0] = g.pick<float>({1.0f, 1.0f, 0.9f, 0.0f});
    c.distortion_z[0] = g.pick<float>({1.0f, 1.0f, 1.1f, 0.0f});
    for (int k = 1; k < 4; ++k) {
        c.distortion_x[k] = g.uniform(-0.5f, 0.5f);
        c.distortion_z[k] = g.uniform(-0.5f, 0.5f);
    }
    for (VorlanLaserCalibration& laser : c.lasers) {
        laser.image_x_center = static_cast<int16_t>(static_cast<int>(g.below(2000)) - 1000);
        laser.image_x_offset = static_cast<int16_t>(static_cast<int>(g.below(200)) - 100);
        laser.image_z_center = static_cast<int16_t>(static_cast<int>(g.below(2000)) - 1000);
        laser.image_z_offset = static_cast<int16_t>(static_cast<int>(g.below(200)) - 100);
        laser.intensity_range_offset = g.uniform(-1.0f, 1.0f);
        laser.image_x_scale = g.uniform(1e-6f, 1e-4f);
        laser.image_z_scale = g.uniform(1e-6f, 1e-4f);
        laser.image_z_to_x = g.uniform(-1e-5f, 1e-5f);
        laser.image_x_to_z = g.uniform(-1e-5f, 1e-5f);
        for (int p = 0; p < 32; ++p) {
            // No intensity table for some levels; negative and NaN references
            // too.
            const uint32_t kind = g.below(20);
            laser.power_level_intensity[p] =
                kind < 4 ? 0.0f : kind == 4 ? -50.0f : kind == 5 ? kNaN : g.uniform(10.0f, 500.0f);
            laser.power_level_distance_offset[p] = static_cast<int16_t>(g.bits());
        }
        // Mostly a gentle falloff; sometimes one whose exponential overflows
        // (infinite, intensity 0), underflows (0: no division) or is NaN.
        const uint32_t kind = g.below(20);
        const float constant = kind == 0 ? 200.0f : kind == 1 ? -200.0f : kind == 2 ? kNaN : g.uniform(-0.5f, 0.5f);
        const float falloff[6] = {constant, g.uniform(-1e-3f, 1e-3f), g.uniform(-1e-3f, 1e-3f),
                                  g.uniform(-1e-6f, 1e-6f), g.uniform(-1e-6f, 1e-6f), g.uniform(-1e-6f, 1e-6f)};
        std::memcpy(laser.intensity_falloff, falloff, sizeof(falloff));
    }
    return c;
}

// Points cycling through the segments as sensors send them, with saturation
// in bursts so that runs of saturated points form, and now and then a point
// out of turn or beyond the table.
std::vector<VorlanSensorRawPointWithTime> make_points(Generator& g, const VorlanCalibration& c, std::size_t n) {
    std::vector<VorlanSensorRawPointWithTime> points(n);
    const std::size_t segments = c.segment_count == 0 ? 24 : c.segment_count;
    bool burst = false;
    for (std::size_t i = 0; i < n; ++i) {
        VorlanSensorRawPointWithTime& p = points[i];
        p.timestamp = static_cast<int64_t>((static_cast<uint64_t>(g.bits()) << 32) | g.bits());
        const bool wide = g.chance(5);
        p.image_x = static_cast<int16_t>(wide ? g.bits() : g.below(4000) - 2000);
        p.image_z = static_cast<int16_t>(wide ? g.bits() : g.below(4000) - 2000);
        const uint32_t kind = g.below(20);
        p.distance = kind == 0 ? 0 : kind == 1 ? g.bits() : kind == 2 ? g.below(2000) : g.below(1u << 20);
        const uint32_t kind_2 = g.below(6);
        p.distance_2 = kind_2 == 0 ? 0 : kind_2 == 1 ? p.distance : kind_2 == 2 ? g.bits() : g.below(1u << 20);
        p.intensity = static_cast<uint8_t>(g.chance(5) ? 255 : g.bits());
        p.intensity_2 = static_cast<uint8_t>(g.chance(5) ? 255 : g.bits());
        if (g.chance(10)) {
            burst = !burst;
        }
        p.saturated = burst || g.chance(5) ? g.pick<uint8_t>({1, 1, 0x10}) : 0;
        p.saturated_2 = g.chance(15) ? 1 : 0;
        const uint32_t segment_kind = g.below(50);
        p.segment_id = static_cast<uint8_t>(segment_kind == 0   ? g.pick<uint32_t>({191, 192, 193, 255})
                                            : segment_kind == 1 ? g.bits()
                                                                : i % segments);
        const uint32_t power_kind = g.below(20);
        p.power_level = static_cast<uint8_t>(power_kind == 0   ? 0
                                             : power_kind == 1 ? g.pick<uint32_t>({31, 32, 200, 255})
                                                               : 1 + g.below(31));
        p.reserved = static_cast<uint8_t>(g.bits());
        p.frame_flag = g.pick<uint8_t>({0, 0, 1, 0x40});
    }
    return points;
}

// Every byte equal; on failure, the fields of the first image point that
// differs.
::testing::AssertionResult same_points(const std::vector<VorlanSensorImagePoint>& library,
                                       const std::vector<VorlanSensorImagePoint>& reference) {
    if (library.size() != reference.size()) {
        return ::testing::AssertionFailure() << "sizes " << library.size() << " and " << reference.size();
    }
    for (std::size_t i = 0; i < library.size(); ++i) {
        const VorlanSensorImagePoint& a = library[i];
        const VorlanSensorImagePoint& b = reference[i];
        if (std::memcmp(&a, &b, sizeof(a)) != 0) {
            char text[400];
            std::snprintf(text, sizeof(text),
                          "image point %zu differs:\n library   x %a z %a d %a i %a type %u flags %u segment %u\n"
                          " reference x %a z %a d %a i %a type %u flags %u segment %u",
                          i, a.image_x, a.image_z, a.distance, a.intensity, a.return_type, a.flags, a.segment_id,
                          b.image_x, b.image_z, b.distance, b.intensity, b.return_type, b.flags, b.segment_id);
            return ::testing::AssertionFailure() << text;
        }
    }
    return ::testing::AssertionSuccess();
}

// Buffers full of garbage, so that a byte the library leaves alone shows.
std::vector<VorlanSensorImagePoint> garbage(std::size_t n) {
    std::vector<VorlanSensorImagePoint> points(n);
    std::memset(points.data(), 0xA5, n * sizeof(VorlanSensorImagePoint));
    return points;
}

void set_clips(ReferenceClips clips) {
    const VorlanSDKControl both = VORLAN_SDK_CONTROL_DISABLE_IMAGE_CLIP | VORLAN_SDK_CONTROL_DISABLE_DISTANCE_CLIP;
    const VorlanSDKControl flags = (clips.image ? 0 : VORLAN_SDK_CONTROL_DISABLE_IMAGE_CLIP) |
                                   (clips.distance ? 0 : VORLAN_SDK_CONTROL_DISABLE_DISTANCE_CLIP);
    ASSERT_EQ(SdkManager::instance().set_control_flags(both, flags).code(), VORLAN_SUCCESS);
}

const ReferenceClips kClipSettings[] = {{true, true}, {false, true}, {true, false}, {false, false}};

// Batch sizes around the library's runs of 64 points.
const std::size_t kBatchSizes[] = {1, 2, 63, 64, 65, 127, 128, 129, 200, 1000};

// The calibration kernels this processor runs, each made the one in use in
// turn; the widest is left in use.
std::vector<internal::CalibrationKernel> kernels_here() {
    std::vector<internal::CalibrationKernel> kernels = {internal::CalibrationKernel::portable};
    if (internal::calibration_kernel_runs(internal::CalibrationKernel::avx2)) {
        kernels.push_back(internal::CalibrationKernel::avx2);
    }
    return kernels;
}

TEST(CalibrationEquivalence, BatchesEqualTheReferenceBitForBit) {
    for (internal::CalibrationKernel kernel : kernels_here()) {
    SCOPED_TRACE(kernel == internal::CalibrationKernel::avx2 ? "AVX2 kernel" : "portable kernel");
    ASSERT_TRUE(internal::use_calibration_kernel(kernel));
    Generator g(20240601);
    std::size_t compared = 0;
    for (int round = 0; round < 12; ++round) {
        for (bool rational : {false, true}) {
            const VorlanCalibration calibration = make_calibration(g, rational);
            for (std::size_t n : kBatchSizes) {
                const std::vector<VorlanSensorRawPointWithTime> raw = make_points(g, calibration, n);
                for (uint32_t returns : {1u, 2u}) {
                    const ReferenceClips clips = kClipSettings[g.below(4)];
                    set_clips(clips);
                    std::vector<VorlanSensorImagePoint> library = garbage(n * returns);
                    std::vector<VorlanSensorImagePoint> reference = garbage(n * returns);
                    ASSERT_EQ(calibrate_points(calibration, n, raw.data(), returns, library.data()).code(),
                              VORLAN_SUCCESS);
                    vorlan_test::reference_calibrate_points(calibration, n, raw.data(), returns, clips,
                                                            reference.data());
                    ASSERT_TRUE(same_points(library, reference))
                        << "round " << round << ", rational " << rational << ", " << n << " points, " << returns
                        << " returns, model " << calibration.model << ", " << calibration.segment_count
                        << " segments, clips " << clips.image << clips.distance;
                    compared += n;
                }
            }
        }
    }
    set_clips({true, true});
    EXPECT_GT(compared, 40'000u);
    }
}

TEST(CalibrationEquivalence, SinglePointsEqualTheReferenceUnderEveryClipSetting) {
    for (internal::CalibrationKernel kernel : kernels_here()) {
    SCOPED_TRACE(kernel == internal::CalibrationKernel::avx2 ? "AVX2 kernel" : "portable kernel");
    ASSERT_TRUE(internal::use_calibration_kernel(kernel));
    Generator g(77);
    for (bool rational : {false, true}) {
        const VorlanCalibration calibration = make_calibration(g, rational);
        const std::vector<VorlanSensorRawPointWithTime> raw = make_points(g, calibration, 2000);
        for (const ReferenceClips& clips : kClipSettings) {
            for (uint32_t returns : {1u, 2u}) {
                std::vector<VorlanSensorImagePoint> library = garbage(raw.size() * returns);
                std::vector<VorlanSensorImagePoint> reference = garbage(raw.size() * returns);
                for (std::size_t i = 0; i < raw.size(); ++i) {
                    calibrate_point(calibration, raw[i], returns, library.data() + i * returns,
                                    CalibrationClips{clips.image, clips.distance});
                    vorlan_test::reference_calibrate_point(calibration, raw[i], returns, clips,
                                                           reference.data() + i * returns);
                }
                ASSERT_TRUE(same_points(library, reference))
                    << "rational " << rational << ", " << returns << " returns, clips " << clips.image
                    << clips.distance;
            }
        }
    }
    }
}

// Saturation rules alone, on image points that went through calibration
// without them: the same batch filtered by both.
TEST(CalibrationEquivalence, SaturationFilterEqualsTheReference) {
    Generator g(5);
    for (int16_t model : {int16_t{3}, int16_t{7}}) {
        for (uint16_t segments : {uint16_t{1}, uint16_t{5}, uint16_t{24}, uint16_t{192}}) {
            VorlanCalibration calibration = make_calibration(g, false);
            calibration.model = model;
            calibration.segment_count = segments;
            const std::vector<VorlanSensorRawPointWithTime> raw = make_points(g, calibration, 1500);
            for (uint32_t returns : {1u, 2u}) {
                std::vector<VorlanSensorImagePoint> library(raw.size() * returns);
                for (std::size_t i = 0; i < raw.size(); ++i) {
                    vorlan_test::reference_calibrate_point(calibration, raw[i], returns, {},
                                                           library.data() + i * returns);
                }
                std::vector<VorlanSensorImagePoint> reference = library;
                filter_saturated(calibration, raw.size(), returns, library.data());
                vorlan_test::reference_filter_saturated(calibration, raw.size(), returns, reference.data());
                ASSERT_TRUE(same_points(library, reference))
                    << "model " << model << ", " << segments << " segments, " << returns << " returns";
            }
        }
    }
}

}  // namespace
}  // namespace vorlan_sdk
