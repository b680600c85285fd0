// The command line of `vorlan`: parses the arguments, runs the subcommand
// and returns the exit code. Kept apart from main() so that tests run the
// whole tool in-process.
#ifndef VORLAN_TOOLS_CLI_H
#define VORLAN_TOOLS_CLI_H

#include <ostream>

namespace vorlan_tool {

// `terminal`: standard output is a terminal, so progress bars are drawn.
int run_cli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_CLI_H
