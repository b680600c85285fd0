// Record framing of capture files: classic captures (microsecond or
// nanosecond times, written by a host of either byte order) and pcapng
// files (several sections, each in its own byte order, and interfaces with
// their own link type, time resolution, time offset and snapshot length).
// Everything is read through one large window, so that walking a capture
// costs one system call per window rather than several per record.
#ifndef VORLAN_COMMON_CAPTURE_FILE_H
#define VORLAN_COMMON_CAPTURE_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vorlan_capture {

constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kRecordHeaderSize = 16;
constexpr uint32_t kMicrosecondMagic = 0xa1b2c3d4;
constexpr uint32_t kNanosecondMagic = 0xa1b23c4d;
constexpr uint32_t kPcapngMagic = 0x0a0d0d0a;
// No capturing tool stores more of a frame than this; a record claiming
// more is corrupt and is stepped over without being read.
constexpr uint32_t kMaxRecordLength = 262144;

// Link types of captures that carry IPv4.
enum LinkType : uint32_t {
    kLinkBsdLoopback = 0,
    kLinkEthernet = 1,
    kLinkRawIpOld = 12,        // raw IP as some BSDs number it
    kLinkRawIpOpenBsd = 14,
    kLinkRawIp = 101,
    kLinkOpenBsdLoopback = 108,  // address family in network byte order
    kLinkLinuxCooked = 113,
    kLinkIpv4 = 228,
    kLinkLinuxCooked2 = 276,
    // A pcapng packet of an interface its section never described.
    kLinkNoInterface = 0xffffffff,
};

enum class HeaderStatus {
    ok,
    too_short,     // fewer than 24 bytes
    pcapng,        // a pcapng section header block
    nanosecond,    // classic layout with nanosecond times
    big_endian,    // classic, written by a big-endian host (either resolution)
    unknown_magic,
};

// Whether a file that parse_file_header() describes with `status` can be read.
inline bool readable(HeaderStatus status) {
    return status == HeaderStatus::ok || status == HeaderStatus::pcapng || status == HeaderStatus::nanosecond ||
           status == HeaderStatus::big_endian;
}

struct FileHeader {
    int32_t time_zone_seconds = 0;
    uint32_t snapshot_length = 0;
    // Classic: the file's. pcapng: the first interface's (packets carry
    // their own); kLinkNoInterface before any interface is described.
    uint32_t link_type = 0;
    bool pcapng = false;
    bool nanosecond = false;  // classic records in nanoseconds
    bool big_endian = false;  // classic: the whole file; pcapng: the first section
    // Where reading starts: the block after the section header, or the
    // record after the classic global header.
    int64_t first_offset = int64_t(kFileHeaderSize);
};

// Reads the start of a capture. Returns ok for a classic microsecond
// little-endian header and names every other form, filling `header` for
// each readable one. A pcapng header needs its first 12 bytes.
HeaderStatus parse_file_header(const uint8_t* bytes, std::size_t size, FileHeader& header);

struct Record {
    int64_t offset = 0;           // of the record (or packet block) in the file
    int64_t time = 0;             // µs as stored (pcapng: with its interface's time offset)
    bool timed = false;           // `time` was read: the record's header is whole
    uint32_t included_length = 0; // bytes of the frame stored
    uint32_t original_length = 0; // bytes of the frame on the wire
    uint32_t size = 0;            // bytes the record takes in the file
    uint32_t link_type = 0;       // of the frame stored
    uint32_t snapshot_length = 0; // of its interface; 0 when not limited
    const uint8_t* data = nullptr; // the stored bytes; valid until the next read
    int64_t next_offset() const { return offset + int64_t(size); }
};

// No capturing tool stores more of a frame than was on the wire. A record
// claiming to is damaged in its length (one flipped bit does it), and where
// the next record starts cannot be known: the readable records end there.
inline bool length_plausible(const Record& record) { return record.included_length <= record.original_length; }

enum class RecordStatus {
    ok,
    end,       // no record from the offset on: the file ends between records
    cut,       // the file ends inside the record, or its framing is damaged
    oversized, // included length above kMaxRecordLength: data not read
    io_error,
};

// One open capture file. Used by one thread at a time; open it once per
// thread that reads it.
class CaptureFile {
public:
    static constexpr std::size_t kWindowSize = std::size_t(1) << 20;

    CaptureFile() = default;
    ~CaptureFile() { close(); }
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Opens `path` and reads its header (for pcapng, up to the first packet
    // block, so that the first interface is known). Returns ok for every
    // form it reads, the form otherwise; any status but ok leaves the file
    // closed, and a file that cannot be opened or read gives too_short.
    HeaderStatus open(const std::string& path);
    void close();
    bool is_open() const { return m_file != nullptr; }
    const FileHeader& header() const { return m_header; }
    // Where the first record is looked for.
    int64_t first_offset() const { return m_header.first_offset; }

    // The first record at or after `offset` (a record's or a block's start):
    // pcapng blocks that hold no packet are stepped over. With `with_data`
    // false only its header is read and `data` is null. A record cut by the
    // end of the file is reported as cut, never completed with bytes of
    // anything else.
    RecordStatus read(int64_t offset, Record& record, bool with_data = true);
    // Bytes in the file now (it may grow while it is read), or -1 when that
    // cannot be told.
    int64_t size();

private:
    struct Interface {
        uint32_t link_type = 0;
        uint32_t snapshot_length = 0;
        uint64_t units_per_second = 1000000;
        int64_t offset_us = 0;  // added to every time
    };
    struct Section {
        int64_t offset = 0;
        bool big_endian = false;
        std::vector<Interface> interfaces;
    };

    // Up to `size` bytes at `offset`; `available` says how many there are
    // (fewer only at the end of the file). `size` is at most kWindowSize.
    const uint8_t* bytes_at(int64_t offset, std::size_t size, std::size_t& available);
    RecordStatus read_classic(int64_t offset, Record& record, bool with_data);
    RecordStatus read_pcapng(int64_t offset, Record& record, bool with_data);
    // Learns the sections and interfaces of every block before `offset`.
    RecordStatus scan_to(int64_t offset);
    // Frames the block at `offset` (learning it when it is the next one not
    // yet seen): its type and length in its section's byte order.
    RecordStatus block_at(int64_t offset, uint32_t& type, uint32_t& length);
    RecordStatus learn_block(int64_t offset, uint32_t type, uint32_t length);
    const Section& section_at(int64_t offset) const;
    RecordStatus packet_block(int64_t offset, uint32_t type, uint32_t length, Record& record, bool with_data);
    uint32_t load32(const uint8_t* p, bool big_endian) const;

    std::FILE* m_file = nullptr;
    FileHeader m_header;
    // Left unset until read into: zeroing a megabyte at each open costs more
    // than reading a short capture whole.
    std::unique_ptr<uint8_t[]> m_window;
    int64_t m_window_start = 0;    // file offset of m_window[0]
    std::size_t m_window_size = 0; // valid bytes in m_window
    int64_t m_file_position = 0;   // where the next fread starts
    bool m_error = false;
    // pcapng: the sections seen, in file order, and the first block not seen.
    std::vector<Section> m_sections;
    int64_t m_scanned = 0;
    // A simple packet block carries no time: it gets the last one read.
    int64_t m_last_time = 0;
};

}  // namespace vorlan_capture

#endif  // VORLAN_COMMON_CAPTURE_FILE_H
