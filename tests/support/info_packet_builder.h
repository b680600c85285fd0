// Builds the information packets sensors send ("INFO"/"INF1", "INFX",
// "INFY"): identity, health and time sync fields, then a calibration block
// (any bytes; calibration_block_builder makes real ones).
#ifndef VORLAN_TESTS_SUPPORT_INFO_PACKET_BUILDER_H
#define VORLAN_TESTS_SUPPORT_INFO_PACKET_BUILDER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlan_test {

// Six bytes as sensors send them: year within the century, month, day, hour,
// minute, second.
using GpsDateTime = std::array<uint8_t, 6>;

// "INFO" and "INF1" (same layout). The block starts at offset 56; the packet
// is padded with zeros to the 184 bytes the format needs.
struct InfoPacketFields {
    char type[4] = {'I', 'N', 'F', 'O'};
    uint32_t serial_number = 0;                 // 0: derived from the sender's address
    char firmware[4] = {'V', '2', '6', '4'};
    float image_x_scale = 0.0f;                 // overrides of the model defaults; 0 keeps them
    float image_z_scale = 0.0f;
    float distance_scale = 0.0f;
    float distance_offset = 0.0f;
    uint16_t value_2 = 0;
    uint8_t value_3 = 0;
    uint8_t value_4 = 0;
    int16_t value_5 = 0;
    int16_t value_6 = 0;
    uint8_t value_9_source = 0;
    char time_sync = 0;                         // 0, 'A', 'P' or 'V'
    GpsDateTime gps{};
    uint16_t age = 0;
    int8_t temperature = 0;
    uint8_t humidity = 0;
};
std::vector<uint8_t> build_info_packet(const InfoPacketFields& fields,
                                       const std::vector<uint8_t>& calibration_block = {});

// A sensor whose calibration block is too large for one datagram sends its
// information packet in two: "INF1" with bytes 0-951 and "INF2", 832 bytes
// carrying bytes 4-63 again (the block's type and identity at 56-63 tie the
// halves together) and bytes 952-1719 at 64-831. `whole` is the packet as
// build_info_packet makes it, at least 1720 bytes.
struct SplitInfoPacket {
    std::vector<uint8_t> inf1;
    std::vector<uint8_t> inf2;
};
SplitInfoPacket split_info_packet(const std::vector<uint8_t>& whole);

// A calibration block header that marks an "INF1" as a first half: type
// "VRN8" with its identity and a segment count above 12 at block offset 40,
// followed by `size` - 128 bytes of `fill`.
std::vector<uint8_t> split_block_stub(uint32_t id, uint32_t segment_count, std::size_t size, uint8_t fill = 0);

// "INFX". Block at offset 56, padded to 184 bytes.
struct InfxPacketFields {
    uint32_t serial_number = 0;
    char firmware[4] = {'V', '3', '0', '0'};
    int16_t model = 0;
    int16_t value_2 = 0;
    uint8_t value_3 = 0;
    uint8_t value_4 = 0;
    int16_t value_5 = 0;
    int16_t value_6 = 0;
    uint16_t age = 0;
    int8_t temperature = 0;          // byte 26 (models outside 7, 10-14, 21)
    uint8_t humidity = 0;            // byte 27 (same models)
    int16_t value_10_source = 0;     // bytes 26-27 for models 7, 11, 12, 14 (overwrites the two above)
    uint8_t return_count = 1;
    uint16_t status = 0;
    uint8_t time_sync_bits = 0;      // bit 0 NMEA, bit 1 PPS, bit 2 PTP
    int64_t ptp_time = 0;            // offset 32, written when bit 2 is set
    GpsDateTime gps{};               // offset 34 (overlaps the PTP time; written when bit 2 is clear)
    uint16_t value_11_source = 0;
    int16_t temperature_16ths = 0;
    int16_t value_12_source = 0;
    int16_t value_13_source = 0;
};
std::vector<uint8_t> build_infx_packet(const InfxPacketFields& fields,
                                       const std::vector<uint8_t>& calibration_block = {});

// "INFY". Block at offset 128, padded to 256 bytes.
struct InfyPacketFields {
    uint32_t serial_number = 0;
    uint8_t firmware_major = 0;
    uint8_t firmware_minor = 0;
    uint8_t firmware_build = 0;
    int16_t model = 0;
    int16_t value_2 = 0;
    uint8_t value_3 = 0;
    uint8_t value_4 = 0;
    int16_t value_5 = 0;
    int16_t value_6 = 0;
    uint32_t age = 0;
    uint8_t status = 0;              // bit 0 two returns, bit 1 flag 0x20, bit 3 flag 0x40
    uint8_t time_sync_bits = 0;
    int64_t time_s = 0;              // PTP time, or GPS time since 1970 when bit 2 is clear
    uint16_t period_ns = 0;          // nominal measurement period
    int16_t value_63_source = 0;     // value 12 (models 10, 13, 21) or value 10
    uint16_t value_11_source = 0;
    int16_t temperature_16ths = 0;
    int16_t value_13_source = 0;
    uint8_t variant_bits = 0;        // bit 0 "L", bit 1 "E"
    char model_name[27] = {};        // empty: the library generates one
    uint8_t force_generated_name = 0;
};
std::vector<uint8_t> build_infy_packet(const InfyPacketFields& fields,
                                       const std::vector<uint8_t>& calibration_block = {});

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_INFO_PACKET_BUILDER_H
