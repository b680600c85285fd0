// Capture reading in words, for the reports of both libraries: what was
// lost or dropped, and what a capture holds when it holds no sensor traffic.
#ifndef VORLAN_COMMON_CAPTURE_REPORT_H
#define VORLAN_COMMON_CAPTURE_REPORT_H

#include <cstdint>
#include <string>

#include "capture_reader.h"

namespace vorlan_capture {

// "1,234"
std::string with_thousands(uint64_t value);

// What reading left out of the data: "3 duplicated sensor datagrams
// dropped, 40 records cut by the snapshot length, 2 records of datagrams
// that could not be reassembled, 1 record with broken headers"; empty when
// nothing was. Records of other traffic (not IPv4/UDP, other link layers)
// are not losses and are not named.
std::string describe_losses(const SkipCounters& counters);

// What a capture without sensor datagrams holds: "1,234 UDP datagrams to
// ports 53, 123, 5353; none from a sensor (40 records cut by the snapshot
// length)", or "no UDP datagram (30 records not IPv4/UDP)".
std::string describe_holdings(const Traffic& traffic, const SkipCounters& counters);

}  // namespace vorlan_capture

#endif  // VORLAN_COMMON_CAPTURE_REPORT_H
