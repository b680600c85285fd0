#include "support/data_packet_builder.h"

#include "wire_bytes.h"

namespace vorlan_test {

using vorlan_common::store_u16le;
using vorlan_common::store_u32le;

std::size_t point_size(PointFormat format) {
    switch (format) {
        case PointFormat::v2: return 8;
        case PointFormat::v2_double: return 11;
        case PointFormat::v3: return 9;
        case PointFormat::v3_double: return 13;
    }
    return 0;
}

const char* packet_type(PointFormat format) {
    switch (format) {
        case PointFormat::v2: return "STDT";
        case PointFormat::v2_double: return "STDR";
        case PointFormat::v3: return "STDP";
        case PointFormat::v3_double: return "STDQ";
    }
    return "";
}

namespace {

void write_point(uint8_t* out, PointFormat format, const DevicePoint& point) {
    store_u16le(out, static_cast<uint16_t>(point.image_x));
    store_u16le(out + 2, static_cast<uint16_t>(point.image_z));
    store_u16le(out + 4, static_cast<uint16_t>(point.distance));
    if (format == PointFormat::v2 || format == PointFormat::v2_double) {
        out[6] = point.intensity;
        out[7] = static_cast<uint8_t>(point.power_level & 0x0F);
        if (format == PointFormat::v2_double) {
            store_u16le(out + 8, static_cast<uint16_t>(point.distance_2));
            out[10] = point.intensity_2;
        }
        return;
    }
    out[6] = static_cast<uint8_t>(((point.distance >> 16) & 0x07) | (point.frame_flag ? 0x08 : 0) |
                                  (point.saturated ? 0x10 : 0));
    out[7] = point.intensity;
    out[8] = point.power_level;
    if (format == PointFormat::v3_double) {
        store_u16le(out + 9, static_cast<uint16_t>(point.distance_2));
        out[11] = static_cast<uint8_t>(((point.distance_2 >> 16) & 0x0F) | (point.saturated_2 ? 0x10 : 0));
        out[12] = point.intensity_2;
    }
}

}  // namespace

void append_data_packet(std::vector<uint8_t>& out, PointFormat format, const DataPacketHeader& header,
                        const DevicePoint* points, std::size_t n_points) {
    const std::size_t start = out.size();
    const std::size_t size = point_size(format);
    out.resize(start + 22 + size * n_points, 0);
    uint8_t* packet = out.data() + start;
    const char* type = packet_type(format);
    for (int i = 0; i < 4; ++i) {
        packet[i] = static_cast<uint8_t>(type[i]);
    }
    store_u32le(packet + 4, header.time_us);
    packet[8] = header.has_hour ? 0x04 : 0x00;
    store_u32le(packet + 10, header.hour);
    for (std::size_t i = 0; i < n_points; ++i) {
        write_point(packet + 22 + i * size, format, points[i]);
    }
}

std::vector<uint8_t> build_data_packet(PointFormat format, const DataPacketHeader& header,
                                       const std::vector<DevicePoint>& points) {
    std::vector<uint8_t> packet;
    append_data_packet(packet, format, header, points.data(), points.size());
    return packet;
}

}  // namespace vorlan_test
