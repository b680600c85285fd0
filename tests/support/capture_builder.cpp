#include "support/capture_builder.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vorlan_test {

namespace {

void put_u16be(Bytes& out, uint16_t v) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}
void put_u32be(Bytes& out, uint32_t v) {
    put_u16be(out, uint16_t(v >> 16));
    put_u16be(out, uint16_t(v));
}
void put_u16le(Bytes& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put_u32le(Bytes& out, uint32_t v) {
    put_u16le(out, uint16_t(v));
    put_u16le(out, uint16_t(v >> 16));
}

uint16_t ip_checksum(const uint8_t* header, std::size_t size) {
    uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        sum += uint32_t(header[i] << 8 | header[i + 1]);
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return uint16_t(~sum);
}

void put_record(Bytes& out, int64_t time, const Bytes& frame, uint32_t included_length) {
    put_u32le(out, uint32_t(time / 1000000));
    put_u32le(out, uint32_t(time % 1000000));
    put_u32le(out, included_length);
    put_u32le(out, uint32_t(frame.size()));
    out.insert(out.end(), frame.begin(), frame.end());
}

}  // namespace

Bytes test_payload(std::size_t size, uint8_t seed) {
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) {
        payload[i] = uint8_t(seed + i * 7 + (i >> 8));
    }
    return payload;
}

