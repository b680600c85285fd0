// The command line of `vorlan publish`: its options, their checks and the
// run, kept beside the command so that the tool's parser only registers it.
#ifndef VORLAN_TOOLS_PUBLISH_CLI_H
#define VORLAN_TOOLS_PUBLISH_CLI_H

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

#include "console.h"
#include "library_options.h"
#include "publish_command.h"

namespace vorlan_tool {

class PublishCli {
public:
    // Adds `publish` and its options to `app`.
    explicit PublishCli(CLI::App& app);

    bool chosen() const { return m_command->parsed(); }
    // After parsing: fills the settings from options that depend on each
    // other. Throws CLI::ValidationError for a combination that cannot be.
    void resolve();
    // Opens the frame source and publishes until it ends.
    int run(Console& console);

    const PublishSettings& settings() const { return m_settings; }

private:
    CLI::App* m_command = nullptr;
    PublishSettings m_settings;
    std::string m_frame_mode = "sweep";
    long m_domain = -1;
    int m_port = 0;
    LibraryOptionText m_library;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_PUBLISH_CLI_H
