// `vorlan view`: a capture or live sensors in 3D, in a browser page the tool
// serves on this host.
#ifndef VORLAN_TOOLS_VIEW_COMMAND_H
#define VORLAN_TOOLS_VIEW_COMMAND_H

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

#include "console.h"
#include "library_options.h"
#include "sources/frame_source.h"

namespace vorlan_tool {

struct ViewSettings {
    FrameSourceSettings source;
    std::string bind = "127.0.0.1";
    uint16_t web_port = 0;  // 0: a free port
};

// The command line as typed, before it is checked against the library.
struct ViewOptionText {
    ViewSettings settings;
    std::string frame_mode = "sweep";
    bool port_given = false;
    LibraryOptionText library;
};

CLI::App* add_view_command(CLI::App& app, ViewOptionText& text);
// After parsing: the settings the options make. Throws CLI::ValidationError
// for options that do not go together.
ViewSettings resolve_view_options(const CLI::App& command, const ViewOptionText& text);

int run_view(const ViewSettings& settings, Console& console);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_VIEW_COMMAND_H
