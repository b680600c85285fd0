// `vorlan replay FILE` and `vorlan listen`: sensors and one line per frame,
// from a capture or from live traffic.
#include <chrono>
#include <thread>

#include "capture_run.h"
#include "commands.h"
#include "commands_sdk2.h"
#include "loss_report.h"
#include "stop_signal.h"

namespace vorlan_tool {
namespace {

// How a run ended, after the summary; `extra` goes on the summary line.
void print_end(Session& session, Console& console, std::size_t frame_limit, const std::string& extra = "") {
    console.line(session.summary() + extra);
    if (frame_limit != 0 && session.frame_limit_reached()) {
        console.line("stopped after " + std::to_string(frame_limit) + " frames");
    } else if (stop_requested()) {
        console.line("interrupted");
    }
}

}  // namespace

int run_replay(const ReplaySettings& settings, Console& console) {
    if (settings.library.library == 2) {
        return run_replay_sdk2(settings, console);
    }
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
    if (settings.library.library == 2) {
        return run_listen_sdk2(settings, console);
    }
    LossMeter losses;  // before the socket opens: from its first datagram
    Session session(console);
    session.set_packet_sink([&losses](VorlanSensorHandle, int64_t, const uint8_t*, std::size_t) { losses.handled(); });
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
        if (console.shows_progress()) {
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            console.progress(settings.seconds > 0.0 ? elapsed / settings.seconds : 0.0,
                             "frames " + std::to_string(session.frame_count()) + "  " + format_losses(losses.counts()));
        }
    }
    console.end_progress();
    losses.wait_until_handled(kDrainBound);
    // Read while the socket is open: its buffer's shortfall and the drops.
    const std::string shortfall = receive_buffer_shortfall();
    session.stop();
    print_end(session, console, settings.frame_limit,
              "  " + format_losses(losses.counts()) + (shortfall.empty() ? "" : "  (" + shortfall + ")"));
    return kExitSuccess;
}

}  // namespace vorlan_tool
