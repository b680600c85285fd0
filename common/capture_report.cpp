#include "capture_report.h"

#include <utility>

namespace vorlan_capture {

namespace {

std::string counted(uint64_t n, const char* one, const char* many) {
    return with_thousands(n) + " " + (n == 1 ? one : many);
}

void append(std::string& text, const std::string& part) {
    text += (text.empty() ? "" : ", ") + part;
}

// Every reason a record gave no datagram, "30 records not IPv4/UDP, ...".
std::string describe_skips(const SkipCounters& counters) {
    std::string text;
    const std::pair<uint64_t, const char*> reasons[] = {
        {counters.snapshot_cut, "cut by the snapshot length"},
        {counters.not_udp, "not IPv4/UDP"},
        {counters.other_link, "of a link layer without IPv4"},
        {counters.incomplete, "of datagrams that could not be reassembled"},
        {counters.broken_header, "with broken headers"},
    };
    for (const auto& reason : reasons) {
        if (reason.first != 0) {
            append(text, counted(reason.first, "record", "records") + " " + reason.second);
        }
    }
    return text;
}

}  // namespace

std::string with_thousands(uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = int(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(std::size_t(at), ",");
    }
    return digits;
}

std::string describe_losses(const SkipCounters& counters) {
    std::string text;
    if (counters.duplicates != 0) {
        append(text, counted(counters.duplicates, "duplicated sensor datagram", "duplicated sensor datagrams") +
                         " dropped");
    }
    const std::pair<uint64_t, const char*> reasons[] = {
        {counters.snapshot_cut, "cut by the snapshot length"},
        {counters.incomplete, "of datagrams that could not be reassembled"},
        {counters.broken_header, "with broken headers"},
    };
    for (const auto& reason : reasons) {
        if (reason.first != 0) {
            append(text, counted(reason.first, "record", "records") + " " + reason.second);
        }
    }
    return text;
}

std::string describe_holdings(const Traffic& traffic, const SkipCounters& counters) {
    std::string text;
    if (traffic.datagrams == 0) {
        text = "no UDP datagram";
    } else {
        text = counted(traffic.datagrams, "UDP datagram", "UDP datagrams");
        if (traffic.n_ports != 0) {
            text += traffic.n_ports == 1 && traffic.other_ports == 0 ? " to port " : " to ports ";
            for (std::size_t i = 0; i < traffic.n_ports; ++i) {
                text += (i == 0 ? "" : ", ") + std::to_string(traffic.ports[i]);
            }
            if (traffic.other_ports != 0) {
                text += " and others";
            }
        }
        text += "; none from a sensor";
    }
    const std::string skips = describe_skips(counters);
    if (!skips.empty()) {
        text += " (" + skips + ")";
    }
    return text;
}

}  // namespace vorlan_capture
