// Record framing of classic capture files: the global header and the
// 16-byte record headers, read through one large window so that walking a
// capture costs one system call per window rather than several per record.
#ifndef VORLAN_COMMON_CAPTURE_FILE_H
#define VORLAN_COMMON_CAPTURE_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vorlan_capture {

constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kRecordHeaderSize = 16;
constexpr uint32_t kMicrosecondMagic = 0xa1b2c3d4;
// No capturing tool stores more of a frame than this; a record claiming
// more is corrupt and is stepped over without being read.
constexpr uint32_t kMaxRecordLength = 262144;

// Link types of the global header that carry IPv4.
enum LinkType : uint32_t {
    kLinkBsdLoopback = 0,
    kLinkEthernet = 1,
    kLinkRawIp = 101,
    kLinkLinuxCooked = 113,
    kLinkIpv4 = 228,
    kLinkLinuxCooked2 = 276,
};

enum class HeaderStatus {
    ok,
    too_short,     // fewer than 24 bytes
    pcapng,        // a section header block: another format
    nanosecond,    // classic layout with nanosecond times
    big_endian,    // written by a big-endian host (either resolution)
    unknown_magic,
};

struct FileHeader {
    int32_t time_zone_seconds = 0;
    uint32_t snapshot_length = 0;
    uint32_t link_type = 0;
};

// Reads the 24-byte global header. Only microsecond little-endian captures
// are read; the other forms are told apart so that callers can say which.
HeaderStatus parse_file_header(const uint8_t* bytes, std::size_t size, FileHeader& header);

struct Record {
    int64_t offset = 0;           // of the record header in the file
    int64_t time = 0;             // seconds * 1,000,000 + microseconds, as stored
    uint32_t included_length = 0; // bytes of the frame stored
    uint32_t original_length = 0; // bytes of the frame on the wire
    const uint8_t* data = nullptr; // the stored bytes; valid until the next read
    int64_t next_offset() const { return offset + int64_t(kRecordHeaderSize) + included_length; }
};

// No capturing tool stores more of a frame than was on the wire. A record
// claiming to is damaged in its length (one flipped bit does it), and where
// the next record starts cannot be known: the readable records end there.
inline bool length_plausible(const Record& record) { return record.included_length <= record.original_length; }

enum class RecordStatus {
    ok,
    end,       // no byte at the offset: the file ends between records
    cut,       // the file ends inside the record's header or data
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

    // Opens `path` and reads its global header. Any status but ok leaves the
    // file closed; a file that cannot be opened or read gives too_short.
    HeaderStatus open(const std::string& path);
    void close();
    bool is_open() const { return m_file != nullptr; }
    const FileHeader& header() const { return m_header; }

    // The record at `offset`. With `with_data` false only its header is
    // needed and `data` is null. A record cut by the end of the file is
    // reported as cut, never completed with bytes of anything else.
    RecordStatus read(int64_t offset, Record& record, bool with_data = true);
    // Bytes in the file now (it may grow while it is read), or -1 when that
    // cannot be told.
    int64_t size();

private:
    // Up to `size` bytes at `offset`; `available` says how many there are
    // (fewer only at the end of the file). `size` is at most kWindowSize.
    const uint8_t* bytes_at(int64_t offset, std::size_t size, std::size_t& available);

    std::FILE* m_file = nullptr;
    FileHeader m_header;
    std::vector<uint8_t> m_window;
    int64_t m_window_start = 0;    // file offset of m_window[0]
    std::size_t m_window_size = 0; // valid bytes in m_window
    int64_t m_file_position = 0;   // where the next fread starts
    bool m_error = false;
};

}  // namespace vorlan_capture

#endif  // VORLAN_COMMON_CAPTURE_FILE_H
