// Turns any capture libpcap reads (pcapng, nanosecond or big-endian classic
// files, and every link layer the shared capture reader knows) into the
// classic microsecond little-endian Ethernet capture both libraries read.
//
// Every IPv4/UDP frame is kept with its time, fragments as fragments, so the
// readers reassemble what they always reassemble. What cannot carry a
// datagram (other protocols, frames cut by the capturing tool's snapshot
// length, damaged headers) is counted and left out. The IPv4 header is kept
// as it was, except that options are dropped (the first library reads only
// 20-byte headers), which takes a new header checksum.
#ifndef VORLAN_TOOLS_CAPTURE_CONVERT_H
#define VORLAN_TOOLS_CAPTURE_CONVERT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "capture_reader.h"

namespace vorlan_tool {

struct ConvertOptions {
    // Drop a datagram (or fragment) seen again within `dedup_window_us`: a
    // capture taken on several interfaces at once holds each one twice.
    bool dedup = false;
    int64_t dedup_window_us = 20'000;
};

struct ConvertReport {
    std::string input_form;  // "pcapng", "nanosecond classic", ...
    std::string link;        // name of the input's link layer
    uint64_t records = 0;    // read from the input
    uint64_t written = 0;    // records written
    uint64_t duplicates = 0; // left out by dedup
    // Records left out because they carry no datagram (`incomplete` stays 0:
    // fragments are written as they are).
    vorlan_capture::SkipCounters skipped;
    // What ended the input early (a record cut short); the records before
    // it are converted. Empty when the input ended cleanly.
    std::string damage;
    // Why the conversion failed; empty when it succeeded.
    std::string error;
};

// The form of a capture's first bytes, for messages: "classic", "pcapng",
// "nanosecond classic", "big-endian classic", or "" for anything else.
std::string capture_form(const uint8_t* bytes, std::size_t size);

// Whether `path` is a classic microsecond little-endian Ethernet capture the
// libraries read as it is (false also for files that cannot be read).
bool is_native_capture(const std::string& path);

// Converts `input` into a new file `output`. False with report.error set
// when the input cannot be read or the output written; a partial output is
// removed.
bool convert_capture(const std::string& input, const std::string& output, const ConvertOptions& options,
                     ConvertReport& report);

// The same from an open stream to an open stream. libpcap takes `input`
// over: it is closed when this returns. `output` stays the caller's.
bool convert_capture_stream(std::FILE* input, std::FILE* output, const ConvertOptions& options,
                            ConvertReport& report);

// "12034 records: 12000 written, 30 not UDP, 4 duplicates" for the report.
std::string describe_conversion(const ConvertReport& report);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_CAPTURE_CONVERT_H
