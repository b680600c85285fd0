#include "stop_signal.h"

#include <atomic>
#include <csignal>

namespace vorlan_tool {
namespace {

// Lock-free, so the handler may touch it.
std::atomic<bool> g_stop{false};

// The first signal asks for a clean stop; the default action comes back, so
// a second one ends a tool that does not stop.
extern "C" void on_stop_signal(int signal_number) {
    g_stop.store(true);
    std::signal(signal_number, SIG_DFL);
}

}  // namespace

void install_stop_handlers() {
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
}

bool stop_requested() { return g_stop.load(); }
void request_stop() { g_stop.store(true); }
void clear_stop_request() { g_stop.store(false); }

}  // namespace vorlan_tool
