#include "simulator.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "sim_fleet.h"
#include "sim_scene.h"
#include "sim_sensor.h"

namespace vorlan_tool {

namespace {

// Information packets of the sensors leave a few milliseconds apart.
constexpr int64_t kInfoStaggerUs = 3'000;

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

    SimulationSummary summary;
    std::vector<uint8_t> packet;
    packet.reserve(4096);
    for (;;) {
        // The earliest packet of any sensor; on a tie the lower handle, and a
        // sensor's information before its data.
        SimulatedSensor* next = nullptr;
        bool next_is_info = false;
        int64_t next_time = std::numeric_limits<int64_t>::max();
        for (SimulatedSensor& sensor : sensors) {
            if (sensor.next_info_time() < next_time) {
                next = &sensor;
                next_is_info = true;
                next_time = sensor.next_info_time();
            }
            if (sensor.next_data_time() < next_time) {
                next = &sensor;
                next_is_info = false;
                next_time = sensor.next_data_time();
            }
        }
        if (next == nullptr || next_time >= end) {
            break;
        }
        if (next_is_info) {
            next->next_info_packet(packet);
        } else {
            next->next_data_packet(packet);
        }
        if (!sink.deliver(next->setup().address, next_time, packet.data(), packet.size())) {
            summary.completed = false;
            break;
        }
        ++summary.packets;
        summary.bytes += packet.size();
        if (next_is_info) {
            ++summary.info_packets;
        } else {
            summary.points += next->last_packet_points();
        }
    }
    return summary;
}

}  // namespace vorlan_tool
