// Calibrated points per second on one core: calibrate_points with one and two
// returns under both distortion models, and the spatial-temporal filter.
// Beside each, from the same run, the ceiling: a hand-written loop of the
// same arithmetic without any check (segment bounds, clips, validity,
// saturation), and the ratio of the two. The run ends with one goal line per
// calibration case: at least as fast as its plain loop, whose work is a
// subset of it (the kernel works four points at a time). The filter has no
// goal yet; its ratio is shown with the others.
#include "calibration.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "filter.h"
#include "support/best_rate_reporter.h"
#include "support/goal_lines.h"
#include "support/interleaved_run.h"
#include "support/scan_patterns.h"

namespace {

using vorlan_sdk::SpatialTemporalFilter;

constexpr int kSegments = 24;
// Raw points per call: a few packets' worth.
constexpr std::size_t kBatch = 1200;
// The share of its ceiling's rate calibration is to reach.
constexpr double kWantedCalibration = 1.0;

VorlanCalibration make_calibration(bool rational) {
    VorlanCalibration calibration{};
    calibration.id = 7;
    calibration.model = 7;
    calibration.segment_count = kSegments;
    calibration.flags =
        VORLAN_CALIBRATION_SATURATION_CORRECTION | (rational ? VORLAN_CALIBRATION_RATIONAL_DISTORTION : 0);
    calibration.distance_offset = 1.2f;
    calibration.distance_scale = 0.0009993083f;
    calibration.image_clip_min_x = -0.9f;
    calibration.image_clip_max_x = 0.9f;
    calibration.image_clip_min_z = -0.4f;
    calibration.image_clip_max_z = 0.4f;
    calibration.distance_clip_min = 0.3f;
    calibration.distance_clip_max = 250.0f;
    calibration.image_center_x = 0.01f;
    calibration.image_center_z = -0.02f;
    const float a[4] = {1.0f, 0.061603989f, -0.077997081f, 0.39371279f};
    const float b[4] = {1.0f, 0.05f, -0.07f, 0.3f};
    for (int i = 0; i < 4; ++i) {
        calibration.distortion_x[i] = a[i];
        calibration.distortion_z[i] = b[i];
    }
    for (int s = 0; s < kSegments; ++s) {
        VorlanLaserCalibration& laser = calibration.lasers[s];
        laser.image_x_center = static_cast<int16_t>(s * 3 - 30);
        laser.image_x_offset = static_cast<int16_t>(s - 12);
        laser.image_z_center = static_cast<int16_t>(20 - s);
        laser.image_z_offset = static_cast<int16_t>(2 * s - 24);
        laser.intensity_range_offset = 0.5f;
        laser.image_x_scale = 0.00004f;
        laser.image_z_scale = 0.00003f;
        laser.image_z_to_x = 1e-6f;
        laser.image_x_to_z = -2e-6f;
        for (int p = 0; p < 32; ++p) {
            laser.power_level_intensity[p] = 100.0f + 10.0f * p;
            laser.power_level_distance_offset[p] = static_cast<int16_t>(100 + p);
        }
        const float falloff[6] = {0.01f, 1e-6f, -2e-6f, 1e-12f, 2e-12f, -1e-12f};
        for (int k = 0; k < 6; ++k) {
            laser.intensity_falloff[k] = falloff[k];
        }
    }
    return calibration;
}

// A raster scan of 24 segments in turn, with second returns on a third of the
// points and an occasional saturated one.
std::vector<VorlanSensorRawPointWithTime> make_raw_points() {
    const std::vector<vorlan_test::ScanSample> samples = vorlan_test::raster_scan(kBatch, 40, 600);
    std::vector<VorlanSensorRawPointWithTime> points = vorlan_test::to_raw_points(samples, 20000.0f, 0);
    for (std::size_t i = 0; i < points.size(); ++i) {
        VorlanSensorRawPointWithTime& point = points[i];
        point.segment_id = static_cast<uint8_t>(i % kSegments);
        point.power_level = static_cast<uint8_t>(1 + i % 31);
        point.distance = static_cast<uint32_t>(2000 + (i * 7919) % 100000);
        point.distance_2 = i % 3 == 0 ? point.distance + 5000 : 0;
        point.intensity = static_cast<uint8_t>(i * 31);
        point.intensity_2 = static_cast<uint8_t>(i * 17);
        point.saturated = i % 50 == 0 ? 1 : 0;
    }
    return points;
}

const VorlanCalibration& calibration_of(bool rational) {
    static const VorlanCalibration polynomial = make_calibration(false);
    static const VorlanCalibration rational_model = make_calibration(true);
    return rational ? rational_model : polynomial;
}

void BM_CalibratePoints(benchmark::State& state) {
    const uint32_t returns = static_cast<uint32_t>(state.range(0));
    const VorlanCalibration& calibration = calibration_of(state.range(1) != 0);
    const std::vector<VorlanSensorRawPointWithTime> raw = make_raw_points();
    std::vector<VorlanSensorImagePoint> image(raw.size() * returns);
    for (auto _ : state) {
        vorlan_sdk::calibrate_points(calibration, raw.size(), raw.data(), returns, image.data()).code();
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
}

// The same arithmetic as calibrate_points, written out for a known return
// count and model, with no check of any kind.
template <uint32_t kReturns, bool kRational>
void hand_calibrate(const VorlanCalibration& c, std::size_t n, const VorlanSensorRawPointWithTime* raw,
                    VorlanSensorImagePoint* image) {
    for (std::size_t i = 0; i < n; ++i) {
        const VorlanSensorRawPointWithTime& p = raw[i];
        const VorlanLaserCalibration& l = c.lasers[p.segment_id];
        const int32_t dx = p.image_x - l.image_x_center;
        const int32_t dz = p.image_z - l.image_z_center;
        const float e =
            static_cast<float>(dz) * l.image_z_to_x + l.image_x_scale * static_cast<float>(dx - l.image_x_offset);
        const float f =
            static_cast<float>(dx) * l.image_x_to_z + static_cast<float>(dz - l.image_z_offset) * l.image_z_scale;
        float x;
        float z;
        if (kRational) {
            const float ep = e / c.distance_offset - c.image_center_x;
            const float fp = f / c.distance_offset - c.image_center_z;
            const float s = ep * ep + fp * fp;
            x = ep / (c.distortion_x[0] + c.distortion_x[1] * s + c.distortion_x[2] * s * s +
                      c.distortion_x[3] * s * s * s) +
                c.image_center_x;
            z = fp / (c.distortion_z[0] + c.distortion_z[1] * s + c.distortion_z[2] * s * s +
                      c.distortion_z[3] * s * s * s) +
                c.image_center_z;
        } else {
            const float u = e - c.image_center_x;
            const float v = f - c.image_center_z;
            const float s = (u * u + v * v) / (c.distance_offset * c.distance_offset);
            const float g = c.distortion_x[1] * s + c.distortion_x[2] * s * s + c.distortion_x[3] * s * s * s;
            x = (e + u * g) / c.distance_offset;
            z = (f + v * g) / c.distance_offset;
        }
        const float* h = l.intensity_falloff;
        const float fx = static_cast<float>(dx);
        const float fz = static_cast<float>(dz);
        const float falloff = std::exp(h[0] + h[1] * fx + h[2] * fz + h[3] * fx * fx + h[4] * fx * fz + h[5] * fz * fz);
        const float reference = l.power_level_intensity[p.power_level];
        const int32_t offset = l.power_level_distance_offset[p.power_level];
        const uint32_t distances[2] = {p.distance, p.distance_2};
        const uint8_t intensities[2] = {p.intensity, p.intensity_2};
        for (uint32_t r = 0; r < kReturns; ++r) {
            VorlanSensorImagePoint& q = image[i * kReturns + r];
            const float d =
                static_cast<float>(static_cast<int64_t>(distances[r]) - offset) * c.distance_scale - c.distance_offset;
            const float t = d + l.intensity_range_offset;
            q = VorlanSensorImagePoint{};
            q.timestamp = p.timestamp;
            q.image_x = x;
            q.image_z = z;
            q.distance = d;
            q.intensity = static_cast<float>(intensities[r]) * t * t / reference / falloff;
            q.segment_id = p.segment_id;
        }
    }
}

template <uint32_t kReturns, bool kRational>
void BM_CalibrateCeiling(benchmark::State& state) {
    const VorlanCalibration& calibration = calibration_of(kRational);
    const std::vector<VorlanSensorRawPointWithTime> raw = make_raw_points();
    std::vector<VorlanSensorImagePoint> image(raw.size() * kReturns);
    for (auto _ : state) {
        hand_calibrate<kReturns, kRational>(calibration, raw.size(), raw.data(), image.data());
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
}

constexpr int kRepetitions = 5;

BENCHMARK(BM_CalibratePoints)
    ->ArgNames({"returns", "rational"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Repetitions(kRepetitions);
BENCHMARK(BM_CalibrateCeiling<1, false>)->Name("BM_CalibrateCeiling/returns:1/rational:0")->Repetitions(kRepetitions);
BENCHMARK(BM_CalibrateCeiling<1, true>)->Name("BM_CalibrateCeiling/returns:1/rational:1")->Repetitions(kRepetitions);
BENCHMARK(BM_CalibrateCeiling<2, false>)->Name("BM_CalibrateCeiling/returns:2/rational:0")->Repetitions(kRepetitions);
BENCHMARK(BM_CalibrateCeiling<2, true>)->Name("BM_CalibrateCeiling/returns:2/rational:1")->Repetitions(kRepetitions);

// ---- Filter ---------------------------------------------------------------------

// A room seen by a scanning sensor at 200,000 points per second: the raster
// pattern over walls 20 m away, in batches of 200 points (1 ms).
constexpr int64_t kFilterStep = 5;  // µs
constexpr std::size_t kFilterBatch = 200;
constexpr std::size_t kFilterPoints = 400'000;  // two seconds

std::vector<VorlanSensorImagePoint> make_scene() {
    vorlan_test::Timing timing;
    timing.step_us = kFilterStep;
    std::vector<VorlanSensorImagePoint> points =
        vorlan_test::to_image_points(vorlan_test::raster_scan(kFilterPoints, 500, 20000, timing));
    for (VorlanSensorImagePoint& point : points) {
        point.image_x *= 0.8f;
        point.image_z *= 0.3f;
        const float u = point.image_x;
        const float w = point.image_z;
        point.distance = 20.0f * std::sqrt(u * u + w * w + 1.0f);
    }
    return points;
}

void BM_Filter(benchmark::State& state) {
    const std::vector<VorlanSensorImagePoint> scene = make_scene();
    std::vector<VorlanSensorImagePoint> points = scene;
    VorlanSensorInformation information{};
    information.return_count = 1;
    SpatialTemporalFilter filter(information);
    int64_t shift = 0;
    std::size_t rejected = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // Replays the scene later in time so that the history runs on.
        for (std::size_t i = 0; i < points.size(); ++i) {
            points[i] = scene[i];
            points[i].timestamp += shift;
        }
        shift += static_cast<int64_t>(kFilterPoints) * kFilterStep;
        state.ResumeTiming();
        for (std::size_t i = 0; i < points.size(); i += kFilterBatch) {
            filter.run(kFilterBatch, 1, points.data() + i);
        }
        benchmark::DoNotOptimize(points.data());
    }
    for (const VorlanSensorImagePoint& point : points) {
        rejected += (point.flags & VORLAN_POINT_VALID) == 0 ? 1 : 0;
    }
    state.counters["rejected"] = static_cast<double>(rejected);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * points.size()));
}

// The filter's arithmetic with no checks: metres from image coordinates, the
// cell, the point entering the grid one window later and leaving it two
// windows later (fixed lags instead of the time-ordered ring), and the same
// nearest-occupied-cell search over the same grid, without bounds tests.
void BM_FilterCeiling(benchmark::State& state) {
    struct Offset {
        double squared;
        int32_t dx, dy, dz;
    };
    std::vector<Offset> offsets;
    for (int32_t dx = -11; dx <= 11; ++dx) {
        for (int32_t dy = -11; dy <= 11; ++dy) {
            for (int32_t dz = -11; dz <= 11; ++dz) {
                double squared = 0.0;
                for (int32_t d : {dx, dy, dz}) {
                    squared += d != 0 ? (std::abs(d) - 1.0) * (std::abs(d) - 1.0) : 0.0;
                }
                if (squared < 100.0) {
                    offsets.push_back({squared, dx, dy, dz});
                }
            }
        }
    }
    std::sort(offsets.begin(), offsets.end(), [](const Offset& a, const Offset& b) {
        return std::tie(a.squared, a.dx, a.dy, a.dz) < std::tie(b.squared, b.dx, b.dy, b.dz);
    });

    const std::vector<VorlanSensorImagePoint> scene = make_scene();
    std::vector<VorlanSensorImagePoint> points = scene;
    vorlan_sdk::SparseGrid grid(-175, 175, 0, 350, -175, 175, 1.0);
    std::vector<uint64_t> labels(points.size());
    constexpr std::size_t kLag = 20'000;  // 100 ms of points
    const std::size_t n = points.size();
    // Lagged positions wrap around the scene, which repeats as in BM_Filter.
    const auto lagged = [n](std::size_t i, std::size_t lag) { return i >= lag ? i - lag : i + n - lag; };
    std::size_t seen = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < n; ++i, ++seen) {
            VorlanSensorImagePoint& point = points[i];
            const double u = point.image_x;
            const double w = point.image_z;
            const double y = point.distance / std::sqrt(u * u + w * w + 1.0);
            const std::array<int32_t, 3> cell = grid.cell_of(-u * y, y, -w * y);
            labels[i] = grid.label_of_cell(cell[0], cell[1], cell[2]);
            if (seen >= kLag) {
                grid.add_with_label(labels[lagged(i, kLag)], static_cast<int32_t>(lagged(i, kLag)));
            }
            if (seen < 2 * kLag) {
                continue;  // no full window of history yet
            }
            grid.delete_with_label(labels[lagged(i, 2 * kLag)]);
            bool found = false;
            for (const Offset& offset : offsets) {
                const uint64_t label =
                    grid.label_of_cell(cell[0] + offset.dx, cell[1] + offset.dy, cell[2] + offset.dz);
                if (grid.find_with_label(label) != nullptr) {
                    found = true;
                    break;
                }
            }
            if (!found) {
                point.flags = 0;
            }
        }
        benchmark::DoNotOptimize(points.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * points.size()));
}

