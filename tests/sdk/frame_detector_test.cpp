#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/scan_patterns.h"
#include "vorlan_sdk_impl/vorlan_sdk_util.hpp"

namespace vorlan_sdk {
namespace util {
namespace {

using vorlan_test::ScanSample;
using Base = internal::FrameDetectorBase<int64_t>;
using Result = Base::Result;

// A boundary as the caller sees it: the offered point that completed it and
// what the detector reported.
struct Boundary {
    int64_t offered_at;
    Result result;
};

// Offers every point with its position as the index.
std::vector<Boundary> run(Base& detector, const std::vector<VorlanSensorImagePoint>& points, int64_t first = 0) {
    std::vector<Boundary> boundaries;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const int64_t index = first + static_cast<int64_t>(i);
        if (detector.update(points[i], index)) {
            boundaries.push_back({index, detector.result()});
        }
    }
    return boundaries;
}

std::vector<int64_t> indices(const std::vector<Boundary>& boundaries) {
    std::vector<int64_t> out;
    for (const Boundary& b : boundaries) {
        out.push_back(b.result.index);
    }
    return out;
}

std::vector<int32_t> phases(const std::vector<Boundary>& boundaries) {
    std::vector<int32_t> out;
    for (const Boundary& b : boundaries) {
        out.push_back(b.result.phase);
    }
    return out;
}

VorlanSensorInformation information_of(VorlanSensorModel model) {
    VorlanSensorInformation information{};
    information.model = model;
    information.return_count = 1;
    information.segment_count = 1;
    return information;
}

VorlanSDKFrameOptions options_of(VorlanSDKFrameMode mode, float length = 0.05f) {
    VorlanSDKFrameOptions options = vorlan_sdk_create_frame_options();
    options.mode = mode;
    options.length = length;
    return options;
}

// ---- Extremum detector -------------------------------------------------------------

TEST(MaxDetector, WithoutConfirmationOnlyTracksTheRunningExtremum) {
    MaxDetector<int64_t> minimum(false, 0, 0.0f);
    const float values[] = {5, 3, 4, 1, 2, 8, 1};
    const float running[] = {5, 3, 3, 1, 1, 1, 1};
    const int64_t at[] = {0, 1, 1, 3, 3, 3, 3};
    for (int i = 0; i < 7; ++i) {
        EXPECT_FALSE(minimum.update(i, values[i], i));
        EXPECT_EQ(minimum.candidate().value, running[i]) << i;
        EXPECT_EQ(minimum.candidate().index, at[i]) << i;
    }
    EXPECT_FALSE(minimum.last().valid);
}

TEST(MaxDetector, ConfirmsAfterEnoughSamplesThatDoNotExceed) {
    MaxDetector<int64_t> maximum(true, 3, 0.0f);
    // Rise to 9 at index 4, then 3 samples that do not exceed it (a tie
    // included).
    const float values[] = {1, 2, 3, 4, 9, 9, 7, 6, 5};
    for (int i = 0; i < 8; ++i) {
        const bool confirmed = maximum.update(1000 + i, values[i], i);
        EXPECT_EQ(confirmed, i == 7) << i;
    }
    EXPECT_TRUE(maximum.last().valid);
    EXPECT_EQ(maximum.last().index, 4);
    EXPECT_EQ(maximum.last().timestamp, 1004);
    EXPECT_EQ(maximum.last().direction, 1);
    EXPECT_EQ(maximum.candidate().timestamp, -1);  // restarted
    // Still searching for maxima: the next sample starts a new candidate.
    EXPECT_FALSE(maximum.update(1008, values[8], 8));
    EXPECT_EQ(maximum.candidate().index, 8);
}

TEST(MaxDetector, ExtremumTooSoonAfterTheLastDetectionDoesNotCount) {
    MaxDetector<int64_t> maximum(true, 3, 0.0f);
    // Peak at index 1: only one sample before it.
    const float values[] = {1, 9, 5, 4, 3};
    bool any = false;
    for (int i = 0; i < 5; ++i) {
        any |= maximum.update(i, values[i], i);
    }
    EXPECT_FALSE(any);
    EXPECT_FALSE(maximum.last().valid);
    EXPECT_EQ(maximum.last().index, 1);  // taken, but invalid
}

TEST(MaxDetector, ThresholdDemandsARetreat) {
    MaxDetector<int64_t> maximum(true, 2, 1.0f);
    // Peak 10 at index 3; 9.5 and 9.2 do not retreat far enough, 8.9 does.
    const float values[] = {1, 2, 3, 10, 9.5f, 9.2f, 8.9f};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(maximum.update(i, values[i], i), i == 6) << i;
    }
    EXPECT_EQ(maximum.last().index, 3);
}

// ---- Time rule ----------------------------------------------------------------------

std::vector<int64_t> every_ms(int n, int64_t start = 5'000'000) {
    std::vector<int64_t> times;
    for (int i = 0; i < n; ++i) {
        times.push_back(start + 1000 * i);
    }
    return times;
}

TEST(TimedFrameDetector, FrameEndsAtTheFirstPointAFullLengthAfterItsFirst) {
    TimedFrameDetector<int64_t> detector(0.1f);
    const std::vector<Boundary> boundaries = run(detector, vorlan_test::points_at(every_ms(350)));
    // The point after a boundary opens the next frame.
    EXPECT_EQ(indices(boundaries), (std::vector<int64_t>{100, 201, 302}));
    EXPECT_EQ(phases(boundaries), (std::vector<int32_t>{0, 0, 0}));
    EXPECT_FLOAT_EQ(detector.period(), 0.101f);
}

TEST(TimedFrameDetector, PeriodOnlyFromTheSecondBoundary) {
    TimedFrameDetector<int64_t> detector(0.1f);
    const std::vector<VorlanSensorImagePoint> points = vorlan_test::points_at(every_ms(202));
    for (std::size_t i = 0; i <= 100; ++i) {
        detector.update(points[i], static_cast<int64_t>(i));
    }
    EXPECT_TRUE(detector.result().found);
    EXPECT_EQ(detector.period(), -1.0f);
    for (std::size_t i = 101; i < points.size(); ++i) {
        detector.update(points[i], static_cast<int64_t>(i));
    }
    EXPECT_FLOAT_EQ(detector.period(), 0.101f);
}

TEST(TimedFrameDetector, TimeRunningBackwardsEndsTheFrameFromTenMilliseconds) {
    struct Case {
        const char* name;
        int64_t back_us;
        bool ends;
    };
    const Case cases[] = {
        {"5 ms back", 5000, false},
        {"9.9 ms back", 9900, false},
        {"10 ms back", 10000, true},
        {"20 ms back", 20000, true},
    };
    for (const Case& c : cases) {
        TimedFrameDetector<int64_t> detector(0.1f);
        std::vector<int64_t> times = every_ms(30);  // opens at 5 s
        times.push_back(times.front() - c.back_us);
        const std::vector<Boundary> boundaries = run(detector, vorlan_test::points_at(times));
        EXPECT_EQ(boundaries.size(), c.ends ? 1u : 0u) << c.name;
        if (c.ends) {
            EXPECT_EQ(boundaries[0].result.index, 30) << c.name;
        }
    }
}

TEST(TimedFrameDetector, GapEndsTheFrameAtTheFirstPointAfterIt) {
    TimedFrameDetector<int64_t> detector(0.1f);
    std::vector<int64_t> times = every_ms(10);
    times.push_back(times.back() + 2'000'000);
    times.push_back(times.back() + 1000);
    const std::vector<Boundary> boundaries = run(detector, vorlan_test::points_at(times));
    EXPECT_EQ(indices(boundaries), (std::vector<int64_t>{10}));
}

// ---- Parity rule --------------------------------------------------------------------------

TEST(ParityBitDetector, EveryFlagChangeEndsAFrame) {
    ParityBitDetector<int64_t> detector;
    const std::vector<Boundary> boundaries = run(detector, vorlan_test::frame_flag_stream(30, 7));
    EXPECT_EQ(indices(boundaries), (std::vector<int64_t>{7, 14, 21, 28}));
}

TEST(ParityBitDetector, SteadyFlagOrFirstPointNeverEndsAFrame) {
    for (bool flag : {false, true}) {
        ParityBitDetector<int64_t> detector;
        std::vector<VorlanSensorImagePoint> points = vorlan_test::frame_flag_stream(50, 1000);
        if (flag) {
            for (VorlanSensorImagePoint& point : points) {
                point.flags |= VORLAN_POINT_FRAME_FLAG;
            }
        }
        EXPECT_TRUE(run(detector, points).empty()) << flag;
    }
}

// ---- Kiru rule ---------------------------------------------------------------------------

// Image x a triangle wave of half period 20 from a minimum at sample 0:
// maxima at 20, 60, 100, minima at 40, 80, 120.
std::vector<VorlanSensorImagePoint> kiru_pattern(std::size_t n = 130, int64_t shift = 0) {
    return vorlan_test::to_image_points(vorlan_test::triangle_scan(n, 20, 1.0f, shift));
}

TEST(KiruFrameDetector, EveryTurnaroundEndsAFrameFiveSamplesLater) {
    KiruFrameDetector<int64_t> detector;
    const std::vector<Boundary> boundaries = run(detector, kiru_pattern());
    EXPECT_EQ(indices(boundaries), (std::vector<int64_t>{20, 40, 60, 80, 100, 120}));
    EXPECT_EQ(phases(boundaries), (std::vector<int32_t>{1, 0, 1, 0, 1, 0}));
    for (const Boundary& b : boundaries) {
        EXPECT_EQ(b.offered_at, b.result.index + 5);
    }
    EXPECT_EQ(detector.extreme(1).index, 100);
    EXPECT_EQ(detector.extreme(0).index, 120);
    EXPECT_FLOAT_EQ(detector.period(), 0.002f);  // 20 samples of 100 µs
}

TEST(KiruFrameDetector, MaximumWithFewerThanFiveSamplesBeforeItIsSkipped) {
    KiruFrameDetector<int64_t> detector;
    // Maxima at 3, 43, 83: the first one comes too early to count.
    const std::vector<Boundary> boundaries = run(detector, kiru_pattern(130, 17));
    ASSERT_FALSE(boundaries.empty());
    EXPECT_EQ(boundaries[0].result.index, 43);
    EXPECT_EQ(boundaries[0].result.phase, 1);
}

TEST(KiruFrameDetector, FullCycleEndsFramesAtMinimaOnly) {
    KiruFrameDetector<int64_t> detector;
    detector.set_full_cycle(true);
    const std::vector<VorlanSensorImagePoint> points = kiru_pattern();
    std::vector<int64_t> found;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (detector.update(points[i], static_cast<int64_t>(i))) {
            found.push_back(detector.result().index);
        }
        if (i == 70) {
            // The suppressed maximum is still recorded for its phase.
            EXPECT_EQ(detector.phase_result(1).index, 60);
            EXPECT_EQ(detector.result().index, 40);
        }
    }
    EXPECT_EQ(found, (std::vector<int64_t>{40, 80, 120}));
    EXPECT_FLOAT_EQ(detector.period(), 0.004f);
}

