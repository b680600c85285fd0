// Builds the payloads second-generation sensors send: points ("STDV",
// "STA0", plain or behind an 8-byte prefix), information ("INFZ", both
// layouts) and serial lines ("NMEA").
#ifndef VORLAN_TESTS_SUPPORT_POINT_PACKET_BUILDER_H
#define VORLAN_TESTS_SUPPORT_POINT_PACKET_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorlan_test {

// A 10-byte point record as the sensor sends it.
struct PointRecord {
    int16_t x = 0;
    int16_t y = 0;
    int16_t z = 0;
    uint8_t reflectivity = 0;
    uint8_t relative_timestamp = 0;
    uint8_t channel_id = 0;
    uint8_t flags = 0;
};

// Where the fields the library reads lie, for tests that damage a packet.
constexpr std::size_t kStdvHeaderLengthOffset = 5;
constexpr std::size_t kStdvStrideOffset = 17;
constexpr std::size_t kStdvCountOffset = 18;
constexpr std::size_t kSta0CountOffset = 46;
constexpr std::size_t kSta0HeaderSize = 60;
constexpr std::size_t kInfzLayoutOffset = 4;

struct StdvLayout {
    uint8_t header_length = 24;  // the points start here
    uint8_t stride = 10;         // bytes from one point to the next; bytes past the record are 0xEE
};

// An "STDV" payload whose points carry the sensor's own `timestamp`.
std::vector<uint8_t> build_stdv_packet(int64_t timestamp, const std::vector<PointRecord>& points,
                                       StdvLayout layout = {});
// Appends an "STDV" payload to `out` without allocating when `out` has the
// capacity (for generators that send many packets).
void append_stdv_packet(std::vector<uint8_t>& out, int64_t timestamp, const PointRecord* points,
                        std::size_t n_points, StdvLayout layout = {});

// An "STA0" payload: 48-bit seconds and nanoseconds, then 10-byte points,
// optionally behind an 8-byte prefix.
std::vector<uint8_t> build_sta0_packet(uint64_t seconds, uint32_t nanoseconds, const std::vector<PointRecord>& points,
                                       bool prefixed = false);

struct InfzFields {
    uint32_t layout = 76;  // 76 or 2136; any other value is written as given
    uint16_t model = 22;
    uint32_t serial_number = 0;
    uint8_t firmware_version[4] = {0, 0, 0, 0};
    std::string model_name;  // at most 28 characters
    uint32_t aux_info = 0;
    int64_t ptp_time = 0;
    uint64_t time_extra = 0;
    uint8_t sync_source = 0;  // 1 precision time protocol, 2 GPS
    std::vector<uint8_t> trailing;
};

// An "INFZ" payload, optionally behind an 8-byte prefix.
std::vector<uint8_t> build_infz_packet(const InfzFields& fields, bool prefixed = false);

// An "NMEA" payload carrying `line` and its terminating NUL.
std::vector<uint8_t> build_nmea_packet(const std::string& line);

// Writes `value` little-endian into `bytes` bytes at `offset`.
void put_le(std::vector<uint8_t>& packet, std::size_t offset, uint64_t value, std::size_t bytes);

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_POINT_PACKET_BUILDER_H
