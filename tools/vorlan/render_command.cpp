// `vorlan render FILE --out PNG`: a picture of one frame of a capture.
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "capture_run.h"
#include "commands.h"
#include "render.h"
#include "stop_signal.h"

namespace vorlan_tool {

int run_render(const RenderSettings& settings, Console& console) {
    // Frames arrive on this thread (the capture is stepped), so the state
    // needs no lock.
    bool found = false;
    FrameEvent chosen;
    std::vector<VorlanSensorImagePoint> points;
    Session session(console);
    session.set_frame_sink([&](const FrameEvent& frame, const VorlanSensorImagePoint* data, std::size_t n) {
        const bool wanted =
            settings.frame_index >= 0 ? frame.index == static_cast<std::size_t>(settings.frame_index) : frame.whole;
        if (!found && wanted) {
            found = true;
            chosen = frame;
            points.assign(data, data + n);
        }
    });
    SessionSettings session_settings;
    session_settings.frames = settings.frames;
    session_settings.print_frames = false;
    session_settings.sensor = settings.selection.sensor;
    if (!session.start(session_settings)) {
        return kExitFailure;
    }
    const int result = run_capture(session, console, capture_run_settings(settings.file, settings.selection),
                                   [&found] { return found; });
    const std::size_t frames = session.frame_count();
    session.stop();
    if (result != kExitSuccess) {
        return result;
    }
    if (!found && stop_requested()) {
        console.error("interrupted after " + std::to_string(frames) + " frames, before the frame to draw");
        return kExitInterrupted;
    }
    if (!found) {
        warn_if_no_sensor_matched(session, console, settings.selection.sensor);
        console.error(settings.file + ": " +
                      (settings.frame_index >= 0 ? "no frame " + std::to_string(settings.frame_index)
                                                 : std::string("no whole frame")) +
                      " in the capture (it gives " + std::to_string(frames) + " frames in mode " +
                      frame_mode_name(settings.frames.mode) + ")");
        return kExitFailure;
    }
    std::string error;
    if (!write_png(settings.out, render_frame(points.data(), points.size()), error)) {
        console.error("cannot write the picture: " + error);
        return kExitFailure;
    }
    console.line("frame " + std::to_string(chosen.index) + " of sensor " + chosen.sensor_name + " (" +
                 std::to_string(points.size()) + " points): top view and range image in " + settings.out);
    return kExitSuccess;
}

}  // namespace vorlan_tool
