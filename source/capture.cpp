#include "capture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <istream>
#include <limits>
#include <memory>
#include <ostream>

#include "wire_bytes.h"

#define VORLAN_SOURCE_FILE "source/capture"

namespace vorlan_sdk {

namespace {

constexpr int64_t kMicrosecondsPerSecond = 1000000;


const CoarseRecordIndex kNoRecords;

int64_t now_microseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// ---- RecordHeader -----------------------------------------------------------

void RecordHeader::decode(const uint8_t* bytes) {
    seconds = vorlan_common::load_u32le(bytes);
    microseconds = vorlan_common::load_u32le(bytes + 4);
    included_length = vorlan_common::load_u32le(bytes + 8);
    original_length = vorlan_common::load_u32le(bytes + 12);
    std::memcpy(ethernet_destination, bytes + 16, 6);
    std::memcpy(ethernet_source, bytes + 22, 6);
    std::memcpy(ethernet_type, bytes + 28, 2);
    ip_version_length = bytes[30];
    type_of_service = bytes[31];
    total_length = vorlan_common::load_u16be(bytes + 32);
    identification = vorlan_common::load_u16be(bytes + 34);
    flags_offset = vorlan_common::load_u16be(bytes + 36);
    time_to_live = bytes[38];
    protocol = bytes[39];
    header_checksum = vorlan_common::load_u16be(bytes + 40);
    source_address = vorlan_common::load_u32be(bytes + 42);
    destination_address = vorlan_common::load_u32be(bytes + 46);
    source_port = vorlan_common::load_u16be(bytes + 50);
    destination_port = vorlan_common::load_u16be(bytes + 52);
    udp_length = vorlan_common::load_u16be(bytes + 54);
    udp_checksum = vorlan_common::load_u16be(bytes + 56);
}

void RecordHeader::encode(uint8_t* bytes) const {
    vorlan_common::store_u32le(bytes, seconds);
    vorlan_common::store_u32le(bytes + 4, microseconds);
    vorlan_common::store_u32le(bytes + 8, included_length);
    vorlan_common::store_u32le(bytes + 12, original_length);
    std::memcpy(bytes + 16, ethernet_destination, 6);
    std::memcpy(bytes + 22, ethernet_source, 6);
    std::memcpy(bytes + 28, ethernet_type, 2);
    bytes[30] = ip_version_length;
    bytes[31] = type_of_service;
    vorlan_common::store_u16be(bytes + 32, total_length);
    vorlan_common::store_u16be(bytes + 34, identification);
    vorlan_common::store_u16be(bytes + 36, flags_offset);
    bytes[38] = time_to_live;
    bytes[39] = protocol;
    vorlan_common::store_u16be(bytes + 40, header_checksum);
    vorlan_common::store_u32be(bytes + 42, source_address);
    vorlan_common::store_u32be(bytes + 46, destination_address);
    vorlan_common::store_u16be(bytes + 50, source_port);
    vorlan_common::store_u16be(bytes + 52, destination_port);
    vorlan_common::store_u16be(bytes + 54, udp_length);
    vorlan_common::store_u16be(bytes + 56, udp_checksum);
}

uint16_t RecordHeader::ipv4_checksum() const {
    uint8_t bytes[kSize];
    RecordHeader copy = *this;
    copy.header_checksum = 0;
    copy.encode(bytes);
    // The ones' complement of the ones' complement sum of the header's
    // 16-bit words, the checksum field counted as zero.
    const uint8_t* header = bytes + kFileHeaderSize + kIpOffset;
    uint32_t sum = 0;
    for (std::size_t i = 0; i < kIpv4Size; i += 2) {
        sum += vorlan_common::load_u16be(header + i);
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
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
    m_reader.close();
    if (m_out.is_open()) {
        m_out.close();
    }
    m_out.clear();
    m_filename.clear();
    m_is_read = false;
    m_cut_reported = false;
    m_write_ptr = 0;
    m_time_offset = 0;
    m_start_time = 0;
    m_has_start_time = false;
    m_position = 0;
    m_has_first = false;
    m_first = PacketIndex();
    if (m_indexer) {
        // Whoever still holds it waits no longer.
        m_indexer->stop();
        m_indexer.reset();
    }
}

SensorError Capture::open_for_read_impl(const std::string& filename) {
    close();
    m_filename = filename;
    m_is_read = true;
    switch (m_reader.open(filename)) {
        case vorlan_capture::HeaderStatus::ok:
            break;
        case vorlan_capture::HeaderStatus::too_short:
            // Missing, unreadable, or too short for a global header.
            return VORLAN_ERROR_FILE_IO;
        default:
            return VORLAN_ERROR_INVALID_FILE_TYPE;
    }
    m_position = 0;
    m_time_offset = static_cast<int64_t>(m_reader.header().time_zone_seconds) * kMicrosecondsPerSecond;

    // The first record gives the start time; the rest is indexed behind the
    // replay.
    const int64_t file_size = m_reader.file().size();
    VORLAN_CHECK(file_size >= 0, VORLAN_ERROR_FILE_IO, "Cannot tell the capture's size!");
    vorlan_capture::Record first;
    if (RecordIndexer::lies_whole(m_reader.file().read(m_reader.file().first_offset(), first, false), first,
                                  file_size)) {
        m_start_time = absolute_time(first.time);
        m_has_start_time = true;
        m_has_first = true;
        m_first = PacketIndex{0, first.offset};
    }
    try {
        m_indexer = std::make_shared<RecordIndexer>(
            RecordIndexer::Source{filename, index_filename(filename), m_time_offset});
    } catch (const std::exception&) {
        return SensorError(VORLAN_ERROR_GENERIC, "Cannot start indexing the capture!");
    }
    VORLAN_RETURN_ERROR(m_indexer->wait_for_foreground());
    return VORLAN_SUCCESS;
}

SensorError Capture::open_for_write_impl(const std::string& filename, bool append) {
    close();
    m_filename = filename;
    m_is_read = false;
    m_out.open(filename, append ? std::ios::in | std::ios::out | std::ios::app | std::ios::binary
                                : std::ios::out | std::ios::trunc | std::ios::binary);
    VORLAN_RETURN_ERROR(check_file(m_out));
    int64_t existing = 0;
    if (append) {
        m_out.seekg(0, std::ios::end);
        existing = static_cast<int64_t>(m_out.tellg());
        VORLAN_RETURN_ERROR(check_file(m_out));
    }
    if (existing == 0) {
        // A new file, or an empty one to append to: without the global header
        // no reader would take the records.
        VORLAN_RETURN_ERROR(write_file_header());
        return VORLAN_SUCCESS;
    }
    // Records join an existing capture only if it is one, and carry times in
    // its time zone.
    uint8_t bytes[kFileHeaderSize] = {};
    m_out.seekg(0);
    m_out.read(reinterpret_cast<char*>(bytes), sizeof(bytes));
    VORLAN_RETURN_ERROR(check_file(m_out));
    vorlan_capture::FileHeader header;
    if (vorlan_capture::parse_file_header(bytes, sizeof(bytes), header) != vorlan_capture::HeaderStatus::ok) {
        return VORLAN_ERROR_INVALID_FILE_TYPE;
    }
    m_time_offset = static_cast<int64_t>(header.time_zone_seconds) * kMicrosecondsPerSecond;
    // Going from reading to writing needs a seek; appended records go to the end.
    m_out.seekp(0, std::ios::end);
    VORLAN_RETURN_ERROR(check_file(m_out));
    m_write_ptr = existing;
    return VORLAN_SUCCESS;
}

SensorError Capture::write_file_header() {
    uint8_t bytes[kFileHeaderSize] = {};
    vorlan_common::store_u32le(bytes, kMagic);
    vorlan_common::store_u16le(bytes + 4, 2);      // major version
    vorlan_common::store_u16le(bytes + 6, 4);      // minor version
    vorlan_common::store_u32le(bytes + 8, 0);      // time zone offset, seconds
    vorlan_common::store_u32le(bytes + 12, 0);     // timestamp accuracy
    vorlan_common::store_u32le(bytes + 16, kSnapshotLength);
    vorlan_common::store_u32le(bytes + 20, 1);     // link type: Ethernet
    m_out.write(reinterpret_cast<const char*>(bytes), sizeof(bytes));
    VORLAN_RETURN_ERROR(check_file(m_out));
    m_write_ptr = static_cast<int64_t>(m_out.tellp());
    VORLAN_RETURN_ERROR(check_file(m_out));
    return VORLAN_SUCCESS;
}

// ---- Capture: the read index --------------------------------------------------

bool Capture::whole_record(int64_t pointer, int64_t file_size, vorlan_capture::Record& record) {
    return RecordIndexer::lies_whole(m_reader.file().read(pointer, record, false), record, file_size) &&
           record.offset == pointer;
}

int64_t Capture::get_length() const {
    if (!m_indexer) {
        return 0;
    }
    m_indexer->wait_done();
    return m_indexer->extent();
}

const CoarseRecordIndex& Capture::get_read_index() const {
    if (!m_indexer) {
        return kNoRecords;
    }
    m_indexer->wait_done();
    return m_indexer->index();
}

bool Capture::find_record(const CoarseRecordIndex::Walk& walk, int64_t position, PacketIndex& found) {
    if (m_indexer->on_disk() && find_in_side_index(walk, position, found)) {
        return true;
    }
    const int64_t file_size = m_reader.file().size();
    PacketIndex at = walk.from;
    vorlan_capture::Record record;
    for (std::size_t step = 0; step < walk.records; ++step) {
        if (at.timestamp >= position) {
            found = at;
            return true;
        }
        if (step + 1 == walk.records || !whole_record(at.pointer, file_size, record)) {
            break;
        }
        // The next record, past any blocks that hold no packet.
        if (!RecordIndexer::lies_whole(m_reader.file().read(record.next_offset(), record, false), record,
                                       file_size)) {
            break;
        }
        at.pointer = record.offset;
        at.timestamp = absolute_time(record.time) - m_start_time;
    }
    return false;
}

bool Capture::find_in_side_index(const CoarseRecordIndex::Walk& walk, int64_t position, PacketIndex& found) {
    std::ifstream f(index_filename(m_filename), std::ios::in | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(kIndexHeaderSize + walk.first * kIndexEntrySize));
    uint8_t chunk[kIndexChunkEntries * kIndexEntrySize];
    for (std::size_t done = 0; done < walk.records;) {
        const std::size_t n = std::min(kIndexChunkEntries, walk.records - done);
        f.read(reinterpret_cast<char*>(chunk), static_cast<std::streamsize>(n * kIndexEntrySize));
        if (!f) {
            // Gone or changed since it was loaded: the records tell.
            return false;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const PacketIndex entry{vorlan_common::load_i64le(chunk + i * kIndexEntrySize),
                                    vorlan_common::load_i64le(chunk + i * kIndexEntrySize + 8)};
            if (entry.timestamp >= position) {
                // Only a record of this capture: the file may have been
                // replaced since it was checked at the open.
                vorlan_capture::Record record;
                const int64_t file_size = m_reader.file().size();
                if (!whole_record(entry.pointer, file_size, record)) {
                    return false;
                }
                found = entry;
                return true;
            }
        }
        done += n;
    }
    // None at or after `position`: the end, as the index says.
    found = PacketIndex();
    return false;
}

// ---- Capture: reading ---------------------------------------------------------

SensorError Capture::next_packet(PacketHeader& packet_header, const uint8_t*& packet_data) {
    const VorlanSensorErrorCode code = read_packet(packet_header, packet_data);
    if (code == VORLAN_SUCCESS) {
        return VORLAN_SUCCESS;
    }
    return read_failure(code);
}

VorlanSensorErrorCode Capture::read_packet(PacketHeader& packet_header, const uint8_t*& packet_data) {
    if (!m_is_read || !m_reader.is_open()) {
        return VORLAN_ERROR_NOT_OPEN;
    }
    vorlan_capture::Datagram datagram;
    if (!m_reader.next(datagram)) {
        switch (m_reader.end().kind) {
            case vorlan_capture::CaptureReader::End::cut:
                if (m_cut_reported) {
                    return VORLAN_ERROR_EOF;
                }
                m_cut_reported = true;
                return VORLAN_ERROR_FILE_IO;
            case vorlan_capture::CaptureReader::End::io_error:
                return VORLAN_ERROR_FILE_IO;
            default:
                return VORLAN_ERROR_EOF;
        }
    }
    packet_header.source_address = datagram.source;
    packet_header.timestamp = absolute_time(datagram.time);
    packet_header.data_size = static_cast<int32_t>(datagram.size);
    if (!m_has_start_time) {
        // Records appended after the file was opened and indexed empty.
        m_start_time = packet_header.timestamp;
        m_has_start_time = true;
    }
    m_position = packet_header.timestamp - m_start_time;
    packet_data = datagram.payload;
    return VORLAN_SUCCESS;
}

SensorError Capture::read_failure(VorlanSensorErrorCode code) const {
    const vorlan_capture::CaptureReader::End& end = m_reader.end();
    if (code != VORLAN_ERROR_FILE_IO || end.kind != vorlan_capture::CaptureReader::End::cut) {
        return code;
    }
    // The time of the record where reading stopped; one cut inside its own
    // header has none, and the last whole record's time stands for it.
    // Reading has got past every record, so the indexer has indexed them all
    // but for a last few.
    const int64_t at = end.has_time ? absolute_time(end.time) - m_start_time : (m_indexer ? m_indexer->latest() : 0);
    char message[192];
    std::snprintf(message, sizeof(message),
                  "Capture cut short or damaged at %.6f s (record at byte %lld): no record after it can be read!",
                  static_cast<double>(at) * 1e-6, static_cast<long long>(end.offset));
    return SensorError(code, message);
}

SensorError Capture::seek(int64_t position) {
    if (!is_open() || !m_is_read) {
        return VORLAN_ERROR_NOT_OPEN;
    }
    // Position 0 is the first record even when every record shares its time,
    // so a capture of one packet can be rewound.
    PacketIndex at;
    if (position == 0 && m_has_first) {
        at = m_first;
    } else {
        VORLAN_CHECK(position >= 0, VORLAN_ERROR_INVALID_ARGUMENTS, "Invalid seek position!");
        // From the coarse index to a record at or before the one sought,
        // then over the record headers to the first at or after `position`.
        m_indexer->wait_past(position);
        bool valid = false;
        const CoarseRecordIndex::Walk walk = m_indexer->plan_seek(position, valid);
        VORLAN_CHECK(valid, VORLAN_ERROR_INVALID_ARGUMENTS, "Invalid seek position!");
        if (!find_record(walk, position, at)) {
            return VORLAN_ERROR_EOF;
        }
    }
    m_position = at.timestamp;
    m_reader.seek(at.pointer);
    m_cut_reported = false;
    return VORLAN_SUCCESS;
}

// ---- Capture: writing -----------------------------------------------------------

SensorError Capture::append_packet(const PacketHeader& header, const uint8_t* data) {
    if (m_is_read || !m_out.is_open()) {
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
    record_header.time_to_live = kTimeToLive;
    record_header.protocol = 17;
    record_header.source_address = static_cast<uint32_t>(header.source_address);
    record_header.destination_address = 0xffffffff;
    record_header.source_port = 443;
    record_header.destination_port = 8808;
    record_header.udp_length = static_cast<uint16_t>(n + RecordHeader::kUdpSize);
    record_header.header_checksum = record_header.ipv4_checksum();
    uint8_t bytes[RecordHeader::kSize];
    record_header.encode(bytes);
    m_out.write(reinterpret_cast<const char*>(bytes), sizeof(bytes));
    if (n > 0) {
        m_out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    }
    VORLAN_RETURN_ERROR(check_file(m_out));
    m_write_ptr = static_cast<int64_t>(m_out.tellp());
    VORLAN_RETURN_ERROR(check_file(m_out));
    return VORLAN_SUCCESS;
}

}  // namespace vorlan_sdk