// The library offers int64_t indices; a client may use its own.
struct PacketPoint {
    int32_t packet = 0;
    int32_t point = 0;
};

TEST(KiruFrameDetector, WorksWithTheCallersIndexType) {
    KiruFrameDetector<PacketPoint> detector;
    const std::vector<VorlanSensorImagePoint> points = kiru_pattern(30);
    PacketPoint boundary;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (detector.update(points[i], PacketPoint{static_cast<int32_t>(i / 8), static_cast<int32_t>(i % 8)})) {
            boundary = detector.result().index;
        }
    }
    EXPECT_EQ(boundary.packet, 2);  // sample 20
    EXPECT_EQ(boundary.point, 4);
}

// ---- TQ50 rule ------------------------------------------------------------------------------

TEST(TQ50FrameDetector, FrameEndsAtTurnaroundsOfTheSlowSweep) {
    TQ50FrameDetector<int64_t> detector;
    // Vertical turnarounds every 12 samples; the horizontal sweep turns at
    // 120, 240, 360, 480.
    const std::vector<Boundary> boundaries =
        run(detector, vorlan_test::to_image_points(vorlan_test::raster_scan(500, 12, 120)));
    EXPECT_EQ(indices(boundaries), (std::vector<int64_t>{120, 240, 360}));
    EXPECT_EQ(phases(boundaries), (std::vector<int32_t>{1, 0, 1}));
    // Confirmed by four more vertical turnarounds, each known 5 samples after it.
    for (const Boundary& b : boundaries) {
        EXPECT_EQ(b.offered_at, b.result.index + 4 * 12 + 5);
    }
    EXPECT_EQ(detector.x_extreme(1).index, 360);
    EXPECT_EQ(detector.z_extreme(1).index % 24, 12);
}

