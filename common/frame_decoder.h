// The link layer, IPv4 and UDP headers of one captured frame, decoded within
// the bytes the record holds. Traffic mirrored through a tunnel (VXLAN,
// GRE, ERSPAN) is unwrapped to the frame it carries.
#ifndef VORLAN_COMMON_FRAME_DECODER_H
#define VORLAN_COMMON_FRAME_DECODER_H

#include <cstddef>
#include <cstdint>

namespace vorlan_capture {

// Why a record gives no datagram.
enum class Skip {
    none,
    not_udp,         // another network or transport protocol
    other_link,      // a link layer that carries no IPv4 we can read
    snapshot_cut,    // the capturing tool stored only part of the frame
    broken_header,   // headers cut short or inconsistent with each other
    incomplete,      // a fragment of a datagram that never completed
};

// The IPv4 packet of a frame, its payload bounded by the IPv4 total length
// (so Ethernet padding is not part of it).
struct Ipv4Packet {
    uint32_t source = 0;          // host order, first octet most significant
    uint32_t destination = 0;
    uint16_t identification = 0;
    bool more_fragments = false;
    uint32_t fragment_offset = 0; // bytes
    uint8_t protocol = 0;
    const uint8_t* header = nullptr;  // the IPv4 header, options included
    const uint8_t* payload = nullptr;
    std::size_t payload_size = 0;

    bool is_fragment() const { return more_fragments || fragment_offset != 0; }
};

// Finds the IPv4 packet in a frame of `link_type` holding `included` of its
// `original` bytes. Returns Skip::none and fills `packet` when there is one
// whose header and payload lie wholly within the stored bytes.
Skip decode_ipv4(uint32_t link_type, const uint8_t* frame, std::size_t included, std::size_t original,
                 Ipv4Packet& packet);

constexpr std::size_t kUdpHeaderSize = 8;
constexpr uint8_t kProtocolUdp = 17;
constexpr uint16_t kVxlanPort = 4789;

// The UDP payload of a whole datagram (UDP header first): Skip::none when
// the UDP length names exactly the bytes there are.
Skip udp_payload(const uint8_t* datagram, std::size_t size, const uint8_t*& payload, std::size_t& payload_size);

// Whether the UDP checksum of a whole datagram from `source` to
// `destination` is right; a checksum of 0 (none computed) always is.
bool udp_checksum_agrees(uint32_t source, uint32_t destination, const uint8_t* datagram, std::size_t size);

}  // namespace vorlan_capture

#endif  // VORLAN_COMMON_FRAME_DECODER_H
