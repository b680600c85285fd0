// The first library listening on loopback through 30 s of hostile traffic;
// afterwards a new sensor must be found and its points decoded exactly as a
// sensor's were before the flood, and resident memory must have stayed
// bounded and level. Then 10 s of complete information packets, each batch
// from a new address, fill the sensor table with sensors that fall silent;
// a fleet that starts after that flood must be heard in full all the same.
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "hostile_traffic.h"
#include "support/eventually.h"
#include "support/auxiliary_packet_builder.h"
#include "support/data_packet_builder.h"
#include "support/info_packet_builder.h"
#include "support/udp_socket.h"
#include "vorlan_sdk.h"

namespace {

using vorlan_long::Bytes;
using vorlan_test::DevicePoint;
using vorlan_test::PointFormat;

constexpr std::size_t kPointsPerPacket = 100;
constexpr std::size_t kPackets = 20;
// Pending sensors, the packet queue and its pool, the error queue, and the
// heap the sanitizer-free build starts with.
constexpr std::size_t kBoundBytes = std::size_t(64) << 20;
constexpr std::size_t kSlackBytes = std::size_t(4) << 20;
// The fleet that starts after the flood of information: 127.0.0.10 and up.
constexpr uint8_t kFleetFirstHost = 10;
constexpr std::size_t kFleetSize = 8;
// The waits after the flood send again at each look: a datagram may be lost.
constexpr auto kResendInterval = std::chrono::milliseconds(10);

// Points of one real sensor as they come out: how many, and how many are
// not one of those it sent.
struct Seen {
    std::mutex mutex;
    VorlanSensorHandle handle = 0;
    std::size_t points = 0;
    std::size_t wrong = 0;
    bool line_seen = false;  // the serial line sent after the points
};

void on_line(VorlanSensorHandle handle, const char*, void* user_data) {
    Seen& seen = *static_cast<Seen*>(user_data);
    std::lock_guard<std::mutex> lock(seen.mutex);
    seen.line_seen = seen.line_seen || handle == seen.handle;
}

void on_raw_frame(VorlanSensorHandle handle, size_t n_points, const VorlanSensorRawPointWithTime* points,
                  void* user_data) {
    Seen& seen = *static_cast<Seen*>(user_data);
    std::lock_guard<std::mutex> lock(seen.mutex);
    if (handle != seen.handle) {
        return;
    }
    for (size_t i = 0; i < n_points; ++i) {
        const bool matches = points[i].distance >= 1000 && points[i].distance < 1000 + kPointsPerPacket &&
                             points[i].image_x == static_cast<int16_t>(points[i].distance - 1000);
        seen.wrong += matches ? 0 : 1;
    }
    seen.points += n_points;
}

std::vector<DevicePoint> sensor_points() {
    std::vector<DevicePoint> points(kPointsPerPacket);
    for (std::size_t i = 0; i < points.size(); ++i) {
        points[i].image_x = static_cast<int16_t>(i);
        points[i].image_z = 7;
        points[i].distance = static_cast<uint32_t>(1000 + i);
        points[i].intensity = 50;
        points[i].power_level = 3;
    }
    return points;
}

// A real sensor at 127.0.0.`host`: sends its information until it is found,
// then its points; returns the points that came out once they stop coming,
// or 0 when it was never found.
std::size_t run_sensor(uint16_t port, uint8_t host, uint32_t serial, Seen& seen, std::size_t* wrong) {
    const VorlanSensorHandle handle = (127u << 24) | host;
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.handle = handle;
        seen.points = 0;
        seen.wrong = 0;
        seen.line_seen = false;
    }
    vorlan_test::InfoPacketFields fields;
    fields.serial_number = serial;
    const Bytes info = vorlan_test::build_info_packet(fields);
    const bool found = vorlan_test::eventually(
        [&] {
            vorlan_long::send_from_localhost(port, info, host);
            VorlanSensorHandle known = 0;
            return vorlan_sdk_get_sensor_handle_by_serial_number(serial, &known) == VORLAN_SUCCESS &&
                   known == handle;
        },
        std::chrono::seconds(20), kResendInterval);
    if (!found) {
        return 0;
    }
    const std::vector<DevicePoint> points = sensor_points();
    for (std::size_t i = 0; i < kPackets; ++i) {
        vorlan_test::DataPacketHeader header;
        header.time_us = static_cast<uint32_t>(1000 * i);
        vorlan_long::send_from_localhost(port, vorlan_test::build_data_packet(PointFormat::v3, header, points), host);
    }
    // The worker decodes in arrival order: once a serial line sent after the
    // points is out, so is every point.
    const Bytes line = vorlan_test::nmea_packet("$GPRMC,done");
    vorlan_test::eventually(
        [&] {
            vorlan_long::send_from_localhost(port, line, host);
            std::lock_guard<std::mutex> lock(seen.mutex);
            return seen.line_seen;
        },
        std::chrono::seconds(20), kResendInterval);
    std::lock_guard<std::mutex> lock(seen.mutex);
    *wrong = seen.wrong;
    return seen.points;
}

}  // namespace

