#include "sim_sensor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "support/info_packet_builder.h"

namespace vorlan_tool {

using vorlan_test::DevicePoint;
using vorlan_test::PointFormat;

namespace {

constexpr int64_t kMicrosecondsPerSecond = 1'000'000;
constexpr int64_t kMicrosecondsPerHour = 3'600'000'000;
// Sensors announce themselves before their first data packet.
constexpr int64_t kDataDelayUs = 20'000;
// A packet leaves the sensor this long after its last point was measured.
constexpr int64_t kLatencyUs = 100;
// Information packets leave once per second.
constexpr int64_t kInfoIntervalUs = kMicrosecondsPerSecond;
// The second return of a double-return sensor: the edge of the beam's
// footprint, this far (in image units) beside its centre.
constexpr double kBeamEdge = 0.004;
// A second return counts when it lies at least this much farther.
constexpr double kSecondReturnGap = 0.5;

uint32_t max_raw_distance(PointFormat format) {
    switch (format) {
        case PointFormat::v2:
        case PointFormat::v2_double:
            return 0xFFFF;
        case PointFormat::v3:
        case PointFormat::v3_double:
            return (1u << 19) - 1;
    }
    return 0xFFFF;
}

// Version 2 points carry the power level in four bits; calibration blocks
// describe levels 0 to 31.
int max_power_level(PointFormat format) {
    return format == PointFormat::v2 || format == PointFormat::v2_double ? 15 : kPowerLevels - 1;
}

bool has_second_return(PointFormat format) {
    return format == PointFormat::v2_double || format == PointFormat::v3_double;
}

int16_t raw_coordinate(double value) {
    return static_cast<int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
}

Vec3 ray(double image_x, double image_z) {
    // An image point (u, w) lies on the ray (-u, 1, -w) from the sensor.
    const double norm = std::sqrt(image_x * image_x + image_z * image_z + 1.0);
    return {-image_x / norm, 1.0 / norm, -image_z / norm};
}

vorlan_test::GpsDateTime gps_fields(int64_t time_us) {
    const CivilTime t = civil_time(time_us / kMicrosecondsPerSecond);
    return {static_cast<uint8_t>(t.year % 100), static_cast<uint8_t>(t.month), static_cast<uint8_t>(t.day),
            static_cast<uint8_t>(t.hour),       static_cast<uint8_t>(t.minute), static_cast<uint8_t>(t.second)};
}

}  // namespace

CivilTime civil_time(int64_t unix_seconds) {
    // Days to the proleptic Gregorian calendar, in 400-year eras of 146097
    // days counted from 0000-03-01.
    int64_t days = unix_seconds / 86400;
    int64_t second_of_day = unix_seconds % 86400;
    if (second_of_day < 0) {
        second_of_day += 86400;
        --days;
    }
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_index = (5 * day_of_year + 2) / 153;
    CivilTime t;
    t.day = static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1);
    t.month = static_cast<int>(month_index < 10 ? month_index + 3 : month_index - 9);
    t.year = static_cast<int>(year_of_era + era * 400 + (t.month <= 2 ? 1 : 0));
    t.hour = static_cast<int>(second_of_day / 3600);
    t.minute = static_cast<int>(second_of_day % 3600 / 60);
    t.second = static_cast<int>(second_of_day % 60);
    return t;
}

SimulatedSensor::SimulatedSensor(SensorSetup setup, uint64_t seed, int64_t start_time_us, int64_t info_offset_us,
                                 const Scene& scene)
    : m_setup(std::move(setup)),
      m_scene(&scene),
      m_random(seed),
      m_start_time_us(start_time_us),
      m_info_offset_us(info_offset_us),
      m_max_raw_distance(max_raw_distance(m_setup.format)) {
    if (m_setup.optics.segments.size() != static_cast<std::size_t>(std::max(m_setup.segments, 0)) ||
        m_setup.segments <= 0 || !(m_setup.optics.distance_scale > 0.0) || m_setup.calibration_block.size() < 4 ||
        m_setup.rows_per_packet <= 0 || m_setup.point_period_us <= 0 || !m_setup.pattern ||
        m_setup.max_power_level < 1 || m_setup.max_power_level > max_power_level(m_setup.format) ||
        !(m_setup.power_step_m > 0.0)) {
        throw std::invalid_argument("simulated sensor " + m_setup.name + " is inconsistent");
    }
    m_points.reserve(points_per_packet());
}

