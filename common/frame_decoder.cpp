#include "frame_decoder.h"

#include "capture_file.h"
#include "wire_bytes.h"

namespace vorlan_capture {

using vorlan_common::load_u16be;
using vorlan_common::load_u32be;
using vorlan_common::load_u32le;

namespace {

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::size_t kEthernetHeaderSize = 14;
constexpr std::size_t kVlanTagSize = 4;
constexpr std::size_t kCookedHeaderSize = 16;   // protocol at 14
constexpr std::size_t kCooked2HeaderSize = 20;  // protocol at 0
constexpr std::size_t kLoopbackHeaderSize = 4;  // address family
constexpr uint32_t kAfInet = 2;
constexpr std::size_t kMinIpv4HeaderSize = 20;
constexpr uint8_t kProtocolGre = 47;
// Tunnels inside tunnels, as far as anyone nests them.
constexpr int kMaxTunnelDepth = 4;

constexpr std::size_t kVxlanHeaderSize = 8;
constexpr uint16_t kGreTransparentEthernet = 0x6558;
constexpr uint16_t kGreErspanII = 0x88be;
constexpr uint16_t kGreErspanIII = 0x22eb;
constexpr std::size_t kErspanIIHeaderSize = 8;
constexpr std::size_t kErspanIIIHeaderSize = 12;
constexpr std::size_t kErspanIIIPlatformSize = 8;

// VLAN tags: 802.1Q, 802.1ad, and the two values switches used for
// stacked tags before 802.1ad.
bool is_vlan_tag(uint16_t type) { return type == 0x8100 || type == 0x88a8 || type == 0x9100 || type == 0x9200; }

// The IPv4 header behind an Ethernet header with any number of VLAN tags.
Skip find_ipv4_in_ethernet(const uint8_t* frame, std::size_t included, std::size_t& offset) {
    if (included < kEthernetHeaderSize) {
        return Skip::broken_header;
    }
    std::size_t type_at = 12;
    uint16_t type = load_u16be(frame + type_at);
    while (is_vlan_tag(type)) {
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

// The offset of the IPv4 header in the frame, or the reason there is none.
Skip find_ipv4(uint32_t link_type, const uint8_t* frame, std::size_t included, std::size_t& offset) {
    switch (link_type) {
    case kLinkEthernet:
        return find_ipv4_in_ethernet(frame, included, offset);
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
    case kLinkBsdLoopback:
    case kLinkOpenBsdLoopback: {
        if (included < kLoopbackHeaderSize) {
            return Skip::broken_header;
        }
        // The family is in the capturing host's order (OpenBSD: network
        // order), which need not be the file's. AF_INET is 2 everywhere.
        if (load_u32le(frame) != kAfInet && load_u32be(frame) != kAfInet) {
            return Skip::not_udp;
        }
        offset = kLoopbackHeaderSize;
        return Skip::none;
    }
    case kLinkRawIp:
    case kLinkRawIpOld:
    case kLinkRawIpOpenBsd:
    case kLinkIpv4:
        offset = 0;
        return Skip::none;
    default:
        return Skip::other_link;
    }
}

// The IPv4 packet at `ip` in `frame`.
Skip read_ipv4(const uint8_t* frame, std::size_t included, std::size_t ip, bool cut_by_snapshot, Ipv4Packet& packet) {
    if (included <= ip) {
        return cut_by_snapshot ? Skip::snapshot_cut : Skip::broken_header;
    }
    const std::size_t stored = included - ip;
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
    packet.destination = load_u32be(header + 16);
    packet.identification = load_u16be(header + 4);
    packet.more_fragments = (flags_offset & 0x2000) != 0;
    packet.fragment_offset = uint32_t(flags_offset & 0x1fff) * 8;
    packet.header = header;
    packet.payload = header + header_size;
    packet.payload_size = total_length - header_size;
    return Skip::none;
}

// Where the frame a tunnel packet carries starts, as an offset into its
// IPv4 payload; `inner_link` says how that frame is framed. False when the
// packet is no tunnel we unwrap.
bool tunnel_inner(const Ipv4Packet& packet, std::size_t& inner, uint32_t& inner_link) {
    if (packet.is_fragment()) {
        return false;
    }
    const uint8_t* p = packet.payload;
    const std::size_t size = packet.payload_size;
    if (packet.protocol == kProtocolUdp) {
        // VXLAN: UDP to its port, an 8-byte header with the I flag, then
        // the Ethernet frame.
        if (size < kUdpHeaderSize + kVxlanHeaderSize || load_u16be(p + 2) != kVxlanPort || (p[8] & 0x08) == 0) {
            return false;
        }
        inner = kUdpHeaderSize + kVxlanHeaderSize;
        inner_link = kLinkEthernet;
        return true;
    }
    if (packet.protocol != kProtocolGre || size < 4) {
        return false;
    }
    const uint16_t flags = load_u16be(p);
    const uint16_t protocol = load_u16be(p + 2);
    if ((flags & 0x0007) != 0) {
        return false;  // only GRE version 0 carries frames
    }
    std::size_t at = 4;
    at += (flags & 0x8000) != 0 ? 4 : 0;  // checksum and reserved
    at += (flags & 0x2000) != 0 ? 4 : 0;  // key
    const bool sequenced = (flags & 0x1000) != 0;
    at += sequenced ? 4 : 0;
    if (at > size) {
        return false;
    }
    switch (protocol) {
    case kEtherTypeIpv4:
        inner_link = kLinkRawIp;
        break;
    case kGreTransparentEthernet:
        inner_link = kLinkEthernet;
        break;
    case kGreErspanII:
        // ERSPAN type I has no header of its own and no sequence number.
        at += sequenced ? kErspanIIHeaderSize : 0;
        inner_link = kLinkEthernet;
        break;
    case kGreErspanIII:
        if (at + kErspanIIIHeaderSize > size) {
            return false;
        }
        // The O flag announces a platform-specific subheader.
        at += kErspanIIIHeaderSize + ((p[at + 11] & 0x01) != 0 ? kErspanIIIPlatformSize : 0);
        inner_link = kLinkEthernet;
        break;
    default:
        return false;
    }
    if (at > size) {
        return false;
    }
    inner = at;
    return true;
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
    Skip skip = read_ipv4(frame, included, ip, cut_by_snapshot, packet);
    for (int depth = 0; skip == Skip::none && depth < kMaxTunnelDepth; ++depth) {
        std::size_t inner = 0;
        uint32_t inner_link = 0;
        if (!tunnel_inner(packet, inner, inner_link)) {
            break;
        }
        // The tunnel packet lies whole in the record, so its frame does.
        const uint8_t* inner_frame = packet.payload + inner;
        const std::size_t inner_size = packet.payload_size - inner;
        std::size_t inner_ip = 0;
        const Skip inner_skip = find_ipv4(inner_link, inner_frame, inner_size, inner_ip);
        if (inner_skip != Skip::none) {
            return inner_skip;
        }
        Ipv4Packet carried;
        skip = read_ipv4(inner_frame, inner_size, inner_ip, false, carried);
        if (skip == Skip::none) {
            packet = carried;
        }
    }
    if (skip != Skip::none) {
        return skip;
    }
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

bool udp_checksum_agrees(uint32_t source, uint32_t destination, const uint8_t* datagram, std::size_t size) {
    if (size < kUdpHeaderSize || load_u16be(datagram + 6) == 0) {
        return true;
    }
    // Ones' complement sum of the pseudo-header and the datagram; with the
    // checksum field included, a right checksum makes it all ones.
    uint64_t sum = (source >> 16) + (source & 0xffff) + (destination >> 16) + (destination & 0xffff) + kProtocolUdp +
                   uint64_t(size);
    std::size_t i = 0;
    for (; i + 1 < size; i += 2) {
        sum += load_u16be(datagram + i);
    }
    if (i < size) {
        sum += uint64_t(datagram[i]) << 8;
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return sum == 0xffff;
}

}  // namespace vorlan_capture
