// The forms a capture takes when ordinary tools write or rewrite it, made
// byte by byte: classic files in nanoseconds or from a big-endian host, and
// pcapng files (either byte order, other time resolutions and offsets,
// blocks that hold no packet, several sections, several interfaces of
// different link types). reform() turns a classic microsecond capture into
// each of them with the same frames at the same times.
#ifndef VORLAN_TESTS_SUPPORT_CAPTURE_FORMS_H
#define VORLAN_TESTS_SUPPORT_CAPTURE_FORMS_H

#include <cstdint>
#include <vector>

#include "support/capture_builder.h"

namespace vorlan_test {

enum class CaptureForm {
    classic,
    nanosecond,
    big_endian,
    big_endian_nanosecond,
    pcapng,
    pcapng_big_endian,
    pcapng_nanosecond,      // interface time resolution 10^-9
    pcapng_binary_clock,    // interface time resolution 2^-20 s
    pcapng_time_offset,     // interface time offset; packet times relative to it
    pcapng_extra_blocks,    // options, name resolution, statistics and unknown blocks
    pcapng_two_sections,    // the second half in a big-endian section of its own
    pcapng_two_interfaces,  // every other Ethernet frame on a Linux cooked interface
    pcapng_obsolete_blocks, // the packet block of pcapng's first drafts
};

const char* form_name(CaptureForm form);

// One record of a classic little-endian microsecond capture.
struct ClassicRecord {
    int64_t time;       // µs as stored
    uint32_t original;  // the frame's length on the wire
    Bytes frame;
};

// The records of `classic`, in file order; throws std::invalid_argument for
// a capture cut inside a record.
std::vector<ClassicRecord> records_of(const Bytes& classic);
std::vector<CaptureForm> all_capture_forms();

// `classic` (a little-endian microsecond capture) in `form`.
Bytes reform(const Bytes& classic, CaptureForm form);

// A pcapng file built block by block.
class PcapngBuilder {
public:
    // Starts a section; interfaces are numbered from 0 in each.
    PcapngBuilder& section(bool big_endian = false);
    // `resolution`: the if_tsresol byte, or -1 for none (microseconds).
    // `offset_seconds`: an if_tsoffset option when not 0.
    PcapngBuilder& interface(uint16_t link_type, uint32_t snapshot_length = 262144, int resolution = -1,
                             int64_t offset_seconds = 0);
    // An enhanced packet block; `original` 0 means the frame's size.
    PcapngBuilder& packet(uint32_t interface, uint64_t ticks, const Bytes& frame, uint32_t original = 0,
                          bool with_options = false);
    PcapngBuilder& obsolete_packet(uint16_t interface, uint64_t ticks, const Bytes& frame);
    PcapngBuilder& simple_packet(const Bytes& frame, uint32_t original = 0);
    // Any block: the type, then the body padded to whole words.
    PcapngBuilder& block(uint32_t type, const Bytes& body);
    const Bytes& bytes() const { return m_bytes; }

private:
    void put32(Bytes& out, uint32_t v) const;
    void put16(Bytes& out, uint16_t v) const;

    Bytes m_bytes;
    bool m_big_endian = false;
};

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_CAPTURE_FORMS_H
