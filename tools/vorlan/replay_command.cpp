// `vorlan replay FILE` and `vorlan listen`: sensors and one line per frame,
// from a capture or from live traffic.
#include <chrono>
#include <thread>

#include "capture_run.h"
#include "commands.h"
#include "stop_signal.h"

namespace vorlan_tool {
namespace {

// How a run ended, after the summary.
void print_end(Session& session, Console& console, std::size_t frame_limit) {
    console.line(session.summary());
    if (frame_limit != 0 && session.frame_limit_reached()) {
        console.line("stopped after " + std::to_string(frame_limit) + " frames");
    } else if (stop_requested()) {
        console.line("interrupted");
    }
}

}  // namespace

int run_replay(const ReplaySettings& settings, Console& console) {
    Session session(console);
    SessionSettings session_settings;
    session_settings.frames = settings.frames;
    session_settings.frame_limit = settings.frame_limit;
    session_settings.sensor = settings.selection.sensor;
    if (!session.start(session_settings)) {
        return kExitFailure;
    }
    CaptureRunSettings run = capture_run_settings(settings.file, settings.selection);
    run.loop = settings.loop;
    const int result = run_capture(session, console, run);
    session.stop();
    if (result == kExitSuccess) {
        warn_if_no_sensor_matched(session, console, settings.selection.sensor);
        print_end(session, console, settings.frame_limit);
    }
    return result;
}

int run_listen(const ListenSettings& settings, Console& console) {
    Session session(console);
    SessionSettings session_settings;
    session_settings.network = true;
    session_settings.port = settings.port;
    session_settings.frames = settings.frames;
    session_settings.frame_limit = settings.frame_limit;
    if (!session.start(session_settings)) {
        return kExitFailure;
    }
    console.line("listening on UDP port " + std::to_string(settings.port) + "  frame mode " +
                 frame_mode_name(settings.frames.mode) + (settings.seconds > 0.0 ? "" : "  (Ctrl-C stops)"));
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::duration<double>(settings.seconds);
    // The frame options are applied from the session's packet callback; this
    // thread only watches for the end.
    while (!stop_requested() && !session.frame_limit_reached() &&
           (settings.seconds <= 0.0 || std::chrono::steady_clock::now() - start < limit)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    session.stop();
    print_end(session, console, settings.frame_limit);
    return kExitSuccess;
}

}  // namespace vorlan_tool
