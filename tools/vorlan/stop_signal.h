// Ctrl-C and SIGTERM end a running command cleanly: the command sees the
// request between steps, stops the library and prints its summary.
#ifndef VORLAN_TOOLS_STOP_SIGNAL_H
#define VORLAN_TOOLS_STOP_SIGNAL_H

namespace vorlan_tool {

// Installs handlers for SIGINT and SIGTERM that set the request flag; a
// second signal of the same kind ends the process.
void install_stop_handlers();

bool stop_requested();
// Sets the flag as a signal would; tests and commands use it.
void request_stop();
// Clears the flag before a command starts.
void clear_stop_request();

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_STOP_SIGNAL_H
