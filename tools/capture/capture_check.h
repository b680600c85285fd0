// What a capture file holds and what is wrong with it, from the datagrams
// alone (no decoding of sensor packets): the traffic of each sender, and the
// records that give no datagram, by reason, as the shared capture reader
// counts them. `vorlan check` prints it; replay uses it to explain a capture
// that gives nothing.
#ifndef VORLAN_TOOLS_CAPTURE_CHECK_H
#define VORLAN_TOOLS_CAPTURE_CHECK_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "capture_reader.h"

namespace vorlan_tool {

// One sender's datagrams, in file order.
struct SenderTraffic {
    uint32_t address = 0;  // IPv4, first octet most significant
    uint64_t datagrams = 0;
    uint64_t bytes = 0;
    // By packet type, the four characters a payload starts with ("other" for
    // payloads that start with none).
    std::map<std::string, uint64_t> kinds;
    int64_t first_time = 0;  // µs as stored, of the earliest and the latest datagram
    int64_t last_time = 0;
    // How often the sender usually sends point data (the span over the
    // packets less one); for a sender of no point data, any datagram. Gaps
    // and clock jumps are judged on the same packets.
    int64_t usual_interval_us = 0;
    // Silences long enough to miss whole frames: a problem.
    uint64_t gaps = 0;
    int64_t longest_gap_us = 0;
    // Silences much longer than the usual interval but shorter than a gap
    // (a busy recording host): a note.
    uint64_t short_gaps = 0;
    int64_t longest_short_gap_us = 0;
    // Datagrams stamped earlier than the one before them.
    uint64_t clock_jumps = 0;
    int64_t largest_jump_us = 0;
    // Datagrams equal to one the sender sent shortly before.
    uint64_t duplicates = 0;
    // Point data that came before the sender's first information packet:
    // nothing can decode it. Normal when a recording starts mid-stream.
    uint64_t data_before_information = 0;
    bool has_information = false;
};

struct CaptureCheck {
    std::string error;  // the file could not be read at all; nothing else is set
    std::string form;   // "classic", "pcapng", "nanosecond classic", "big-endian classic"
    uint32_t link_type = 0;
    uint64_t records = 0;
    uint64_t datagrams = 0;
    uint64_t sensor_datagrams = 0;  // of them, sensor packets
    // What the capture holds when it holds no sensor datagram, in words.
    std::string holdings;
    int64_t first_time = 0;  // of the first and last record, µs as stored
    int64_t last_time = 0;
    vorlan_capture::SkipCounters skipped;  // the cut last record is not among them
    bool last_record_cut = false;
    std::vector<SenderTraffic> senders;  // by address

    // One line per problem, in words; none when every record gives a
    // datagram and no sender shows a fault.
    std::vector<std::string> problems() const;
    // What is worth knowing but does not make the capture less usable: a
    // recording begun mid-stream, short silences.
    std::vector<std::string> notes() const;
};

// Reads a capture of any form and link type the shared reader knows.
CaptureCheck check_capture(const std::string& path);

// "30 not IPv4/UDP, 2 cut by the snapshot length" for the records that give
// no datagram; empty when there are none.
std::string describe_skipped(const vorlan_capture::SkipCounters& skipped);

// "192.168.1.201"
std::string dotted_address(uint32_t address);

// A name for a capture link type: "Ethernet", "Linux cooked", ...
std::string link_type_name(uint32_t link_type);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_CAPTURE_CHECK_H
