// Writes classic capture files (microsecond times, little-endian, Ethernet
// link) frame by frame, as both libraries read them, and builds the
// Ethernet, IPv4 and UDP headers that carry a datagram on a real network.
#ifndef VORLAN_TOOLS_CAPTURE_WRITER_H
#define VORLAN_TOOLS_CAPTURE_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vorlan_tool {

constexpr std::size_t kEthernetHeaderSize = 14;
constexpr std::size_t kIpv4HeaderSize = 20;
constexpr std::size_t kUdpHeaderSize = 8;
// The largest IPv4 packet a standard Ethernet frame carries.
constexpr std::size_t kEthernetMtu = 1500;
// What a sensor's network stack puts in the time-to-live field.
constexpr uint8_t kDefaultTtl = 64;

// The one's-complement sum over an IPv4 header, with its checksum field
// counted as it stands: a header whose checksum is right sums to 0.
uint16_t ipv4_checksum(const uint8_t* header, std::size_t size);

// Where a datagram goes and how its IPv4 header reads.
struct UdpAddressing {
    uint32_t source = 0;  // host order, first octet most significant
    uint32_t destination = 0xffffffffu;
    uint16_t source_port = 443;
    uint16_t destination_port = 8808;
    uint16_t identification = 0;
    uint8_t ttl = kDefaultTtl;
};

// The Ethernet frames that carry one UDP datagram over a link of `mtu`
// bytes: one frame when it fits, otherwise IPv4 fragments as a host's stack
// cuts them (every fragment but the last holds a multiple of eight bytes).
// Every IPv4 header has its checksum; the UDP checksum is 0 ("none").
// `frames` is reused: its first `count` entries are the frames. A datagram
// too long for IPv4 gives no frame (0).
std::size_t udp_ethernet_frames(const UdpAddressing& addressing, const uint8_t* payload, std::size_t size,
                                std::size_t mtu, std::vector<std::vector<uint8_t>>& frames);

// A capture file being written. Used by one thread at a time.
class CaptureWriter {
public:
    // Larger records would not fit the snapshot length the header declares.
    static constexpr uint32_t kSnapshotLength = 262144;

    CaptureWriter() = default;
    ~CaptureWriter() { close(); }
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates (or replaces) `path` and writes the global header; false with
    // error() set when that fails.
    bool open(const std::string& path);
    // Writes to `file`, which stays the caller's.
    bool open(std::FILE* file);
    // One record stamped `time` µs since 1970. False once anything failed.
    bool write(int64_t time, const uint8_t* frame, std::size_t size);
    // Flushes and closes; false when anything failed on the way.
    bool close();

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

private:
    bool write_bytes(const void* bytes, std::size_t size);

    std::FILE* m_file = nullptr;
    bool m_owns_file = false;
    std::string m_path;
    std::string m_error;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_CAPTURE_WRITER_H
