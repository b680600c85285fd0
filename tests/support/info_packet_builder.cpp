#include "support/info_packet_builder.h"

#include <algorithm>
#include <cstring>

#include "wire_bytes.h"

namespace vorlan_test {

using vorlan_common::store_u16le;
using vorlan_common::store_f32le;
using vorlan_common::store_u32le;
using vorlan_common::store_u64le;

namespace {

// A zeroed packet of at least `minimum` bytes with the block at `block_offset`.
std::vector<uint8_t> packet_with_block(std::size_t block_offset, std::size_t minimum,
                                       const std::vector<uint8_t>& block) {
    std::vector<uint8_t> packet(std::max(minimum, block_offset + block.size()), 0);
    std::copy(block.begin(), block.end(), packet.begin() + static_cast<std::ptrdiff_t>(block_offset));
    return packet;
}

}  // namespace

std::vector<uint8_t> build_info_packet(const InfoPacketFields& f, const std::vector<uint8_t>& block) {
    std::vector<uint8_t> packet = packet_with_block(56, 184, block);
    uint8_t* p = packet.data();
    std::memcpy(p, f.type, 4);
    store_u32le(p + 4, f.serial_number);
    std::memcpy(p + 8, f.firmware, 4);
    store_f32le(p + 12, f.image_x_scale);
    store_f32le(p + 16, f.image_z_scale);
    store_f32le(p + 20, f.distance_scale);
    store_f32le(p + 24, f.distance_offset);
    store_u16le(p + 28, f.value_2);
    p[30] = f.value_3;
    p[31] = f.value_4;
    store_u16le(p + 32, static_cast<uint16_t>(f.value_5));
    store_u16le(p + 34, static_cast<uint16_t>(f.value_6));
    p[36] = f.value_9_source;
    p[39] = static_cast<uint8_t>(f.time_sync);
    std::copy(f.gps.begin(), f.gps.end(), p + 40);
    store_u16le(p + 46, f.age);
    p[48] = static_cast<uint8_t>(f.temperature);
    p[49] = f.humidity;
    return packet;
}

SplitInfoPacket split_info_packet(const std::vector<uint8_t>& whole) {
    constexpr std::size_t kFirstHalf = 952;
    constexpr std::size_t kSecondPart = 768;
    std::vector<uint8_t> padded = whole;
    padded.resize(std::max<std::size_t>(padded.size(), kFirstHalf + kSecondPart), 0);
    SplitInfoPacket split;
    split.inf1.assign(padded.begin(), padded.begin() + kFirstHalf);
    std::memcpy(split.inf1.data(), "INF1", 4);
    split.inf2.assign(64 + kSecondPart, 0);
    std::memcpy(split.inf2.data(), "INF2", 4);
    std::copy(padded.begin() + 4, padded.begin() + 64, split.inf2.begin() + 4);
    std::copy(padded.begin() + kFirstHalf, padded.begin() + kFirstHalf + kSecondPart, split.inf2.begin() + 64);
    return split;
}

std::vector<uint8_t> split_block_stub(uint32_t id, uint32_t segment_count, std::size_t size, uint8_t fill) {
    std::vector<uint8_t> block(std::max<std::size_t>(size, 128), fill);
    std::fill(block.begin(), block.begin() + 128, 0);
    std::memcpy(block.data(), "VRN8", 4);
    store_u32le(block.data() + 4, id);
    store_u32le(block.data() + 40, segment_count);
    return block;
}

std::vector<uint8_t> build_infx_packet(const InfxPacketFields& f, const std::vector<uint8_t>& block) {
    std::vector<uint8_t> packet = packet_with_block(56, 184, block);
    uint8_t* p = packet.data();
    std::memcpy(p, "INFX", 4);
    store_u32le(p + 4, f.serial_number);
    std::memcpy(p + 8, f.firmware, 4);
    store_u16le(p + 12, static_cast<uint16_t>(f.model));
    store_u16le(p + 14, static_cast<uint16_t>(f.value_2));
    p[16] = f.value_3;
    p[17] = f.value_4;
    store_u16le(p + 18, static_cast<uint16_t>(f.value_5));
    store_u16le(p + 20, static_cast<uint16_t>(f.value_6));
    store_u16le(p + 24, f.age);
    const int16_t model = f.model;
    if (model == 7 || model == 11 || model == 12 || model == 14) {
        store_u16le(p + 26, static_cast<uint16_t>(f.value_10_source));
    } else {
        p[26] = static_cast<uint8_t>(f.temperature);
        p[27] = f.humidity;
    }
    p[28] = f.return_count;
    store_u16le(p + 29, f.status);
    p[31] = f.time_sync_bits;
    if ((f.time_sync_bits & 0x04) != 0) {
        store_u64le(p + 32, static_cast<uint64_t>(f.ptp_time));
    } else {
        std::copy(f.gps.begin(), f.gps.end(), p + 34);
    }
    store_u16le(p + 40, f.value_11_source);
    store_u16le(p + 42, static_cast<uint16_t>(f.temperature_16ths));
    store_u16le(p + 44, static_cast<uint16_t>(f.value_12_source));
    store_u16le(p + 46, static_cast<uint16_t>(f.value_13_source));
    return packet;
}

std::vector<uint8_t> build_infy_packet(const InfyPacketFields& f, const std::vector<uint8_t>& block) {
    std::vector<uint8_t> packet = packet_with_block(128, 256, block);
    uint8_t* p = packet.data();
    std::memcpy(p, "INFY", 4);
    store_u32le(p + 4, f.serial_number);
    p[8] = f.firmware_minor;
    p[9] = f.firmware_major;
    p[10] = f.firmware_build;
    store_u16le(p + 12, static_cast<uint16_t>(f.model));
    store_u16le(p + 14, static_cast<uint16_t>(f.value_2));
    p[16] = f.value_3;
    p[17] = f.value_4;
    store_u16le(p + 18, static_cast<uint16_t>(f.value_5));
    store_u16le(p + 20, static_cast<uint16_t>(f.value_6));
    store_u32le(p + 22, f.age);
    p[38] = f.status;
    p[42] = f.time_sync_bits;
    store_u64le(p + 43, static_cast<uint64_t>(f.time_s));
    store_u16le(p + 61, f.period_ns);
    store_u16le(p + 63, static_cast<uint16_t>(f.value_63_source));
    store_u16le(p + 65, f.value_11_source);
    store_u16le(p + 67, static_cast<uint16_t>(f.temperature_16ths));
    store_u16le(p + 69, static_cast<uint16_t>(f.value_13_source));
    p[83] = f.variant_bits;
    std::memcpy(p + 88, f.model_name, sizeof f.model_name);
    p[115] = f.force_generated_name;
    return packet;
}

}  // namespace vorlan_test
