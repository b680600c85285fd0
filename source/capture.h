// Capture files: classic PCAP (microsecond or nanosecond, either byte order)
// and pcapng files, read datagram by datagram
// through the capture reader both libraries share (every link layer, VLAN
// tags, IPv4 options and fragments it knows), indexed by time through a side
// file so that a replay can seek, and written from received packets with
// synthesised Ethernet, IPv4 and UDP headers.
#ifndef VORLAN_SOURCE_CAPTURE_H
#define VORLAN_SOURCE_CAPTURE_H

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "capture_reader.h"
#include "record_index.h"
#include "record_indexer.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"

namespace vorlan_sdk {

// The first 58 bytes of a record the writer makes: the record header of the
// file, then the Ethernet, IPv4 and UDP headers of the frame it stores. The
// file fields are little-endian; the IPv4 and UDP fields are held in host
// order here.
struct RecordHeader {
    static constexpr std::size_t kFileHeaderSize = 16;                    // record header of the file
    static constexpr std::size_t kEthernetSize = 14;
    static constexpr std::size_t kIpv4Size = 20;                          // without options
    static constexpr std::size_t kUdpSize = 8;
    static constexpr std::size_t kIpOffset = kEthernetSize;               // in the frame
    static constexpr std::size_t kUdpOffset = kIpOffset + kIpv4Size;      // 34
    static constexpr std::size_t kPayloadOffset = kUdpOffset + kUdpSize;  // 42
    static constexpr std::size_t kSize = kFileHeaderSize + kPayloadOffset;  // 58

    uint32_t seconds = 0;
    uint32_t microseconds = 0;
    uint32_t included_length = 0;  // bytes of the frame stored in the file
    uint32_t original_length = 0;  // bytes of the frame on the wire
    uint8_t ethernet_destination[6] = {};
    uint8_t ethernet_source[6] = {};
    uint8_t ethernet_type[2] = {};  // 0x08 0x00 for IPv4
    uint8_t ip_version_length = 0;  // 0x45: version 4, 20-byte header
    uint8_t type_of_service = 0;
    uint16_t total_length = 0;
    uint16_t identification = 0;
    uint16_t flags_offset = 0;  // flags in the top 3 bits, offset in 8-byte units below
    uint8_t time_to_live = 0;
    uint8_t protocol = 0;  // 17 for UDP
    uint16_t header_checksum = 0;
    uint32_t source_address = 0;
    uint32_t destination_address = 0;
    uint16_t source_port = 0;
    uint16_t destination_port = 0;
    uint16_t udp_length = 0;  // UDP header and payload
    uint16_t udp_checksum = 0;

    // Decodes kSize bytes.
    void decode(const uint8_t* bytes);
    // Encodes kSize bytes as they are held, checksum included.
    void encode(uint8_t* bytes) const;
    // The IPv4 header checksum of the fields as they are held.
    uint16_t ipv4_checksum() const;
};

// Reads, indexes and writes one capture file. Not thread-safe: the replay
// engine serialises every call with its own lock.
class Capture {
public:
    // What a read returns with each payload.
    struct PacketHeader {
        uint64_t source_address = 0;  // IPv4 source, host order, in the low 32 bits
        int64_t timestamp = 0;        // absolute µs of the first fragment's record
        int32_t data_size = 0;        // UDP payload bytes
    };

    using PacketIndex = RecordPosition;

    static constexpr uint32_t kMagic = 0xa1b2c3d4;
    static constexpr std::size_t kFileHeaderSize = 24;
    static constexpr uint64_t kIndexVersion = 0;
    static constexpr std::size_t kIndexHeaderSize = 24;
    static constexpr std::size_t kIndexEntrySize = 16;
    // Entries of the side index moved through a stream per call.
    static constexpr std::size_t kIndexChunkEntries = 4096;
    // A UDP payload fits a 16-bit UDP length with its 8-byte header.
    static constexpr int32_t kMaxUdpPayload = 65535 - 8;
    // The snapshot length written in the global header: no record is longer.
    static constexpr uint32_t kSnapshotLength = 65535;
    // The largest payload a written record can carry: with its Ethernet, IPv4
    // and UDP headers the frame must fit the snapshot length, or readers
    // would cut it.
    static constexpr int32_t kMaxWritePayload = int32_t(kSnapshotLength) - 42;
    // Written in every IPv4 header the writer synthesises, as a host
    // sending the datagram would.
    static constexpr uint8_t kTimeToLive = 64;

