// `vorlan export FILE --format ply|csv|pcd|pcd-ascii --out DIR`: the frames
// of a capture as point cloud files in metres.
#include <filesystem>
#include <map>
#include <system_error>

#include "capture_run.h"
#include "commands.h"
#include "commands_sdk2.h"
#include "frame_summary.h"
#include "stop_signal.h"

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
    // needs no lock. A sensor's first frame starts wherever its traffic
    // starts; like render, export leaves it out, and numbers the frames it
    // writes per sensor from 0.
    std::size_t written = 0;
    std::size_t partial = 0;
    std::map<VorlanSensorHandle, std::size_t> written_per_sensor;
    std::string write_error;
    Session session(console);
    session.set_frame_sink([&](const FrameEvent& frame, const VorlanSensorImagePoint* points, std::size_t n) {
        if (!write_error.empty()) {
            return;
        }
        if (!frame.whole) {
            ++partial;
            return;
        }
        std::size_t& number = written_per_sensor[frame.sensor];
        const std::string name =
            cloud_file_name(sensor_file_stem(frame.sensor, frame.serial_number), number, settings.format);
        const std::string path = (std::filesystem::path(settings.out_dir) / name).string();
        if (write_point_cloud(path, settings.format, points, n, write_error)) {
            ++number;
            ++written;
        }
    });
    SessionSettings session_settings;
    session_settings.frames = settings.frames;
    session_settings.frame_limit = settings.frame_limit;
    session_settings.print_frames = false;
    session_settings.sensor = settings.selection.sensor;
    if (!session.start(session_settings)) {
        return kExitFailure;
    }
    int result = run_capture(session, console, capture_run_settings(settings.file, settings.selection),
                             [&write_error] { return !write_error.empty(); });
    session.stop();
    if (!write_error.empty()) {
        console.error("cannot write a point cloud: " + write_error);
        result = kExitFailure;
    }
    if (result != kExitSuccess) {
        return result;
    }
    const std::string wrote = "wrote " + std::to_string(written) + " " + cloud_format_label(settings.format) +
                              " files to " + settings.out_dir;
    if (stop_requested()) {
        console.error("interrupted: " + wrote + " before the end of the capture");
        return kExitInterrupted;
    }
    warn_if_no_sensor_matched(session, console, settings.selection.sensor);
    console.line(session.summary());
    if (partial != 0) {
        console.line("left out " + std::to_string(partial) +
                     " partial frames (each sensor's first, which starts wherever its traffic starts)");
    }
    console.line(wrote);
    return kExitSuccess;
}

}  // namespace vorlan_tool
