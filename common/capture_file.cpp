#include "capture_file.h"

#include <algorithm>
#include <cstring>

#include <sys/stat.h>

#include "wire_bytes.h"

namespace vorlan_capture {

using vorlan_common::load_u16be;
using vorlan_common::load_u16le;
using vorlan_common::load_u32be;
using vorlan_common::load_u32le;

namespace {

constexpr uint32_t kByteOrderMagic = 0x1a2b3c4d;

// pcapng block types.
constexpr uint32_t kSectionHeaderBlock = 0x0a0d0d0a;
constexpr uint32_t kInterfaceBlock = 1;
constexpr uint32_t kObsoletePacketBlock = 2;
constexpr uint32_t kSimplePacketBlock = 3;
constexpr uint32_t kEnhancedPacketBlock = 6;
// Type and length before the body, length again after it.
constexpr uint32_t kBlockFraming = 12;
constexpr uint32_t kSectionHeaderSize = 28;
constexpr uint32_t kInterfaceHeaderSize = 20;
constexpr uint32_t kEnhancedHeaderSize = 32;  // framing and the fixed fields
constexpr uint32_t kSimpleHeaderSize = 16;
// An interface description or a section header with more options than
// this is not one any tool writes.
constexpr uint32_t kMaxDescriptionBlock = 65536;

// Interface options.
constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionTimeResolution = 9;
constexpr uint16_t kOptionTimeOffset = 14;

uint32_t byte_swapped(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24);
}

uint32_t load32(const uint8_t* p, bool big_endian) { return big_endian ? load_u32be(p) : load_u32le(p); }
uint16_t load16(const uint8_t* p, bool big_endian) { return big_endian ? load_u16be(p) : load_u16le(p); }

bool seek_to(std::FILE* file, int64_t offset) {
#if defined(_WIN32)
    return _fseeki64(file, offset, SEEK_SET) == 0;
#else
    return fseeko(file, off_t(offset), SEEK_SET) == 0;
#endif
}

// Beyond 2^40 s (some 35,000 years) a count of ticks is no date a capture
// can carry; within it, every time and every difference of two times fits
// in 64 bits, offsets included.
constexpr uint64_t kMaxTickSeconds = uint64_t(1) << 40;

// Ticks of `units_per_second` in µs, truncated; false beyond any date. Exact
// while the fraction times a million fits 64 bits; finer clocks lose only
// sub-µs digits.
bool ticks_to_microseconds(uint64_t ticks, uint64_t units_per_second, int64_t& us) {
    const uint64_t seconds = ticks / units_per_second;
    if (seconds >= kMaxTickSeconds) {
        return false;
    }
    const uint64_t rest = ticks % units_per_second;
    uint64_t fraction = 0;
    if (rest <= UINT64_MAX / 1000000) {
        fraction = rest * 1000000 / units_per_second;
    } else {
        fraction = uint64_t(static_cast<long double>(rest) * 1e6L / static_cast<long double>(units_per_second));
    }
    us = int64_t(seconds * 1000000 + fraction);
    return true;
}

}  // namespace

HeaderStatus parse_file_header(const uint8_t* bytes, std::size_t size, FileHeader& header) {
    if (size >= 12 && load_u32le(bytes) == kPcapngMagic) {
        const uint32_t order = load_u32le(bytes + 8);
        if (order != kByteOrderMagic && order != byte_swapped(kByteOrderMagic)) {
            return HeaderStatus::unknown_magic;
        }
        header = FileHeader();
        header.pcapng = true;
        header.big_endian = order != kByteOrderMagic;
        header.first_offset = 0;
        header.link_type = kLinkNoInterface;
        return HeaderStatus::pcapng;
    }
    if (size < kFileHeaderSize) {
        return HeaderStatus::too_short;
    }
    const uint32_t magic = load_u32le(bytes);
    const bool big_endian = magic == byte_swapped(kMicrosecondMagic) || magic == byte_swapped(kNanosecondMagic);
    const bool nanosecond = magic == kNanosecondMagic || magic == byte_swapped(kNanosecondMagic);
    if (!big_endian && magic != kMicrosecondMagic && magic != kNanosecondMagic) {
        return magic == kPcapngMagic ? HeaderStatus::too_short : HeaderStatus::unknown_magic;
    }
    header = FileHeader();
    header.big_endian = big_endian;
    header.nanosecond = nanosecond;
    header.time_zone_seconds = int32_t(load32(bytes + 8, big_endian));
    header.snapshot_length = load32(bytes + 16, big_endian);
    // The upper bits of the link-type field carry flags (FCS length).
    header.link_type = load32(bytes + 20, big_endian) & 0x0fffffff;
    header.first_offset = int64_t(kFileHeaderSize);
    if (big_endian) {
        return HeaderStatus::big_endian;
    }
    return nanosecond ? HeaderStatus::nanosecond : HeaderStatus::ok;
}

