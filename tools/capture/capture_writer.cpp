#include "capture_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "wire_bytes.h"

namespace vorlan_tool {
namespace {

using vorlan_common::store_u16be;
using vorlan_common::store_u16le;
using vorlan_common::store_u32be;
using vorlan_common::store_u32le;

// Sensors broadcast; the source is a locally administered address made from
// the IPv4 one, so that each sensor has its own as on a real network.
void write_ethernet_header(uint8_t* frame, uint32_t source) {
    std::memset(frame, 0xff, 6);
    frame[6] = 0x02;
    frame[7] = 0x00;
    store_u32be(frame + 8, source);
    frame[12] = 0x08;
    frame[13] = 0x00;
}

}  // namespace

uint16_t ipv4_checksum(const uint8_t* header, std::size_t size) {
    uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        sum += uint32_t(header[i] << 8 | header[i + 1]);
    }
    while (sum > 0xffff) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return uint16_t(~sum);
}

std::size_t udp_ethernet_frames(const UdpAddressing& addressing, const uint8_t* payload, std::size_t size,
                                std::size_t mtu, std::vector<std::vector<uint8_t>>& frames) {
    const std::size_t datagram_size = kUdpHeaderSize + size;
    if (kIpv4HeaderSize + datagram_size > 0xffff) {
        return 0;  // no IPv4 packet is that long
    }
    // Fragment payloads are whole 8-byte blocks; at least one block each.
    const std::size_t per_fragment = std::max<std::size_t>(8, (mtu - kIpv4HeaderSize) / 8 * 8);
    uint8_t udp_header[kUdpHeaderSize];
    store_u16be(udp_header, addressing.source_port);
    store_u16be(udp_header + 2, addressing.destination_port);
    store_u16be(udp_header + 4, uint16_t(datagram_size));
    store_u16be(udp_header + 6, 0);
    const bool fits = kIpv4HeaderSize + datagram_size <= mtu;
    std::size_t count = 0;
    for (std::size_t offset = 0; offset < datagram_size || count == 0; ++count) {
        const std::size_t piece = fits ? datagram_size : std::min(per_fragment, datagram_size - offset);
        const bool more = offset + piece < datagram_size;
        if (frames.size() <= count) {
            frames.emplace_back();
        }
        std::vector<uint8_t>& frame = frames[count];
        frame.resize(kEthernetHeaderSize + kIpv4HeaderSize + piece);
        write_ethernet_header(frame.data(), addressing.source);
        uint8_t* ip = frame.data() + kEthernetHeaderSize;
        ip[0] = 0x45;
        ip[1] = 0;
        store_u16be(ip + 2, uint16_t(kIpv4HeaderSize + piece));
        store_u16be(ip + 4, addressing.identification);
        store_u16be(ip + 6, uint16_t((more ? 0x2000 : 0) | (offset / 8)));
        ip[8] = addressing.ttl;
        ip[9] = 17;
        store_u16be(ip + 10, 0);
        store_u32be(ip + 12, addressing.source);
        store_u32be(ip + 16, addressing.destination);
        store_u16be(ip + 10, ipv4_checksum(ip, kIpv4HeaderSize));
        // The piece of the datagram, its UDP header counted in.
        uint8_t* out = ip + kIpv4HeaderSize;
        for (std::size_t i = 0; i < piece; ++i) {
            const std::size_t at = offset + i;
            out[i] = at < kUdpHeaderSize ? udp_header[at] : payload[at - kUdpHeaderSize];
        }
        offset += piece;
    }
    return count;
}

bool CaptureWriter::open(const std::string& path) {
    close();
    m_error.clear();
    m_path = path;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        m_error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    // Owned only once adopted: open(FILE*) starts by giving up any file
    // held before.
    const bool written = open(file);
    m_owns_file = true;
    return written;
}

bool CaptureWriter::open(std::FILE* file) {
    if (file != m_file) {
        close();
        m_error.clear();
        m_owns_file = false;
    }
    m_file = file;
    uint8_t header[24] = {};
    store_u32le(header, 0xa1b2c3d4);
    store_u16le(header + 4, 2);
    store_u16le(header + 6, 4);
    store_u32le(header + 16, kSnapshotLength);
    store_u32le(header + 20, 1);  // Ethernet
    return write_bytes(header, sizeof(header));
}

bool CaptureWriter::write(int64_t time, const uint8_t* frame, std::size_t size) {
    if (m_file == nullptr || !ok()) {
        return false;
    }
    if (size > kSnapshotLength) {
        m_error = "a frame of " + std::to_string(size) + " bytes does not fit a capture record";
        return false;
    }
    // A record holds unsigned 32-bit seconds: times before 1970 are written
    // as 1970, times past 2106 as the last second it can hold.
    const int64_t t = std::clamp<int64_t>(time, 0, int64_t(UINT32_MAX) * 1000000 + 999999);
    uint8_t header[16];
    store_u32le(header, uint32_t(t / 1000000));
    store_u32le(header + 4, uint32_t(t % 1000000));
    store_u32le(header + 8, uint32_t(size));
    store_u32le(header + 12, uint32_t(size));
    return write_bytes(header, sizeof(header)) && write_bytes(frame, size);
}

bool CaptureWriter::write_bytes(const void* bytes, std::size_t size) {
    if (size != 0 && std::fwrite(bytes, 1, size, m_file) != size) {
        m_error = "cannot write " + (m_path.empty() ? std::string("the capture") : m_path) + ": " +
                  std::strerror(errno);
        return false;
    }
    return true;
}

bool CaptureWriter::close() {
    if (m_file != nullptr) {
        if (std::fflush(m_file) != 0 && ok()) {
            m_error = "cannot write " + m_path + ": " + std::strerror(errno);
        }
        if (m_owns_file && std::fclose(m_file) != 0 && ok()) {
            m_error = "cannot write " + m_path + ": " + std::strerror(errno);
        }
        m_file = nullptr;
        m_owns_file = false;
    }
    return ok();
}

}  // namespace vorlan_tool
