// Synthetic scan patterns of the sensor families: where the mirrors point,
// sample by sample, with the turnarounds at known sample indices. Shared by
// the frame tests, the benchmarks and the simulator.
#ifndef VORLAN_TESTS_SUPPORT_SCAN_PATTERNS_H
#define VORLAN_TESTS_SUPPORT_SCAN_PATTERNS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vorlan_sdk.h"

namespace vorlan_test {

// One sample of a scan: image coordinates at a time.
struct ScanSample {
    int64_t timestamp;  // µs
    float x;
    float z;
};

// A triangle wave in [-1, 1] over sample index i: minima at i = 0, 2h, 4h, ...
// and maxima at i = h, 3h, 5h, ... (h = half_period).
float triangle_wave(int64_t i, int64_t half_period);

// Times of the samples of every pattern: the first at start_us, then every
// step_us.
struct Timing {
    int64_t start_us = 1'000'000;
    int64_t step_us = 100;
};

// A mirror sweeping image x back and forth (a triangle wave of amplitude
// `amplitude`), image z fixed at 0. The wave is advanced by `shift` samples:
// sample i holds the wave at i + shift, so the maxima fall at i = h - shift +
// 2hk.
std::vector<ScanSample> triangle_scan(std::size_t n, int64_t half_period, float amplitude = 1.0f,
                                      int64_t shift = 0, Timing timing = {});

// A fast vertical sweep inside a slow horizontal one: image z is a triangle
// wave of half period `fast_half_period`, image x one of `slow_half_period`
// samples; both start at their minimum at sample 0.
std::vector<ScanSample> raster_scan(std::size_t n, int64_t fast_half_period, int64_t slow_half_period,
                                    Timing timing = {});

// A rosette-like pattern: image x sweeps back and forth (triangle wave of
// half period `sweep_samples`, minima at multiples of 2 * sweep_samples)
// while image z drifts on a cosine of period 2 * `drift_sweeps` sweeps, so
// each sweep passes the centre at a different distance. z peaks (+1 and -1)
// at the middle of sweeps peak_sweep + drift_sweeps * k, where sweep j runs
// from sample j * sweep_samples to (j + 1) * sweep_samples.
std::vector<ScanSample> rosette_scan(std::size_t n, int64_t sweep_samples, int64_t drift_sweeps,
                                     int64_t peak_sweep, Timing timing = {});

// Image points of segment 0 at the samples, valid, 10 m away.
std::vector<VorlanSensorImagePoint> to_image_points(const std::vector<ScanSample>& samples);

// Image points at the given timestamps, all at the image centre.
std::vector<VorlanSensorImagePoint> points_at(const std::vector<int64_t>& timestamps);

// Image points every step_us whose VORLAN_POINT_FRAME_FLAG bit toggles after
// every `run_length` points (the first run has the bit clear).
std::vector<VorlanSensorImagePoint> frame_flag_stream(std::size_t n, std::size_t run_length, Timing timing = {});

// Raw points of segment 0 at the samples: image coordinates in raw counts
// (`counts_per_unit` per unit of the pattern, rounded), one return at the
// raw distance `distance`, power level 1.
std::vector<VorlanSensorRawPointWithTime> to_raw_points(const std::vector<ScanSample>& samples,
                                                        float counts_per_unit, uint32_t distance);

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_SCAN_PATTERNS_H
