#include "capture_convert.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "capture_check.h"
#include "capture_file.h"
#include "capture_writer.h"
#include "frame_decoder.h"
#include "recent_datagrams.h"

namespace vorlan_tool {
namespace {

using vorlan_capture::Skip;

// libpcap hands out DLT_ values; the shared decoder knows the link types
// files store. They differ only for raw IP and OpenBSD's loopback.
uint32_t link_type_of(int dlt) {
    switch (dlt) {
#ifdef DLT_RAW
        case DLT_RAW: return vorlan_capture::kLinkRawIp;
#endif
#ifdef DLT_LOOP
        case DLT_LOOP: return vorlan_capture::kLinkBsdLoopback;
#endif
        default: return uint32_t(dlt);
    }
}

// A record's time in µs since 1970. Other formats store times a classic
// record cannot (seconds past 2106, before 1970, or any 64-bit value in a
// damaged file): they are pinned to the nearest time the output can hold.
int64_t record_time_us(const timeval& ts) {
    if (ts.tv_sec < 0) {
        return 0;
    }
    if (ts.tv_sec > time_t(UINT32_MAX)) {
        return int64_t(UINT32_MAX) * 1000000 + 999999;
    }
    return int64_t(ts.tv_sec) * 1000000 + std::clamp<int64_t>(ts.tv_usec, 0, 999999);
}

// What makes a datagram (or a fragment) the same one again.
uint64_t datagram_hash(const vorlan_capture::Ipv4Packet& packet) {
    DatagramHash hash;
    hash.add_u32(packet.source);
    hash.add_u32(uint32_t(packet.identification) << 16 | (packet.more_fragments ? 1u : 0u));
    hash.add_u32(packet.fragment_offset);
    hash.add(packet.payload, packet.payload_size);
    return hash.value();
}

// The frame as the libraries read it: Ethernet, a 20-byte IPv4 header, the
// IPv4 payload.
void ethernet_frame(uint32_t link_type, const uint8_t* original, const vorlan_capture::Ipv4Packet& packet,
                    std::vector<uint8_t>& frame) {
    frame.resize(kEthernetHeaderSize + kIpv4HeaderSize + packet.payload_size);
    uint8_t* out = frame.data();
    if (link_type == vorlan_capture::kLinkEthernet) {
        std::memcpy(out, original, 12);  // the addresses; VLAN tags go
    } else {
        std::memset(out, 0xff, 6);
        out[6] = 0x02;
        out[7] = 0x00;
        for (int i = 0; i < 4; ++i) {
            out[8 + i] = uint8_t(packet.source >> (24 - 8 * i));
        }
    }
    out[12] = 0x08;
    out[13] = 0x00;
    uint8_t* ip = out + kEthernetHeaderSize;
    std::memcpy(ip, packet.header, kIpv4HeaderSize);
    if (packet.header[0] != 0x45) {
        const std::size_t total = kIpv4HeaderSize + packet.payload_size;
        ip[0] = 0x45;
        ip[2] = uint8_t(total >> 8);
        ip[3] = uint8_t(total);
        ip[10] = 0;
        ip[11] = 0;
        const uint16_t checksum = ipv4_checksum(ip, kIpv4HeaderSize);
        ip[10] = uint8_t(checksum >> 8);
        ip[11] = uint8_t(checksum);
    }
    std::memcpy(ip + kIpv4HeaderSize, packet.payload, packet.payload_size);
}

bool convert_opened(pcap_t* pcap, CaptureWriter& writer, const ConvertOptions& options, ConvertReport& report) {
    const int dlt = pcap_datalink(pcap);
    const uint32_t link_type = link_type_of(dlt);
    const char* name = pcap_datalink_val_to_name(dlt);
    report.link = link_type_name(link_type);
    if (report.link.compare(0, 10, "link type ") == 0 && name != nullptr) {
        report.link = std::string(name) + " (no IPv4 readable)";
    }
    RecentDatagrams recent(options.dedup_window_us);
    std::vector<uint8_t> frame;
    for (;;) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int status = pcap_next_ex(pcap, &header, &data);
        if (status == PCAP_ERROR_BREAK) {
            break;
        }
        if (status != 1) {
            // A record cut short or damaged: what came before is kept.
            const char* why = pcap_geterr(pcap);
            report.damage = std::string("the input ends or is damaged after record ") +
                            std::to_string(report.records) +
                            (why != nullptr && *why != '\0' ? std::string(" (") + why + ")" : "");
            break;
        }
        ++report.records;
        vorlan_capture::Ipv4Packet packet;
        const Skip skip = vorlan_capture::decode_ipv4(link_type, data, header->caplen, header->len, packet);
        if (skip != Skip::none) {
            report.skipped.add(skip);
            continue;
        }
        const int64_t time = record_time_us(header->ts);
        if (options.dedup && recent.seen_again(datagram_hash(packet), time)) {
            ++report.duplicates;
            continue;
        }
        ethernet_frame(link_type, data, packet, frame);
        if (!writer.write(time, frame.data(), frame.size())) {
            report.error = writer.error();
            return false;
        }
        ++report.written;
    }
    return true;
}

std::string form_of_stream(std::FILE* input) {
    uint8_t first[vorlan_capture::kFileHeaderSize] = {};
    const long start = std::ftell(input);
    const std::size_t got = std::fread(first, 1, sizeof(first), input);
    std::fseek(input, start < 0 ? 0 : start, SEEK_SET);
    return capture_form(first, got);
}

}  // namespace

