#include "capture_file.h"

#include <cstring>

#include <sys/stat.h>

#include "byte_read.h"

namespace vorlan_capture {

namespace {

constexpr uint32_t kNanosecondMagic = 0xa1b23c4d;
constexpr uint32_t kPcapngMagic = 0x0a0d0d0a;

uint32_t byte_swapped(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24);
}

bool seek_to(std::FILE* file, int64_t offset) {
#if defined(_WIN32)
    return _fseeki64(file, offset, SEEK_SET) == 0;
#else
    return fseeko(file, off_t(offset), SEEK_SET) == 0;
#endif
}

}  // namespace

HeaderStatus parse_file_header(const uint8_t* bytes, std::size_t size, FileHeader& header) {
    if (size < kFileHeaderSize) {
        return HeaderStatus::too_short;
    }
    const uint32_t magic = load_u32le(bytes);
    if (magic == kPcapngMagic) {
        return HeaderStatus::pcapng;
    }
    if (magic == kNanosecondMagic) {
        return HeaderStatus::nanosecond;
    }
    if (magic == byte_swapped(kMicrosecondMagic) || magic == byte_swapped(kNanosecondMagic)) {
        return HeaderStatus::big_endian;
    }
    if (magic != kMicrosecondMagic) {
        return HeaderStatus::unknown_magic;
    }
    header.time_zone_seconds = int32_t(load_u32le(bytes + 8));
    header.snapshot_length = load_u32le(bytes + 16);
    // The upper bits of the link-type field carry flags (FCS length).
    header.link_type = load_u32le(bytes + 20) & 0x0fffffff;
    return HeaderStatus::ok;
}

HeaderStatus CaptureFile::open(const std::string& path) {
    close();
    m_file = std::fopen(path.c_str(), "rb");
    if (m_file == nullptr) {
        return HeaderStatus::too_short;
    }
    // The window is the only buffer: stdio's own would copy every byte twice.
    std::setvbuf(m_file, nullptr, _IONBF, 0);
    m_window.resize(kWindowSize);
    std::size_t available = 0;
    const uint8_t* bytes = bytes_at(0, kFileHeaderSize, available);
    const HeaderStatus status = parse_file_header(bytes, available, m_header);
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
}

const uint8_t* CaptureFile::bytes_at(int64_t offset, std::size_t size, std::size_t& available) {
    const int64_t window_end = m_window_start + int64_t(m_window_size);
    if (offset >= m_window_start && offset + int64_t(size) <= window_end) {
        available = size;
        return m_window.data() + (offset - m_window_start);
    }
    // Keep the bytes of the window that are still wanted (reading forward,
    // the start of the next record) and fill up behind them.
    std::size_t kept = 0;
    if (offset >= m_window_start && offset < window_end && window_end == m_file_position) {
        kept = std::size_t(window_end - offset);
        std::memmove(m_window.data(), m_window.data() + (offset - m_window_start), kept);
    } else if (m_file_position != offset) {
        if (!seek_to(m_file, offset)) {
            m_error = true;
            m_window_size = 0;
            available = 0;
            return m_window.data();
        }
        m_file_position = offset;
    }
    m_window_start = offset;
    const std::size_t got = std::fread(m_window.data() + kept, 1, m_window.size() - kept, m_file);
    if (got < m_window.size() - kept && std::ferror(m_file)) {
        m_error = true;
        std::clearerr(m_file);
    }
    std::clearerr(m_file);
    m_file_position += int64_t(got);
    m_window_size = kept + got;
    available = std::min(size, m_window_size);
    return m_window.data();
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

RecordStatus CaptureFile::read(int64_t offset, Record& record, bool with_data) {
    m_error = false;
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
    record.offset = offset;
    record.time = int64_t(load_u32le(header)) * 1000000 + int64_t(load_u32le(header + 4));
    record.included_length = load_u32le(header + 8);
    record.original_length = load_u32le(header + 12);
    record.data = nullptr;
    if (record.included_length > kMaxRecordLength) {
        return RecordStatus::oversized;
    }
    if (!with_data) {
        return RecordStatus::ok;
    }
    const std::size_t size = kRecordHeaderSize + record.included_length;
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

}  // namespace vorlan_capture
