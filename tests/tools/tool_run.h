// Runs the whole `vorlan` command line in-process, and writes the small
// capture the command tests replay.
#ifndef VORLAN_TESTS_TOOLS_TOOL_RUN_H
#define VORLAN_TESTS_TOOLS_TOOL_RUN_H

#include <initializer_list>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli.h"
#include "sim_sinks.h"
#include "simulator.h"

namespace vorlan_tool {

struct ToolResult {
    int code = -1;
    std::string out;
    std::string err;
};

inline ToolResult run_tool(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"vorlan"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    std::ostringstream out;
    std::ostringstream err;
    ToolResult result;
    result.code = run_cli(static_cast<int>(argv.size()), argv.data(), out, err, false);
    result.out = out.str();
    result.err = err.str();
    return result;
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The lines of `text` that begin with one of `prefixes`.
inline std::vector<std::string> lines_beginning(const std::string& text, std::initializer_list<const char*> prefixes) {
    std::vector<std::string> lines;
    for (const std::string& line : lines_of(text)) {
        for (const char* prefix : prefixes) {
            if (line.rfind(prefix, 0) == 0) {
                lines.push_back(line);
                break;
            }
        }
    }
    return lines;
}

// The frame lines a command prints ("frame 12    sensor ...").
inline std::vector<std::string> frame_lines_of(const std::string& out) { return lines_beginning(out, {"frame "}); }

// The frame lines and the summary line ("sensors 8  frames 76  ...").
inline std::vector<std::string> frames_and_summary_of(const std::string& out) {
    return lines_beginning(out, {"frame ", "sensors "});
}

// A frame line read: "frame 12    sensor 192.168.1.201 serial 900001  points   9216  valid ...  span 0.100 s ...".
struct FrameLine {
    std::size_t index = 0;
    std::string sensor;  // "192.168.1.201 serial 900001"
    std::size_t points = 0;
    double span = 0.0;  // seconds
};

inline std::vector<FrameLine> parsed_frames(const std::string& out) {
    static const std::regex frame_line(
        "frame ([0-9]+) +sensor ([0-9.]+ serial [0-9]+)  points +([0-9]+)  .*span ([0-9.]+) s.*");
    std::vector<FrameLine> frames;
    for (const std::string& line : lines_of(out)) {
        std::smatch match;
        if (std::regex_match(line, match, frame_line)) {
            frames.push_back({std::stoul(match[1]), match[2], std::stoul(match[3]), std::stod(match[4])});
        }
    }
    return frames;
}

// The summary line, or "" when there is none.
inline std::string summary_line_of(const std::string& out) {
    const std::vector<std::string> lines = lines_beginning(out, {"sensors "});
    return lines.empty() ? std::string() : lines.front();
}

// The simulator's four sensors for `seconds`, written as a capture.
inline void write_sim_capture(const std::string& path, double seconds = 0.5, uint64_t seed = 1) {
    SimulatorOptions options;
    options.seed = seed;
    options.seconds = seconds;
    CaptureFileSink sink(path);
    run_simulation(options, sink);
    if (!sink.close()) {
        throw std::runtime_error(sink.error());
    }
}

}  // namespace vorlan_tool

#endif  // VORLAN_TESTS_TOOLS_TOOL_RUN_H
