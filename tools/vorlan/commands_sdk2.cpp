#include "commands_sdk2.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "capture_run.h"
#include "frame_summary.h"
#include "point_records.h"
#include "render.h"
#include "session2.h"
#include "stop_signal.h"

namespace vorlan_tool {
namespace {

Session2Settings session_settings(const LibrarySettings& library, std::size_t frame_limit, bool print_frames) {
    Session2Settings settings;
    settings.frames = library;
    settings.frame_limit = frame_limit;
    settings.print_frames = print_frames;
    return settings;
}

void print_end(Session2& session, Console& console, std::size_t frame_limit) {
    console.line(session.summary());
    if (frame_limit != 0 && session.frame_limit_reached()) {
        console.line("stopped after " + std::to_string(frame_limit) + " frames");
    } else if (stop_requested()) {
        console.line("interrupted");
    }
}

// The same file names as the first library's export: address and serial.
std::string sensor_stem(uint64_t handle) {
    VorlanSensor sensor{};
    const bool known = VorlanGetSensorInformation(handle, &sensor) == VORLAN_SUCCESS;
    return sensor_file_stem(handle, known ? sensor.serial_number : 0);
}

}  // namespace

int run_replay_sdk2(const ReplaySettings& settings, Console& console) {
    Session2 session(console);
    if (!session.start(session_settings(settings.library, settings.frame_limit, true))) {
        return kExitFailure;
    }
    CaptureRunSettings run = capture_run_settings(settings.file, settings.selection);
    run.loop = settings.loop;
    const int result = session.replay(run);
    session.stop();
    if (result == kExitSuccess) {
        print_end(session, console, settings.frame_limit);
    }
    return result;
}

int run_listen_sdk2(const ListenSettings& settings, Console& console) {
    Session2 session(console);
    if (!session.start(session_settings(settings.library, settings.frame_limit, true))) {
        return kExitFailure;
    }
    const int result = session.listen(settings.port, settings.seconds);
    session.stop();
    if (result == kExitSuccess) {
        print_end(session, console, settings.frame_limit);
    }
    return result;
}

int run_export_sdk2(const ExportSettings& settings, Console& console) {
    std::error_code error;
    std::filesystem::create_directories(settings.out_dir, error);
    if (error || !std::filesystem::is_directory(settings.out_dir)) {
        console.error(settings.out_dir + ": cannot create the folder" + (error ? ": " + error.message() : ""));
        return kExitFailure;
    }
    // The sink is called one frame at a time and the counts are read after
    // the session stopped, so they need no lock.
    std::size_t written = 0;
    std::string write_error;
    Session2 session(console);
    session.set_frame_sink([&](const Frame2& frame) {
        const std::string path =
            (std::filesystem::path(settings.out_dir) / cloud_file_name(sensor_stem(frame.sensor), frame.index, settings.format))
                .string();
        // Through the image-point form, so both libraries' exports share one
        // writer and one set of columns.
        const std::vector<VorlanSensorImagePoint> points =
            to_image_points(frame.timestamp, frame.points, frame.n_points, frame.stride);
        if (!write_point_cloud(path, settings.format, points.data(), points.size(), write_error)) {
            return false;
        }
        ++written;
        return true;
    });
    if (!session.start(session_settings(settings.library, settings.frame_limit, false))) {
        return kExitFailure;
    }
    const CaptureRunSettings run = capture_run_settings(settings.file, settings.selection);
    int result = session.replay(run);
    session.stop();
    if (!write_error.empty()) {
        console.error("cannot write a point cloud: " + write_error);
        result = kExitFailure;
    }
    if (result == kExitSuccess) {
        console.line(session.summary());
        console.line("wrote " + std::to_string(written) + " " + cloud_format_label(settings.format) +
                     " files to " + settings.out_dir);
    }
    return result;
}

int run_render_sdk2(const RenderSettings& settings, Console& console) {
    // Written by the sink, read after the session stopped.
    bool found = false;
    Frame2 chosen;
    std::vector<VorlanSensorImagePoint> points;
    Session2 session(console);
    session.set_frame_sink([&](const Frame2& frame) {
        const bool wanted =
            settings.frame_index >= 0 ? frame.index == static_cast<std::size_t>(settings.frame_index) : frame.whole;
        if (!wanted) {
            return true;
        }
        found = true;
        chosen = frame;
        points = to_image_points(frame.timestamp, frame.points, frame.n_points, frame.stride);
        return false;
    });
    if (!session.start(session_settings(settings.library, 0, false))) {
        return kExitFailure;
    }
    const CaptureRunSettings run = capture_run_settings(settings.file, settings.selection);
    const int result = session.replay(run);
    const std::size_t frames = session.frame_count();
    session.stop();
    if (result != kExitSuccess) {
        return result;
    }
    if (!found) {
        console.error(settings.file + ": " +
                      (settings.frame_index >= 0 ? "no frame " + std::to_string(settings.frame_index)
                                                 : std::string("no whole frame")) +
                      " in the capture (it gives " + std::to_string(frames) + " frames in mode " +
                      aggregation_mode_text(settings.library.aggregation_mode) + ")");
        return kExitFailure;
    }
    std::string error;
    if (!write_png(settings.out, render_frame(points.data(), points.size()), error)) {
        console.error("cannot write the picture: " + error);
        return kExitFailure;
    }
    console.line("frame " + std::to_string(chosen.index) + " of sensor " + chosen.sensor_name + " (" +
                 std::to_string(chosen.n_points) + " points): top view and range image in " + settings.out);
    return kExitSuccess;
}

}  // namespace vorlan_tool
