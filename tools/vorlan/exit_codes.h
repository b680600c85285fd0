// The tool's exit codes.
#ifndef VORLAN_TOOLS_EXIT_CODES_H
#define VORLAN_TOOLS_EXIT_CODES_H

namespace vorlan_tool {

// Success, a failure while running (a file, a port, the library), and a
// command line that was not understood.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Stopped by Ctrl-C (or SIGTERM): 128 + SIGINT, as shells report it. What
// was done until then is kept.
constexpr int kExitInterrupted = 130;

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_EXIT_CODES_H