BENCHMARK(BM_Filter)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_FilterCeiling)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);

// Prints each measured figure beside its ceiling once the runs are done, from
// the best of each one's repetitions.
class RatioReporter : public vorlan_bench::BestRateReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-42s %14s %14s %7s\n", "points per second", "measured", "ceiling", "ratio");
        struct Pair {
            const char* measured;
            const char* ceiling;
            double wanted;  // 0: no goal
        };
        const Pair pairs[] = {
            {"BM_CalibratePoints/returns:1/rational:0", "BM_CalibrateCeiling/returns:1/rational:0", kWantedCalibration},
            {"BM_CalibratePoints/returns:1/rational:1", "BM_CalibrateCeiling/returns:1/rational:1", kWantedCalibration},
            {"BM_CalibratePoints/returns:2/rational:0", "BM_CalibrateCeiling/returns:2/rational:0", kWantedCalibration},
            {"BM_CalibratePoints/returns:2/rational:1", "BM_CalibrateCeiling/returns:2/rational:1", kWantedCalibration},
            {"BM_Filter", "BM_FilterCeiling", 0.0},
        };
        vorlan_bench::GoalLines goals;
        for (const Pair& pair : pairs) {
            const double measured = rate_of(pair.measured);
            const double ceiling = rate_of(pair.ceiling);
            if (measured > 0 && ceiling > 0) {
                std::printf("%-42s %14.4g %14.4g %7.2f\n", pair.measured, measured, ceiling, measured / ceiling);
            }
            // A figure missing from the run (a filtered run, say) shows as short.
            if (pair.wanted > 0) {
                goals.add({std::string(pair.measured + 3) + " points/s", measured, ceiling, pair.wanted, "points/s"});
            }
        }
        goals.print();
    }
};

}  // namespace

int main(int argc, char** argv) {
    // The best repetition of each case counts.
    RatioReporter reporter;
    vorlan_bench::run_interleaved(argc, argv, reporter);
    return 0;
}