TEST(TQ50FrameDetector, SlowTurnaroundBetweenVerticalTurnaroundsFallsOnTheNearestOne) {
    TQ50FrameDetector<int64_t> detector;
    // The horizontal maximum at 125 lies between vertical turnarounds at 120
    // and 132; x sampled at 120 (0.917) beats x at 132 (0.883).
    std::vector<ScanSample> samples = vorlan_test::raster_scan(400, 12, 120);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i].x = vorlan_test::triangle_wave(static_cast<int64_t>(i) - 5, 120);
    }
    const std::vector<Boundary> boundaries = run(detector, vorlan_test::to_image_points(samples));
    ASSERT_FALSE(boundaries.empty());
    EXPECT_EQ(boundaries[0].result.index, 120);
    EXPECT_EQ(boundaries[0].result.phase, 1);
}

// ---- Parvo rule -------------------------------------------------------------------------------

// Sweeps of 20 samples along x; z drifts on a cosine of 16 sweeps, peaking at
// the middle of sweeps 4, 12, 20, ... (alternately +1 and -1). The sweeps that
// pass the centre farthest are those.
constexpr int64_t kSweep = 20;

std::vector<VorlanSensorImagePoint> parvo_pattern(int64_t sweeps) {
    return vorlan_test::to_image_points(
        vorlan_test::rosette_scan(static_cast<std::size_t>(sweeps * kSweep), kSweep, 8, 4));
}