    Capture() = default;
    ~Capture() { close(); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // The side index of `filename`: the name followed by ".vrn" and the index
    // version ("run.pcap.vrn0").
    static std::string index_filename(const std::string& filename);

    // Opens a capture for reading and starts indexing it in the background
    // (RecordIndexer): its side file is loaded, or rebuilt and rewritten when
    // it is missing or does not match the capture. The first packet can be
    // read at once; the length and the index wait for indexing to finish, a
    // seek only until the records up to its position are indexed. A capture
    // that ends inside a record, or whose record lengths are damaged, opens
    // with the records before that one; its index is rebuilt at every open
    // and not stored, since a stored one could not be checked against the
    // file. A failure leaves the capture closed.
    SensorError open_for_read(const std::string& filename);
    // Opens a capture for writing. Appending to an existing capture adds
    // records after its own (only to a classic microsecond little-endian
    // capture, the form written); a new or empty file gets a global header
    // first.
    SensorError open_for_write(const std::string& filename, bool append);
    void close();

    bool is_open() const { return m_is_read ? m_reader.is_open() : m_out.is_open(); }
    bool is_read() const { return m_is_read; }
    const std::string& filename() const { return m_filename; }

    // Reads up to the next complete datagram. The payload stays valid until
    // the next read, seek or close. VORLAN_ERROR_EOF at the end of the file.
    // A file that ends inside a record (cut short), or holds a record whose
    // stored length cannot be right (longer than the file, or than the frame
    // on the wire), gives every datagram before that record, then
    // VORLAN_ERROR_FILE_IO once, saying where, then VORLAN_ERROR_EOF.
    SensorError next_packet(PacketHeader& header, const uint8_t*& data);
    // next_packet() with the outcome as a bare code: VORLAN_SUCCESS,
    // VORLAN_ERROR_EOF, VORLAN_ERROR_FILE_IO or VORLAN_ERROR_NOT_OPEN. For the
    // replay, which reads packets by the million: making a SensorError costs
    // more than reading a small record. read_failure() gives the message.
    VorlanSensorErrorCode read_packet(PacketHeader& header, const uint8_t*& data);
    // The failure read_packet() just reported as `code`, with what is known
    // about it: for a file that ends inside a record, its offset and time.
    SensorError read_failure(VorlanSensorErrorCode code) const;
    // Reading has reached a record that is cut short or damaged in its length.
    bool cut_short() const { return m_reader.end().kind == vorlan_capture::CaptureReader::End::cut; }
    // Writes one packet as an unfragmented Ethernet/IPv4/UDP frame. A zero
    // timestamp stands for now.
    SensorError append_packet(const PacketHeader& header, const uint8_t* data);
    // Moves the reader to the first record at or after `position` (µs
    // relative to the start time). Position 0 always names the first record.
    SensorError seek(int64_t position);

    // Absolute µs of the first record, time-zone offset included.
    int64_t get_start_time() const { return m_start_time; }
    int64_t get_time_offset() const { return m_time_offset; }
    // Relative µs of the last packet read, or of the sought position.
    int64_t get_position() const { return m_position; }
    // µs from the earliest record to the latest (from the first to the
    // last, unless time goes backwards in the capture); waits until every
    // record is indexed.
    int64_t get_length() const;
    // Waits until every record is indexed.
    const CoarseRecordIndex& get_read_index() const;
    // The indexer of the capture open for reading, or null: a caller that
    // holds a lock others need waits on it (wait_past, wait_done) with the
    // lock released, so that seek and get_length then answer at once.
    std::shared_ptr<RecordIndexer> indexer() const { return m_indexer; }
    // Records that gave no datagram since the capture was opened, by reason.
    const vorlan_capture::SkipCounters& skip_counters() const { return m_reader.counters(); }
    // The first record of zero bytes reading stepped over, with its time as
    // stored (add get_time_offset() for an absolute time).
    const vorlan_capture::CaptureReader::EmptyRecord& first_empty_record() const {
        return m_reader.first_empty_record();
    }
    // The datagrams delivered since the capture was opened.
    const vorlan_capture::Traffic& traffic() const { return m_reader.traffic(); }
    // Copies of sensor datagrams are dropped unless kept; see CaptureReader.
    void set_drop_duplicates(bool drop) { m_reader.set_drop_duplicates(drop); }

private:
    SensorError open_for_read_impl(const std::string& filename);
    SensorError open_for_write_impl(const std::string& filename, bool append);
    SensorError write_file_header();
    // Absolute µs of a record time as stored, time-zone offset included.
    int64_t absolute_time(int64_t stored) const { return stored + m_time_offset; }
    // The header of the record at `pointer` when the whole record lies
    // within the first `file_size` bytes of the file.
    bool whole_record(int64_t pointer, int64_t file_size, vorlan_capture::Record& record);
    // The first record at or after `position` among the `walk.records` from
    // `walk.from`: from the side index when it is on disk, else from the
    // records' own headers. False when none is.
    bool find_record(const CoarseRecordIndex::Walk& walk, int64_t position, PacketIndex& found);
    bool find_in_side_index(const CoarseRecordIndex::Walk& walk, int64_t position, PacketIndex& found);

    std::string m_filename;
    vorlan_capture::CaptureReader m_reader;  // reading
    std::fstream m_out;                      // writing
    bool m_is_read = false;
    // The end of the readable records was reported by read_packet(); it
    // says VORLAN_ERROR_EOF from then on, until a seek.
    bool m_cut_reported = false;
    int64_t m_write_ptr = 0;
    int64_t m_time_offset = 0;
    int64_t m_start_time = 0;
    // Whether m_start_time holds the first record's time: a capture may start
    // at time 0 itself.
    bool m_has_start_time = false;
    int64_t m_position = 0;
    // The first whole record, known at the open before any indexing.
    bool m_has_first = false;
    PacketIndex m_first;
    std::shared_ptr<RecordIndexer> m_indexer;
};

// Reports a failed stream operation and clears the state in every case, so
// the next operation starts afresh (the capture's and its indexer's files).
template <class Stream>
SensorError check_file(Stream& stream) {
    const bool failed = stream.fail();
    stream.clear();
    if (failed) {
        return VORLAN_ERROR_FILE_IO;
    }
    return VORLAN_SUCCESS;
}

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_CAPTURE_H