HeaderStatus CaptureFile::open(const std::string& path) {
    close();
    m_file = std::fopen(path.c_str(), "rb");
    if (m_file == nullptr) {
        return HeaderStatus::too_short;
    }
    // The window is the only buffer: stdio's own would copy every byte twice.
    std::setvbuf(m_file, nullptr, _IONBF, 0);
    if (!m_window) {
        m_window.reset(new uint8_t[kWindowSize]);
    }
    std::size_t available = 0;
    const uint8_t* bytes = bytes_at(0, kFileHeaderSize, available);
    HeaderStatus status = parse_file_header(bytes, available, m_header);
    if (status == HeaderStatus::pcapng) {
        // The section header and the blocks up to the first packet: the
        // first interface names the capture's link type.
        Record first;
        const RecordStatus read_status = read(0, first, false);
        if (m_sections.empty() || read_status == RecordStatus::io_error) {
            status = HeaderStatus::too_short;
        } else {
            m_header.first_offset = m_sections.front().offset;
            if (!m_sections.front().interfaces.empty()) {
                m_header.link_type = m_sections.front().interfaces.front().link_type;
                m_header.snapshot_length = m_sections.front().interfaces.front().snapshot_length;
            }
            status = HeaderStatus::ok;
        }
    } else if (readable(status)) {
        status = HeaderStatus::ok;
    }
    if (status != HeaderStatus::ok) {
        close();
    }
    return status;
}

void CaptureFile::close() {
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_window_start = 0;
    m_window_size = 0;
    m_file_position = 0;
    m_error = false;
    m_sections.clear();
    m_scanned = 0;
    m_last_time = 0;
}

const uint8_t* CaptureFile::bytes_at(int64_t offset, std::size_t size, std::size_t& available) {
    const int64_t window_end = m_window_start + int64_t(m_window_size);
    if (offset >= m_window_start && offset + int64_t(size) <= window_end) {
        available = size;
        return m_window.get() + (offset - m_window_start);
    }
    // Keep the bytes of the window that are still wanted (reading forward,
    // the start of the next record) and fill up behind them.
    std::size_t kept = 0;
    if (offset >= m_window_start && offset < window_end && window_end == m_file_position) {
        kept = std::size_t(window_end - offset);
        std::memmove(m_window.get(), m_window.get() + (offset - m_window_start), kept);
    } else if (m_file_position != offset) {
        if (!seek_to(m_file, offset)) {
            m_error = true;
            m_window_size = 0;
            available = 0;
            return m_window.get();
        }
        m_file_position = offset;
    }
    m_window_start = offset;
    const std::size_t got = std::fread(m_window.get() + kept, 1, kWindowSize - kept, m_file);
    if (got < kWindowSize - kept && std::ferror(m_file)) {
        m_error = true;
        std::clearerr(m_file);
    }
    std::clearerr(m_file);
    m_file_position += int64_t(got);
    m_window_size = kept + got;
    available = std::min(size, m_window_size);
    return m_window.get();
}

int64_t CaptureFile::size() {
    if (m_file == nullptr) {
        return -1;
    }
#if defined(_WIN32)
    struct _stat64 status;
    if (_fstat64(_fileno(m_file), &status) != 0) {
        return -1;
    }
#else
    struct stat status;
    if (fstat(fileno(m_file), &status) != 0) {
        return -1;
    }
#endif
    return int64_t(status.st_size);
}

uint32_t CaptureFile::load32(const uint8_t* p, bool big_endian) const { return vorlan_capture::load32(p, big_endian); }

RecordStatus CaptureFile::read(int64_t offset, Record& record, bool with_data) {
    m_error = false;
    if (m_file == nullptr) {
        return RecordStatus::io_error;
    }
    return m_header.pcapng ? read_pcapng(offset, record, with_data) : read_classic(offset, record, with_data);
}

