// `vorlan check FILE [--json]`: what a capture holds (its sensors, as the
// library decodes them) and what is wrong with it (records without a
// datagram, gaps, clock jumps, duplicates, data nothing can calibrate).
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <sstream>

#include "capture_check.h"
#include "capture_sensors.h"
#include "commands.h"
#include "frame_source_core.h"

namespace vorlan_tool {
namespace {

// "2024-03-01 12:00:00.000 UTC"
std::string utc_time(int64_t us) {
    const std::time_t seconds = static_cast<std::time_t>(us / 1000000);
    std::tm parts{};
    if (gmtime_r(&seconds, &parts) == nullptr) {
        return std::to_string(us) + " us";
    }
    char text[48];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>((us % 1000000) / 1000));
    return text;
}

// "12:00:00.000", for times within the day the header line gives.
std::string clock_time(int64_t us) {
    const std::string full = utc_time(us);
    return full.size() > 23 ? full.substr(11, 12) : full;
}

std::string seconds_text(int64_t us, const char* format = "%.2f s") {
    char text[32];
    std::snprintf(text, sizeof(text), format, static_cast<double>(us) * 1e-6);
    return text;
}

std::string number(double value, const char* format) {
    char text[32];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string json_counts(const std::map<std::string, uint64_t>& counts) {
    std::string out = "{";
    for (const auto& entry : counts) {
        out += (out.size() > 1 ? ", " : "") + json_string(entry.first) + ": " + std::to_string(entry.second);
    }
    return out + "}";
}

std::string text_counts(const std::map<std::string, uint64_t>& counts) {
    std::string out;
    for (const auto& entry : counts) {
        out += (out.empty() ? "" : ", ") + entry.first + " " + std::to_string(entry.second);
    }
    return out;
}

// Everything the command found, the two passes joined.
struct Findings {
    std::string form;
    std::string link;
    CaptureCheck check;
    DecodedCapture decoded;
    std::set<uint32_t> addresses;  // every sender or sensor seen
    std::vector<std::string> problems;

    const SenderTraffic* traffic(uint32_t address) const {
        for (const SenderTraffic& sender : check.senders) {
            if (sender.address == address) {
                return &sender;
            }
        }
        return nullptr;
    }
    const DecodedSensor* sensor(uint32_t address) const {
        const auto found = decoded.sensors.find(address);
        return found != decoded.sensors.end() ? &found->second : nullptr;
    }
};

Findings find(const std::string& path) {
    Findings findings;
    findings.check = check_capture(path);
    CaptureCheck& check = findings.check;
    findings.form = check.form;
    findings.link = link_type_name(check.link_type);
    findings.problems = check.problems();
    if (check.error.empty() && check.datagrams != 0) {
        findings.decoded = decode_capture(path);
        if (!findings.decoded.error.empty()) {
            findings.problems.push_back(findings.decoded.error);
        }
    }
    for (const SenderTraffic& sender : check.senders) {
        findings.addresses.insert(sender.address);
    }
    for (const auto& entry : findings.decoded.sensors) {
        findings.addresses.insert(entry.first);
        for (const auto& fault : entry.second.faults) {
            findings.problems.push_back(dotted_address(entry.first) + ": the library reported " +
                                        std::to_string(fault.second) + " x " + fault.first);
        }
    }
    return findings;
}

void print_text(const std::string& file, const Findings& findings, Console& console) {
    const CaptureCheck& check = findings.check;
    if (!check.error.empty()) {
        console.line(file + ": " + check.error);
    } else {
        console.line(file + ": " + findings.form + " capture, " + findings.link + ", " + std::to_string(check.records) +
                     " records over " + seconds_text(check.last_time - check.first_time) + ", " +
                     utc_time(check.first_time) + " to " + utc_time(check.last_time));
    }
    console.line(std::to_string(findings.decoded.sensors.size()) + " sensors:");
    for (const auto& entry : findings.decoded.sensors) {
        const DecodedSensor& sensor = entry.second;
        const VorlanSensorInformation& info = sensor.information;
        std::string line = "  " + dotted_address(entry.first) + "  ";
        if (sensor.informed) {
            char identity[160];
            std::snprintf(identity, sizeof(identity), "%.27s (model %u)  serial %" PRIu64 "  firmware %.27s  %s",
                          info.model_name[0] != '\0' ? info.model_name : "unknown model",
                          static_cast<unsigned>(info.model), static_cast<uint64_t>(info.serial_number),
                          info.firmware_version,
                          (info.flags & VORLAN_SENSOR_INFO_IS_CALIBRATED) != 0 ? "calibrated" : "not calibrated");
            line += identity;
        } else {
            line += "no information packet";
        }
        line += "  " + number(sensor.frames_per_second(), "%.1f") + " frames/s  " +
                number(sensor.points_per_frame(), "%.0f") + " points/frame";
        if (const SenderTraffic* traffic = findings.traffic(entry.first)) {
            line += "  " + clock_time(traffic->first_time) + "-" + clock_time(traffic->last_time);
        }
        console.line(line);
    }
    console.line("traffic:");
    for (const SenderTraffic& sender : check.senders) {
        const double span = static_cast<double>(sender.last_time - sender.first_time) * 1e-6;
        console.line("  " + dotted_address(sender.address) + "  " + std::to_string(sender.datagrams) + " datagrams (" +
                     text_counts(sender.kinds) + ")  " +
                     number(span > 0.0 ? static_cast<double>(sender.datagrams - 1) / span : 0.0, "%.1f") +
                     "/s  usual interval " + number(static_cast<double>(sender.usual_interval_us) * 1e-3, "%.2f") +
                     " ms  gaps " + std::to_string(sender.gaps) + "  clock jumps " +
                     std::to_string(sender.clock_jumps) + "  duplicates " + std::to_string(sender.duplicates) +
                     "  data before information " + std::to_string(sender.data_before_information));
    }
    if (check.error.empty()) {
        const std::string skipped = describe_skipped(check.skipped);
        console.line("file: " + std::to_string(check.records) + " records, " + std::to_string(check.datagrams) +
                     " datagrams, " + std::to_string(check.skipped.total()) + " records without a datagram" +
                     (skipped.empty() ? "" : " (" + skipped + ")") + ", last record " +
                     (check.last_record_cut ? "cut short" : "whole"));
    }
    if (findings.problems.empty()) {
        console.line("usable: every record gives a datagram and no sensor shows a problem");
        return;
    }
    console.line(std::to_string(findings.problems.size()) + " problems:");
    for (const std::string& problem : findings.problems) {
        console.line("  " + problem);
    }
}

void print_json(const std::string& file, const Findings& findings, Console& console) {
    const CaptureCheck& check = findings.check;
    const vorlan_capture::SkipCounters& skipped = check.skipped;
    std::ostringstream out;
    out << "{\n  \"file\": " << json_string(file) << ",\n  \"form\": " << json_string(findings.form)
        << ",\n  \"link\": " << json_string(findings.link) << ",\n  \"records\": " << check.records
        << ",\n  \"datagrams\": " << check.datagrams << ",\n  \"first_time_us\": " << check.first_time
        << ",\n  \"last_time_us\": " << check.last_time << ",\n  \"skipped\": {\"not_udp\": " << skipped.not_udp
        << ", \"other_link\": " << skipped.other_link << ", \"snapshot_cut\": " << skipped.snapshot_cut
        << ", \"broken_header\": " << skipped.broken_header << ", \"incomplete\": " << skipped.incomplete
        << "},\n  \"last_record_cut\": " << (check.last_record_cut ? "true" : "false") << ",\n  \"sensors\": [";
    bool first = true;
    for (const uint32_t address : findings.addresses) {
        out << (first ? "\n" : ",\n") << "    {\"address\": " << json_string(dotted_address(address));
        first = false;
        if (const DecodedSensor* sensor = findings.sensor(address)) {
            const VorlanSensorInformation& info = sensor->information;
            if (sensor->informed) {
                out << ", \"model_name\": " << json_string(std::string(info.model_name, strnlen(info.model_name, 28)))
                    << ", \"model\": " << info.model << ", \"serial\": " << info.serial_number
                    << ", \"firmware\": "
                    << json_string(std::string(info.firmware_version, strnlen(info.firmware_version, 28)))
                    << ", \"calibrated\": "
                    << ((info.flags & VORLAN_SENSOR_INFO_IS_CALIBRATED) != 0 ? "true" : "false");
            }
            out << ", \"frames\": " << sensor->frames << ", \"frames_per_second\": "
                << number(sensor->frames_per_second(), "%.3f") << ", \"points_per_frame\": "
                << number(sensor->points_per_frame(), "%.1f") << ", \"faults\": " << json_counts(sensor->faults)
                << ", \"errors\": " << json_counts(sensor->errors);
        }
        if (const SenderTraffic* traffic = findings.traffic(address)) {
            out << ", \"datagrams\": " << traffic->datagrams << ", \"kinds\": " << json_counts(traffic->kinds)
                << ", \"first_time_us\": " << traffic->first_time << ", \"last_time_us\": " << traffic->last_time
                << ", \"usual_interval_us\": " << traffic->usual_interval_us << ", \"gaps\": " << traffic->gaps
                << ", \"longest_gap_us\": " << traffic->longest_gap_us << ", \"clock_jumps\": " << traffic->clock_jumps
                << ", \"largest_jump_us\": " << traffic->largest_jump_us << ", \"duplicates\": " << traffic->duplicates
                << ", \"data_before_information\": " << traffic->data_before_information;
        }
        out << "}";
    }
    out << (first ? "" : "\n  ") << "],\n  \"problems\": [";
    for (std::size_t i = 0; i < findings.problems.size(); ++i) {
        out << (i == 0 ? "" : ", ") << json_string(findings.problems[i]);
    }
    out << "],\n  \"usable\": " << (findings.problems.empty() ? "true" : "false") << "\n}";
    console.line(out.str());
}

}  // namespace

int run_check(const CheckSettings& settings, Console& console) {
    if (!check_capture_file(settings.file, console)) {
        return kExitFailure;
    }
    const Findings findings = find(settings.file);
    if (settings.json) {
        print_json(settings.file, findings, console);
    } else {
        print_text(settings.file, findings, console);
    }
    return findings.problems.empty() ? kExitSuccess : kExitFailure;
}

}  // namespace vorlan_tool
