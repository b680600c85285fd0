#include "capture_check.h"

#include <algorithm>

#include "capture_report.h"
#include "recent_datagrams.h"

namespace vorlan_tool {
namespace {

// A silence is worth a word when it lasts this many usual intervals, and at
// least kMinGapUs: host receive times of a recording jitter by milliseconds.
constexpr int64_t kGapIntervals = 5;
constexpr int64_t kMinGapUs = 10'000;
// A silence of two frame periods of a 10 Hz sensor covers at least one whole
// frame whatever its phase: frames are missing. Shorter silences are mostly
// the recording host being busy (the socket keeps the datagrams and hands
// them over in a burst afterwards), so they are noted, not held against the
// capture.
constexpr int64_t kLongGapUs = 200'000;

bool is_type_character(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

std::string packet_kind(const uint8_t* payload, std::size_t size) {
    if (size < 4 || !std::all_of(payload, payload + 4, is_type_character)) {
        return "other";
    }
    return std::string(reinterpret_cast<const char*>(payload), 4);
}

bool is_information(const std::string& kind) { return kind.compare(0, 3, "INF") == 0; }
bool is_point_data(const std::string& kind) { return kind.compare(0, 3, "STD") == 0 || kind == "STA0"; }

struct SenderState {
    SenderTraffic traffic;
    // Of point data where the sender sends any (information packets come at
    // their own pace, and the first point data follows them only after the
    // scanner started), otherwise of every datagram.
    std::vector<int64_t> data_times;
    std::vector<int64_t> other_times;
    RecentDatagrams recent;
};

void finish_sender(SenderState& state) {
    SenderTraffic& traffic = state.traffic;
    const std::vector<int64_t>& times = state.data_times.empty() ? state.other_times : state.data_times;
    if (times.size() >= 2) {
        const int64_t span = *std::max_element(times.begin(), times.end()) - *std::min_element(times.begin(), times.end());
        traffic.usual_interval_us = span / int64_t(times.size() - 1);
    }
    const int64_t gap_limit = std::max(kMinGapUs, kGapIntervals * traffic.usual_interval_us);
    const int64_t long_gap_limit = std::max(kLongGapUs, gap_limit);
    for (std::size_t i = 1; i < times.size(); ++i) {
        const int64_t step = times[i] - times[i - 1];
        if (step < 0) {
            ++traffic.clock_jumps;
            traffic.largest_jump_us = std::max(traffic.largest_jump_us, -step);
        } else if (step >= long_gap_limit) {
            ++traffic.gaps;
            traffic.longest_gap_us = std::max(traffic.longest_gap_us, step);
        } else if (step > gap_limit) {
            ++traffic.short_gaps;
            traffic.longest_short_gap_us = std::max(traffic.longest_short_gap_us, step);
        }
    }
}

}  // namespace

std::string dotted_address(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xff) + "." +
           std::to_string((address >> 8) & 0xff) + "." + std::to_string(address & 0xff);
}

std::string link_type_name(uint32_t link_type) {
    switch (link_type) {
        case vorlan_capture::kLinkEthernet: return "Ethernet";
        case vorlan_capture::kLinkBsdLoopback: return "BSD loopback";
        case vorlan_capture::kLinkRawIp: return "raw IP";
        case vorlan_capture::kLinkIpv4: return "raw IPv4";
        case vorlan_capture::kLinkLinuxCooked: return "Linux cooked";
        case vorlan_capture::kLinkLinuxCooked2: return "Linux cooked v2";
        default: return "link type " + std::to_string(link_type) + " (no IPv4 readable)";
    }
}

std::string describe_skipped(const vorlan_capture::SkipCounters& skipped) {
    const std::pair<uint64_t, const char*> reasons[] = {
        {skipped.not_udp, "not IPv4/UDP"},
        {skipped.other_link, "of a link layer that carries no IPv4"},
        {skipped.snapshot_cut, "cut by the snapshot length"},
        {skipped.broken_header, "with broken headers"},
        {skipped.incomplete, "fragments of datagrams that never completed"},
    };
    std::string text;
    for (const auto& reason : reasons) {
        if (reason.first != 0) {
            text += (text.empty() ? "" : ", ") + std::to_string(reason.first) + " " + reason.second;
        }
    }
    return text;
}

std::vector<std::string> CaptureCheck::problems() const {
    std::vector<std::string> found;
    if (!error.empty()) {
        found.push_back(error);
        return found;
    }
    if (records == 0) {
        found.push_back("the capture holds no records");
    } else if (datagrams == 0) {
        found.push_back("no record gives a datagram");
    } else if (sensor_datagrams == 0) {
        found.push_back("no sensor datagram: " + holdings);
    }
    if (skipped.total() != 0) {
        found.push_back(std::to_string(skipped.total()) + " records give no datagram: " + describe_skipped(skipped));
    }
    if (last_record_cut) {
        found.push_back("the last record is cut short (the recording was interrupted)");
    }
    for (const SenderTraffic& sender : senders) {
        const std::string who = dotted_address(sender.address) + ": ";
        if (sender.gaps != 0) {
            found.push_back(who + std::to_string(sender.gaps) + " gaps, the longest " +
                            std::to_string(sender.longest_gap_us / 1000) + " ms");
        }
        if (sender.clock_jumps != 0) {
            found.push_back(who + std::to_string(sender.clock_jumps) + " clock jumps backwards, the largest " +
                            std::to_string(sender.largest_jump_us / 1000) + " ms");
        }
        if (sender.duplicates != 0) {
            found.push_back(who + std::to_string(sender.duplicates) + " duplicated datagrams");
        }
        if (!sender.has_information && sender.kinds.size() != 0 &&
            std::any_of(sender.kinds.begin(), sender.kinds.end(),
                        [](const auto& kind) { return is_point_data(kind.first); })) {
            found.push_back(who + "no information packet at all: its points cannot be calibrated");
        }
    }
    return found;
}

std::vector<std::string> CaptureCheck::notes() const {
    std::vector<std::string> found;
    if (!error.empty()) {
        return found;
    }
    for (const SenderTraffic& sender : senders) {
        const std::string who = dotted_address(sender.address) + ": ";
        if (sender.short_gaps != 0) {
            found.push_back(who + std::to_string(sender.short_gaps) + " short gaps, the longest " +
                            std::to_string(sender.longest_short_gap_us / 1000) + " ms");
        }
        // Without any information packet this is a problem, said there.
        if (sender.data_before_information != 0 && sender.has_information) {
            found.push_back(who + std::to_string(sender.data_before_information) +
                            " point data packets before any information packet (the recording began mid-stream)");
        }
    }
    return found;
}

CaptureCheck check_capture(const std::string& path) {
    CaptureCheck check;
    vorlan_capture::CaptureReader reader;
    const vorlan_capture::HeaderStatus status = reader.open(path);
    if (status != vorlan_capture::HeaderStatus::ok) {
        check.error = "not a capture file (classic PCAP or pcapng)";
        return check;
    }
    // Copies are what this check looks for: the reader must not drop them.
    reader.set_drop_duplicates(false);
    check.link_type = reader.header().link_type;
    const vorlan_capture::FileHeader& header = reader.header();
    check.form = header.pcapng       ? "pcapng"
                 : header.nanosecond ? (header.big_endian ? "big-endian nanosecond classic" : "nanosecond classic")
                 : header.big_endian ? "big-endian classic"
                                     : "classic";

    std::map<uint32_t, SenderState> senders;
    vorlan_capture::Datagram datagram;
    while (reader.next(datagram)) {
        ++check.datagrams;
        SenderState& state = senders[datagram.source];
        SenderTraffic& traffic = state.traffic;
        if (traffic.datagrams == 0) {
            traffic.address = datagram.source;
            traffic.first_time = datagram.time;
            traffic.last_time = datagram.time;
        }
        ++traffic.datagrams;
        traffic.bytes += datagram.size;
        // The real extent: after a clock jump backwards the last datagram
        // in the file is not the latest.
        traffic.first_time = std::min(traffic.first_time, datagram.time);
        traffic.last_time = std::max(traffic.last_time, datagram.time);
        const std::string kind = packet_kind(datagram.payload, datagram.size);
        (is_point_data(kind) ? state.data_times : state.other_times).push_back(datagram.time);
        ++traffic.kinds[kind];
        if (is_information(kind)) {
            traffic.has_information = true;
        } else if (is_point_data(kind) && !traffic.has_information) {
            ++traffic.data_before_information;
        }
        // Only sensor traffic counts: time and name services repeat
        // themselves on any network.
        if (datagram.sensor) {
            ++check.sensor_datagrams;
            DatagramHash hash;
            hash.add(datagram.payload, datagram.size);
            if (state.recent.seen_again(hash.value(), datagram.time)) {
                ++traffic.duplicates;
            }
        }
    }
    check.skipped = reader.counters();
    if (check.sensor_datagrams == 0) {
        check.holdings = vorlan_capture::describe_holdings(reader.traffic(), check.skipped);
    }

    // The record headers once more, for the count, the span and the end.
    vorlan_capture::CaptureFile& file = reader.file();
    int64_t offset = file.first_offset();
    for (;;) {
        vorlan_capture::Record record;
        const vorlan_capture::RecordStatus read = file.read(offset, record);
        if (read == vorlan_capture::RecordStatus::cut) {
            check.last_record_cut = true;
            if (check.skipped.broken_header != 0) {
                --check.skipped.broken_header;  // the reader counts it there
            }
            break;
        }
        if (read != vorlan_capture::RecordStatus::ok && read != vorlan_capture::RecordStatus::oversized) {
            break;
        }
        if (check.records == 0) {
            check.first_time = record.time;
        }
        check.first_time = std::min(check.first_time, record.time);
        check.last_time = std::max(check.last_time, record.time);
        ++check.records;
        offset = record.next_offset();
    }
    for (auto& entry : senders) {
        finish_sender(entry.second);
        check.senders.push_back(entry.second.traffic);
    }
    return check;
}

}  // namespace vorlan_tool