RecordStatus CaptureFile::read_classic(int64_t offset, Record& record, bool with_data) {
    std::size_t available = 0;
    const uint8_t* header = bytes_at(offset, kRecordHeaderSize, available);
    if (m_error) {
        return RecordStatus::io_error;
    }
    if (available == 0) {
        return RecordStatus::end;
    }
    if (available < kRecordHeaderSize) {
        return RecordStatus::cut;
    }
    const bool big = m_header.big_endian;
    record.offset = offset;
    const uint32_t fraction = load32(header + 4, big);
    record.time = int64_t(load32(header, big)) * 1000000 + int64_t(m_header.nanosecond ? fraction / 1000 : fraction);
    record.timed = true;
    record.included_length = load32(header + 8, big);
    record.original_length = load32(header + 12, big);
    record.link_type = m_header.link_type;
    record.snapshot_length = m_header.snapshot_length;
    record.data = nullptr;
    record.size = 0;
    if (record.included_length > kMaxRecordLength) {
        // Its end is still where the length says, if anywhere.
        record.size = uint32_t(kRecordHeaderSize) + record.included_length;
        return record.size < record.included_length ? RecordStatus::cut : RecordStatus::oversized;
    }
    record.size = uint32_t(kRecordHeaderSize) + record.included_length;
    if (!with_data) {
        return RecordStatus::ok;
    }
    const std::size_t size = record.size;
    const uint8_t* bytes = bytes_at(offset, size, available);
    if (m_error) {
        return RecordStatus::io_error;
    }
    if (available < size) {
        return RecordStatus::cut;
    }
    record.data = bytes + kRecordHeaderSize;
    return RecordStatus::ok;
}

// ---- pcapng ----------------------------------------------------------------

const CaptureFile::Section& CaptureFile::section_at(int64_t offset) const {
    // The last section starting at or before `offset`; m_sections is never
    // empty here (the file starts with a section header).
    auto it = std::upper_bound(m_sections.begin(), m_sections.end(), offset,
                               [](int64_t at, const Section& section) { return at < section.offset; });
    return it == m_sections.begin() ? m_sections.front() : *(it - 1);
}

RecordStatus CaptureFile::block_at(int64_t offset, uint32_t& type, uint32_t& length) {
    std::size_t available = 0;
    const uint8_t* bytes = bytes_at(offset, kBlockFraming, available);
    if (m_error) {
        return RecordStatus::io_error;
    }
    if (available == 0) {
        return RecordStatus::end;
    }
    if (available < 8) {
        return RecordStatus::cut;
    }
    type = load_u32le(bytes);
    bool big = false;
    if (type == kSectionHeaderBlock) {
        // A section names its own byte order.
        if (available < kBlockFraming) {
            return RecordStatus::cut;
        }
        const uint32_t order = load_u32le(bytes + 8);
        if (order != kByteOrderMagic && order != byte_swapped(kByteOrderMagic)) {
            return RecordStatus::cut;
        }
        big = order != kByteOrderMagic;
    } else {
        if (m_sections.empty()) {
            return RecordStatus::cut;
        }
        big = section_at(offset).big_endian;
        type = load32(bytes, big);
    }
    length = load32(bytes + 4, big);
    // Lengths are whole 32-bit words and hold at least the framing: any
    // other is damage, and where the next block starts cannot be known.
    if (length < kBlockFraming || length % 4 != 0 || (type == kSectionHeaderBlock && length < kSectionHeaderSize)) {
        return RecordStatus::cut;
    }
    if (offset == m_scanned) {
        const RecordStatus learned = learn_block(offset, type, length);
        if (learned != RecordStatus::ok) {
            return learned;
        }
        m_scanned = offset + int64_t(length);
    }
    return RecordStatus::ok;
}

RecordStatus CaptureFile::learn_block(int64_t offset, uint32_t type, uint32_t length) {
    if (type != kSectionHeaderBlock && type != kInterfaceBlock) {
        return RecordStatus::ok;
    }
    if (length > kMaxDescriptionBlock || (type == kInterfaceBlock && length < kInterfaceHeaderSize)) {
        return RecordStatus::cut;
    }
    std::size_t available = 0;
    const uint8_t* bytes = bytes_at(offset, length, available);
    if (m_error) {
        return RecordStatus::io_error;
    }
    if (available < length) {
        return RecordStatus::cut;
    }
    if (type == kSectionHeaderBlock) {
        Section section;
        section.offset = offset;
        section.big_endian = load_u32le(bytes + 8) != kByteOrderMagic;
        m_sections.push_back(section);
        return RecordStatus::ok;
    }
    Section& section = m_sections.back();
    const bool big = section.big_endian;
    Interface interface;
    interface.link_type = load16(bytes + 8, big);
    interface.snapshot_length = load32(bytes + 12, big);
    for (uint32_t at = 16; at + 4 <= length - 4;) {
        const uint16_t code = load16(bytes + at, big);
        const uint16_t size = load16(bytes + at + 2, big);
        if (code == kOptionEnd || at + 4 + size > length - 4) {
            break;
        }
        const uint8_t* value = bytes + at + 4;
        if (code == kOptionTimeResolution && size >= 1) {
            const uint8_t exponent = value[0] & 0x7f;
            if ((value[0] & 0x80) != 0) {
                if (exponent < 64) {
                    interface.units_per_second = uint64_t(1) << exponent;
                }
            } else if (exponent <= 19) {
                uint64_t units = 1;
                for (uint8_t i = 0; i < exponent; ++i) {
                    units *= 10;
                }
                interface.units_per_second = units;
            }
        } else if (code == kOptionTimeOffset && size >= 8) {
            const uint64_t high = load32(value, big);
            const uint64_t low = load32(value + 4, big);
            const int64_t seconds = int64_t(big ? high << 32 | low : low << 32 | high);
            // Beyond any date a capture can carry.
            if (seconds > -(int64_t(1) << 40) && seconds < (int64_t(1) << 40)) {
                interface.offset_us = seconds * 1000000;
            }
        }
        at += 4 + (uint32_t(size) + 3) / 4 * 4;
    }
    section.interfaces.push_back(interface);
    return RecordStatus::ok;
}

