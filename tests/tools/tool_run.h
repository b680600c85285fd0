// Runs the whole `vorlan` command line in-process, and writes the small
// capture the command tests replay.
#ifndef VORLAN_TESTS_TOOLS_TOOL_RUN_H
#define VORLAN_TESTS_TOOLS_TOOL_RUN_H

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
