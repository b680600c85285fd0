// Capture files: classic microsecond PCAP files of Ethernet frames carrying
// IPv4/UDP datagrams, read packet by packet with IPv4 reassembly, indexed by
// time through a side file so that a replay can seek, and written from
// received packets with synthesised Ethernet, IPv4 and UDP headers.
#ifndef VORLAN_SOURCE_CAPTURE_H
#define VORLAN_SOURCE_CAPTURE_H

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iosfwd>
#include <string>
#include <unordered_map>
#include <vector>

#include "vorlan_sdk_impl/vorlan_sdk.hpp"

namespace vorlan_sdk {

// The first 58 bytes of a record: the record header of the file, then the
// Ethernet, IPv4 and UDP headers of the frame it stores. The file fields are
// little-endian; the IPv4 and UDP fields are held in host order here.
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
    // Encodes kSize bytes.
    void encode(uint8_t* bytes) const;

    // An Ethernet frame with a 20-byte IPv4 header carrying UDP: the only
    // records that hold sensor datagrams.
    bool is_ipv4_udp() const;
    bool more_fragments() const { return ((flags_offset >> 13) & 1) != 0; }
    // Offset of this fragment's data in the datagram's IPv4 payload, in bytes.
    int32_t fragment_offset() const { return static_cast<int32_t>(flags_offset & 0x1fff) * 8; }
};

// A file read through a large window, so that walking a capture costs one
// system call per window instead of several per record, and written
// sequentially. Used by one thread at a time.
class CaptureStream {
public:
    // Holds the largest datagram payload a record can carry (reads are never
    // longer), and is small enough to stay in the processor's cache while it
    // is read: the system copies each window into it and the reader then
    // walks it.
    static constexpr std::size_t kWindowSize = std::size_t(1) << 17;

    CaptureStream() = default;
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    // Opening failures set the fail state.
    void open_for_read(const std::string& filename);
    // `append` keeps the file's bytes and writes after them; the file may be
    // read too.
    void open_for_write(const std::string& filename, bool append);
    void close();
    bool is_open() const { return m_file.is_open(); }

    // Fail or bad state left by an operation since the last clear().
    bool fail() const { return m_fail || m_file.fail(); }
    void clear();

    // True when no byte lies at `pointer`.
    bool is_eof(int64_t pointer);
    // The `size` bytes at `pointer`, valid until the next call. Null, with the
    // fail state set, when the file ends first or `size` exceeds kWindowSize.
    const uint8_t* read(int64_t pointer, std::size_t size) {
        const uint8_t* bytes = buffered(pointer, size);
        return bytes != nullptr ? bytes : read_through(pointer, size);
    }
    // The `size` bytes at `pointer` if the window holds them already, else
    // null; touches neither the file nor the fail state. A record costs so
    // little to decode that a call into the file's machinery would be most of
    // its time.
    const uint8_t* buffered(int64_t pointer, std::size_t size) const {
        if (pointer >= m_window_start && size > 0) {
            const uint64_t skip = static_cast<uint64_t>(pointer - m_window_start);
            if (skip <= m_window_size && size <= m_window_size - skip) {
                return m_window.data() + skip;
            }
        }
        return nullptr;
    }
    // Appends `size` bytes at the write position.
    void write(const uint8_t* data, std::size_t size);
    int64_t write_position();
    // Bytes in the file, or -1 with the fail state set.
    int64_t file_size();

private:
    // read() of bytes the window does not hold: loads the window from
    // `pointer` on.
    const uint8_t* read_through(int64_t pointer, std::size_t size);
    // Loads the window with the bytes from `pointer` on.
    void fill(int64_t pointer);

    std::fstream m_file;
    std::vector<uint8_t> m_window;  // allocated once, on the first read
    int64_t m_window_start = 0;     // file offset of m_window[0]
    std::size_t m_window_size = 0;  // valid bytes in m_window
    bool m_fail = false;
    // The last operation wrote: a read must seek first, and the other way round.
    bool m_writing = false;
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

    // Reassembly of the datagram arriving from one source address.
    struct PacketData {
        uint16_t ip_id = 0;
        bool more_fragments = false;  // a continuation is awaited
        int32_t size = 0;             // payload bytes received so far
        int32_t expected_size = 0;    // UDP length - 8
        int32_t n_fragments = 0;
        PacketHeader header;
        std::vector<uint8_t> data;  // only ever grows, so steady reads do not allocate
    };