TEST(ParvoFrameDetector, FrameEndsAtTheSweepFarthestFromTheCentre) {
    ParvoFrameDetector<int64_t> detector;
    const std::vector<Boundary> boundaries = run(detector, parvo_pattern(100));
    // The trackers know both extremes of z only from the sweep-12 minimum on;
    // from then every farthest sweep (20, 28, ..., 92) ends a frame, marked
    // at one of its two turnarounds, two sweeps after it.
    ASSERT_EQ(boundaries.size(), 10u);
    for (std::size_t k = 0; k < boundaries.size(); ++k) {
        const Result& r = boundaries[k].result;
        const int64_t sweep = 20 + 8 * static_cast<int64_t>(k);
        EXPECT_EQ(r.index % kSweep, 0) << k;
        EXPECT_TRUE(r.index == sweep * kSweep || r.index == (sweep + 1) * kSweep) << k << ": " << r.index;
        EXPECT_EQ(r.phase, static_cast<int32_t>(k % 2)) << k;
        EXPECT_EQ(boundaries[k].offered_at, (sweep + 3) * kSweep + 5) << k;
    }
}

// ---- Dispatcher ------------------------------------------------------------------------------------

TEST(FrameDetector, ChoosesTheRuleOfTheModelFamily) {
    struct Case {
        VorlanSensorModel model;
        const char* rule;
    };
    const Case cases[] = {
        {11, "kiru"}, {17, "kiru"}, {3, "tq50"}, {7, "parvo"}, {10, "parvo"}, {12, "parvo"}, {13, "parvo"},
        {14, "parvo"}, {21, "parvo"}, {16, "parity"}, {15, "none"}, {0, "none"}, {18, "none"},
    };
    for (const Case& c : cases) {
        FrameDetector<int64_t> detector(information_of(c.model));
        const Base* rule = detector.model_detector();
        std::string name = "none";
        if (dynamic_cast<const KiruFrameDetector<int64_t>*>(rule)) {
            name = "kiru";
        } else if (dynamic_cast<const TQ50FrameDetector<int64_t>*>(rule)) {
            name = "tq50";
        } else if (dynamic_cast<const ParvoFrameDetector<int64_t>*>(rule)) {
            name = "parvo";
        } else if (dynamic_cast<const ParityBitDetector<int64_t>*>(rule)) {
            name = "parity";
        }
        EXPECT_EQ(name, c.rule) << c.model;
    }
}