int main() {
    const uint16_t port = vorlan_test::free_udp_port();
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.port = port;
    options.frame.mode = VORLAN_SDK_FRAME_STREAMING;
    if (vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr) != VORLAN_SUCCESS) {
        std::printf("first library: cannot initialise\n");
        return 1;
    }
    Seen seen;
    vorlan_sdk_listen_raw_frames(on_raw_frame, &seen);
    vorlan_sdk_listen_serial_lines(on_line, &seen);
    std::size_t wrong_before = 0;
    const std::size_t before = run_sensor(port, 2, 4241, seen, &wrong_before);

    // Half information packets (first halves, and second halves of another
    // calibration block, so that no pair ever completes), information cut
    // short, and points of a sensor nobody introduced.
    vorlan_test::InfoPacketFields fields;
    const vorlan_test::SplitInfoPacket halves = vorlan_test::split_info_packet(vorlan_test::build_info_packet(
        fields, vorlan_test::split_block_stub(5, 24, 128 + 64 * 24, 0x5A)));
    const vorlan_test::SplitInfoPacket other_halves = vorlan_test::split_info_packet(vorlan_test::build_info_packet(
        fields, vorlan_test::split_block_stub(6, 24, 128 + 64 * 24, 0x5A)));
    Bytes cut_info = vorlan_test::build_info_packet(fields);
    cut_info.resize(cut_info.size() / 2);
    const std::vector<Bytes> crafted = {
        halves.inf1,
        other_halves.inf2,
        cut_info,
        {'I', 'N', 'F', 'O'},
        vorlan_test::build_data_packet(PointFormat::v3, {}, sensor_points()),
    };
    // Random bytes behind every type word but those of information packets:
    // random bytes of the right size are information as good as any, and
    // each would be a sensor.
    const std::vector<std::string> type_words = {"STDP", "STDQ", "STDR", "STDT", "NMEA", "ADCX", "ADBO"};
    const vorlan_long::FloodResult result =
        vorlan_long::flood(port, crafted, type_words, std::chrono::seconds(30));

    std::size_t wrong_after = 0;
    const std::size_t after = run_sensor(port, 1, 4242, seen, &wrong_after);
    std::printf("first library: real sensor before the flood %zu points (%zu wrong), after %zu points (%zu wrong)\n",
                before, wrong_before, after, wrong_after);
    const bool sensor_ok = before > 0 && after == before && wrong_before == 0 && wrong_after == 0;
    const int flood_exit = vorlan_long::report("first library", result, kBoundBytes, kSlackBytes, sensor_ok);

    // Complete information from thousands of addresses, each heard once,
    // with points that no second packet ever completes.
    vorlan_test::InfoPacketFields spoofed;
    spoofed.serial_number = 7000;
    const std::vector<Bytes> information = {
        vorlan_test::build_info_packet(spoofed),
        vorlan_test::build_data_packet(PointFormat::v3, {}, sensor_points()),
    };
    const vorlan_long::FloodResult info_result = vorlan_long::flood(port, information, {}, std::chrono::seconds(10));
    std::size_t heard = 0;
    for (std::size_t k = 0; k < kFleetSize; ++k) {
        std::size_t wrong = 0;
        const uint8_t host = static_cast<uint8_t>(kFleetFirstHost + k);
        const std::size_t points = run_sensor(port, host, 5000 + host, seen, &wrong);
        std::printf("first library: fleet sensor 127.0.0.%u after the flood of information: %zu points (%zu wrong)\n",
                    host, points, wrong);
        if (points != before || wrong != 0) {
            break;  // one not heard is enough; the others would only add waiting
        }
        ++heard;
    }
    std::printf("first library: %zu of %zu fleet sensors heard in full, %zu sensors attached\n", heard, kFleetSize,
                vorlan_sdk_get_n_sensors());
    vorlan_sdk_deinitialize();
    const int info_exit = vorlan_long::report("first library, flood of information", info_result, kBoundBytes,
                                              kSlackBytes, heard == kFleetSize);
    return flood_exit != 0 ? flood_exit : info_exit;
}
