// `vorlan export FILE --format ply|csv --out DIR`: every frame of a capture
// as a point cloud file in metres.
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "capture_run.h"
#include "commands.h"
#include "commands_sdk2.h"

namespace vorlan_tool {

int run_export(const ExportSettings& settings, Console& console) {
    if (settings.library.library == 2) {
        return run_export_sdk2(settings, console);
    }
    std::error_code error;
    std::filesystem::create_directories(settings.out_dir, error);
    if (error || !std::filesystem::is_directory(settings.out_dir)) {
        console.error(settings.out_dir + ": cannot create the folder" + (error ? ": " + error.message() : ""));
        return kExitFailure;
    }

    // Frames arrive on this thread (the capture is stepped), so the state
    // needs no lock.
    std::size_t written = 0;
    std::string write_error;
    Session session(console);
    session.set_frame_sink([&](const FrameEvent& frame, const VorlanSensorImagePoint* points, std::size_t n) {
        if (!write_error.empty()) {
            return;
        }
        const std::string path =
            (std::filesystem::path(settings.out_dir) / cloud_file_name(frame.sensor, frame.index, settings.format))
                .string();
        if (write_point_cloud(path, settings.format, points, n, write_error)) {
            ++written;
        }
    });
    SessionSettings session_settings;
    session_settings.frames = settings.frames;
    session_settings.frame_limit = settings.frame_limit;
    session_settings.print_frames = false;
    if (!session.start(session_settings)) {
        return kExitFailure;
    }
    CaptureRunSettings run;
    run.file = settings.file;
    int result = run_capture(session, console, run, [&write_error] { return !write_error.empty(); });
    session.stop();
    if (!write_error.empty()) {
        console.error("cannot write a point cloud: " + write_error);
        result = kExitFailure;
    }
    if (result == kExitSuccess) {
        console.line(session.summary());
        console.line("wrote " + std::to_string(written) + " " + (settings.format == CloudFormat::ply ? "PLY" : "CSV") +
                     " files to " + settings.out_dir);
    }
    return result;
}

}  // namespace vorlan_tool
