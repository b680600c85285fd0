// The simulator's second-generation sensors, fed to vorlan_sdk2 as a
// receiver gets them: each is known with its model, layout and clock, every
// point it sends is published (both "STA0" forms), its GPS lines arrive, and
// its sweeps make natural frames.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "recording_sink.h"
#include "sim_point_fleet.h"
#include "simulator.h"
#include "vorlan_sdk2.h"

namespace vorlan_tool {
namespace {

// What the library published, per sensor handle.
struct Published {
    std::map<uint64_t, int> infos;
    std::map<uint64_t, uint32_t> info_sizes;
    std::map<uint64_t, uint64_t> points;
    std::map<uint64_t, std::size_t> strides;
    std::map<uint64_t, std::vector<std::string>> lines;
    std::map<uint64_t, std::vector<std::size_t>> fresh_frame_points;  // not carried over
    std::map<uint64_t, std::vector<int64_t>> frame_times;
};

void on_info(uint64_t handle, const VorlanSensor* info, void* user) {
    auto& seen = *static_cast<Published*>(user);
    ++seen.infos[handle];
    seen.info_sizes[handle] = info->info_size;
}

void on_points(uint64_t handle, int64_t, size_t n, size_t stride, const uint8_t*, void* user) {
    auto& seen = *static_cast<Published*>(user);
    seen.points[handle] += n;
    seen.strides[handle] = stride;
}

void on_line(uint64_t handle, const char* line, void* user) {
    static_cast<Published*>(user)->lines[handle].push_back(line);
}

void on_frame(uint64_t handle, int64_t timestamp, size_t n, size_t stride, const uint8_t* points, void* user) {
    auto& seen = *static_cast<Published*>(user);
    std::size_t fresh = 0;
    for (size_t i = 0; i < n; ++i) {
        fresh += (points[i * stride + 9] & VORLAN_POINT_FLAG_CARRIED_OVER) == 0 ? 1 : 0;
    }
    seen.fresh_frame_points[handle].push_back(fresh);
    seen.frame_times[handle].push_back(timestamp);
}

bool checksum_holds(const std::string& line) {
    const std::size_t star = line.find('*');
    if (line.empty() || line[0] != '$' || star == std::string::npos || star + 3 != line.size()) {
        return false;
    }
    unsigned sum = 0;
    for (std::size_t i = 1; i < star; ++i) {
        sum ^= static_cast<uint8_t>(line[i]);
    }
    return std::stoul(line.substr(star + 1), nullptr, 16) == sum;
}

TEST(SimulatedPointSensors, DecodeIntoTheirModelsLayoutsPointsLinesAndFrames) {
    SimulatorOptions options;
    options.seconds = 1.2;  // two information packets each
    RecordingSink sink;
    run_simulation(options, sink);

    ASSERT_EQ(VORLAN_SUCCESS, VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION));
    Published seen;
    ASSERT_EQ(VORLAN_SUCCESS, VorlanListenSensorInfo(on_info, &seen));
    ASSERT_EQ(VORLAN_SUCCESS, VorlanListenPoints(on_points, &seen));
    ASSERT_EQ(VORLAN_SUCCESS, VorlanListenSerialLines(on_line, &seen));
    ASSERT_EQ(VORLAN_SUCCESS, VorlanListenFrames(VORLAN_FRAME_AGGREGATION_NATURAL, on_frame, &seen));
    for (const SentDatagram& d : sink.datagrams) {
        ASSERT_EQ(VORLAN_SUCCESS, VorlanReceiveData(d.handle, d.time, d.bytes.data(), d.bytes.size()));
    }

