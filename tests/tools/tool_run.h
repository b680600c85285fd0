// Runs the whole `vorlan` command line in-process, and builds the small
// capture the command tests replay.
#ifndef VORLAN_TESTS_TOOLS_TOOL_RUN_H
#define VORLAN_TESTS_TOOLS_TOOL_RUN_H

#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "support/capture_builder.h"
#include "support/data_packet_builder.h"
#include "support/info_packet_builder.h"
#include "support/scan_patterns.h"

namespace vorlan_tool {

struct ToolResult {
    int code = -1;
    std::string out;
    std::string err;
};

inline ToolResult run_tool(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"vorlan"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    std::ostringstream out;
    std::ostringstream err;
    ToolResult result;
    result.code = run_cli(static_cast<int>(argv.size()), argv.data(), out, err, false);
    result.out = out.str();
    result.err = err.str();
    return result;
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// One sensor at 192.168.1.10 for `seconds`: an information packet every
// 100 ms and a point packet every 2 ms of 50 points whose image x sweeps back
// and forth every 100 ms.
inline void write_small_capture(const std::string& path, double seconds = 1.0) {
    using namespace vorlan_test;
    constexpr uint32_t kSensor = ipv4(192, 168, 1, 10);
    constexpr int64_t kStart = 1700000000LL * 1000000;
    constexpr int64_t kPacketInterval = 2000;  // µs
    constexpr std::size_t kPointsPerPacket = 50;
    const std::size_t n_packets = static_cast<std::size_t>(seconds * 1e6 / kPacketInterval);
    InfoPacketFields info;
    info.serial_number = 4242;
    CaptureBuilder capture;
    const std::vector<ScanSample> scan =
        triangle_scan(n_packets * kPointsPerPacket, 2500, 1.0f, 0, Timing{kStart, kPacketInterval / 50});
    for (std::size_t p = 0; p < n_packets; ++p) {
        const int64_t time = kStart + static_cast<int64_t>(p) * kPacketInterval;
        if (p % 50 == 0) {
            capture.udp(time, kSensor, build_info_packet(info));
        }
        std::vector<DevicePoint> points(kPointsPerPacket);
        for (std::size_t i = 0; i < kPointsPerPacket; ++i) {
            const ScanSample& sample = scan[p * kPointsPerPacket + i];
            points[i].image_x = static_cast<int16_t>(sample.x * 8000.0f);
            points[i].image_z = static_cast<int16_t>((static_cast<int>(i) - 25) * 200);
            points[i].distance = 4000 + static_cast<uint32_t>(i) * 100;
            points[i].intensity = 100;
            points[i].power_level = 5;
        }
        DataPacketHeader header;
        header.time_us = static_cast<uint32_t>(time % 3600000000LL);
        header.has_hour = true;
        header.hour = static_cast<uint32_t>(time / 3600000000LL);
        capture.udp(time, kSensor, build_data_packet(PointFormat::v3, header, points));
    }
    capture.write(path);
}

}  // namespace vorlan_tool

#endif  // VORLAN_TESTS_TOOLS_TOOL_RUN_H
