// The UDP datagrams of a capture file, in file order: records framed by
// CaptureFile, headers decoded by decode_ipv4, fragments reassembled by
// FragmentReassembler, copies of sensor datagrams dropped by
// DuplicateFilter. Every record that yields no datagram is counted by
// reason, every copy dropped is counted, and what the datagrams were is
// summed up in Traffic. Used by one thread at a time.
#ifndef VORLAN_COMMON_CAPTURE_READER_H
#define VORLAN_COMMON_CAPTURE_READER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "capture_file.h"
#include "duplicate_filter.h"
#include "fragment_reassembler.h"
#include "frame_decoder.h"

namespace vorlan_capture {

// Records that gave no datagram, by reason.
struct SkipCounters {
    uint64_t not_udp = 0;
    uint64_t other_link = 0;
    uint64_t snapshot_cut = 0;
    uint64_t broken_header = 0;  // including a last record cut short by the end of the file
    uint64_t incomplete = 0;     // fragments of datagrams that never completed
    // Datagrams (not records) dropped as copies of one just delivered; not
    // part of total().
    uint64_t duplicates = 0;

    void add(Skip reason, uint64_t records = 1);
    uint64_t total() const { return not_udp + other_link + snapshot_cut + broken_header + incomplete; }
};

// The datagrams delivered, to tell what a capture holds when it holds no
// sensor traffic.
struct Traffic {
    static constexpr std::size_t kPorts = 8;
    uint64_t datagrams = 0;
    uint64_t sensor_datagrams = 0;
    // Destination ports of the other datagrams, the first kPorts seen, with
    // their counts; datagrams to further ports are counted in other_ports.
    uint16_t ports[kPorts] = {};
    uint64_t port_counts[kPorts] = {};
    std::size_t n_ports = 0;
    uint64_t other_ports = 0;
    // Datagrams stamped earlier than the one before them, and the first and
    // last and the earliest and latest times seen (µs as stored).
    uint64_t backward_steps = 0;
    int64_t first_time = 0;
    int64_t last_time = 0;
    int64_t earliest = 0;
    int64_t latest = 0;

    void add(uint16_t destination_port, bool sensor, int64_t time);
};

struct Datagram {
    uint32_t source = 0;       // IPv4 source, host order, first octet most significant
    uint32_t destination = 0;
    uint16_t source_port = 0;
    uint16_t destination_port = 0;
    bool sensor = false;       // the payload starts with a sensor packet type
    int64_t time = 0;          // µs as stored, of the first record holding it
    const uint8_t* payload = nullptr;  // UDP payload; valid until the next call
    std::size_t size = 0;
};

class CaptureReader {
public:
    HeaderStatus open(const std::string& path);
    void close() { m_file.close(); }
    bool is_open() const { return m_file.is_open(); }
    const FileHeader& header() const { return m_file.header(); }

    // Copies of sensor datagrams are dropped unless kept (for a user who
    // studies the network); on by default.
    void set_drop_duplicates(bool drop) { m_drop_duplicates = drop; }
    bool drop_duplicates() const { return m_drop_duplicates; }

    // The next datagram; false at the end of the file. A record cut short by
    // the end of the file, or whose stored length cannot be right, ends it
    // as well, after everything before it: end() tells the two apart.
    bool next(Datagram& datagram);

    // Why next() last returned false.
    struct End {
        enum Kind {
            none,      // it has not: records remain
            clean,     // the last record ends where the file does
            cut,       // a record runs past the end of the file, or claims
                       // more than was on the wire: its length is damaged
            io_error,  // the system could not read the file
        };
        Kind kind = none;
        int64_t offset = 0;     // of the record where reading stopped (cut)
        bool has_time = false;  // its 16-byte header is whole, so `time` is its own
        int64_t time = 0;       // µs as stored
    };
    const End& end() const { return m_end; }

    // Continues with the record at `offset` (which must start a record or
    // a block). Datagrams waiting for fragments are given up.
    void seek(int64_t offset);
    // Offset of the record the next call reads.
    int64_t next_offset() const { return m_next_offset; }

    const SkipCounters& counters() const { return m_counters; }
    const Traffic& traffic() const { return m_traffic; }
    // The first record of zero bytes that next() stepped over since the
    // file was opened (some capturing tools write them): counted among the
    // broken headers, and kept here so that a reader can say where it was.
    struct EmptyRecord {
        bool met = false;
        int64_t offset = 0;
        int64_t time = 0;  // µs as stored
    };
    const EmptyRecord& first_empty_record() const { return m_first_empty; }
    // For walking record headers without decoding them; reading it moves
    // nothing of the reader.
    CaptureFile& file() { return m_file; }

private:
    // Ends the file: datagrams still waiting for fragments are lost.
    void finish(const End& end);
    // Whether a damaged record's stored time can say where the damage is:
    // within the times of the datagrams read so far, or at most a minute
    // after the latest.
    bool plausible_time(int64_t time) const;

    CaptureFile m_file;
    FragmentReassembler m_reassembler;
    DuplicateFilter m_duplicates;
    bool m_drop_duplicates = true;
    SkipCounters m_counters;
    Traffic m_traffic;
    int64_t m_next_offset = kFileHeaderSize;
    bool m_finished = false;
    End m_end;
    EmptyRecord m_first_empty;
};

}  // namespace vorlan_capture

#endif  // VORLAN_COMMON_CAPTURE_READER_H
