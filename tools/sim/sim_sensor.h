// One simulated sensor: its identity, the calibration block it carries, the
// scan pattern of its family, and the information and point data packets it
// sends while looking at a Scene.
//
// Raw measurements are made to invert exactly: each point's ray is the one
// the sensor's optics (sim_calibration.h, what its calibration block says)
// give its raw image coordinates, and its raw distance is what those optics
// read as the distance along the ray to the scene, within one raw unit and
// the sensor's noise.
#ifndef VORLAN_TOOLS_SIM_SENSOR_H
#define VORLAN_TOOLS_SIM_SENSOR_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "sim_calibration.h"
#include "sim_scene.h"
#include "support/data_packet_builder.h"

namespace vorlan_tool {

enum class InfoPacketKind { info, infx, infy };

// Where the mirrors point while one row is measured (every segment measures
// once per row), in raw image counts, and the frame flag the sensor sets.
struct MirrorPosition {
    double x = 0.0;
    double z = 0.0;
    bool frame_flag = false;
};

// What a sensor is and how it scans.
struct SensorSetup {
    std::string name;      // family name for summaries: "TQ50", "Kiru", ...
    std::string model_name;  // the model's display name, as receivers name it
    uint32_t address = 0;  // IPv4, first octet most significant; the sensor's handle
    uint32_t serial_number = 0;
    int16_t model = 0;
    // The firmware as "INFO" and "INFX" packets carry it: 'V', a generation
    // digit and the major version in two hexadecimal digits.
    std::array<char, 4> firmware_text{'V', '2', '6', '4'};
    // The firmware as "INFY" packets carry it.
    uint8_t firmware_major = 3;
    uint8_t firmware_minor = 2;
    uint8_t firmware_build = 1;
    InfoPacketKind info_kind = InfoPacketKind::info;
    vorlan_test::PointFormat format = vorlan_test::PointFormat::v2;
    std::vector<uint8_t> calibration_block;
    SensorOptics optics;  // what calibration_block says, one entry per segment
    int segments = 8;  // the block's segment count, and the model's usual one
    int rows_per_packet = 12;
    int64_t point_period_us = 20;
    // Laser power steps up one level per this much range, up to the last level.
    double power_step_m = 8.0;
    int max_power_level = 15;
    double max_range_m = 120.0;  // no return beyond
    // Seconds between the natural frames the pattern produces.
    double frame_period_s = 0.1;
    // Mirror position of row r (row 0 is the first row of the first packet).
    std::function<MirrorPosition(int64_t row)> pattern;
};

class SimulatedSensor {
public:
    // `scene` must outlive the sensor. `seed` drives the sensor's noise only.
    // Throws std::invalid_argument when the setup's optics disagree with its
    // segment count or the setup is otherwise unusable.
    SimulatedSensor(SensorSetup setup, uint64_t seed, int64_t start_time_us, int64_t info_offset_us,
                    const Scene& scene);

    const SensorSetup& setup() const { return m_setup; }
    std::size_t points_per_packet() const;
    int64_t packet_duration_us() const;

    // When the next packet of each kind leaves the sensor (µs since 1970).
    int64_t next_info_time() const;
    int64_t next_data_time() const;

    // Replaces `out` with the next packet of that kind and moves on to the
    // one after. Data packets reuse `out`'s capacity.
    void next_info_packet(std::vector<uint8_t>& out);
    void next_data_packet(std::vector<uint8_t>& out);

    // Points the last data packet carried.
    std::size_t last_packet_points() const { return m_points.size(); }

private:
    // One measurement of `segment` with the mirrors at `mirror`.
    vorlan_test::DevicePoint measure(const MirrorPosition& mirror, int segment);
    // The raw distance and intensity of a return at `distance` metres from a
    // surface of `reflectance` (reflectivity times incidence).
    void encode_return(const vorlan_test::DevicePoint& point, int segment, double distance, double reflectance,
                       uint32_t& distance_out, uint8_t& intensity_out);

    int64_t noise(int64_t low, int64_t high);

    SensorSetup m_setup;
    const Scene* m_scene;
    std::mt19937_64 m_random;
    int64_t m_start_time_us;
    int64_t m_info_offset_us;
    int64_t m_info_index = 0;
    int64_t m_packet_index = 0;
    uint32_t m_max_raw_distance = 0;
    std::vector<vorlan_test::DevicePoint> m_points;
};

// Date and time of day of a Unix time in seconds (UTC).
struct CivilTime {
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};
CivilTime civil_time(int64_t unix_seconds);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SIM_SENSOR_H
