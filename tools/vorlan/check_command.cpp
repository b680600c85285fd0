// `vorlan check FILE [--json]`: what a capture holds (its sensors of both
// generations, each as its own library decodes it) and what is wrong with it
// (records without a datagram, gaps, clock jumps, duplicates, data nothing
// can calibrate), apart from what is merely worth knowing (a recording begun
// mid-stream, short silences of a busy recording host).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <sstream>

#include "capture_census.h"
#include "capture_check.h"
#include "capture_sensors.h"
#include "commands.h"
#include "first_library_facts.h"
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

// One sensor as the list shows it: first-generation sensors as the first
// library decodes them, second-generation ones as the second does, each
// with its firmware in that library's form.
struct ListedSensor {
    int library = 1;
    bool informed = false;
    SensorFacts facts;
    bool calibrated = false;     // first library
    unsigned channels_seen = 0;  // second library: what its points name
    uint64_t frames = 0;
    double frames_per_second = 0.0;
    double points_per_frame = 0.0;
    // First library: its faults and other errors about the sensor, by name.
    std::map<std::string, uint64_t> faults;
    std::map<std::string, uint64_t> errors;
};

// Everything the command found, the passes joined.
struct Findings {
    std::string form;
    std::string link;
    CaptureCheck check;
    DecodedCapture decoded;
    CaptureCensus census;
    std::map<uint32_t, ListedSensor> sensors;
    std::set<uint32_t> addresses;  // every sender or sensor seen
    std::vector<std::string> problems;
    std::vector<std::string> notes;

    const SenderTraffic* traffic(uint32_t address) const {
        for (const SenderTraffic& sender : check.senders) {
            if (sender.address == address) {
                return &sender;
            }
        }
        return nullptr;
    }
    const ListedSensor* sensor(uint32_t address) const {
        const auto found = sensors.find(address);
        return found != sensors.end() ? &found->second : nullptr;
    }
};

void list_sensors(Findings& findings) {
    for (const auto& entry : findings.decoded.sensors) {
        const DecodedSensor& decoded = entry.second;
        ListedSensor& listed = findings.sensors[entry.first];
        listed.library = 1;
        listed.informed = decoded.informed;
        if (decoded.informed) {
            listed.facts = first_library_facts(decoded.information);
        }
        listed.calibrated = (decoded.information.flags & VORLAN_SENSOR_INFO_IS_CALIBRATED) != 0;
        listed.frames = decoded.frames;
        listed.frames_per_second = decoded.frames_per_second();
        listed.points_per_frame = decoded.points_per_frame();
        listed.faults = decoded.faults;
        listed.errors = decoded.errors;
    }
    // The second library reads the second generation only; a sender the
    // first library knows who it is stays as that library reports it.
    for (const auto& entry : findings.census.sensors) {
        const CensusSensor& counted = entry.second;
        const auto known = findings.sensors.find(entry.first);
        if (known != findings.sensors.end() && known->second.informed) {
            continue;
        }
        ListedSensor& listed = findings.sensors[entry.first];
        listed = ListedSensor();
        listed.library = 2;
        listed.informed = true;
        listed.facts = counted.facts;
        listed.channels_seen = counted.channels_seen;
        listed.frames = counted.frames;
        listed.frames_per_second = counted.frames_per_second();
        listed.points_per_frame = counted.points_per_frame();
    }
}

Findings find(const std::string& path) {
    Findings findings;
    findings.check = check_capture(path);
    CaptureCheck& check = findings.check;
    findings.form = check.form;
    findings.link = link_type_name(check.link_type);
    findings.problems = check.problems();
    findings.notes = check.notes();
    if (check.error.empty() && check.datagrams != 0) {
        findings.decoded = decode_capture(path);
        if (!findings.decoded.error.empty()) {
            findings.problems.push_back(findings.decoded.error);
        }
        findings.census = take_census(path, 2);
        // A capture damaged for one library is damaged for both: one word
        // of it is enough.
        if (!findings.census.error.empty() && findings.decoded.error.empty()) {
            findings.problems.push_back("the second library: " + findings.census.error);
        }
    }
    list_sensors(findings);
    // Sensor packets that no library makes a sensor of (information packets
    // it refuses) leave nothing to use.
    const bool any_informed = std::any_of(findings.sensors.begin(), findings.sensors.end(),
                                          [](const auto& entry) { return entry.second.informed; });
    if (check.sensor_datagrams != 0 && !any_informed && findings.decoded.error.empty() &&
        findings.census.error.empty()) {
        findings.problems.push_back("neither library finds a sensor in its " + std::to_string(check.sensor_datagrams) +
                                    " sensor datagrams");
    }
    for (const SenderTraffic& sender : check.senders) {
        findings.addresses.insert(sender.address);
    }
    for (const auto& entry : findings.sensors) {
        findings.addresses.insert(entry.first);
    }
    for (const auto& entry : findings.decoded.sensors) {
        for (const auto& fault : entry.second.faults) {
            findings.problems.push_back(dotted_address(entry.first) + ": the library reported " +
                                        std::to_string(fault.second) + " x " + fault.first);
        }
    }
    return findings;
}

