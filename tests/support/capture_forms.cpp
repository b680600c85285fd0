#include "support/capture_forms.h"

#include <stdexcept>

namespace vorlan_test {

namespace {

uint32_t get_u32le(const Bytes& b, std::size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

void put_u32(Bytes& out, uint32_t v, bool big_endian) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(uint8_t(v >> (big_endian ? 24 - 8 * i : 8 * i)));
    }
}
void put_u16(Bytes& out, uint16_t v, bool big_endian) {
    out.push_back(uint8_t(big_endian ? v >> 8 : v));
    out.push_back(uint8_t(big_endian ? v : v >> 8));
}

// An Ethernet frame of one IPv4 packet as a Linux cooked frame, or empty.
Bytes as_linux_cooked(const Bytes& frame) {
    if (frame.size() < 14 || frame[12] != 0x08 || frame[13] != 0x00) {
        return Bytes();
    }
    Bytes cooked = {0, 0, 0, 1, 0, 6, 0x02, 0, 0, 0, 0, 1, 0, 0, 0x08, 0x00};
    cooked.insert(cooked.end(), frame.begin() + 14, frame.end());
    return cooked;
}

Bytes classic_in(const Bytes& classic, bool nanosecond, bool big) {
    Bytes out;
    put_u32(out, nanosecond ? 0xa1b23c4d : 0xa1b2c3d4, big);
    put_u16(out, 2, big);
    put_u16(out, 4, big);
    put_u32(out, get_u32le(classic, 8), big);
    put_u32(out, 0, big);
    put_u32(out, get_u32le(classic, 16), big);
    put_u32(out, get_u32le(classic, 20), big);
    for (const ClassicRecord& record : records_of(classic)) {
        put_u32(out, uint32_t(record.time / 1000000), big);
        const uint32_t micros = uint32_t(record.time % 1000000);
        put_u32(out, nanosecond ? micros * 1000 + 999 : micros, big);
        put_u32(out, uint32_t(record.frame.size()), big);
        put_u32(out, record.original, big);
        out.insert(out.end(), record.frame.begin(), record.frame.end());
    }
    return out;
}

}  // namespace

std::vector<ClassicRecord> records_of(const Bytes& classic) {
    std::vector<ClassicRecord> records;
    for (std::size_t at = 24; at + 16 <= classic.size();) {
        const uint32_t included = get_u32le(classic, at + 8);
        if (at + 16 + included > classic.size()) {
            throw std::invalid_argument("the classic capture is cut short");
        }
        ClassicRecord record;
        record.time = int64_t(get_u32le(classic, at)) * 1000000 + get_u32le(classic, at + 4);
        record.original = get_u32le(classic, at + 12);
        record.frame.assign(classic.begin() + long(at + 16), classic.begin() + long(at + 16 + included));
        records.push_back(record);
        at += 16 + included;
    }
    return records;
}

const char* form_name(CaptureForm form) {
    switch (form) {
        case CaptureForm::classic: return "classic";
        case CaptureForm::nanosecond: return "nanosecond";
        case CaptureForm::big_endian: return "big-endian";
        case CaptureForm::big_endian_nanosecond: return "big-endian nanosecond";
        case CaptureForm::pcapng: return "pcapng";
        case CaptureForm::pcapng_big_endian: return "pcapng big-endian";
        case CaptureForm::pcapng_nanosecond: return "pcapng nanosecond";
        case CaptureForm::pcapng_binary_clock: return "pcapng binary clock";
        case CaptureForm::pcapng_time_offset: return "pcapng time offset";
        case CaptureForm::pcapng_extra_blocks: return "pcapng extra blocks";
        case CaptureForm::pcapng_two_sections: return "pcapng two sections";
        case CaptureForm::pcapng_two_interfaces: return "pcapng two interfaces";
        case CaptureForm::pcapng_obsolete_blocks: return "pcapng obsolete blocks";
    }
    return "";
}

std::vector<CaptureForm> all_capture_forms() {
    std::vector<CaptureForm> forms;
    for (int f = int(CaptureForm::classic); f <= int(CaptureForm::pcapng_obsolete_blocks); ++f) {
        forms.push_back(CaptureForm(f));
    }
    return forms;
}