Bytes udp_datagram(const FrameOptions& options, const Bytes& payload) {
    Bytes out;
    put_u16be(out, options.source_port);
    put_u16be(out, options.destination_port);
    put_u16be(out, uint16_t(payload.size() + 8));
    put_u16be(out, 0);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes ipv4_frame(const FrameOptions& options, const Bytes& ip_payload, std::size_t offset, bool more) {
    Bytes out;
    switch (options.link) {
    case LinkLayer::ethernet:
        out.assign(12, 0);  // destination and source hardware addresses
        out[6] = 0x02;      // a locally administered source
        if (options.outer_vlan >= 0) {
            put_u16be(out, 0x88a8);
            put_u16be(out, uint16_t(options.outer_vlan & 0x0fff));
        }
        if (options.vlan >= 0) {
            put_u16be(out, 0x8100);
            put_u16be(out, uint16_t(options.vlan & 0x0fff));
        }
        put_u16be(out, 0x0800);
        break;
    case LinkLayer::linux_cooked:
        put_u16be(out, 0);     // packet type: to us
        put_u16be(out, 1);     // hardware type: Ethernet
        put_u16be(out, 6);     // address length
        out.insert(out.end(), {0x02, 0, 0, 0, 0, 1, 0, 0});
        put_u16be(out, 0x0800);
        break;
    case LinkLayer::linux_cooked2:
        put_u16be(out, 0x0800);
        put_u16be(out, 0);     // reserved
        put_u32be(out, 2);     // interface index
        put_u16be(out, 1);     // hardware type: Ethernet
        out.push_back(0);      // packet type
        out.push_back(6);      // address length
        out.insert(out.end(), {0x02, 0, 0, 0, 0, 1, 0, 0});
        break;
    case LinkLayer::bsd_loopback:
        put_u32le(out, 2);     // AF_INET, written by a little-endian host
        break;
    case LinkLayer::raw_ipv4:
        break;
    }
    const std::size_t ip_start = out.size();
    const std::size_t header_size = 20 + 4 * std::size_t(options.ip_option_words);
    out.push_back(uint8_t(0x45 + options.ip_option_words));
    out.push_back(0);
    put_u16be(out, uint16_t(header_size + ip_payload.size()));
    put_u16be(out, options.identification);
    put_u16be(out, uint16_t((more ? 0x2000 : 0) | ((offset / 8) & 0x1fff)));
    out.push_back(64);
    out.push_back(options.protocol);
    put_u16be(out, 0);
    put_u32be(out, options.source);
    put_u32be(out, options.destination);
    for (std::size_t i = 0; i < 4 * std::size_t(options.ip_option_words); ++i) {
        out.push_back(1);  // no-operation options
    }
    const uint16_t checksum = ip_checksum(out.data() + ip_start, header_size);
    out[ip_start + 10] = uint8_t(checksum >> 8);
    out[ip_start + 11] = uint8_t(checksum);
    out.insert(out.end(), ip_payload.begin(), ip_payload.end());
    out.insert(out.end(), options.padding, 0);
    return out;
}

Bytes udp_frame(const FrameOptions& options, const Bytes& payload) {
    return ipv4_frame(options, udp_datagram(options, payload));
}

std::vector<Bytes> udp_fragments(const FrameOptions& options, const Bytes& payload, std::size_t fragment_size) {
    if (fragment_size == 0 || fragment_size % 8 != 0) {
        throw std::invalid_argument("fragment size must be a positive multiple of 8");
    }
    const Bytes datagram = udp_datagram(options, payload);
    std::vector<Bytes> frames;
    for (std::size_t offset = 0; offset < datagram.size(); offset += fragment_size) {
        const std::size_t end = std::min(datagram.size(), offset + fragment_size);
        const Bytes piece(datagram.begin() + long(offset), datagram.begin() + long(end));
        frames.push_back(ipv4_frame(options, piece, offset, end < datagram.size()));
    }
    return frames;
}

CaptureBuilder::CaptureBuilder(int32_t time_zone_seconds, uint32_t magic, LinkLayer link) {
    put_u32le(m_bytes, magic);
    put_u16le(m_bytes, 2);
    put_u16le(m_bytes, 4);
    put_u32le(m_bytes, uint32_t(time_zone_seconds));
    put_u32le(m_bytes, 0);
    put_u32le(m_bytes, 65535);
    put_u32le(m_bytes, uint32_t(link));
}

CaptureBuilder& CaptureBuilder::record(int64_t time, const Bytes& frame) {
    return record_claiming(time, frame, uint32_t(frame.size()));
}

CaptureBuilder& CaptureBuilder::record_claiming(int64_t time, const Bytes& frame, uint32_t included_length) {
    put_record(m_bytes, time, frame, included_length);
    return *this;
}

CaptureBuilder& CaptureBuilder::record_snapshot(int64_t time, const Bytes& frame, std::size_t kept) {
    const Bytes stored(frame.begin(), frame.begin() + long(std::min(kept, frame.size())));
    put_u32le(m_bytes, uint32_t(time / 1000000));
    put_u32le(m_bytes, uint32_t(time % 1000000));
    put_u32le(m_bytes, uint32_t(stored.size()));
    put_u32le(m_bytes, uint32_t(frame.size()));
    m_bytes.insert(m_bytes.end(), stored.begin(), stored.end());
    return *this;
}

CaptureBuilder& CaptureBuilder::udp(int64_t time, uint32_t source, const Bytes& payload) {
    FrameOptions options;
    options.source = source;
    return record(time, udp_frame(options, payload));
}

CaptureBuilder& CaptureBuilder::raw(const Bytes& bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
}

void CaptureBuilder::write(const std::string& path) const { write_file(path, m_bytes); }

void write_stream_capture(const std::string& path, std::size_t n_packets, std::size_t payload_size,
                          int64_t interval, uint32_t source) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    CaptureBuilder header;
    out.write(reinterpret_cast<const char*>(header.bytes().data()), std::streamsize(header.size()));
    FrameOptions options;
    options.source = source;
    const int64_t start = 1700000000LL * 1000000;
    Bytes record;
    for (std::size_t i = 0; i < n_packets; ++i) {
        const Bytes frame = udp_frame(options, test_payload(payload_size, uint8_t(i)));
        record.clear();
        put_record(record, start + int64_t(i) * interval, frame, uint32_t(frame.size()));
        out.write(reinterpret_cast<const char*>(record.data()), std::streamsize(record.size()));
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorlan_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    m_path = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code error;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 error);
    std::filesystem::remove_all(m_path, error);
}

}  // namespace vorlan_test