std::size_t SimulatedSensor::points_per_packet() const {
    return static_cast<std::size_t>(m_setup.rows_per_packet) * static_cast<std::size_t>(m_setup.segments);
}

int64_t SimulatedSensor::packet_duration_us() const {
    return static_cast<int64_t>(points_per_packet()) * m_setup.point_period_us;
}

int64_t SimulatedSensor::next_info_time() const {
    return m_start_time_us + m_info_offset_us + m_info_index * kInfoIntervalUs;
}

int64_t SimulatedSensor::next_data_time() const {
    // Sent once the packet's last point is measured.
    return m_start_time_us + kDataDelayUs + (m_packet_index + 1) * packet_duration_us() + kLatencyUs;
}

int64_t SimulatedSensor::noise(int64_t low, int64_t high) {
    // Plain modulo of the engine's output: the same numbers on every
    // standard library, unlike the standard distributions.
    const auto span = static_cast<uint64_t>(high - low + 1);
    return low + static_cast<int64_t>(m_random() % span);
}

void SimulatedSensor::next_info_packet(std::vector<uint8_t>& out) {
    const int64_t time = next_info_time();
    const int64_t age_s = (time - m_start_time_us) / kMicrosecondsPerSecond + 3600;
    const bool two_returns = has_second_return(m_setup.format);
    const int8_t temperature = static_cast<int8_t>(30 + noise(0, 4));
    switch (m_setup.info_kind) {
        case InfoPacketKind::info: {
            vorlan_test::InfoPacketFields fields;
            fields.serial_number = m_setup.serial_number;
            std::memcpy(fields.firmware, m_setup.firmware_text.data(), 4);
            fields.time_sync = 'A';  // PPS and NMEA
            fields.gps = gps_fields(time);
            fields.age = static_cast<uint16_t>(age_s);
            fields.temperature = temperature;
            fields.humidity = 40;
            out = vorlan_test::build_info_packet(fields, m_setup.calibration_block);
            break;
        }
        case InfoPacketKind::infx: {
            vorlan_test::InfxPacketFields fields;
            fields.serial_number = m_setup.serial_number;
            std::memcpy(fields.firmware, m_setup.firmware_text.data(), 4);
            fields.model = m_setup.model;
            fields.age = static_cast<uint16_t>(age_s);
            fields.temperature = temperature;
            fields.humidity = 35;
            fields.temperature_16ths = static_cast<int16_t>(temperature * 16);
            fields.return_count = two_returns ? 2 : 1;
            fields.time_sync_bits = 0x03;  // NMEA and PPS
            fields.gps = gps_fields(time);
            out = vorlan_test::build_infx_packet(fields, m_setup.calibration_block);
            break;
        }
        case InfoPacketKind::infy: {
            vorlan_test::InfyPacketFields fields;
            fields.serial_number = m_setup.serial_number;
            fields.firmware_major = m_setup.firmware_major;
            fields.firmware_minor = m_setup.firmware_minor;
            fields.firmware_build = m_setup.firmware_build;
            fields.model = m_setup.model;
            fields.age = static_cast<uint32_t>(age_s);
            fields.status = two_returns ? 0x01 : 0x00;
            fields.time_sync_bits = 0x03;
            fields.time_s = time / kMicrosecondsPerSecond;
            fields.period_ns = static_cast<uint16_t>(std::min<int64_t>(m_setup.point_period_us * 1000, 0xFFFF));
            fields.temperature_16ths = static_cast<int16_t>(temperature * 16);
            out = vorlan_test::build_infy_packet(fields, m_setup.calibration_block);
            break;
        }
    }
    ++m_info_index;
}