std::string capture_form(const uint8_t* bytes, std::size_t size) {
    vorlan_capture::FileHeader header;
    switch (vorlan_capture::parse_file_header(bytes, size, header)) {
        case vorlan_capture::HeaderStatus::ok: return "classic";
        case vorlan_capture::HeaderStatus::pcapng: return "pcapng";
        case vorlan_capture::HeaderStatus::nanosecond: return "nanosecond classic";
        case vorlan_capture::HeaderStatus::big_endian: return "big-endian classic";
        default: break;
    }
    // A pcapng section header read from a big-endian writer.
    if (size >= 4 && bytes[0] == 0x0a && bytes[1] == 0x0d && bytes[2] == 0x0d && bytes[3] == 0x0a) {
        return "pcapng";
    }
    return "";
}

bool is_native_capture(const std::string& path) {
    vorlan_capture::CaptureFile file;
    return file.open(path) == vorlan_capture::HeaderStatus::ok &&
           file.header().link_type == vorlan_capture::kLinkEthernet;
}

bool convert_capture_stream(std::FILE* input, std::FILE* output, const ConvertOptions& options,
                            ConvertReport& report) {
    report = ConvertReport();
    report.input_form = form_of_stream(input);
    char why[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = pcap_fopen_offline_with_tstamp_precision(input, PCAP_TSTAMP_PRECISION_MICRO, why);
    if (pcap == nullptr) {
        std::fclose(input);
        report.error = std::string("not a capture file libpcap reads (") + why + ")";
        return false;
    }
    CaptureWriter writer;
    bool ok = writer.open(output);
    if (ok) {
        ok = convert_opened(pcap, writer, options, report);
    }
    if (!writer.close() && ok) {
        report.error = writer.error();
        ok = false;
    }
    if (!ok && report.error.empty()) {
        report.error = writer.error();
    }
    pcap_close(pcap);
    return ok;
}

bool convert_capture(const std::string& input, const std::string& output, const ConvertOptions& options,
                     ConvertReport& report) {
    report = ConvertReport();
    std::FILE* in = std::fopen(input.c_str(), "rb");
    if (in == nullptr) {
        report.error = input + ": " + std::strerror(errno);
        return false;
    }
    std::FILE* out = std::fopen(output.c_str(), "wb");
    if (out == nullptr) {
        report.error = "cannot write " + output + ": " + std::strerror(errno);
        std::fclose(in);
        return false;
    }
    bool ok = convert_capture_stream(in, out, options, report);
    if (std::fclose(out) != 0 && ok) {
        report.error = "cannot write " + output + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        std::remove(output.c_str());
    }
    return ok;
}

std::string describe_conversion(const ConvertReport& report) {
    std::string text = std::to_string(report.records) + " records: " + std::to_string(report.written) + " written";
    const std::string skipped = describe_skipped(report.skipped);
    if (!skipped.empty()) {
        text += ", " + skipped;
    }
    if (report.duplicates != 0) {
        text += ", " + std::to_string(report.duplicates) + " duplicates";
    }
    return text;
}

}  // namespace vorlan_tool
