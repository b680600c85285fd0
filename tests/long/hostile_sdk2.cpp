// The second library listening on loopback, with frames aggregated, through
// 30 s of hostile traffic; afterwards a real sensor's information must be
// stored and its points delivered as sent, and resident memory must have
// stayed bounded and level. Then 10 s of complete information packets, each
// batch from a new address, fill the registry with sensors that fall silent;
// a fleet that starts after that flood must be heard in full all the same.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "hostile_traffic.h"
#include "support/eventually.h"
#include "support/point_packet_builder.h"
#include "support/udp_socket.h"
#include "vorlan_sdk2.h"

namespace {

using vorlan_long::Bytes;
using vorlan_test::PointRecord;

constexpr uint64_t kLocalhost = 0x7F000001u;
constexpr uint32_t kSerial = 4242;
constexpr std::size_t kPointsPerPacket = 100;
constexpr std::size_t kPackets = 20;
// The registry and frame buffers at their bounds, and the heap the
// sanitizer-free build starts with.
constexpr std::size_t kBoundBytes = std::size_t(64) << 20;
constexpr std::size_t kSlackBytes = std::size_t(4) << 20;
// The fleet that starts after the flood of information: 127.0.0.10 and up.
constexpr uint8_t kFleetFirstHost = 10;
constexpr std::size_t kFleetSize = 8;
// The waits after the flood send again at each look: a datagram may be lost.
constexpr auto kResendInterval = std::chrono::milliseconds(10);

struct Seen {
    std::mutex mutex;
    uint64_t handle = kLocalhost;  // the sensor whose points are counted
    std::size_t points = 0;
    std::size_t wrong = 0;
};

void on_points(uint64_t handle, int64_t, size_t n_points, size_t stride, const uint8_t* points, void* user_data) {
    Seen& seen = *static_cast<Seen*>(user_data);
    std::lock_guard<std::mutex> lock(seen.mutex);
    if (handle != seen.handle) {
        return;
    }
    for (size_t i = 0; i < n_points; ++i) {
        VorlanPoint point;
        std::memcpy(&point, points + i * stride, sizeof(point));
        seen.wrong += point.x == static_cast<int16_t>(i) && point.y == 2 * static_cast<int16_t>(i) ? 0 : 1;
    }
    seen.points += n_points;
}

void on_frame(uint64_t, int64_t, size_t, size_t, const uint8_t*, void*) {}

std::vector<PointRecord> sensor_points() {
    std::vector<PointRecord> points(kPointsPerPacket);
    for (std::size_t i = 0; i < points.size(); ++i) {
        points[i].x = static_cast<int16_t>(i);
        points[i].y = static_cast<int16_t>(2 * i);
        points[i].z = 5;
        points[i].reflectivity = 40;
    }
    return points;
}

// A real sensor at 127.0.0.`host`: sends its information until it is
// stored, then its points. True when it was stored and every point came out
// as sent.
bool run_sensor(uint16_t port, uint8_t host, uint32_t serial, Seen& seen) {
    const uint64_t handle = (127u << 24) | host;
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.handle = handle;
        seen.points = 0;
        seen.wrong = 0;
    }
    vorlan_test::InfzFields fields;
    fields.serial_number = serial;
    const Bytes info = vorlan_test::build_infz_packet(fields);
    const bool stored = vorlan_test::eventually(
        [&] {
            vorlan_long::send_from_localhost(port, info, host);
            VorlanSensor sensor{};
            return VorlanGetSensorInformation(handle, &sensor) == VORLAN_SUCCESS && sensor.serial_number == serial;
        },
        std::chrono::seconds(20), kResendInterval);
    const std::vector<PointRecord> points = sensor_points();
    for (std::size_t i = 0; stored && i < kPackets; ++i) {
        vorlan_long::send_from_localhost(
            port, vorlan_test::build_stdv_packet(1'700'000'000'000'000 + static_cast<int64_t>(1000 * i), points),
            host);
    }
    const std::size_t expected = kPackets * kPointsPerPacket;
    const bool delivered = stored && vorlan_test::eventually(
                                         [&] {
                                             std::lock_guard<std::mutex> lock(seen.mutex);
                                             return seen.points >= expected;
                                         },
                                         std::chrono::seconds(20), kResendInterval);
    std::lock_guard<std::mutex> lock(seen.mutex);
    std::printf("second library: fleet sensor 127.0.0.%u after the flood of information %s, %zu of %zu points, "
                "%zu wrong\n",
                host, stored ? "stored" : "NOT stored", seen.points, expected, seen.wrong);
    return delivered && seen.wrong == 0 && seen.points == expected;
}

}  // namespace