    const struct {
        uint16_t model;
        uint8_t channel_count;  // from the library's model table
        uint32_t layout;
        std::size_t stride;
        uint32_t flags;
        bool fixed_10hz;
    } expected[] = {
        {22, 64, 76, 10, VORLAN_SENSOR_FLAG_PTP_CONNECTED, false},
        {24, 64, 2136, 12, VORLAN_SENSOR_FLAG_PPS_CONNECTED | VORLAN_SENSOR_FLAG_NMEA_CONNECTED, false},
        {25, 48, 76, 10, 0, false},
        {5, 0, 76, 10, 0, true},
    };
    const std::vector<PointSensorSetup> sensors = simulated_point_sensors();
    ASSERT_EQ(std::size(expected), sensors.size());
    for (std::size_t k = 0; k < sensors.size(); ++k) {
        const PointSensorSetup& setup = sensors[k];
        SCOPED_TRACE(setup.name);
        VorlanSensor info{};
        ASSERT_EQ(VORLAN_SUCCESS, VorlanGetSensorInformation(setup.address, &info));
        EXPECT_EQ(expected[k].model, info.model);
        EXPECT_EQ(setup.model_name, std::string(info.model_name));
        EXPECT_EQ(setup.serial_number, info.serial_number);
        EXPECT_EQ(expected[k].channel_count, info.channel_count);
        // `vorlan sim` prints the count the library reports, and the
        // firmware bytes as they arrive.
        EXPECT_EQ(receiver_channel_count(setup.model), info.channel_count);
        EXPECT_EQ(0, std::memcmp(setup.firmware_version, info.firmware_version, 4));
        EXPECT_EQ(expected[k].flags, info.flags);
        // The record carries the sensor's own bytes after the fixed header.
        EXPECT_EQ(expected[k].layout == 2136 ? 2136u - 88 + 90 : 16u + 90, seen.info_sizes[setup.address]);

        // Every information packet is announced, the prefixed ones too;
        // every point is published, from plain and prefixed "STA0" alike.
        int infos = 0, prefixed_infos = 0, prefixed_points = 0, nmea = 0;
        uint64_t points_sent = 0;
        for (const SentDatagram& d : sink.datagrams) {
            if (d.handle != setup.address) {
                continue;
            }
            infos += d.type() == "INFZ" || d.type(8) == "INFZ" ? 1 : 0;
            prefixed_infos += d.type(8) == "INFZ" ? 1 : 0;
            prefixed_points += d.type(8) == "STA0" ? 1 : 0;
            nmea += d.type() == "NMEA" ? 1 : 0;
            if (d.type() == "STDV") {
                points_sent += d.bytes[18] | (d.bytes[19] << 8);
            } else if (d.type() == "STA0" || d.type(8) == "STA0") {
                const std::size_t base = d.type() == "STA0" ? 0 : 8;
                points_sent += d.bytes[base + 46] | (d.bytes[base + 47] << 8);
            }
        }
        EXPECT_EQ(2, infos);
        EXPECT_EQ(infos, seen.infos[setup.address]);
        EXPECT_EQ(setup.prefixed_info ? 1 : 0, prefixed_infos);
        EXPECT_EQ(setup.packets == PointPacketKind::sta0, prefixed_points > 0);
        EXPECT_GT(points_sent, 20'000u);
        EXPECT_EQ(points_sent, seen.points[setup.address]);
        EXPECT_EQ(expected[k].stride, seen.strides[setup.address]);

        // GPS lines from the sensor with a GPS clock, one a second.
        EXPECT_EQ(setup.sync == ClockSync::gps ? 1 : 0, nmea);
        EXPECT_EQ(static_cast<std::size_t>(nmea), seen.lines[setup.address].size());
        for (const std::string& line : seen.lines[setup.address]) {
            EXPECT_EQ(0u, line.find("$GPRMC,")) << line;
            EXPECT_TRUE(checksum_holds(line)) << line;
        }

        // Each sweep is a natural frame: its own points, then the turn
        // flips the parity. A fixed-10 Hz model is cut every 100 ms instead.
        const std::vector<std::size_t>& fresh = seen.fresh_frame_points[setup.address];
        const std::vector<int64_t>& times = seen.frame_times[setup.address];
        ASSERT_GE(fresh.size(), 10u);
        for (std::size_t f = 1; f < fresh.size(); ++f) {
            if (expected[k].fixed_10hz) {
                EXPECT_EQ(100'000, times[f] - times[f - 1]) << "frame " << f;
            } else {
                EXPECT_EQ(static_cast<std::size_t>(setup.channels * setup.columns_per_sweep), fresh[f])
                    << "frame " << f;
            }
        }
    }
    EXPECT_EQ(VORLAN_SUCCESS, VorlanDeinitialize());
}

// The first generation's traffic, which the first library's replay output
// and the README's sample depend on, does not change with the second beside it.
TEST(SimulatedPointSensors, LeaveTheFirstGenerationsPacketsAsTheyWere) {
    SimulatorOptions options;
    options.seed = 9;
    options.seconds = 0.3;
    RecordingSink both;
    run_simulation(options, both);
    options.second_generation = false;
    RecordingSink first_only;
    run_simulation(options, first_only);

    std::vector<SentDatagram> first_of_both;
    for (const SentDatagram& d : both.datagrams) {
        bool first_generation = false;
        for (const SimulatedSensorInfo& sensor : simulated_sensors()) {
            first_generation = first_generation || d.handle == sensor.handle;
        }
        if (first_generation) {
            first_of_both.push_back(d);
        }
    }
    ASSERT_GT(both.datagrams.size(), first_of_both.size());
    ASSERT_EQ(first_only.datagrams.size(), first_of_both.size());
    for (std::size_t i = 0; i < first_of_both.size(); ++i) {
        ASSERT_EQ(first_only.datagrams[i].handle, first_of_both[i].handle) << i;
        ASSERT_EQ(first_only.datagrams[i].time, first_of_both[i].time) << i;
        ASSERT_EQ(first_only.datagrams[i].bytes, first_of_both[i].bytes) << i;
    }
}

}  // namespace
}  // namespace vorlan_tool
