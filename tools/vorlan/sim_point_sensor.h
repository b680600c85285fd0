// One simulated second-generation sensor: a column of channels that sweeps
// the scene left and right, sending its points ready-made in "STDV" packets,
// its identity in "INFZ" packets and its GPS lines in "NMEA" packets.
//
// Each sweep is one natural frame: the frame parity flag of the points
// changes when the sweep turns around.
#ifndef VORLAN_TOOLS_SIM_POINT_SENSOR_H
#define VORLAN_TOOLS_SIM_POINT_SENSOR_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim_scene.h"
#include "support/point_packet_builder.h"

namespace vorlan_tool {

struct PointSensorSetup {
    uint32_t serial_number = 1;
    uint16_t model = 22;
    std::string model_name = "Sweep 64";
    int channels = 64;               // stacked evenly over the vertical field of view
    double vertical_fov_deg = 25.0;
    double horizontal_fov_deg = 120.0;
    int points_per_packet = 100;
    int64_t point_period_us = 1;     // between consecutive points
    int columns_per_sweep = 1500;    // one sweep = one frame
    double max_range_m = 150.0;      // no return beyond
    uint8_t stride = 10;             // bytes per point on the wire (10 to 12)
};

class SimulatedPointSensor {
public:
    // `scene` must outlive the sensor.
    SimulatedPointSensor(PointSensorSetup setup, int64_t start_time_us, const Scene& scene);

    const PointSensorSetup& setup() const { return m_setup; }
    // When the next data packet leaves the sensor (µs since 1970).
    int64_t next_data_time() const;

    // Replaces `out` with the next "STDV" packet, reusing its capacity.
    void next_data_packet(std::vector<uint8_t>& out);
    // The sensor's "INFZ" packet (layout 76), with 16 trailing bytes of its own.
    std::vector<uint8_t> info_packet() const;
    // One "NMEA" packet with the GPS time of the next data packet.
    std::vector<uint8_t> nmea_packet() const;

private:
    // The point measured at scan index `index` (one index per point).
    vorlan_test::PointRecord measure(int64_t index) const;

    PointSensorSetup m_setup;
    const Scene* m_scene;
    int64_t m_start_time_us;
    int64_t m_next_index = 0;
    std::vector<vorlan_test::PointRecord> m_points;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SIM_POINT_SENSOR_H
