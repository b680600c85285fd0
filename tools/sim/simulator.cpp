#include "simulator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <limits>

#include "sim_fleet.h"
#include "sim_point_fleet.h"
#include "sim_point_sensor.h"
#include "sim_scene.h"
#include "sim_sensor.h"

namespace vorlan_tool {

namespace {

// Information packets of the sensors leave a few milliseconds apart.
constexpr int64_t kInfoStaggerUs = 3'000;
// The second generation's first points, after every sensor has announced itself.
constexpr int64_t kPointDataDelayUs = 20'000;
// Seeds of the second generation's sensors, apart from the first's.
constexpr uint64_t kPointSeedBase = 100;

// splitmix64: spreads one seed into well-separated seeds per sensor.
uint64_t mix(uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

const char* info_type(InfoPacketKind kind) {
    switch (kind) {
        case InfoPacketKind::info: return "INFO";
        case InfoPacketKind::infx: return "INFX";
        case InfoPacketKind::infy: return "INFY";
    }
    return "";
}

// The firmware version a receiver reads from what the sensor sends: "INFY"
// packets give major and minor outright; the four characters of "INFO" and
// "INFX" give, after a 'V', the major version in hexadecimal from the third
// character on, and otherwise the third and fourth characters' codes.
std::string reported_firmware(const SensorSetup& setup) {
    unsigned major = setup.firmware_major;
    unsigned minor = setup.firmware_minor;
    if (setup.info_kind != InfoPacketKind::infy) {
        const std::array<char, 4>& text = setup.firmware_text;
        if (text[0] == 'V') {
            major = static_cast<uint8_t>(std::strtoul(std::string(text.begin() + 2, text.end()).c_str(), nullptr, 16));
            minor = 0;
        } else {
            major = static_cast<uint8_t>(text[2]);
            minor = static_cast<uint8_t>(text[3]);
        }
    }
    return std::to_string(setup.model) + "." + std::to_string(major) + "." + std::to_string(minor);
}

int64_t duration_us(double seconds) {
    if (!(seconds > 0.0)) {
        return 0;
    }
    // Ten thousand years is plenty and keeps the sum below overflow.
    return static_cast<int64_t>(std::min(seconds, 3.0e11) * 1e6);
}

}  // namespace

std::vector<SimulatedSensorInfo> simulated_sensors() {
    const Scene scene = Scene::yard();
    std::vector<SensorSetup> fleet = default_fleet();
    std::vector<SimulatedSensorInfo> sensors;
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        const SimulatedSensor sensor(fleet[i], 0, 0, 0, scene);
        const SensorSetup& setup = sensor.setup();
        SimulatedSensorInfo info;
        info.name = setup.name;
        info.model_name = setup.model_name;
        info.firmware = reported_firmware(setup);
        info.handle = setup.address;
        info.serial_number = setup.serial_number;
        info.model = static_cast<VorlanSensorModel>(setup.model);
        info.info_packet_type = info_type(setup.info_kind);
        info.calibration_type.assign(setup.calibration_block.begin(), setup.calibration_block.begin() + 4);
        info.calibration_block = setup.calibration_block;
        info.point_packet_type = vorlan_test::packet_type(setup.format);
        info.segment_count = static_cast<uint8_t>(setup.segments);
        info.return_count = setup.format == vorlan_test::PointFormat::v2_double ||
                                    setup.format == vorlan_test::PointFormat::v3_double
                                ? 2
                                : 1;
        info.measurement_period_s = static_cast<double>(setup.point_period_us) * 1e-6;
        info.points_per_packet = sensor.points_per_packet();
        info.frame_period_s = setup.frame_period_s;
        sensors.push_back(std::move(info));
    }
    return sensors;
}

std::vector<PointSensorSetup> simulated_point_sensors() { return default_point_fleet(); }

SimulationSummary run_simulation(const SimulatorOptions& options, PacketSink& sink) {
    const Scene scene = Scene::yard();
    const int64_t start = std::max<int64_t>(options.start_time_us, 0);
    const int64_t end = start + duration_us(options.seconds);

    std::vector<SimulatedSensor> sensors;
    std::vector<SensorSetup> fleet = default_fleet();
    sensors.reserve(fleet.size());
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        sensors.emplace_back(std::move(fleet[i]), mix(options.seed ^ mix(i)), start,
                             static_cast<int64_t>(i) * kInfoStaggerUs, scene);
    }

    std::vector<SimulatedPointSensor> point_sensors;
    std::vector<PointSensorSetup> point_fleet =
        options.second_generation ? default_point_fleet() : std::vector<PointSensorSetup>{};
    point_sensors.reserve(point_fleet.size());
    for (std::size_t i = 0; i < point_fleet.size(); ++i) {
        point_sensors.emplace_back(std::move(point_fleet[i]), start + kPointDataDelayUs, scene,
                                   mix(options.seed ^ mix(kPointSeedBase + i)));
    }

    enum class Kind { info, data, serial };
    SimulationSummary summary;
    std::vector<uint8_t> packet;
    packet.reserve(4096);
    for (;;) {
        // The earliest packet of any sensor; on a tie the first generation,
        // the lower handle, and a sensor's information before its data.
        SimulatedSensor* next = nullptr;
        SimulatedPointSensor* next_point = nullptr;
        Kind kind = Kind::info;
        int64_t next_time = std::numeric_limits<int64_t>::max();
        for (SimulatedSensor& sensor : sensors) {
            if (sensor.next_info_time() < next_time) {
                next = &sensor;
                kind = Kind::info;
                next_time = sensor.next_info_time();
            }
            if (sensor.next_data_time() < next_time) {
                next = &sensor;
                kind = Kind::data;
                next_time = sensor.next_data_time();
            }
        }
        for (SimulatedPointSensor& sensor : point_sensors) {
            const std::pair<int64_t, Kind> candidates[] = {{sensor.next_info_time(), Kind::info},
                                                           {sensor.next_send_time(), Kind::data},
                                                           {sensor.next_serial_time(), Kind::serial}};
            for (const auto& candidate : candidates) {
                if (candidate.first < next_time) {
                    next = nullptr;
                    next_point = &sensor;
                    kind = candidate.second;
                    next_time = candidate.first;
                }
            }
        }
        if ((next == nullptr && next_point == nullptr) || next_time >= end) {
            break;
        }
        VorlanSensorHandle handle = 0;
        std::size_t points = 0;
        if (next != nullptr) {
            if (kind == Kind::info) {
                next->next_info_packet(packet);
            } else {
                next->next_data_packet(packet);
                points = next->last_packet_points();
            }
            handle = next->setup().address;
        } else {
            if (kind == Kind::info) {
                next_point->next_info_packet(packet);
            } else if (kind == Kind::data) {
                next_point->next_data_packet(packet);
                points = next_point->last_packet_points();
            } else {
                next_point->next_serial_packet(packet);
            }
            handle = next_point->setup().address;
        }
        if (!sink.deliver(handle, next_time, packet.data(), packet.size())) {
            summary.completed = false;
            break;
        }
        ++summary.packets;
        summary.bytes += packet.size();
        summary.info_packets += kind == Kind::info ? 1 : 0;
        summary.points += points;
    }
    return summary;
}

}  // namespace vorlan_tool