int main() {
    const uint16_t port = vorlan_test::free_udp_port();
    if (VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION) != VORLAN_SUCCESS ||
        VorlanStartNetworkingOnPort(port) != VORLAN_SUCCESS) {
        std::printf("second library: cannot start\n");
        return 1;
    }
    Seen seen;
    VorlanListenPoints(on_points, &seen);
    VorlanListenFrames(0, on_frame, nullptr);

    // Information packets cut short, and points of sensors nobody introduced.
    vorlan_test::InfzFields fields;
    Bytes cut_infz = vorlan_test::build_infz_packet(fields);
    cut_infz.resize(cut_infz.size() / 2);
    const std::vector<PointRecord> points = sensor_points();
    const std::vector<Bytes> crafted = {
        cut_infz,
        {'I', 'N', 'F', 'Z'},
        vorlan_test::build_stdv_packet(1'700'000'000'000'000, points),
        vorlan_test::build_sta0_packet(1'700'000'000, 0, points, true),
    };
    // Random bytes behind every type word but "INFZ": random bytes of the
    // right layout are information as good as any, and each would be a sensor.
    const std::vector<std::string> type_words = {"STDV", "STA0", "NMEA"};
    const vorlan_long::FloodResult result =
        vorlan_long::flood(port, crafted, type_words, std::chrono::seconds(30));

    fields.serial_number = kSerial;
    const Bytes info = vorlan_test::build_infz_packet(fields);
    const bool stored = vorlan_test::eventually(
        [&] {
            vorlan_long::send_from_localhost(port, info);
            VorlanSensor sensor{};
            return VorlanGetSensorInformation(kLocalhost, &sensor) == VORLAN_SUCCESS &&
                   sensor.serial_number == kSerial;
        },
        std::chrono::seconds(20), kResendInterval);
    for (std::size_t i = 0; i < kPackets; ++i) {
        vorlan_long::send_from_localhost(
            port, vorlan_test::build_stdv_packet(1'700'000'000'000'000 + static_cast<int64_t>(1000 * i), points));
    }
    const std::size_t expected = kPackets * kPointsPerPacket;
    const bool delivered = vorlan_test::eventually(
        [&] {
            std::lock_guard<std::mutex> lock(seen.mutex);
            return seen.points >= expected;
        },
        std::chrono::seconds(20), kResendInterval);
    bool correct = false;
    {
        std::lock_guard<std::mutex> lock(seen.mutex);
        correct = seen.wrong == 0;
        std::printf("second library: real sensor %s, %zu of %zu points delivered, %zu wrong\n",
                    stored ? "stored" : "NOT stored", seen.points, expected, seen.wrong);
    }
    const int flood_exit =
        vorlan_long::report("second library", result, kBoundBytes, kSlackBytes, stored && delivered && correct);

    // Complete information from thousands of addresses, each heard once.
    vorlan_test::InfzFields spoofed;
    spoofed.serial_number = 7000;
    const std::vector<Bytes> information = {vorlan_test::build_infz_packet(spoofed),
                                            vorlan_test::build_stdv_packet(1'700'000'000'000'000, points)};
    const vorlan_long::FloodResult info_result = vorlan_long::flood(port, information, {}, std::chrono::seconds(10));
    std::size_t heard = 0;
    for (std::size_t k = 0; k < kFleetSize; ++k) {
        const uint8_t host = static_cast<uint8_t>(kFleetFirstHost + k);
        if (!run_sensor(port, host, 5000 + host, seen)) {
            break;  // one not heard is enough; the others would only add waiting
        }
        ++heard;
    }
    std::printf("second library: %zu of %zu fleet sensors heard in full\n", heard, kFleetSize);
    VorlanDeinitialize();
    const int info_exit = vorlan_long::report("second library, flood of information", info_result, kBoundBytes,
                                              kSlackBytes, heard == kFleetSize);
    return flood_exit != 0 ? flood_exit : info_exit;
}
