#include "sim_point_fleet.h"

namespace vorlan_tool {
namespace {

uint32_t address(int last_octet) { return (192u << 24) | (168u << 16) | (1u << 8) | static_cast<uint32_t>(last_octet); }

// A sweep of `columns` columns of `channels` points every `period` µs
// apart; points are sent in whole columns.
PointSensorSetup sweep(int channels, int columns, int64_t period_us, int columns_per_packet) {
    PointSensorSetup setup;
    setup.channels = channels;
    setup.columns_per_sweep = columns;
    setup.point_period_us = period_us;
    setup.points_per_packet = channels * columns_per_packet;
    setup.range_noise_units = 2;
    return setup;
}

PointSensorSetup sweep_64() {
    PointSensorSetup setup = sweep(64, 100, 15, 2);
    setup.name = "Sweep64";
    setup.address = address(211);
    setup.serial_number = 910001;
    setup.model = 22;
    setup.model_name = "Sweep 64";
    setup.vertical_fov_deg = 25.0;
    setup.horizontal_fov_deg = 120.0;
    setup.stride = 10;
    setup.info_layout = 76;
    setup.sync = ClockSync::ptp;
    setup.info_offset_us = 1'000;
    return setup;
}

PointSensorSetup sweep_64_long_range() {
    PointSensorSetup setup = sweep(64, 100, 15, 1);
    setup.name = "Sweep64LR";
    setup.address = address(212);
    setup.serial_number = 910002;
    setup.model = 24;
    setup.model_name = "Sweep 64 LR";
    setup.firmware_version[1] = 3;
    setup.vertical_fov_deg = 20.0;
    setup.horizontal_fov_deg = 90.0;
    setup.max_range_m = 250.0;
    setup.stride = 12;
    setup.info_layout = 2136;
    setup.sync = ClockSync::gps;
    setup.info_offset_us = 2'000;
    return setup;
}

PointSensorSetup sweep_48() {
    PointSensorSetup setup = sweep(48, 100, 20, 2);
    setup.name = "Sweep48";
    setup.address = address(213);
    setup.serial_number = 910003;
    setup.model = 25;
    setup.model_name = "Sweep 48";
    setup.firmware_version[0] = 3;
    setup.vertical_fov_deg = 30.0;
    setup.horizontal_fov_deg = 100.0;
    setup.packets = PointPacketKind::sta0;
    setup.info_layout = 76;
    setup.prefixed_info = true;
    setup.sync = ClockSync::none;
    setup.info_offset_us = 3'000;
    return setup;
}

PointSensorSetup fixed_16() {
    // 125 columns of 16 points at 50 µs: 100 ms per sweep.
    PointSensorSetup setup = sweep(16, 125, 50, 5);
    setup.name = "Fixed16";
    setup.address = address(214);
    setup.serial_number = 910004;
    setup.model = 5;
    setup.model_name = "Fixed 16";
    setup.firmware_version[0] = 1;
    setup.vertical_fov_deg = 16.0;
    setup.horizontal_fov_deg = 80.0;
    setup.max_range_m = 100.0;
    setup.stride = 10;
    setup.info_layout = 76;
    setup.sync = ClockSync::none;
    setup.info_offset_us = 4'000;
    return setup;
}

}  // namespace

int receiver_channel_count(uint16_t model) {
    switch (model) {
        case 22:
        case 24: return 64;
        case 25: return 48;
        default: return 0;
    }
}

std::vector<PointSensorSetup> default_point_fleet() {
    return {sweep_64(), sweep_64_long_range(), sweep_48(), fixed_16()};
}

}  // namespace vorlan_tool
