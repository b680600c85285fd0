#include "sim_point_sensor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vorlan_tool {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kUnitsPerMetre = 200.0;  // points are in 5 mm units
constexpr double kNoReturnRange = 100.0;  // where a point without return is placed
constexpr uint8_t kFrameParity = 0x04;
constexpr uint8_t kNoReturn = 0x20;

int16_t to_units(double metres) { return static_cast<int16_t>(std::lround(metres * kUnitsPerMetre)); }

}  // namespace

SimulatedPointSensor::SimulatedPointSensor(PointSensorSetup setup, int64_t start_time_us, const Scene& scene)
    : m_setup(std::move(setup)), m_scene(&scene), m_start_time_us(start_time_us) {
    m_points.resize(static_cast<std::size_t>(m_setup.points_per_packet));
}

int64_t SimulatedPointSensor::next_data_time() const {
    return m_start_time_us + m_next_index * m_setup.point_period_us;
}

vorlan_test::PointRecord SimulatedPointSensor::measure(int64_t index) const {
    const int64_t channel = index % m_setup.channels;
    const int64_t column = index / m_setup.channels;
    const int64_t sweep = column / m_setup.columns_per_sweep;
    int64_t position = column % m_setup.columns_per_sweep;
    if (sweep % 2 == 1) {
        position = m_setup.columns_per_sweep - 1 - position;  // sweeping back
    }
    const double azimuth = (static_cast<double>(position) / std::max(1, m_setup.columns_per_sweep - 1) - 0.5) *
                           m_setup.horizontal_fov_deg * kPi / 180.0;
    const double elevation = (static_cast<double>(channel) / std::max(1, m_setup.channels - 1) - 0.5) *
                             m_setup.vertical_fov_deg * kPi / 180.0;
    const Vec3 ray{std::cos(elevation) * std::sin(azimuth), std::cos(elevation) * std::cos(azimuth),
                   std::sin(elevation)};

    vorlan_test::PointRecord point;
    point.channel_id = static_cast<uint8_t>(channel);
    point.flags = sweep % 2 == 1 ? kFrameParity : 0;
    Hit hit;
    double range = kNoReturnRange;
    if (m_scene->cast(ray, m_setup.max_range_m, hit)) {
        range = hit.distance;
        point.reflectivity = static_cast<uint8_t>(std::lround(std::min(1.27, hit.reflectivity * hit.incidence) * 100));
    } else {
        point.flags |= kNoReturn;
    }
    point.x = to_units(ray.x * range);
    point.y = to_units(ray.y * range);
    point.z = to_units(ray.z * range);
    return point;
}

void SimulatedPointSensor::next_data_packet(std::vector<uint8_t>& out) {
    const int64_t timestamp = next_data_time();
    for (std::size_t k = 0; k < m_points.size(); ++k) {
        m_points[k] = measure(m_next_index + static_cast<int64_t>(k));
        // The first point is at the packet's time, the others follow at the point period.
        m_points[k].relative_timestamp = static_cast<uint8_t>(k == 0 ? 0 : m_setup.point_period_us);
    }
    m_next_index += static_cast<int64_t>(m_points.size());
    out.clear();
    vorlan_test::StdvLayout layout;
    layout.stride = m_setup.stride;
    vorlan_test::append_stdv_packet(out, timestamp, m_points.data(), m_points.size(), layout);
}

std::vector<uint8_t> SimulatedPointSensor::info_packet() const {
    vorlan_test::InfzFields fields;
    fields.model = m_setup.model;
    fields.serial_number = m_setup.serial_number;
    fields.model_name = m_setup.model_name;
    fields.ptp_time = next_data_time() * 1000;
    fields.sync_source = 1;
    fields.trailing.assign(16, 0);
    return vorlan_test::build_infz_packet(fields);
}

std::vector<uint8_t> SimulatedPointSensor::nmea_packet() const {
    const int64_t seconds = next_data_time() / 1000000;
    char line[96];
    std::snprintf(line, sizeof line, "$GPRMC,%02d%02d%02d.00,A,4807.038,N,01131.000,E,0.0,0.0,,,*00",
                  static_cast<int>(seconds / 3600 % 24), static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60));
    return vorlan_test::build_nmea_packet(line);
}

}  // namespace vorlan_tool
