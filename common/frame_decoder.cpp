#include "frame_decoder.h"

#include "byte_read.h"
#include "capture_file.h"

namespace vorlan_capture {

namespace {

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kEtherTypeVlan = 0x8100;
constexpr uint16_t kEtherTypeQinQ = 0x88a8;
constexpr std::size_t kEthernetHeaderSize = 14;
constexpr std::size_t kVlanTagSize = 4;
constexpr std::size_t kMaxVlanTags = 2;
constexpr std::size_t kCookedHeaderSize = 16;   // protocol at 14
constexpr std::size_t kCooked2HeaderSize = 20;  // protocol at 0
constexpr std::size_t kLoopbackHeaderSize = 4;  // address family in the writer's byte order
constexpr uint32_t kAfInet = 2;
constexpr std::size_t kMinIpv4HeaderSize = 20;

// The offset of the IPv4 header in the frame, or the reason there is none.
Skip find_ipv4(uint32_t link_type, const uint8_t* frame, std::size_t included, std::size_t& offset) {
    switch (link_type) {
    case kLinkEthernet: {
        if (included < kEthernetHeaderSize) {
            return Skip::broken_header;
        }
        std::size_t type_at = 12;
        uint16_t type = load_u16be(frame + type_at);
        for (std::size_t tags = 0; tags < kMaxVlanTags && (type == kEtherTypeVlan || type == kEtherTypeQinQ); ++tags) {
            type_at += kVlanTagSize;
            if (included < type_at + 2) {
                return Skip::broken_header;
            }
            type = load_u16be(frame + type_at);
        }
        if (type != kEtherTypeIpv4) {
            return Skip::not_udp;
        }
        offset = type_at + 2;
        return Skip::none;
    }
    case kLinkLinuxCooked:
        if (included < kCookedHeaderSize) {
            return Skip::broken_header;
        }
        if (load_u16be(frame + 14) != kEtherTypeIpv4) {
            return Skip::not_udp;
        }
        offset = kCookedHeaderSize;
        return Skip::none;
    case kLinkLinuxCooked2:
        if (included < kCooked2HeaderSize) {
            return Skip::broken_header;
        }
        if (load_u16be(frame) != kEtherTypeIpv4) {
            return Skip::not_udp;
        }
        offset = kCooked2HeaderSize;
        return Skip::none;
    case kLinkBsdLoopback: {
        if (included < kLoopbackHeaderSize) {
            return Skip::broken_header;
        }
        // The family is in the capturing host's order, which need not be
        // the file's.
        if (load_u32le(frame) != kAfInet && load_u32be(frame) != kAfInet) {
            return Skip::not_udp;
        }
        offset = kLoopbackHeaderSize;
        return Skip::none;
    }
    case kLinkRawIp:
    case kLinkIpv4:
        offset = 0;
        return Skip::none;
    default:
        return Skip::other_link;
    }
}

}  // namespace

Skip decode_ipv4(uint32_t link_type, const uint8_t* frame, std::size_t included, std::size_t original,
                 Ipv4Packet& packet) {
    const bool cut_by_snapshot = included < original;
    std::size_t ip = 0;
    const Skip link = find_ipv4(link_type, frame, included, ip);
    if (link != Skip::none) {
        return link == Skip::broken_header && cut_by_snapshot ? Skip::snapshot_cut : link;
    }
    const std::size_t stored = included - ip;
    if (stored < 1) {
        return cut_by_snapshot ? Skip::snapshot_cut : Skip::broken_header;
    }
    const uint8_t* header = frame + ip;
    if ((header[0] >> 4) != 4) {
        // Raw IP link types also carry IPv6.
        return Skip::not_udp;
    }
    const std::size_t header_size = std::size_t(header[0] & 0x0f) * 4;
    if (header_size < kMinIpv4HeaderSize) {
        return Skip::broken_header;
    }
    if (stored < header_size) {
        return cut_by_snapshot ? Skip::snapshot_cut : Skip::broken_header;
    }
    const std::size_t total_length = load_u16be(header + 2);
    if (total_length < header_size) {
        return Skip::broken_header;
    }
    if (total_length > stored) {
        return cut_by_snapshot ? Skip::snapshot_cut : Skip::broken_header;
    }
    const uint16_t flags_offset = load_u16be(header + 6);
    packet.protocol = header[9];
    packet.source = load_u32be(header + 12);
    packet.identification = load_u16be(header + 4);
    packet.more_fragments = (flags_offset & 0x2000) != 0;
    packet.fragment_offset = uint32_t(flags_offset & 0x1fff) * 8;
    packet.header = header;
    packet.payload = header + header_size;
    packet.payload_size = total_length - header_size;
    if (packet.protocol != kProtocolUdp) {
        return Skip::not_udp;
    }
    return Skip::none;
}

Skip udp_payload(const uint8_t* datagram, std::size_t size, const uint8_t*& payload, std::size_t& payload_size) {
    if (size < kUdpHeaderSize || load_u16be(datagram + 4) != size) {
        return Skip::broken_header;
    }
    payload = datagram + kUdpHeaderSize;
    payload_size = size - kUdpHeaderSize;
    return Skip::none;
}

}  // namespace vorlan_capture
