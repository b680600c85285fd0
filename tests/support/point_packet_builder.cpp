#include "support/point_packet_builder.h"

#include <algorithm>
#include <cstring>

namespace vorlan_test {
namespace {

constexpr std::size_t kPrefix = 8;
constexpr std::size_t kStdvTimestampOffset = 8;
constexpr std::size_t kPointRecordSize = 10;

void put_point(uint8_t* out, const PointRecord& point) {
    const uint16_t coordinates[3] = {static_cast<uint16_t>(point.x), static_cast<uint16_t>(point.y),
                                     static_cast<uint16_t>(point.z)};
    for (int i = 0; i < 3; ++i) {
        out[2 * i] = static_cast<uint8_t>(coordinates[i]);
        out[2 * i + 1] = static_cast<uint8_t>(coordinates[i] >> 8);
    }
    out[6] = point.reflectivity;
    out[7] = point.relative_timestamp;
    out[8] = point.channel_id;
    out[9] = point.flags;
}

void put_magic(uint8_t* out, const char* magic) { std::memcpy(out, magic, 4); }

}  // namespace

void put_le(std::vector<uint8_t>& packet, std::size_t offset, uint64_t value, std::size_t bytes) {
    if (packet.size() < offset + bytes) {
        packet.resize(offset + bytes);
    }
    for (std::size_t i = 0; i < bytes; ++i) {
        packet[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void append_stdv_packet(std::vector<uint8_t>& out, int64_t timestamp, const PointRecord* points,
                        std::size_t n_points, StdvLayout layout) {
    const std::size_t start = out.size();
    const std::size_t stride = std::max<std::size_t>(layout.stride, kPointRecordSize);
    out.resize(start + layout.header_length + n_points * stride, 0);
    uint8_t* packet = out.data() + start;
    put_magic(packet, "STDV");
    packet[kStdvHeaderLengthOffset] = layout.header_length;
    for (int i = 0; i < 8; ++i) {
        packet[kStdvTimestampOffset + i] = static_cast<uint8_t>(static_cast<uint64_t>(timestamp) >> (8 * i));
    }
    packet[kStdvStrideOffset] = layout.stride;
    packet[kStdvCountOffset] = static_cast<uint8_t>(n_points);
    packet[kStdvCountOffset + 1] = static_cast<uint8_t>(n_points >> 8);
    for (std::size_t k = 0; k < n_points; ++k) {
        uint8_t* record = packet + layout.header_length + k * stride;
        put_point(record, points[k]);
        std::fill(record + kPointRecordSize, record + stride, 0xEE);
    }
}

std::vector<uint8_t> build_stdv_packet(int64_t timestamp, const std::vector<PointRecord>& points, StdvLayout layout) {
    std::vector<uint8_t> out;
    append_stdv_packet(out, timestamp, points.data(), points.size(), layout);
    return out;
}

std::vector<uint8_t> build_sta0_packet(uint64_t seconds, uint32_t nanoseconds, const std::vector<PointRecord>& points,
                                       bool prefixed) {
    const std::size_t base = prefixed ? kPrefix : 0;
    std::vector<uint8_t> out(base + kSta0HeaderSize + points.size() * kPointRecordSize, 0);
    for (std::size_t i = 0; i < base; ++i) {
        out[i] = static_cast<uint8_t>(0xA0 + i);  // whatever the sender puts there
    }
    put_magic(out.data() + base, "STA0");
    put_le(out, base + 32, nanoseconds, 4);
    put_le(out, base + 36, seconds & 0xFFFFFFFFu, 4);
    put_le(out, base + 40, (seconds >> 32) & 0xFFFFu, 2);
    put_le(out, base + kSta0CountOffset, points.size(), 2);
    for (std::size_t k = 0; k < points.size(); ++k) {
        put_point(out.data() + base + kSta0HeaderSize + k * kPointRecordSize, points[k]);
    }
    return out;
}

std::vector<uint8_t> build_infz_packet(const InfzFields& fields, bool prefixed) {
    const std::size_t base = prefixed ? kPrefix : 0;
    const bool long_layout = fields.layout == 2136;
    const std::size_t header = long_layout ? 88 : 76;
    const std::size_t time_block = long_layout ? 64 : 52;
    const std::size_t sync = long_layout ? 84 : 72;
    std::vector<uint8_t> out(base + header, 0);
    put_magic(out.data() + base, "INFZ");
    put_le(out, base + kInfzLayoutOffset, fields.layout, 4);
    put_le(out, base + 8, fields.model, 2);
    put_le(out, base + 12, fields.serial_number, 4);
    std::memcpy(out.data() + base + 16, fields.firmware_version, 4);
    std::memcpy(out.data() + base + 20, fields.model_name.data(), std::min<std::size_t>(fields.model_name.size(), 28));
    put_le(out, base + 48, fields.aux_info, 4);
    put_le(out, base + time_block, static_cast<uint64_t>(fields.ptp_time), 8);
    put_le(out, base + time_block + 8, fields.time_extra, 8);
    out[base + sync] = fields.sync_source;
    out.insert(out.end(), fields.trailing.begin(), fields.trailing.end());
    return out;
}

std::vector<uint8_t> build_nmea_packet(const std::string& line) {
    std::vector<uint8_t> out(4 + line.size() + 1, 0);
    put_magic(out.data(), "NMEA");
    std::memcpy(out.data() + 4, line.data(), line.size());
    return out;
}

}  // namespace vorlan_test
