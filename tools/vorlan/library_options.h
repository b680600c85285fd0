// The options that choose the library a command runs on (`--sdk 1|2`) and
// how the second library hands out frames (`--fifo N`), with the check that
// the frame options suit the library chosen.
#ifndef VORLAN_TOOLS_LIBRARY_OPTIONS_H
#define VORLAN_TOOLS_LIBRARY_OPTIONS_H

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

#include "commands.h"

namespace vorlan_tool {

struct LibraryOptionText {
    int sdk = 1;
    uint32_t fifo = 0;
};

void add_library_options(CLI::App& command, LibraryOptionText& text);

// The frame options of a parsed command whose frame options were given as
// `frame_mode` (counted by the command's "--frame-mode" option),
// `frame_length` seconds and `multiple_returns`. Throws
// CLI::ValidationError for options that do not suit the library chosen.
FrameOptions resolve_frame_options(const CLI::App& command, const LibraryOptionText& text,
                                   const std::string& frame_mode, float frame_length, bool multiple_returns);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_LIBRARY_OPTIONS_H