void SimulatedSensor::next_data_packet(std::vector<uint8_t>& out) {
    // The header carries the time just before the packet's first point; the
    // receiver spreads the points over the time to the next packet.
    const int64_t time = m_start_time_us + kDataDelayUs + m_packet_index * packet_duration_us();
    vorlan_test::DataPacketHeader header;
    header.time_us = static_cast<uint32_t>(time % kMicrosecondsPerHour);
    header.has_hour = true;
    header.hour = static_cast<uint32_t>(time / kMicrosecondsPerHour);

    m_points.clear();
    const int64_t first_row = m_packet_index * m_setup.rows_per_packet;
    for (int64_t row = first_row; row < first_row + m_setup.rows_per_packet; ++row) {
        const MirrorPosition mirror = m_setup.pattern(row);
        for (int segment = 0; segment < m_setup.segments; ++segment) {
            m_points.push_back(measure(mirror, segment));
        }
    }
    out.clear();
    vorlan_test::append_data_packet(out, m_setup.format, header, m_points.data(), m_points.size());
    ++m_packet_index;
}

DevicePoint SimulatedSensor::measure(const MirrorPosition& mirror, int segment) {
    DevicePoint point;
    point.image_x = raw_coordinate(mirror.x);
    point.image_z = raw_coordinate(mirror.z);
    point.frame_flag = mirror.frame_flag;
    const ImagePosition image = m_setup.optics.image_position(segment, point.image_x, point.image_z);

    Hit hit;
    // A rare pulse finds nothing, as on any real sensor.
    const bool dropped = noise(0, 511) == 0;
    if (dropped || !m_scene->cast(ray(image.x, image.z), m_setup.max_range_m, hit)) {
        return point;  // no return: distance 0, power level 0
    }
    const int level = std::clamp(1 + static_cast<int>(hit.distance / m_setup.power_step_m), 1, m_setup.max_power_level);
    point.power_level = static_cast<uint8_t>(level);
    encode_return(point, segment, hit.distance, hit.reflectivity * hit.incidence, point.distance, point.intensity);

    if (has_second_return(m_setup.format)) {
        Hit edge;
        const double far_limit = static_cast<double>(m_max_raw_distance) * m_setup.optics.distance_scale * 0.9;
        if (m_scene->cast(ray(image.x + kBeamEdge, image.z), std::min(m_setup.max_range_m, far_limit), edge) &&
            edge.distance > hit.distance + kSecondReturnGap) {
            // Part of the footprint passed the near surface's edge: a weaker
            // echo from behind it.
            encode_return(point, segment, edge.distance, 0.5 * edge.reflectivity * edge.incidence, point.distance_2,
                          point.intensity_2);
            if (point.distance_2 == point.distance) {
                point.distance_2 = 0;
                point.intensity_2 = 0;
            }
        }
    }
    return point;
}

void SimulatedSensor::encode_return(const DevicePoint& point, int segment, double distance, double reflectance,
                                    uint32_t& distance_out, uint8_t& intensity_out) {
    const SensorOptics& optics = m_setup.optics;
    const int level = point.power_level;
    const int64_t units = std::llround(optics.raw_distance(segment, level, distance)) + noise(-2, 2);
    distance_out = static_cast<uint32_t>(std::clamp<int64_t>(units, 1, m_max_raw_distance));

    // Calibrated intensity about 100 times the reflectance, within a few percent.
    const double wanted = 100.0 * reflectance * (1.0 + static_cast<double>(noise(-3, 3)) / 100.0);
    // What one raw intensity unit reads as at the distance the raw value reads as.
    const double per_unit = optics.intensity_per_unit(segment, level, optics.metres(segment, level, distance_out),
                                                      point.image_x, point.image_z);
    double intensity = 0.0;
    if (per_unit > 0.0) {
        intensity = wanted / per_unit;
    } else {
        // Without an intensity table the raw value falls with range.
        const double near = std::min(1.0, 10.0 / std::max(distance, 1e-3));
        intensity = 2.55 * wanted * near * near;
    }
    // 255 means saturated; a dark target still returns something.
    intensity_out = static_cast<uint8_t>(std::clamp(std::lround(intensity), 1L, 254L));
}

}  // namespace vorlan_tool
