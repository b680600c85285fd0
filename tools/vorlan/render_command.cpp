// `vorlan render FILE --out PNG`: a picture of one frame of a capture.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <vector>

#include "capture_run.h"
#include "commands.h"
#include "commands_sdk2.h"
#include "render.h"
#include "stop_signal.h"

namespace vorlan_tool {
namespace {

// "2024-03-01 12:00:00.125 UTC" for a time in µs since 1970.
std::string utc_text(int64_t microseconds) {
    const std::time_t seconds = static_cast<std::time_t>(microseconds / 1000000);
    std::tm parts{};
    if (microseconds < 0 || gmtime_r(&seconds, &parts) == nullptr) {
        return "time unknown";
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(microseconds % 1000000 / 1000));
    return text;
}

// Scales that stay the same for every frame of the sensor: its calibration's
// distance and image clip limits where it sets them, the defaults otherwise.
void take_scales_from(const VorlanCalibration& calibration, RenderOptions& options) {
    if (calibration.distance_clip_max > 0.0f) {
        options.reach = calibration.distance_clip_max;
    }
    if (calibration.image_clip_min_x != 0.0f && calibration.image_clip_max_x > calibration.image_clip_min_x) {
        options.image_x_low = calibration.image_clip_min_x;
        options.image_x_high = calibration.image_clip_max_x;
    }
    if (calibration.image_clip_min_z != 0.0f && calibration.image_clip_max_z > calibration.image_clip_min_z) {
        options.image_z_low = calibration.image_clip_min_z;
        options.image_z_high = calibration.image_clip_max_z;
    }
}

}  // namespace

int run_render(const RenderSettings& settings, Console& console) {
    if (settings.library.library == 2) {
        return run_render_sdk2(settings, console);
    }
    // Frames arrive on this thread (the capture is stepped), so the state
    // needs no lock.
    bool found = false;
    bool scaled = false;
    FrameEvent chosen;
    std::vector<VorlanSensorImagePoint> points;
    RenderOptions options;
    parse_colour_by(settings.colour_by, options.colour_by);  // the option's check accepted it
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
    // Asked between two steps, not from the frame callback: the library
    // still knows the sensor then (closing the capture forgets it).
    const auto done = [&] {
        if (found && !scaled) {
            scaled = true;
            VorlanCalibration calibration{};
            if (vorlan_sdk_get_calibration(chosen.sensor, &calibration) == VORLAN_SUCCESS) {
                take_scales_from(calibration, options);
            }
        }
        return found;
    };
    const int result = run_capture(session, console, capture_run_settings(settings.file, settings.selection), done);
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
    std::size_t valid = 0;
    for (const VorlanSensorImagePoint& point : points) {
        valid += (point.flags & VORLAN_POINT_VALID) != 0 ? 1 : 0;
    }
    options.title = chosen.sensor_name + "  frame " + std::to_string(chosen.index) + "  " +
                    (points.empty() ? std::string() : utc_text(points.front().timestamp) + "  ") +
                    std::to_string(valid) + " of " + std::to_string(points.size()) + " points valid";
    std::string error;
    if (!write_png(settings.out, render_frame(points.data(), points.size(), options), error)) {
        console.error("cannot write the picture: " + error);
        return kExitFailure;
    }
    console.line("frame " + std::to_string(chosen.index) + " of sensor " + chosen.sensor_name + " (" +
                 std::to_string(points.size()) + " points): top view and range image in " + settings.out);
    return kExitSuccess;
}

}  // namespace vorlan_tool
