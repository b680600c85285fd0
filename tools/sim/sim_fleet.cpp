#include "sim_fleet.h"

#include <algorithm>
#include <cmath>

#include "support/calibration_block_builder.h"
#include "support/scan_patterns.h"

namespace vorlan_tool {

using vorlan_test::PointFormat;
using vorlan_test::triangle_wave;

namespace {

constexpr double kPi = 3.14159265358979323846;
// Raw image counts per image unit: ±6000 counts span about ±31 degrees.
constexpr double kCountsPerUnit = 10000.0;

uint32_t address(int last_octet) { return (192u << 24) | (168u << 16) | (1u << 8) | static_cast<uint32_t>(last_octet); }

// Image gain of one raw count: both distortion models divide by the
// calibration's distance offset, so the gain carries it.
float image_scale(float distance_offset) { return static_cast<float>(distance_offset / kCountsPerUnit); }

double triangle(int64_t row, int64_t half_period) { return triangle_wave(row, half_period); }

// Running-product steps that make intensity level j about base * j^2: the
// far targets a sensor meets at higher power return less light.
std::array<uint8_t, 32> quadratic_intensity_steps() {
    std::array<uint8_t, 32> steps{};
    for (std::size_t j = 2; j < steps.size(); ++j) {
        const double ratio = static_cast<double>(j * j) / static_cast<double>((j - 1) * (j - 1));
        steps[j] = static_cast<uint8_t>(std::clamp(std::lround(64.0 * (ratio - 1.0)), 0L, 255L));
    }
    return steps;
}

SensorSetup tq50() {
    vorlan_test::CalibrationHeaderFields header;
    header.id = 0x50A10001;
    header.model = 3;
    header.distance_offset = 0.0168f;
    header.distance_scale = 0.003973f;
    header.clips.distance_min = 0.2f;
    const float scale = image_scale(header.distance_offset);
    const float intensity_base = 180.0f;
    const auto segments = vorlan_test::make_segments<vorlan_test::Vrn8Segment>(
        8, {}, [&](vorlan_test::Vrn8Segment& s, std::size_t k) {
            const auto i = static_cast<int>(k);
            s.geometry.image_x_center = static_cast<int16_t>(10 * (i % 3 - 1));
            // The eight lasers stand 0.03 image units apart vertically.
            s.geometry.image_z_offset = static_cast<int16_t>(std::lround(-(i - 3.5) * 300.0));
            s.geometry.image_x_scale = scale;
            s.geometry.image_z_scale = scale;
            s.cross_factor = 0.002f;
            s.distance_offset = static_cast<int16_t>(4 + i);
            s.intensity_base = intensity_base;
            s.intensity_range_offset = 0.1f;
            for (std::size_t j = 1; j < 16; ++j) {
                s.intensity_steps[j] = static_cast<uint8_t>(std::min(255.0, std::round(200.0 * j * j / intensity_base)));
                s.distance_steps[j] = static_cast<int8_t>(static_cast<int>(j) - 8);
            }
        });
    SensorSetup setup;
    setup.name = "TQ50";
    setup.model_name = "TQ50-S";
    setup.address = address(201);
    setup.serial_number = 900001;
    setup.model = 3;
    setup.info_kind = InfoPacketKind::info;
    setup.format = PointFormat::v2;
    setup.calibration_block = vorlan_test::build_vrn8_block(header, segments);
    setup.optics = vrn8_optics(header, segments);
    setup.segments = 8;
    setup.rows_per_packet = 12;
    setup.power_step_m = 8.0;
    setup.max_power_level = 15;
    setup.max_range_m = 200.0;
    setup.frame_period_s = 0.1;
    // Vertical sweeps every 4 ms inside a horizontal one of 0.1 s each way
    // (rows of 8 points at 20 µs).
    setup.pattern = [](int64_t row) {
        return MirrorPosition{6000.0 * triangle(row, 625), 1000.0 + 2500.0 * triangle(row, 25), false};
    };
    return setup;
}

SensorSetup kiru() {
    vorlan_test::CalibrationHeaderFields header;
    header.id = 0x11A10001;
    header.model = 11;
    header.distance_offset = 0.0168f;
    header.distance_scale = 0.002f;
    header.distortion = {0.05f, 0.01f, 0.0f};
    const float scale = image_scale(header.distance_offset);
    const auto steps = quadratic_intensity_steps();
    const auto segments = vorlan_test::make_segments<vorlan_test::VrnASegment>(
        24, {}, [&](vorlan_test::VrnASegment& s, std::size_t k) {
            const auto i = static_cast<int>(k);
            s.geometry.image_x_center = static_cast<int16_t>(5 * (i % 2));
            // A vertical fan of 24 lasers, 0.018 image units apart.
            s.geometry.image_z_offset = static_cast<int16_t>(std::lround(-(i - 11.5) * 180.0));
            s.geometry.image_x_scale = scale;
            s.geometry.image_z_scale = scale;
            s.distance_offset = static_cast<int16_t>(8 + i % 4);
            s.intensity_range_offset_cm = 30;
            s.intensity_base = 200.0f;
            s.intensity_steps = steps;
        });
    SensorSetup setup;
    setup.name = "Kiru";
    setup.model_name = "Kiru-D40";
    setup.firmware_text = {'V', '3', '0', '0'};
    setup.address = address(202);
    setup.serial_number = 900002;
    setup.model = 11;
    setup.info_kind = InfoPacketKind::infx;
    setup.format = PointFormat::v2_double;
    setup.calibration_block = vorlan_test::build_vrna_block(header, segments);
    setup.optics = vrna_optics(header, segments);
    setup.segments = 24;
    setup.rows_per_packet = 4;
    setup.power_step_m = 8.0;
    setup.max_power_level = 15;
    setup.max_range_m = 120.0;  // 16-bit distances of 2 mm
    setup.frame_period_s = 0.05;
    // The fan sweeps sideways, 50 ms each way (rows of 24 points at 20 µs),
    // and drifts slowly up and down.
    setup.pattern = [](int64_t row) {
        return MirrorPosition{6000.0 * triangle(row, 104), 900.0 + 300.0 * triangle(row, 1040), false};
    };
    return setup;
}

SensorSetup parvo() {
    vorlan_test::VrnbHeaderFields header;
    header.id = 0x12B10001;
    header.model = 12;
    header.distance_offset = 0.0201f;
    header.distance_scale = 0.0009993083f;
    header.base_scale = image_scale(header.distance_offset);
    header.distortion_x = {1.0f, 0.02f, 0.0f, 0.0f};
    header.distortion_z = {1.0f, 0.03f, 0.0f, 0.0f};
    header.ramp_start = 3;
    header.ramp_end = 6;
    const auto segments = vorlan_test::make_segments<vorlan_test::VrnbSegment>(
        24, {}, [](vorlan_test::VrnbSegment& s, std::size_t k) {
            const auto i = static_cast<int>(k);
            // Six by four lasers, 0.015 image units apart.
            s.image_x_offset = static_cast<int16_t>(std::lround(-(i % 6 - 2.5) * 150.0));
            s.image_z_offset = static_cast<int16_t>(std::lround(-(i / 6 - 1.5) * 150.0));
            s.scale_step = static_cast<uint8_t>(i);
            s.full_power_intensity = 400.0f;
            s.low_power_fraction = 6554;
            s.high_power_gain = 1356;
        });
    SensorSetup setup;
    setup.name = "Parvo";
    setup.model_name = "Parvo-D40";
    setup.address = address(203);
    setup.serial_number = 900003;
    setup.model = 12;
    setup.info_kind = InfoPacketKind::infy;
    setup.format = PointFormat::v3;
    setup.calibration_block = vorlan_test::build_vrnb_block(header, segments);
    setup.optics = vrnb_optics(header, segments);
    setup.segments = 24;
    setup.rows_per_packet = 4;
    setup.power_step_m = 4.0;
    setup.max_power_level = 31;
    setup.max_range_m = 200.0;
    setup.frame_period_s = 0.096;
    // Sideways sweeps of 40 rows (19.2 ms) while the height drifts on a
    // cosine over ten sweeps: the sweeps through the drift's peaks pass
    // farthest from the centre, every fifth sweep.
    setup.pattern = [](int64_t row) {
        constexpr double kSweepRows = 40.0;
        const double peak_row = 2.0 * kSweepRows + kSweepRows / 2.0;
        const double drift = std::cos(2.0 * kPi * (static_cast<double>(row) - peak_row) / (10.0 * kSweepRows));
        return MirrorPosition{6500.0 * triangle(row, 40), 1000.0 + 3000.0 * drift, false};
    };
    return setup;
}

SensorSetup parvo_d41() {
    vorlan_test::CalibrationHeaderFields header;
    header.id = 0x16D10001;
    header.model = 16;
    header.distance_offset = 0.0168f;
    header.distance_scale = 0.0009993083f;
    header.distortion = {0.03f, 0.0f, 0.01f};
    const float scale = image_scale(header.distance_offset);
    const auto steps = quadratic_intensity_steps();
    const auto segments = vorlan_test::make_segments<vorlan_test::VrnDSegment>(
        24, {}, [&](vorlan_test::VrnDSegment& s, std::size_t k) {
            const auto i = static_cast<int>(k);
            s.geometry.image_z_offset = static_cast<int16_t>(std::lround(-(i - 11.5) * 60.0));
            s.geometry.image_x_scale = scale;
            s.geometry.image_z_scale = scale;
            s.distance_offset = 6;
            s.intensity_range_offset_cm = 20;
            s.intensity_base = 50.0f;
            s.intensity_steps = steps;
            // Slightly brighter towards the image's right and bottom.
            s.intensity_falloff = {0.0f, 2e-6f, -1e-6f, 0.0f, 0.0f, 0.0f};
        });
    SensorSetup setup;
    setup.name = "Parvo-D41";
    setup.model_name = "Parvo-D41";
    setup.firmware_text = {'V', '3', '0', '0'};
    setup.address = address(204);
    setup.serial_number = 900004;
    setup.model = 16;
    setup.info_kind = InfoPacketKind::infx;
    setup.format = PointFormat::v3_double;
    setup.calibration_block = vorlan_test::build_vrnd_block(header, segments);
    setup.optics = vrnd_optics(header, segments);
    setup.segments = 24;
    setup.rows_per_packet = 3;
    setup.power_step_m = 4.0;
    setup.max_power_level = 31;
    setup.max_range_m = 200.0;
    setup.frame_period_s = 0.096;
    // A Lissajous figure over the model's whole 60-degree width (the
    // library judges a narrower sweep a failing scanner); the sensor flips
    // the frame flag every 200 rows.
    setup.pattern = [](int64_t row) {
        return MirrorPosition{6200.0 * triangle(row, 37), 1000.0 + 2500.0 * triangle(row, 53), (row / 200) % 2 == 1};
    };
    return setup;
}

}  // namespace

std::vector<SensorSetup> default_fleet() { return {tq50(), kiru(), parvo(), parvo_d41()}; }

}  // namespace vorlan_tool
