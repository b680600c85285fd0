// One simulated second-generation sensor: a column of channels that sweeps
// the scene left and right, sending its points ready-made ("STDV" packets,
// or "STA0" packets plain and behind an 8-byte prefix), its identity in
// "INFZ" packets of either layout and, with a GPS clock, its GPS lines in
// "NMEA" packets.
//
// Each sweep is one natural frame: the frame parity flag of the points
// changes when the sweep turns around.
#ifndef VORLAN_TOOLS_SIM_POINT_SENSOR_H
#define VORLAN_TOOLS_SIM_POINT_SENSOR_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sim_scene.h"
#include "support/point_packet_builder.h"

namespace vorlan_tool {

enum class PointPacketKind {
    stdv,  // "STDV" at the setup's stride
    sta0,  // "STA0", every other packet behind the 8-byte prefix
};

// Where the sensor's clock comes from, as its "INFZ" packet says.
enum class ClockSync : uint8_t { none = 0, ptp = 1, gps = 2 };

struct PointSensorSetup {
    std::string name = "Sweep";  // family name for summaries
    uint32_t address = 0;        // IPv4, first octet most significant; the sensor's handle
    uint32_t serial_number = 1;
    uint16_t model = 22;
    std::string model_name = "Sweep 64";
    uint8_t firmware_version[4] = {2, 1, 0, 0};
    int channels = 64;               // stacked evenly over the vertical field of view
    double vertical_fov_deg = 25.0;
    double horizontal_fov_deg = 120.0;
    int points_per_packet = 100;
    int64_t point_period_us = 1;     // between consecutive points, at most 255
    int columns_per_sweep = 1500;    // one sweep = one frame
    double max_range_m = 150.0;      // no return beyond
    uint8_t stride = 10;             // bytes per point on the wire (10 to 12); "STA0" is always 10
    PointPacketKind packets = PointPacketKind::stdv;
    uint32_t info_layout = 76;       // 76 or 2136
    // Every other information packet behind the 8-byte prefix, as sensors
    // that send "STA0" do.
    bool prefixed_info = false;
    ClockSync sync = ClockSync::ptp;
    int range_noise_units = 0;       // ± this many 5 mm units along the ray, from the seed
    // Offset of the sensor's information packets within each second, so
    // that sensors do not all announce themselves at once.
    int64_t info_offset_us = 0;
};

class SimulatedPointSensor {
public:
    // `scene` must outlive the sensor. The first point is measured at
    // `start_time_us`; `seed` drives the range noise only.
    SimulatedPointSensor(PointSensorSetup setup, int64_t start_time_us, const Scene& scene, uint64_t seed = 0);

    const PointSensorSetup& setup() const { return m_setup; }
    // The time of the first point of the next data packet (µs since 1970).
    int64_t next_data_time() const;
    // When the next data packet leaves: once its last point is measured.
    int64_t next_send_time() const;
    // When the next information packet leaves: 10 ms before the first
    // point, then once a second.
    int64_t next_info_time() const;
    // When the next GPS line leaves; never (INT64_MAX) without a GPS clock.
    int64_t next_serial_time() const;

    // Replaces `out` with the next data packet, reusing its capacity for
    // "STDV".
    void next_data_packet(std::vector<uint8_t>& out);
    // Replaces `out` with the next information packet and moves on.
    void next_info_packet(std::vector<uint8_t>& out);
    // Replaces `out` with the next GPS line and moves on.
    void next_serial_packet(std::vector<uint8_t>& out);

    // The sensor's "INFZ" packet as it stands now.
    std::vector<uint8_t> info_packet(bool prefixed = false) const;
    // One "NMEA" packet with the GPS time of the next data packet.
    std::vector<uint8_t> nmea_packet() const;

    // Points the last data packet carried.
    std::size_t last_packet_points() const { return m_points.size(); }

private:
    // The point measured at scan index `index` (one index per point).
    vorlan_test::PointRecord measure(int64_t index);

    PointSensorSetup m_setup;
    const Scene* m_scene;
    std::mt19937_64 m_random;
    int64_t m_start_time_us;
    int64_t m_next_index = 0;
    int64_t m_packet_index = 0;
    int64_t m_info_index = 0;
    int64_t m_serial_index = 0;
    std::vector<vorlan_test::PointRecord> m_points;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SIM_POINT_SENSOR_H