    // One record of the file: its time relative to the capture's start time
    // and its byte offset.
    struct PacketIndex {
        int64_t timestamp = 0;
        int64_t pointer = 0;
    };

    static constexpr uint32_t kMagic = 0xa1b2c3d4;
    static constexpr std::size_t kFileHeaderSize = 24;
    static constexpr uint64_t kIndexVersion = 0;
    static constexpr std::size_t kIndexHeaderSize = 24;
    static constexpr std::size_t kIndexEntrySize = 16;
    // A UDP payload fits a 16-bit UDP length with its 8-byte header.
    static constexpr int32_t kMaxUdpPayload = 65535 - 8;
    // The snapshot length written in the global header: no record is longer.
    static constexpr uint32_t kSnapshotLength = 65535;
    // The largest payload a written record can carry: with its Ethernet, IPv4
    // and UDP headers the frame must fit the snapshot length, or readers
    // would cut it.
    static constexpr int32_t kMaxWritePayload = int32_t(kSnapshotLength) - 42;
    // Source addresses whose reassembly state is kept; a file with more
    // distinct senders starts over with an empty table, so a hostile file
    // cannot make memory grow with its size.
    static constexpr std::size_t kMaxSources = 1024;

    Capture() = default;
    ~Capture() { close(); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // The side index of `filename`: the name followed by ".vrn" and the index
    // version ("run.pcap.vrn0").
    static std::string index_filename(const std::string& filename);

    // Opens a capture for reading and loads its index, rebuilding and
    // rewriting the side file when it is missing or does not match the
    // capture. A failure leaves the capture closed.
    SensorError open_for_read(const std::string& filename);
    // Opens a capture for writing. Appending to an existing capture adds
    // records after its own; a new or empty file gets a global header first.
    SensorError open_for_write(const std::string& filename, bool append);
    void close();

    bool is_open() const { return m_stream.is_open(); }
    bool is_read() const { return m_is_read; }
    const std::string& filename() const { return m_filename; }

    // Reads up to the next complete datagram. The payload points into the
    // reassembly buffer of its source address and stays valid until the next
    // read from that address or close (in a file with more than kMaxSources
    // senders, until the next read). VORLAN_ERROR_EOF at the end of the file.
    SensorError next_packet(PacketHeader& header, const uint8_t*& data);
    // next_packet() with the outcome as a bare code: VORLAN_SUCCESS,
    // VORLAN_ERROR_EOF, VORLAN_ERROR_FILE_IO or VORLAN_ERROR_NOT_OPEN (the
    // errors carry no message either way). For the replay, which reads
    // packets by the million: making a SensorError costs more than reading a
    // small record.
    VorlanSensorErrorCode read_packet(PacketHeader& header, const uint8_t*& data);
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
    // Relative µs of the last record.
    int64_t get_length() const { return m_length; }
    const std::vector<PacketIndex>& get_read_index() const { return m_read_index; }

    SensorError build_read_index();
    SensorError load_read_index(std::istream& f);
    SensorError save_read_index(std::ostream& f);

private:
    SensorError open_for_read_impl(const std::string& filename);
    SensorError open_for_write_impl(const std::string& filename, bool append);
    SensorError read_file_header();
    SensorError write_file_header();
    // How reading one record ended.
    enum class RecordRead { packet, skipped, end_of_file, failed };
    // Reads the record at m_read_ptr and moves past it; `packet` when it
    // completes a datagram, handed out as next_packet() does. After `failed`
    // the stream's fail state is still set.
    RecordRead read_record(PacketHeader& header, const uint8_t*& data);
    // The reassembly state of `address`, created when `create` is set; null
    // otherwise when there is none.
    PacketData* find_packet_data(uint32_t address, bool create);
    // Absolute µs of a record, time-zone offset included.
    int64_t record_time(const RecordHeader& record_header) const;

    std::string m_filename;
    CaptureStream m_stream;
    bool m_is_read = false;
    int64_t m_read_ptr = 0;
    int64_t m_write_ptr = 0;
    int64_t m_time_offset = 0;
    int64_t m_start_time = 0;
    // Whether m_start_time holds the first record's time: a capture may start
    // at time 0 itself.
    bool m_has_start_time = false;
    int64_t m_position = 0;
    int64_t m_length = 0;
    std::vector<PacketIndex> m_read_index;
    std::unordered_map<uint32_t, PacketData> m_packets;
    // The last source looked up: sensors send long runs from one address.
    uint32_t m_last_address = 0;
    PacketData* m_last_packet = nullptr;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_CAPTURE_H