TEST(FrameDetector, TimedModeNeedsALength) {
    FrameDetector<int64_t> detector(information_of(11));
    ASSERT_EQ(detector.set_options(options_of(VORLAN_SDK_FRAME_TIMED, 0.25f)).code(), VORLAN_SUCCESS);
    const SensorError error = detector.set_options(options_of(VORLAN_SDK_FRAME_TIMED, 0.0f));
    EXPECT_EQ(error.code(), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_NE(std::string(error.what()).find("Frame length not set!"), std::string::npos);
    EXPECT_NE(error.message().find("m_options.length"), std::string::npos);
    EXPECT_EQ(detector.options().length, 0.0f);
    EXPECT_EQ(detector.timed_detector().length(), 0.25f);
}

TEST(FrameDetector, ModesWithoutARuleNeverEndAFrame) {
    struct Case {
        VorlanSensorModel model;
        VorlanSDKFrameMode mode;
    };
    const Case cases[] = {
        {11, VORLAN_SDK_FRAME_STREAMING}, {11, VORLAN_SDK_FRAME_BY_MODEL}, {15, VORLAN_SDK_FRAME_SWEEP},
        {15, VORLAN_SDK_FRAME_FULL_SCAN}, {11, 99},
    };
    for (const Case& c : cases) {
        FrameDetector<int64_t> detector(information_of(c.model));
        EXPECT_EQ(detector.set_options(options_of(c.mode)).code(), VORLAN_SUCCESS);
        EXPECT_TRUE(run(detector, kiru_pattern()).empty()) << c.model << " " << c.mode;
        detector.reset();
    }
}

TEST(FrameDetector, ScanModeOnAModelWithoutARuleLeavesTheTimedRuleAlone) {
    FrameDetector<int64_t> detector(information_of(15));
    ASSERT_EQ(detector.set_options(options_of(VORLAN_SDK_FRAME_TIMED, 0.1f)).code(), VORLAN_SUCCESS);
    const std::vector<VorlanSensorImagePoint> points = vorlan_test::points_at(every_ms(300));
    run(detector, std::vector<VorlanSensorImagePoint>(points.begin(), points.begin() + 150));
    ASSERT_EQ(detector.set_options(options_of(VORLAN_SDK_FRAME_SWEEP)).code(), VORLAN_SUCCESS);
    EXPECT_EQ(detector.result().index, 100);  // not reset
    ASSERT_EQ(detector.set_options(options_of(VORLAN_SDK_FRAME_TIMED, 0.1f)).code(), VORLAN_SUCCESS);
    EXPECT_FALSE(detector.result().found);  // switching to a rule resets
}

TEST(FrameDetector, SweepReportsEveryTurnaroundFullScanEveryOther) {
    struct Case {
        VorlanSDKFrameMode mode;
        std::vector<int64_t> indices;
        float period;
    };
    const Case cases[] = {
        {VORLAN_SDK_FRAME_SWEEP, {20, 40, 60, 80, 100, 120}, 0.002f},
        {VORLAN_SDK_FRAME_FULL_SCAN, {40, 80, 120}, 0.004f},
    };
    for (const Case& c : cases) {
        FrameDetector<int64_t> detector(information_of(17));
        ASSERT_EQ(detector.set_options(options_of(c.mode)).code(), VORLAN_SUCCESS);
        EXPECT_EQ(detector.phase_count(), 2);
        const std::vector<Boundary> boundaries = run(detector, kiru_pattern());
        EXPECT_EQ(indices(boundaries), c.indices) << c.mode;
        EXPECT_FLOAT_EQ(detector.period(), c.period) << c.mode;
        if (c.mode == VORLAN_SDK_FRAME_FULL_SCAN) {
            // Suppressed maxima are the model rule's own record only.
            EXPECT_FALSE(detector.phase_result(1).found);
            EXPECT_EQ(detector.model_detector()->phase_result(1).index, 100);
        } else {
            EXPECT_EQ(detector.phase_result(1).index, 100);
        }
    }
}

TEST(FrameDetector, ResetForgetsBoundariesAndRestartsTheRule) {
    FrameDetector<int64_t> detector(information_of(11));
    ASSERT_EQ(detector.set_options(options_of(VORLAN_SDK_FRAME_SWEEP)).code(), VORLAN_SUCCESS);
    const std::vector<VorlanSensorImagePoint> points = kiru_pattern();
    run(detector, std::vector<VorlanSensorImagePoint>(points.begin(), points.begin() + 50));
    ASSERT_TRUE(detector.result().found);
    detector.reset();
    EXPECT_FALSE(detector.result().found);
    EXPECT_FALSE(detector.phase_result(0).found);
    EXPECT_EQ(detector.period(), -1.0f);
    EXPECT_FALSE(detector.model_detector()->result().found);
}

TEST(FrameDetector, ParityModelUsesOnePhase) {
    FrameDetector<int64_t> detector(information_of(16));
    ASSERT_EQ(detector.set_options(options_of(VORLAN_SDK_FRAME_SWEEP)).code(), VORLAN_SUCCESS);
    EXPECT_EQ(detector.phase_count(), 1);
    const std::vector<Boundary> boundaries = run(detector, vorlan_test::frame_flag_stream(40, 10));
    EXPECT_EQ(indices(boundaries), (std::vector<int64_t>{10, 20, 30}));
    EXPECT_FLOAT_EQ(detector.period(), 0.001f);
}

}  // namespace
}  // namespace util
}  // namespace vorlan_sdk
