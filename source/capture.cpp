#include "capture.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <istream>
#include <limits>
#include <ostream>

#include "byte_order.h"

#define VORLAN_SOURCE_FILE "source/capture"

namespace vorlan_sdk {

namespace {

constexpr int64_t kMicrosecondsPerSecond = 1000000;

// Entries of the side index moved through the stream per call.
constexpr std::size_t kIndexChunkEntries = 4096;

// Reports a failed stream operation and clears the state in every case, so
// the next operation starts afresh. For the capture's CaptureStream and the
// index file's standard streams alike.
template <class Stream>
SensorError check_file(Stream& stream) {
    const bool failed = stream.fail();
    stream.clear();
    if (failed) {
        return VORLAN_ERROR_FILE_IO;
    }
    return VORLAN_SUCCESS;
}

bool is_eof(std::istream& stream) {
    const bool eof = stream.peek() == std::istream::traits_type::eof();
    stream.clear();
    return eof;
}

// Bytes between the read position and the end of `stream`, or -1.
int64_t remaining_bytes(std::istream& stream) {
    const std::streamoff here = stream.tellg();
    stream.seekg(0, std::ios::end);
    const std::streamoff end = stream.tellg();
    stream.seekg(here);
    if (here < 0 || end < here) {
        return -1;
    }
    return static_cast<int64_t>(end - here);
}

enum class HeaderRead { ok, end_of_file, failed };

// The record at `pointer`: its 16-byte file header and as much of the
// Ethernet, IPv4 and UDP headers as the record holds. Bytes the record does
// not hold read as zero, so a short record never looks like a datagram and
// nothing of the next record is mistaken for its headers. After `failed` the
// stream's fail state is set.
HeaderRead load_record_header(CaptureStream& stream, int64_t pointer, RecordHeader& header) {
    // Nearly every record lies in the window with all of its headers.
    if (const uint8_t* bytes = stream.buffered(pointer, RecordHeader::kSize)) {
        if (util::load_u32le(bytes + 8) >= RecordHeader::kPayloadOffset) {
            header.decode(bytes);
            return HeaderRead::ok;
        }
    }
    if (stream.is_eof(pointer)) {
        return HeaderRead::end_of_file;
    }
    const uint8_t* bytes = stream.read(pointer, RecordHeader::kFileHeaderSize);
    if (bytes == nullptr) {
        return HeaderRead::failed;
    }
    const std::size_t stored =
        RecordHeader::kFileHeaderSize +
        std::min<std::size_t>(util::load_u32le(bytes + 8), RecordHeader::kPayloadOffset);
    bytes = stream.read(pointer, stored);
    if (bytes == nullptr) {
        return HeaderRead::failed;
    }
    if (stored == RecordHeader::kSize) {
        header.decode(bytes);
    } else {
        uint8_t padded[RecordHeader::kSize] = {};
        std::memcpy(padded, bytes, stored);
        header.decode(padded);
    }
    return HeaderRead::ok;
}

SensorError read_record_header(CaptureStream& stream, int64_t pointer, RecordHeader& header) {
    switch (load_record_header(stream, pointer, header)) {
        case HeaderRead::ok:
            return VORLAN_SUCCESS;
        case HeaderRead::end_of_file:
            return VORLAN_ERROR_EOF;
        case HeaderRead::failed:
            break;
    }
    VORLAN_RETURN_ERROR(check_file(stream));
    return VORLAN_ERROR_FILE_IO;
}

int64_t now_microseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// ---- RecordHeader -----------------------------------------------------------

void RecordHeader::decode(const uint8_t* bytes) {
    seconds = util::load_u32le(bytes);
    microseconds = util::load_u32le(bytes + 4);
    included_length = util::load_u32le(bytes + 8);
    original_length = util::load_u32le(bytes + 12);
    std::memcpy(ethernet_destination, bytes + 16, 6);
    std::memcpy(ethernet_source, bytes + 22, 6);
    std::memcpy(ethernet_type, bytes + 28, 2);
    ip_version_length = bytes[30];
    type_of_service = bytes[31];
    total_length = util::load_u16be(bytes + 32);
    identification = util::load_u16be(bytes + 34);
    flags_offset = util::load_u16be(bytes + 36);
    time_to_live = bytes[38];
    protocol = bytes[39];
    header_checksum = util::load_u16be(bytes + 40);
    source_address = util::load_u32be(bytes + 42);
    destination_address = util::load_u32be(bytes + 46);
    source_port = util::load_u16be(bytes + 50);
    destination_port = util::load_u16be(bytes + 52);
    udp_length = util::load_u16be(bytes + 54);
    udp_checksum = util::load_u16be(bytes + 56);
}

void RecordHeader::encode(uint8_t* bytes) const {
    util::store_u32le(bytes, seconds);
    util::store_u32le(bytes + 4, microseconds);
    util::store_u32le(bytes + 8, included_length);
    util::store_u32le(bytes + 12, original_length);
    std::memcpy(bytes + 16, ethernet_destination, 6);
    std::memcpy(bytes + 22, ethernet_source, 6);
    std::memcpy(bytes + 28, ethernet_type, 2);
    bytes[30] = ip_version_length;
    bytes[31] = type_of_service;
    util::store_u16be(bytes + 32, total_length);
    util::store_u16be(bytes + 34, identification);
    util::store_u16be(bytes + 36, flags_offset);
    bytes[38] = time_to_live;
    bytes[39] = protocol;
    util::store_u16be(bytes + 40, header_checksum);
    util::store_u32be(bytes + 42, source_address);
    util::store_u32be(bytes + 46, destination_address);
    util::store_u16be(bytes + 50, source_port);
    util::store_u16be(bytes + 52, destination_port);
    util::store_u16be(bytes + 54, udp_length);
    util::store_u16be(bytes + 56, udp_checksum);
}

bool RecordHeader::is_ipv4_udp() const {
    return ethernet_type[0] == 0x08 && ethernet_type[1] == 0x00 && ip_version_length == 0x45 && protocol == 17;
}

// ---- CaptureStream ----------------------------------------------------------

void CaptureStream::open_for_read(const std::string& filename) {
    close();
    m_file.open(filename, std::ios::in | std::ios::binary);
}

void CaptureStream::open_for_write(const std::string& filename, bool append) {
    close();
    m_file.open(filename, append ? std::ios::in | std::ios::out | std::ios::app | std::ios::binary
                                 : std::ios::out | std::ios::trunc | std::ios::binary);
    m_writing = false;
}

void CaptureStream::close() {
    if (m_file.is_open()) {
        m_file.close();
    }
    m_file.clear();
    m_fail = false;
    m_window_start = 0;
    m_window_size = 0;
    std::vector<uint8_t>().swap(m_window);
}

void CaptureStream::clear() {
    m_file.clear();
    m_fail = false;
}

void CaptureStream::fill(int64_t pointer) {
    if (m_window.empty()) {
        m_window.resize(kWindowSize);
    }
    m_file.clear();
    m_writing = false;
    m_window_start = pointer;
    m_window_size = 0;
    if (m_file.seekg(pointer)) {
        m_file.read(reinterpret_cast<char*>(m_window.data()), static_cast<std::streamsize>(kWindowSize));
        m_window_size = static_cast<std::size_t>(m_file.gcount());
    }
    // Reaching the end of the file while filling the window is no failure.
    m_file.clear();
}

const uint8_t* CaptureStream::read_through(int64_t pointer, std::size_t size) {
    if (pointer < 0 || size == 0 || size > kWindowSize || !m_file.is_open()) {
        m_fail = true;
        return nullptr;
    }
    fill(pointer);
    if (size > m_window_size) {
        m_fail = true;
        return nullptr;
    }
    return m_window.data();
}

bool CaptureStream::is_eof(int64_t pointer) {
    if (read(pointer, 1) != nullptr) {
        return false;
    }
    m_fail = false;
    return true;
}

void CaptureStream::write(const uint8_t* data, std::size_t size) {
    if (!m_writing) {
        // Switching from reading to writing needs a seek; writes go to the end.
        m_file.seekp(0, std::ios::end);
        m_writing = true;
        m_window_size = 0;
    }
    if (size > 0) {
        m_file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
}

int64_t CaptureStream::write_position() {
    const std::streamoff position = m_file.tellp();
    if (position < 0) {
        m_fail = true;
        return -1;
    }
    return static_cast<int64_t>(position);
}

int64_t CaptureStream::file_size() {
    m_file.clear();
    m_writing = false;
    m_file.seekg(0, std::ios::end);
    const std::streamoff end = m_file.tellg();
    if (end < 0) {
        m_fail = true;
        return -1;
    }
    return static_cast<int64_t>(end);
}

// ---- Capture: opening and closing --------------------------------------------

std::string Capture::index_filename(const std::string& filename) {
    return filename + ".vrn" + std::to_string(kIndexVersion);
}

SensorError Capture::open_for_read(const std::string& filename) {
    SensorError error = open_for_read_impl(filename);
    if (!error.ok()) {
        close();
    }
    VORLAN_RETURN_ERROR(error);
    return VORLAN_SUCCESS;
}

SensorError Capture::open_for_write(const std::string& filename, bool append) {
    SensorError error = open_for_write_impl(filename, append);
    if (!error.ok()) {
        close();
    }
    VORLAN_RETURN_ERROR(error);
    return VORLAN_SUCCESS;
}

void Capture::close() {
    m_stream.close();
    m_filename.clear();
    m_is_read = false;
    m_read_ptr = 0;
    m_write_ptr = 0;
    m_time_offset = 0;
    m_start_time = 0;
    m_has_start_time = false;
    m_position = 0;
    m_length = 0;
    std::vector<PacketIndex>().swap(m_read_index);
    m_packets.clear();
    m_last_packet = nullptr;
}

SensorError Capture::open_for_read_impl(const std::string& filename) {
    close();
    m_filename = filename;
    m_is_read = true;
    m_stream.open_for_read(filename);
    VORLAN_RETURN_ERROR(check_file(m_stream));
    VORLAN_RETURN_ERROR(read_file_header());

    bool loaded = false;
    {
        std::ifstream f(index_filename(filename), std::ios::in | std::ios::binary);
        if (f.is_open()) {
            // A missing, stale or damaged index is rebuilt: not worth a report.
            loaded = load_read_index(f).code() == VORLAN_SUCCESS;
            m_stream.clear();
        }
    }
    if (!loaded) {
        VORLAN_RETURN_ERROR(build_read_index());
        std::ofstream f(index_filename(filename), std::ios::out | std::ios::trunc | std::ios::binary);
        // The capture reads fine without its index on disk (a read-only
        // folder, say); the failure is only reported.
        SensorError saved = save_read_index(f);
        saved.check_used();
    }
    m_length = m_read_index.empty() ? 0 : m_read_index.back().timestamp;
    return VORLAN_SUCCESS;
}

SensorError Capture::open_for_write_impl(const std::string& filename, bool append) {
    close();
    m_filename = filename;
    m_is_read = false;
    m_stream.open_for_write(filename, append);
    VORLAN_RETURN_ERROR(check_file(m_stream));
    int64_t existing = 0;
    if (append) {
        existing = m_stream.file_size();
        VORLAN_RETURN_ERROR(check_file(m_stream));
    }
    if (existing == 0) {
        // A new file, or an empty one to append to: without the global header
        // no reader would take the records.
        VORLAN_RETURN_ERROR(write_file_header());
        return VORLAN_SUCCESS;
    }
    // Records join an existing capture only if it is one, and carry times in
    // its time zone.
    VORLAN_RETURN_ERROR(read_file_header());
    m_write_ptr = existing;
    return VORLAN_SUCCESS;
}

SensorError Capture::read_file_header() {
    const uint8_t* bytes = m_stream.read(0, kFileHeaderSize);
    VORLAN_RETURN_ERROR(check_file(m_stream));
    m_read_ptr = static_cast<int64_t>(kFileHeaderSize);
    if (util::load_u32le(bytes) != kMagic) {
        return VORLAN_ERROR_INVALID_FILE_TYPE;
    }
    m_position = 0;
    m_time_offset = static_cast<int64_t>(util::load_i32le(bytes + 8)) * kMicrosecondsPerSecond;
    return VORLAN_SUCCESS;
}

SensorError Capture::write_file_header() {
    uint8_t bytes[kFileHeaderSize] = {};
    util::store_u32le(bytes, kMagic);
    util::store_u16le(bytes + 4, 2);      // major version
    util::store_u16le(bytes + 6, 4);      // minor version
    util::store_u32le(bytes + 8, 0);      // time zone offset, seconds
    util::store_u32le(bytes + 12, 0);     // timestamp accuracy
    util::store_u32le(bytes + 16, kSnapshotLength);
    util::store_u32le(bytes + 20, 1);     // link type: Ethernet
    m_stream.write(bytes, sizeof(bytes));
    VORLAN_RETURN_ERROR(check_file(m_stream));
    m_write_ptr = m_stream.write_position();
    VORLAN_RETURN_ERROR(check_file(m_stream));
    return VORLAN_SUCCESS;
}

int64_t Capture::record_time(const RecordHeader& record_header) const {
    return static_cast<int64_t>(record_header.seconds) * kMicrosecondsPerSecond + record_header.microseconds +
           m_time_offset;
}

// ---- Capture: the read index --------------------------------------------------

SensorError Capture::build_read_index() {
    m_start_time = 0;
    m_has_start_time = false;
    m_read_index.clear();
    int64_t pointer = static_cast<int64_t>(kFileHeaderSize);
    RecordHeader record_header;
    while (!m_stream.is_eof(pointer)) {
        VORLAN_RETURN_ERROR(read_record_header(m_stream, pointer, record_header));
        const int64_t t = record_time(record_header);
        if (!m_has_start_time) {
            m_start_time = t;
            m_has_start_time = true;
        }
        m_read_index.push_back(PacketIndex{t - m_start_time, pointer});
        VORLAN_CHECK(record_header.included_length != 0, VORLAN_ERROR_CORRUPT_FILE, "Empty packet!");
        pointer += static_cast<int64_t>(RecordHeader::kFileHeaderSize) + record_header.included_length;
    }
    m_stream.clear();
    return VORLAN_SUCCESS;
}

SensorError Capture::load_read_index(std::istream& f) {
    m_read_index.clear();
    uint8_t header[kIndexHeaderSize];
    f.read(reinterpret_cast<char*>(header), sizeof(header));
    VORLAN_RETURN_ERROR(check_file(f));
    const uint64_t version = util::load_u64le(header);
    const int64_t start_time = util::load_i64le(header + 8);
    const uint64_t count = util::load_u64le(header + 16);
    VORLAN_CHECK(version == kIndexVersion, VORLAN_ERROR_CORRUPT_FILE, "Invalid index version!");
    VORLAN_CHECK(count > 0, VORLAN_ERROR_CORRUPT_FILE, "Index empty!");
    m_start_time = start_time;

    // The count comes from the file: never allocate more than the file holds.
    const int64_t available = remaining_bytes(f);
    if (available < 0 || count > static_cast<uint64_t>(available) / kIndexEntrySize) {
        f.setstate(std::ios::failbit);
    }
    VORLAN_RETURN_ERROR(check_file(f));
    m_read_index.resize(static_cast<std::size_t>(count));
    uint8_t chunk[kIndexChunkEntries * kIndexEntrySize];
    for (std::size_t done = 0; done < m_read_index.size();) {
        const std::size_t n = std::min(kIndexChunkEntries, m_read_index.size() - done);
        f.read(reinterpret_cast<char*>(chunk), static_cast<std::streamsize>(n * kIndexEntrySize));
        VORLAN_RETURN_ERROR(check_file(f));
        for (std::size_t i = 0; i < n; ++i) {
            m_read_index[done + i].timestamp = util::load_i64le(chunk + i * kIndexEntrySize);
            m_read_index[done + i].pointer = util::load_i64le(chunk + i * kIndexEntrySize + 8);
        }
        done += n;
    }
    VORLAN_CHECK(is_eof(f), VORLAN_ERROR_CORRUPT_FILE, "Corrupt index file!");
    // Every record in file order: the first right after the global header,
    // each after the whole record header of the one before.
    bool ordered = m_read_index.front().pointer == static_cast<int64_t>(kFileHeaderSize);
    for (std::size_t i = 1; ordered && i < m_read_index.size(); ++i) {
        ordered = m_read_index[i].pointer - m_read_index[i - 1].pointer >=
                  static_cast<int64_t>(RecordHeader::kFileHeaderSize);
    }
    VORLAN_CHECK(ordered, VORLAN_ERROR_CORRUPT_FILE, "Corrupt index file!");

    RecordHeader record_header;
    VORLAN_RETURN_ERROR(read_record_header(
        m_stream, m_read_index.front().pointer, record_header));
    VORLAN_CHECK(record_time(record_header) == m_start_time, VORLAN_ERROR_CORRUPT_FILE, "Invalid index timestamp!");
    VORLAN_RETURN_ERROR(read_record_header(
        m_stream, m_read_index.back().pointer, record_header));
    const int64_t end = m_read_index.back().pointer + static_cast<int64_t>(RecordHeader::kFileHeaderSize) +
                        record_header.included_length;
    const int64_t file_size = m_stream.file_size();
    VORLAN_RETURN_ERROR(check_file(m_stream));
    VORLAN_CHECK(end == file_size, VORLAN_ERROR_CORRUPT_FILE, "Invalid index!");
    m_has_start_time = true;
    return VORLAN_SUCCESS;
}

SensorError Capture::save_read_index(std::ostream& f) {
    uint8_t header[kIndexHeaderSize];
    util::store_u64le(header, kIndexVersion);
    util::store_u64le(header + 8, static_cast<uint64_t>(m_start_time));
    util::store_u64le(header + 16, m_read_index.size());
    f.write(reinterpret_cast<const char*>(header), sizeof(header));
    uint8_t chunk[kIndexChunkEntries * kIndexEntrySize];
    for (std::size_t done = 0; done < m_read_index.size() && f;) {
        const std::size_t n = std::min(kIndexChunkEntries, m_read_index.size() - done);
        for (std::size_t i = 0; i < n; ++i) {
            util::store_u64le(chunk + i * kIndexEntrySize, static_cast<uint64_t>(m_read_index[done + i].timestamp));
            util::store_u64le(chunk + i * kIndexEntrySize + 8, static_cast<uint64_t>(m_read_index[done + i].pointer));
        }
        f.write(reinterpret_cast<const char*>(chunk), static_cast<std::streamsize>(n * kIndexEntrySize));
        done += n;
    }
    f.flush();
    VORLAN_RETURN_ERROR(check_file(f));
    return VORLAN_SUCCESS;
}

// ---- Capture: reading ---------------------------------------------------------

Capture::PacketData* Capture::find_packet_data(uint32_t address, bool create) {
    if (m_last_packet != nullptr && m_last_address == address) {
        return m_last_packet;
    }
    auto it = m_packets.find(address);
    if (it == m_packets.end()) {
        if (!create) {
            return nullptr;
        }
        if (m_packets.size() >= kMaxSources) {
            m_packets.clear();
        }
        it = m_packets.emplace(address, PacketData()).first;
    }
    m_last_address = address;
    m_last_packet = &it->second;
    return m_last_packet;
}

SensorError Capture::next_packet(PacketHeader& packet_header, const uint8_t*& packet_data) {
    return read_packet(packet_header, packet_data);
}

VorlanSensorErrorCode Capture::read_packet(PacketHeader& packet_header, const uint8_t*& packet_data) {
    if (!is_open() || !m_is_read) {
        return VORLAN_ERROR_NOT_OPEN;
    }
    for (;;) {
        switch (read_record(packet_header, packet_data)) {
            case RecordRead::packet:
                return VORLAN_SUCCESS;
            case RecordRead::skipped:
                break;
            case RecordRead::end_of_file:
                return VORLAN_ERROR_EOF;
            case RecordRead::failed:
                m_stream.clear();
                return VORLAN_ERROR_FILE_IO;
        }
    }
}

Capture::RecordRead Capture::read_record(PacketHeader& header, const uint8_t*& data) {
    RecordHeader record_header;
    switch (load_record_header(m_stream, m_read_ptr, record_header)) {
        case HeaderRead::ok:
            break;
        case HeaderRead::end_of_file:
            return RecordRead::end_of_file;
        case HeaderRead::failed:
            return RecordRead::failed;
    }
    const int64_t record_ptr = m_read_ptr;
    m_read_ptr += static_cast<int64_t>(RecordHeader::kFileHeaderSize) + record_header.included_length;
    if (!record_header.is_ipv4_udp()) {
        return RecordRead::skipped;
    }

    const int64_t included = record_header.included_length;
    const int32_t offset = record_header.fragment_offset();
    const bool more = record_header.more_fragments();
    PacketData* packet = nullptr;
    int64_t length = 0;  // payload bytes this record adds
    int64_t payload_ptr = 0;
    if (offset != 0) {
        // A continuation: it carries no UDP header, and belongs to the
        // datagram being assembled only if it picks up where that one stopped.
        if (included < static_cast<int64_t>(RecordHeader::kUdpOffset)) {
            return RecordRead::skipped;
        }
        packet = find_packet_data(record_header.source_address, false);
        if (packet == nullptr || !packet->more_fragments || record_header.identification != packet->ip_id ||
            offset - static_cast<int32_t>(RecordHeader::kUdpSize) != packet->size) {
            return RecordRead::skipped;
        }
        ++packet->n_fragments;
        packet->more_fragments = more;
        length = included - static_cast<int64_t>(RecordHeader::kUdpOffset);
        // Bytes after the IPv4 datagram (Ethernet padding, a trailer) are not payload.
        if (record_header.total_length >= RecordHeader::kIpv4Size) {
            length = std::min<int64_t>(length, record_header.total_length - int64_t(RecordHeader::kIpv4Size));
        }
        payload_ptr = record_ptr + static_cast<int64_t>(RecordHeader::kFileHeaderSize + RecordHeader::kUdpOffset);
    } else {
        if (included < static_cast<int64_t>(RecordHeader::kPayloadOffset) ||
            record_header.udp_length < RecordHeader::kUdpSize) {
            return RecordRead::skipped;
        }
        packet = find_packet_data(record_header.source_address, true);
        packet->ip_id = record_header.identification;
        packet->n_fragments = 1;
        packet->more_fragments = more;
        packet->expected_size = record_header.udp_length - static_cast<int32_t>(RecordHeader::kUdpSize);
        packet->size = 0;
        packet->header.source_address = record_header.source_address;
        packet->header.timestamp = record_time(record_header);
        length = included - static_cast<int64_t>(RecordHeader::kPayloadOffset);
        const int64_t headers = RecordHeader::kIpv4Size + RecordHeader::kUdpSize;
        if (record_header.total_length >= headers) {
            length = std::min<int64_t>(length, record_header.total_length - headers);
        }
        payload_ptr =
            record_ptr + static_cast<int64_t>(RecordHeader::kFileHeaderSize + RecordHeader::kPayloadOffset);
    }

    // The datagram cannot hold more than its UDP length announced (at most
    // kMaxUdpPayload bytes): a fragment that would overflow it is dropped,
    // and the datagram with it.
    if (length > packet->expected_size - packet->size) {
        packet->more_fragments = false;
        packet->size = -1;
        return RecordRead::skipped;
    }
    if (length > 0) {
        const uint8_t* bytes = m_stream.read(payload_ptr, static_cast<std::size_t>(length));
        if (bytes == nullptr) {
            return RecordRead::failed;
        }
        const std::size_t end = static_cast<std::size_t>(packet->size + length);
        if (packet->data.size() < end) {
            packet->data.resize(end);
        }
        std::memcpy(packet->data.data() + packet->size, bytes, static_cast<std::size_t>(length));
        packet->size += static_cast<int32_t>(length);
    }
    if (packet->more_fragments || packet->size != packet->expected_size) {
        return RecordRead::skipped;
    }

    packet->header.data_size = packet->size;
    if (!m_has_start_time) {
        // Records appended after the file was opened and indexed empty.
        m_start_time = packet->header.timestamp;
        m_has_start_time = true;
    }
    m_position = packet->header.timestamp - m_start_time;
    header = packet->header;
    data = packet->data.data();
    return RecordRead::packet;
}

SensorError Capture::seek(int64_t position) {
    if (!is_open() || !m_is_read) {
        return VORLAN_ERROR_NOT_OPEN;
    }
    // Position 0 is the first record even when every record shares its time,
    // so a capture of one packet can be rewound.
    const bool rewind = position == 0 && !m_read_index.empty();
    VORLAN_CHECK(rewind || (position >= 0 && position < m_length), VORLAN_ERROR_INVALID_ARGUMENTS,
                 "Invalid seek position!");
    std::size_t first = 0;
    if (!rewind) {
        // The first entry at or after `position`; entries are in time order
        // in any sane capture, and the search stays in bounds when they are not.
        std::size_t count = m_read_index.size();
        while (count > 0) {
            const std::size_t half = count / 2;
            if (m_read_index[first + half].timestamp < position) {
                first += half + 1;
                count -= half + 1;
            } else {
                count = half;
            }
        }
    }
    if (first == m_read_index.size()) {
        return VORLAN_ERROR_EOF;
    }
    m_position = m_read_index[first].timestamp;
    m_read_ptr = m_read_index[first].pointer;
    return VORLAN_SUCCESS;
}

// ---- Capture: writing -----------------------------------------------------------

SensorError Capture::append_packet(const PacketHeader& header, const uint8_t* data) {
    if (!is_open() || m_is_read) {
        return VORLAN_ERROR_NOT_OPEN;
    }
    const int32_t n = header.data_size;
    VORLAN_CHECK(n >= 0 && n <= kMaxWritePayload && (data != nullptr || n == 0), VORLAN_ERROR_INVALID_ARGUMENTS,
                 "Invalid packet size!");
    const int64_t t = header.timestamp != 0 ? header.timestamp : now_microseconds();
    // Record times are unsigned 32-bit seconds and microseconds below one
    // second; a time outside them would be stored as another time.
    constexpr int64_t kTimeLimit = int64_t(1) << 62;
    int64_t seconds = -1;
    int64_t microseconds = 0;
    if (t > -kTimeLimit && t < kTimeLimit) {
        const int64_t file_time = t - m_time_offset;
        seconds = file_time / kMicrosecondsPerSecond;
        microseconds = file_time % kMicrosecondsPerSecond;
        if (microseconds < 0) {
            microseconds += kMicrosecondsPerSecond;
            --seconds;
        }
    }
    VORLAN_CHECK(seconds >= 0 && seconds <= int64_t(std::numeric_limits<uint32_t>::max()),
                 VORLAN_ERROR_INVALID_ARGUMENTS, "Invalid packet time!");

    RecordHeader record_header;
    record_header.seconds = static_cast<uint32_t>(seconds);
    record_header.microseconds = static_cast<uint32_t>(microseconds);
    record_header.included_length = static_cast<uint32_t>(n) + RecordHeader::kPayloadOffset;
    record_header.original_length = record_header.included_length;
    record_header.ethernet_type[0] = 0x08;
    record_header.ethernet_type[1] = 0x00;
    record_header.ip_version_length = 0x45;
    record_header.total_length = static_cast<uint16_t>(n + RecordHeader::kIpv4Size + RecordHeader::kUdpSize);
    record_header.protocol = 17;
    record_header.source_address = static_cast<uint32_t>(header.source_address);
    record_header.destination_address = 0xffffffff;
    record_header.source_port = 443;
    record_header.destination_port = 8808;
    record_header.udp_length = static_cast<uint16_t>(n + RecordHeader::kUdpSize);
    uint8_t bytes[RecordHeader::kSize];
    record_header.encode(bytes);
    m_stream.write(bytes, sizeof(bytes));
    m_stream.write(data, static_cast<std::size_t>(n));
    VORLAN_RETURN_ERROR(check_file(m_stream));
    m_write_ptr = m_stream.write_position();
    VORLAN_RETURN_ERROR(check_file(m_stream));
    return VORLAN_SUCCESS;
}

}  // namespace vorlan_sdk
