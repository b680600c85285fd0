// Builds the point data packets sensors send ("STDT", "STDR", "STDP",
// "STDQ"): a 22-byte header, then the device points back to back.
#ifndef VORLAN_TESTS_SUPPORT_DATA_PACKET_BUILDER_H
#define VORLAN_TESTS_SUPPORT_DATA_PACKET_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlan_test {

// The four device point formats, named by the packet type that carries them.
enum class PointFormat {
    v2,         // "STDT": 8 bytes, one return, 16-bit distance, 4-bit power level
    v2_double,  // "STDR": 11 bytes, two returns
    v3,         // "STDP": 9 bytes, one return, 19-bit distance, frame flag, saturation
    v3_double,  // "STDQ": 13 bytes, two returns (second distance 20 bits)
};

// Bytes per device point of a format.
std::size_t point_size(PointFormat format);
// The packet type text of a format, e.g. "STDP".
const char* packet_type(PointFormat format);

// One measurement as the sensor sends it; fields a format cannot carry are
// dropped (and distances cut to the bits the format has).
struct DevicePoint {
    int16_t image_x = 0;
    int16_t image_z = 0;
    uint32_t distance = 0;
    uint32_t distance_2 = 0;
    uint8_t intensity = 0;
    uint8_t intensity_2 = 0;
    uint8_t power_level = 0;
    bool saturated = false;
    bool saturated_2 = false;
    bool frame_flag = false;
};

struct DataPacketHeader {
    uint32_t time_us = 0;     // microseconds within the current hour of the sensor's time base
    bool has_hour = false;    // header flag bit 2: `hour` is valid
    uint32_t hour = 0;        // hours since 1970-01-01
};

// The whole payload of one data packet.
std::vector<uint8_t> build_data_packet(PointFormat format, const DataPacketHeader& header,
                                       const std::vector<DevicePoint>& points);

// Appends the packet to `out` without allocating when `out` has the capacity
// (for generators that send many packets).
void append_data_packet(std::vector<uint8_t>& out, PointFormat format, const DataPacketHeader& header,
                        const DevicePoint* points, std::size_t n_points);

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_DATA_PACKET_BUILDER_H
