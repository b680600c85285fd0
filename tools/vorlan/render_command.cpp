// `vorlan render FILE --out PNG`: a picture of one frame of a capture,
// through either library.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <vector>

#include "commands.h"
#include "frame_command.h"
#include "frame_lines.h"
#include "frame_source.h"
#include "render.h"
#include "replacing_file.h"

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

}  // namespace

int run_render(const RenderSettings& settings, Console& console) {
    // The picture's place before the capture is read: a mistyped folder or
    // an existing picture is said at once.
    if (!check_output_file(settings.out, settings.force, console, settings.file)) {
        return kExitFailure;
    }
    RenderOptions options;
    parse_colour_by(settings.colour_by, options.colour_by);  // the option's check accepted it
    FrameSourceSettings source_options = source_settings(settings.frames, settings.file, settings.selection, 0);
    std::unique_ptr<FrameSource> source = make_frame_source(settings.frames.library, console);
    if (!source->open(source_options)) {
        return kExitFailure;
    }
    // Frames come one at a time, so the state needs no lock.
    bool found = false;
    std::size_t frames = 0;
    std::size_t chosen_index = 0;
    std::size_t chosen_points = 0;
    std::size_t chosen_valid = 0;
    int64_t chosen_time = 0;
    std::string chosen_sensor;
    std::vector<VorlanSensorImagePoint> points;
    const int code = source->run([&](const Frame& frame) {
        ++frames;
        const bool wanted =
            settings.frame_index >= 0 ? frame.index == static_cast<std::size_t>(settings.frame_index) : frame.whole;
        if (!wanted) {
            return true;
        }
        found = true;
        chosen_index = frame.index;
        chosen_points = frame.n_points;
        chosen_valid = frame.n_valid;
        chosen_time = frame.first_time;
        chosen_sensor = frame.sensor->name;
        image_points_of(frame, points);
        return false;
    });
    if (code == kExitFailure) {
        return code;
    }
    if (!found && code == kExitInterrupted) {
        console.error("interrupted after " + std::to_string(frames) + " frames, before the frame to draw");
        return kExitInterrupted;
    }
    if (!found) {
        console.error(settings.file + ": " +
                      (settings.frame_index >= 0 ? "no frame " + std::to_string(settings.frame_index)
                                                 : std::string("no whole frame")) +
                      " in the capture (it gives " + std::to_string(frames) + " frames)");
        return kExitFailure;
    }
    options.title = chosen_sensor + "  frame " + std::to_string(chosen_index) + "  " + utc_text(chosen_time) + "  " +
                    std::to_string(chosen_valid) + " of " + std::to_string(chosen_points) + " points valid";
    ReplacingFile picture(settings.out);
    std::string error;
    if (!picture.create(error) ||
        !write_png(picture.temporary(), render_frame(points.data(), points.size(), options), error) ||
        !picture.commit(error)) {
        console.error("cannot write the picture " + settings.out + ": " + error);
        return kExitFailure;
    }
    console.line("frame " + std::to_string(chosen_index) + " of sensor " + chosen_sensor + " (" +
                 std::to_string(chosen_points) + " points): top view and range image in " + settings.out);
    return kExitSuccess;
}

}  // namespace vorlan_tool