// "channels 16", or for a sensor whose information gives no count while its
// points name channels, "channels 0 (has 16; its model code gives no count)"
// as the simulator says it.
std::string channels_text(const ListedSensor& sensor) {
    std::string text = "channels " + std::to_string(sensor.facts.channels);
    if (sensor.facts.channels == 0 && sensor.channels_seen != 0) {
        text += " (has " + std::to_string(sensor.channels_seen) + "; its model code gives no count)";
    }
    return text;
}

// "TQ50-S (model 3)  serial 900001  firmware 3.100.0  channels 8"
std::string identity_text(const ListedSensor& sensor) {
    const SensorFacts& facts = sensor.facts;
    return (facts.model.empty() ? std::string("unknown model") : facts.model) + " (model " +
           std::to_string(facts.model_number) + ")  serial " + std::to_string(facts.serial_number) + "  firmware " +
           (facts.firmware.empty() ? std::string("unknown") : facts.firmware) + "  " + channels_text(sensor);
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
    console.line(std::to_string(findings.sensors.size()) + " sensors:");
    for (const auto& entry : findings.sensors) {
        const ListedSensor& sensor = entry.second;
        std::string line = "  " + dotted_address(entry.first) + "  ";
        if (sensor.informed) {
            line += identity_text(sensor) + "  library " + std::to_string(sensor.library);
            if (sensor.library == 1) {
                line += sensor.calibrated ? "  calibrated" : "  not calibrated";
            }
        } else {
            line += "no information packet";
        }
        line += "  " + number(sensor.frames_per_second, "%.1f") + " frames/s  " +
                number(sensor.points_per_frame, "%.0f") + " points/frame";
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
                     " ms  gaps " + std::to_string(sender.gaps) + "  short gaps " + std::to_string(sender.short_gaps) +
                     "  clock jumps " + std::to_string(sender.clock_jumps) + "  duplicates " +
                     std::to_string(sender.duplicates) + "  data before information " +
                     std::to_string(sender.data_before_information));
    }
    if (check.error.empty()) {
        const std::string skipped = describe_skipped(check.skipped);
        console.line("file: " + std::to_string(check.records) + " records, " + std::to_string(check.datagrams) +
                     " datagrams, " + std::to_string(check.skipped.total()) + " records without a datagram" +
                     (skipped.empty() ? "" : " (" + skipped + ")") + ", last record " +
                     (check.last_record_cut ? "cut short" : "whole"));
    }
    if (!findings.notes.empty()) {
        console.line(std::to_string(findings.notes.size()) + (findings.notes.size() == 1 ? " note:" : " notes:"));
        for (const std::string& note : findings.notes) {
            console.line("  " + note);
        }
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
        if (const ListedSensor* sensor = findings.sensor(address)) {
            const SensorFacts& facts = sensor->facts;
            out << ", \"library\": " << sensor->library;
            if (sensor->informed) {
                out << ", \"model_name\": " << json_string(facts.model) << ", \"model\": " << facts.model_number
                    << ", \"serial\": " << facts.serial_number << ", \"firmware\": " << json_string(facts.firmware)
                    << ", \"channels\": " << facts.channels;
                if (sensor->library == 1) {
                    out << ", \"calibrated\": " << (sensor->calibrated ? "true" : "false");
                } else {
                    out << ", \"channels_in_points\": " << sensor->channels_seen;
                }
            }
            out << ", \"frames\": " << sensor->frames << ", \"frames_per_second\": "
                << number(sensor->frames_per_second, "%.3f") << ", \"points_per_frame\": "
                << number(sensor->points_per_frame, "%.1f");
            if (sensor->library == 1) {
                out << ", \"faults\": " << json_counts(sensor->faults) << ", \"errors\": " << json_counts(sensor->errors);
            }
        }
        if (const SenderTraffic* traffic = findings.traffic(address)) {
            out << ", \"datagrams\": " << traffic->datagrams << ", \"kinds\": " << json_counts(traffic->kinds)
                << ", \"first_time_us\": " << traffic->first_time << ", \"last_time_us\": " << traffic->last_time
                << ", \"usual_interval_us\": " << traffic->usual_interval_us << ", \"gaps\": " << traffic->gaps
                << ", \"longest_gap_us\": " << traffic->longest_gap_us << ", \"short_gaps\": " << traffic->short_gaps
                << ", \"longest_short_gap_us\": " << traffic->longest_short_gap_us
                << ", \"clock_jumps\": " << traffic->clock_jumps
                << ", \"largest_jump_us\": " << traffic->largest_jump_us << ", \"duplicates\": " << traffic->duplicates
                << ", \"data_before_information\": " << traffic->data_before_information;
        }
        out << "}";
    }
    out << (first ? "" : "\n  ") << "],\n  \"problems\": [";
    for (std::size_t i = 0; i < findings.problems.size(); ++i) {
        out << (i == 0 ? "" : ", ") << json_string(findings.problems[i]);
    }
    out << "],\n  \"notes\": [";
    for (std::size_t i = 0; i < findings.notes.size(); ++i) {
        out << (i == 0 ? "" : ", ") << json_string(findings.notes[i]);
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