Bytes reform(const Bytes& classic, CaptureForm form) {
    const uint16_t link_type = uint16_t(get_u32le(classic, 20));
    const std::vector<ClassicRecord> records = records_of(classic);
    switch (form) {
        case CaptureForm::classic: return classic;
        case CaptureForm::nanosecond: return classic_in(classic, true, false);
        case CaptureForm::big_endian: return classic_in(classic, false, true);
        case CaptureForm::big_endian_nanosecond: return classic_in(classic, true, true);
        default: break;
    }
    PcapngBuilder out;
    const bool big = form == CaptureForm::pcapng_big_endian;
    out.section(big);
    constexpr int64_t kOffsetSeconds = 1000000000;
    switch (form) {
        case CaptureForm::pcapng_nanosecond: out.interface(link_type, 262144, 9); break;
        case CaptureForm::pcapng_binary_clock: out.interface(link_type, 262144, 0x80 | 20); break;
        case CaptureForm::pcapng_time_offset: out.interface(link_type, 262144, -1, kOffsetSeconds); break;
        case CaptureForm::pcapng_two_interfaces:
            out.interface(link_type);
            out.interface(113);  // Linux cooked
            break;
        default: out.interface(link_type); break;
    }
    if (form == CaptureForm::pcapng_extra_blocks) {
        out.block(4, {1, 0, 8, 0, 192, 168, 1, 10, 'a', '.', 'b', 0, 0, 0, 0, 0});  // name resolution
        out.block(0x0bad, {1, 2, 3});                                              // custom, unknown
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const ClassicRecord& record = records[i];
        const uint64_t micros = uint64_t(record.time);
        if (form == CaptureForm::pcapng_two_sections && i == records.size() / 2) {
            out.section(true);
            out.interface(link_type);
        }
        switch (form) {
            case CaptureForm::pcapng_nanosecond:
                out.packet(0, micros * 1000 + 999, record.frame, record.original);
                break;
            case CaptureForm::pcapng_binary_clock:
                // Whole µs as 2^-20 s ticks, rounded up: they read back as the µs.
                out.packet(0, ((micros / 1000000) << 20) + ((micros % 1000000) * 1048576 + 999999) / 1000000,
                           record.frame, record.original);
                break;
            case CaptureForm::pcapng_time_offset:
                out.packet(0, micros - uint64_t(kOffsetSeconds) * 1000000, record.frame, record.original);
                break;
            case CaptureForm::pcapng_two_interfaces: {
                const Bytes cooked = i % 2 == 1 ? as_linux_cooked(record.frame) : Bytes();
                if (!cooked.empty()) {
                    out.packet(1, micros, cooked, uint32_t(record.original - record.frame.size() + cooked.size()));
                } else {
                    out.packet(0, micros, record.frame, record.original);
                }
                break;
            }
            case CaptureForm::pcapng_obsolete_blocks:
                out.obsolete_packet(0, micros, record.frame);
                break;
            default:
                out.packet(0, micros, record.frame, record.original, form == CaptureForm::pcapng_extra_blocks);
                break;
        }
    }
    if (form == CaptureForm::pcapng_extra_blocks) {
        out.block(5, Bytes(20, 0));  // interface statistics
    }
    return out.bytes();
}

void PcapngBuilder::put32(Bytes& out, uint32_t v) const { put_u32(out, v, m_big_endian); }
void PcapngBuilder::put16(Bytes& out, uint16_t v) const { put_u16(out, v, m_big_endian); }

PcapngBuilder& PcapngBuilder::section(bool big_endian) {
    m_big_endian = big_endian;
    Bytes body;
    put32(body, 0x1a2b3c4d);
    put16(body, 1);
    put16(body, 0);
    put32(body, 0xffffffff);  // section length unknown
    put32(body, 0xffffffff);
    return block(0x0a0d0d0a, body);
}

PcapngBuilder& PcapngBuilder::interface(uint16_t link_type, uint32_t snapshot_length, int resolution,
                                        int64_t offset_seconds) {
    Bytes body;
    put16(body, link_type);
    put16(body, 0);
    put32(body, snapshot_length);
    // if_name first: an option the reader does not need.
    put16(body, 2);
    put16(body, 3);
    body.insert(body.end(), {'e', 't', 'h', 0});
    if (resolution >= 0) {
        put16(body, 9);
        put16(body, 1);
        body.insert(body.end(), {uint8_t(resolution), 0, 0, 0});
    }
    if (offset_seconds != 0) {
        put16(body, 14);
        put16(body, 8);
        const uint64_t v = uint64_t(offset_seconds);
        if (m_big_endian) {
            put32(body, uint32_t(v >> 32));
            put32(body, uint32_t(v));
        } else {
            put32(body, uint32_t(v));
            put32(body, uint32_t(v >> 32));
        }
    }
    put16(body, 0);
    put16(body, 0);
    return block(1, body);
}

PcapngBuilder& PcapngBuilder::packet(uint32_t interface, uint64_t ticks, const Bytes& frame, uint32_t original,
                                     bool with_options) {
    Bytes body;
    put32(body, interface);
    put32(body, uint32_t(ticks >> 32));
    put32(body, uint32_t(ticks));
    put32(body, uint32_t(frame.size()));
    put32(body, original != 0 ? original : uint32_t(frame.size()));
    body.insert(body.end(), frame.begin(), frame.end());
    body.resize((body.size() + 3) / 4 * 4, 0);
    if (with_options) {
        put16(body, 2);  // epb_flags: inbound
        put16(body, 4);
        put32(body, 1);
        put16(body, 0);
        put16(body, 0);
    }
    return block(6, body);
}

PcapngBuilder& PcapngBuilder::obsolete_packet(uint16_t interface, uint64_t ticks, const Bytes& frame) {
    Bytes body;
    put16(body, interface);
    put16(body, 0);  // drops
    put32(body, uint32_t(ticks >> 32));
    put32(body, uint32_t(ticks));
    put32(body, uint32_t(frame.size()));
    put32(body, uint32_t(frame.size()));
    body.insert(body.end(), frame.begin(), frame.end());
    return block(2, body);
}

PcapngBuilder& PcapngBuilder::simple_packet(const Bytes& frame, uint32_t original) {
    Bytes body;
    put32(body, original != 0 ? original : uint32_t(frame.size()));
    body.insert(body.end(), frame.begin(), frame.end());
    return block(3, body);
}

PcapngBuilder& PcapngBuilder::block(uint32_t type, const Bytes& body) {
    const uint32_t length = uint32_t(12 + (body.size() + 3) / 4 * 4);
    put32(m_bytes, type);
    put32(m_bytes, length);
    m_bytes.insert(m_bytes.end(), body.begin(), body.end());
    m_bytes.insert(m_bytes.end(), (4 - body.size() % 4) % 4, 0);
    put32(m_bytes, length);
    return *this;
}

}  // namespace vorlan_test
