// Capture files for tests, benchmarks and the simulator: Ethernet/IPv4/UDP
// frames with any header values, IPv4 fragments, VLAN tags and IPv4 options,
// put in classic microsecond PCAP records byte by byte, so that tests can also
// write what the library itself would never write.
#ifndef VORLAN_TESTS_SUPPORT_CAPTURE_BUILDER_H
#define VORLAN_TESTS_SUPPORT_CAPTURE_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorlan_test {

using Bytes = std::vector<uint8_t>;

// An IPv4 address as a host-order number, first octet most significant.
constexpr uint32_t ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return (uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | uint32_t(d);
}

// Link layers a capture may hold, by the link type its global header names.
enum class LinkLayer : uint32_t {
    bsd_loopback = 0,
    ethernet = 1,
    raw_ipv4 = 101,
    linux_cooked = 113,
    linux_cooked2 = 276,
};

// How one synthesised frame looks.
struct FrameOptions {
    LinkLayer link = LinkLayer::ethernet;
    uint32_t source = ipv4(192, 168, 1, 10);
    uint32_t destination = ipv4(255, 255, 255, 255);
    uint16_t source_port = 443;
    uint16_t destination_port = 8808;
    uint16_t identification = 0;
    uint8_t protocol = 17;
    // 32-bit words of IPv4 options; the header byte becomes 0x45 + words.
    uint8_t ip_option_words = 0;
    // An 802.1Q tag with this VLAN id in front of the IPv4 type when >= 0.
    int vlan = -1;
    // An 802.1ad service tag in front of the 802.1Q one when >= 0.
    int outer_vlan = -1;
    // Bytes after the IPv4 packet, as Ethernet pads short frames.
    std::size_t padding = 0;
};

// A recognisable payload of `size` bytes.
Bytes test_payload(std::size_t size, uint8_t seed);

// The UDP header and `payload`.
Bytes udp_datagram(const FrameOptions& options, const Bytes& payload);
// A frame of `options.link` with one IPv4 packet carrying `ip_payload` at fragment
// offset `offset` bytes (a multiple of 8), with the more-fragments flag
// `more`. The IPv4 header checksum is correct.
Bytes ipv4_frame(const FrameOptions& options, const Bytes& ip_payload, std::size_t offset = 0, bool more = false);
// A whole UDP datagram in one frame.
Bytes udp_frame(const FrameOptions& options, const Bytes& payload);
// The frames of one UDP datagram cut into IPv4 fragments of `fragment_size`
// bytes of IPv4 payload (a multiple of 8), the last one shorter.
std::vector<Bytes> udp_fragments(const FrameOptions& options, const Bytes& payload, std::size_t fragment_size);

// A capture file built in memory.
class CaptureBuilder {
public:
    static constexpr uint32_t kMicrosecondMagic = 0xa1b2c3d4;

    explicit CaptureBuilder(int32_t time_zone_seconds = 0, uint32_t magic = kMicrosecondMagic,
                            LinkLayer link = LinkLayer::ethernet);

    // A record holding `frame`, stamped `time` µs as stored in the file.
    CaptureBuilder& record(int64_t time, const Bytes& frame);
    // A record whose included length claims `included_length` bytes,
    // whatever it stores.
    CaptureBuilder& record_claiming(int64_t time, const Bytes& frame, uint32_t included_length);
    // A record of `frame` as a capture with a snapshot length of `kept`
    // bytes stores it: the first `kept` bytes, the whole length on the wire.
    CaptureBuilder& record_snapshot(int64_t time, const Bytes& frame, std::size_t kept);
    // A record holding a whole UDP datagram from `source`.
    CaptureBuilder& udp(int64_t time, uint32_t source, const Bytes& payload);
    CaptureBuilder& raw(const Bytes& bytes);

    // Bytes so far: the offset the next record gets.
    std::size_t size() const { return m_bytes.size(); }
    const Bytes& bytes() const { return m_bytes; }
    void write(const std::string& path) const;

private:
    Bytes m_bytes;
};

// A sensor sending `n_packets` datagrams of `payload_size` bytes every
// `interval` µs from `source`, for benchmarks and the simulator.
void write_stream_capture(const std::string& path, std::size_t n_packets, std::size_t payload_size,
                          int64_t interval, uint32_t source);

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);

// A fresh directory, removed with everything in it at destruction.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_CAPTURE_BUILDER_H
