#include "sim_point_sensor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "sim_sensor.h"

namespace vorlan_tool {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kUnitsPerMetre = 200.0;  // points are in 5 mm units
constexpr double kNoReturnRange = 100.0;  // where a point without return is placed
constexpr uint8_t kFrameParity = 0x04;
constexpr uint8_t kNoReturn = 0x20;
constexpr int64_t kSecondUs = 1'000'000;
// The information packet leads the first point by this much.
constexpr int64_t kInfoLeadUs = 10'000;
// GPS lines come half a second after the information packet.
constexpr int64_t kSerialOffsetUs = 500'000;
// From the last point of a packet to the packet leaving the sensor.
constexpr int64_t kLatencyUs = 100;
// The long information layout carries this much of the sensor's own data.
constexpr std::size_t kLongLayoutTrailing = 2136 - 88;
constexpr std::size_t kShortLayoutTrailing = 16;

int16_t to_units(double metres) { return static_cast<int16_t>(std::lround(metres * kUnitsPerMetre)); }

// The XOR of the characters between '$' and '*', as NMEA receivers check it.
std::string with_checksum(const std::string& sentence) {
    uint8_t sum = 0;
    for (std::size_t i = 1; i < sentence.size(); ++i) {
        sum ^= static_cast<uint8_t>(sentence[i]);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", static_cast<unsigned>(sum));
    return sentence + tail;
}

}  // namespace

SimulatedPointSensor::SimulatedPointSensor(PointSensorSetup setup, int64_t start_time_us, const Scene& scene,
                                           uint64_t seed)
    : m_setup(std::move(setup)), m_scene(&scene), m_random(seed), m_start_time_us(start_time_us) {
    m_points.resize(static_cast<std::size_t>(m_setup.points_per_packet));
}

int64_t SimulatedPointSensor::next_data_time() const {
    return m_start_time_us + m_next_index * m_setup.point_period_us;
}

int64_t SimulatedPointSensor::next_send_time() const {
    return next_data_time() + (m_setup.points_per_packet - 1) * m_setup.point_period_us + kLatencyUs;
}

int64_t SimulatedPointSensor::next_info_time() const {
    return m_start_time_us - kInfoLeadUs + m_setup.info_offset_us + m_info_index * kSecondUs;
}

int64_t SimulatedPointSensor::next_serial_time() const {
    if (m_setup.sync != ClockSync::gps) {
        return std::numeric_limits<int64_t>::max();
    }
    return m_start_time_us - kInfoLeadUs + m_setup.info_offset_us + kSerialOffsetUs + m_serial_index * kSecondUs;
}

vorlan_test::PointRecord SimulatedPointSensor::measure(int64_t index) {
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
        if (m_setup.range_noise_units > 0) {
            // Plain modulo of the engine's output: the same numbers with
            // every standard library, unlike the standard distributions.
            const auto span = static_cast<uint64_t>(2 * m_setup.range_noise_units + 1);
            const auto units = static_cast<int64_t>(m_random() % span) - m_setup.range_noise_units;
            range += static_cast<double>(units) / kUnitsPerMetre;
        }
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
    const bool prefixed = m_packet_index % 2 == 1;
    ++m_packet_index;
    out.clear();
    if (m_setup.packets == PointPacketKind::sta0) {
        const auto time = static_cast<uint64_t>(timestamp);
        out = vorlan_test::build_sta0_packet(time / kSecondUs, static_cast<uint32_t>(time % kSecondUs * 1000),
                                             m_points, prefixed);
        return;
    }
    vorlan_test::StdvLayout layout;
    layout.stride = m_setup.stride;
    vorlan_test::append_stdv_packet(out, timestamp, m_points.data(), m_points.size(), layout);
}

void SimulatedPointSensor::next_info_packet(std::vector<uint8_t>& out) {
    // The first one plain, so that a receiver that only reads plain
    // information knows the sensor from the start.
    out = info_packet(m_setup.prefixed_info && m_info_index % 2 == 1);
    ++m_info_index;
}

void SimulatedPointSensor::next_serial_packet(std::vector<uint8_t>& out) {
    out = nmea_packet();
    ++m_serial_index;
}

std::vector<uint8_t> SimulatedPointSensor::info_packet(bool prefixed) const {
    vorlan_test::InfzFields fields;
    fields.layout = m_setup.info_layout;
    fields.model = m_setup.model;
    fields.serial_number = m_setup.serial_number;
    std::copy(std::begin(m_setup.firmware_version), std::end(m_setup.firmware_version), fields.firmware_version);
    fields.model_name = m_setup.model_name;
    fields.ptp_time = next_data_time() * 1000;
    fields.sync_source = static_cast<uint8_t>(m_setup.sync);
    fields.trailing.resize(m_setup.info_layout == 2136 ? kLongLayoutTrailing : kShortLayoutTrailing);
    for (std::size_t i = 0; i < fields.trailing.size(); ++i) {
        fields.trailing[i] = static_cast<uint8_t>(i);
    }
    return vorlan_test::build_infz_packet(fields, prefixed);
}

std::vector<uint8_t> SimulatedPointSensor::nmea_packet() const {
    const CivilTime t = civil_time(next_data_time() / kSecondUs);
    char line[96];
    std::snprintf(line, sizeof line, "$GPRMC,%02d%02d%02d.00,A,4807.038,N,01131.000,E,0.0,0.0,%02d%02d%02d,,", t.hour,
                  t.minute, t.second, t.day, t.month, t.year % 100);
    return vorlan_test::build_nmea_packet(with_checksum(line));
}

}  // namespace vorlan_tool
