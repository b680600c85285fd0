#include "support/scan_patterns.h"

#include <cmath>

namespace vorlan_test {

namespace {

constexpr double kPi = 3.14159265358979323846;

int64_t time_of(std::size_t i, Timing timing) { return timing.start_us + static_cast<int64_t>(i) * timing.step_us; }

}  // namespace

float triangle_wave(int64_t i, int64_t half_period) {
    const int64_t period = 2 * half_period;
    int64_t p = i % period;
    if (p < 0) {
        p += period;
    }
    const double rising = static_cast<double>(p) / static_cast<double>(half_period);
    return static_cast<float>(p <= half_period ? -1.0 + 2.0 * rising : 3.0 - 2.0 * rising);
}

std::vector<ScanSample> triangle_scan(std::size_t n, int64_t half_period, float amplitude, int64_t shift,
                                      Timing timing) {
    std::vector<ScanSample> samples(n);
    for (std::size_t i = 0; i < n; ++i) {
        samples[i] = {time_of(i, timing), amplitude * triangle_wave(static_cast<int64_t>(i) + shift, half_period),
                      0.0f};
    }
    return samples;
}

std::vector<ScanSample> raster_scan(std::size_t n, int64_t fast_half_period, int64_t slow_half_period,
                                    Timing timing) {
    std::vector<ScanSample> samples(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto index = static_cast<int64_t>(i);
        samples[i] = {time_of(i, timing), triangle_wave(index, slow_half_period),
                      triangle_wave(index, fast_half_period)};
    }
    return samples;
}

std::vector<ScanSample> rosette_scan(std::size_t n, int64_t sweep_samples, int64_t drift_sweeps,
                                     int64_t peak_sweep, Timing timing) {
    std::vector<ScanSample> samples(n);
    const double peak = static_cast<double>(peak_sweep * sweep_samples + sweep_samples / 2);
    const double drift_period = static_cast<double>(2 * drift_sweeps * sweep_samples);
    for (std::size_t i = 0; i < n; ++i) {
        const auto index = static_cast<int64_t>(i);
        const double z = std::cos(2.0 * kPi * (static_cast<double>(index) - peak) / drift_period);
        samples[i] = {time_of(i, timing), triangle_wave(index, sweep_samples), static_cast<float>(z)};
    }
    return samples;
}

std::vector<VorlanSensorImagePoint> to_image_points(const std::vector<ScanSample>& samples) {
    std::vector<VorlanSensorImagePoint> points(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        VorlanSensorImagePoint& point = points[i];
        point = VorlanSensorImagePoint{};
        point.timestamp = samples[i].timestamp;
        point.image_x = samples[i].x;
        point.image_z = samples[i].z;
        point.distance = 10.0f;
        point.intensity = 1.0f;
        point.return_type = VORLAN_RETURN_FIRST | VORLAN_RETURN_FARTHEST;
        point.flags = VORLAN_POINT_VALID;
    }
    return points;
}

std::vector<VorlanSensorImagePoint> points_at(const std::vector<int64_t>& timestamps) {
    std::vector<ScanSample> samples(timestamps.size());
    for (std::size_t i = 0; i < timestamps.size(); ++i) {
        samples[i] = {timestamps[i], 0.0f, 0.0f};
    }
    return to_image_points(samples);
}

std::vector<VorlanSensorImagePoint> frame_flag_stream(std::size_t n, std::size_t run_length, Timing timing) {
    std::vector<ScanSample> samples(n);
    for (std::size_t i = 0; i < n; ++i) {
        samples[i] = {time_of(i, timing), 0.0f, 0.0f};
    }
    std::vector<VorlanSensorImagePoint> points = to_image_points(samples);
    for (std::size_t i = 0; i < n; ++i) {
        if ((i / run_length) % 2 == 1) {
            points[i].flags |= VORLAN_POINT_FRAME_FLAG;
        }
    }
    return points;
}

std::vector<VorlanSensorRawPointWithTime> to_raw_points(const std::vector<ScanSample>& samples,
                                                        float counts_per_unit, uint32_t distance) {
    std::vector<VorlanSensorRawPointWithTime> points(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        VorlanSensorRawPointWithTime& point = points[i];
        point = VorlanSensorRawPointWithTime{};
        point.timestamp = samples[i].timestamp;
        point.image_x = static_cast<int16_t>(std::lround(samples[i].x * counts_per_unit));
        point.image_z = static_cast<int16_t>(std::lround(samples[i].z * counts_per_unit));
        point.distance = distance;
        point.intensity = 100;
        point.power_level = 1;
    }
    return points;
}

}  // namespace vorlan_test