RecordStatus CaptureFile::scan_to(int64_t offset) {
    while (m_scanned < offset) {
        uint32_t type = 0;
        uint32_t length = 0;
        const RecordStatus status = block_at(m_scanned, type, length);
        if (status != RecordStatus::ok) {
            return status;
        }
    }
    // An offset inside a block names no record.
    return m_scanned == offset ? RecordStatus::ok : RecordStatus::cut;
}

RecordStatus CaptureFile::read_pcapng(int64_t offset, Record& record, bool with_data) {
    if (offset > m_scanned) {
        const RecordStatus scanned = scan_to(offset);
        if (scanned != RecordStatus::ok) {
            return scanned;
        }
    }
    for (int64_t at = offset;;) {
        uint32_t type = 0;
        uint32_t length = 0;
        const RecordStatus status = block_at(at, type, length);
        if (status != RecordStatus::ok) {
            return status;
        }
        if (type == kEnhancedPacketBlock || type == kObsoletePacketBlock || type == kSimplePacketBlock) {
            return packet_block(at, type, length, record, with_data);
        }
        // Section and interface descriptions, statistics, name tables and
        // blocks of kinds not known here hold no packet.
        at += int64_t(length);
    }
}

RecordStatus CaptureFile::packet_block(int64_t offset, uint32_t type, uint32_t length, Record& record,
                                       bool with_data) {
    const Section& section = section_at(offset);
    const bool big = section.big_endian;
    const uint32_t fixed = type == kSimplePacketBlock ? kSimpleHeaderSize : kEnhancedHeaderSize;
    record = Record();
    record.offset = offset;
    record.size = length;
    if (length < fixed) {
        return RecordStatus::cut;
    }
    std::size_t available = 0;
    const uint8_t* bytes = bytes_at(offset, fixed, available);
    if (m_error) {
        return RecordStatus::io_error;
    }
    if (available < fixed) {
        return RecordStatus::cut;
    }
    uint32_t interface_id = 0;
    if (type == kSimplePacketBlock) {
        record.original_length = load32(bytes + 8, big);
        record.included_length = std::min(record.original_length, length - fixed);
        record.time = m_last_time;
    } else {
        interface_id = type == kObsoletePacketBlock ? load16(bytes + 8, big) : load32(bytes + 8, big);
        const uint64_t ticks = uint64_t(load32(bytes + 12, big)) << 32 | load32(bytes + 16, big);
        record.included_length = load32(bytes + 20, big);
        record.original_length = load32(bytes + 24, big);
        // A packet of no known interface is timed in µs, without offset.
        static const Interface kNoInterface;
        const Interface& clock =
            interface_id < section.interfaces.size() ? section.interfaces[interface_id] : kNoInterface;
        int64_t us = 0;
        if (ticks_to_microseconds(ticks, clock.units_per_second, us)) {
            record.time = us + clock.offset_us;
        } else {
            // A time beyond any date is taken as none: the record keeps the
            // time of the one before, as a simple packet block does.
            record.time = m_last_time;
        }
        m_last_time = record.time;
    }
    record.timed = true;
    if (interface_id < section.interfaces.size()) {
        const Interface& interface = section.interfaces[interface_id];
        record.link_type = interface.link_type;
        record.snapshot_length = interface.snapshot_length;
        if (type == kSimplePacketBlock && interface.snapshot_length != 0) {
            record.included_length = std::min(record.included_length, interface.snapshot_length);
        }
    } else {
        record.link_type = kLinkNoInterface;
    }
    if (record.included_length > length - fixed) {
        // The frame would run into the next block.
        return RecordStatus::cut;
    }
    if (record.included_length > kMaxRecordLength) {
        return RecordStatus::oversized;
    }
    if (!with_data) {
        return RecordStatus::ok;
    }
    const std::size_t size = std::size_t(fixed - 4) + record.included_length;
    bytes = bytes_at(offset, size, available);
    if (m_error) {
        return RecordStatus::io_error;
    }
    if (available < size) {
        return RecordStatus::cut;
    }
    record.data = bytes + (fixed - 4);
    return RecordStatus::ok;
}

}  // namespace vorlan_capture
