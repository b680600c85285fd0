// `vorlan export FILE --format ply|csv|pcd|pcd-ascii --out DIR`: the whole
// frames of a capture as point-cloud files in metres, numbered per sensor
// from 0, through either library.
#include <sys/stat.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "commands.h"
#include "frame_command.h"
#include "frame_lines.h"
#include "frame_source.h"
#include "replacing_file.h"

namespace vorlan_tool {

int run_export(const ExportSettings& settings, Console& console) {
    std::error_code error;
    std::filesystem::create_directories(settings.out_dir, error);
    if (error || !std::filesystem::is_directory(settings.out_dir)) {
        console.error(settings.out_dir + ": cannot create the folder" + (error ? ": " + error.message() : ""));
        return kExitFailure;
    }
    FrameSourceSettings source_options =
        source_settings(settings.frames, settings.file, settings.selection, settings.frame_limit);
    // A sensor's first frame starts wherever its traffic starts: only whole
    // frames are written.
    source_options.whole_frames_only = true;
    std::unique_ptr<FrameSource> source = make_frame_source(settings.frames.library, console);
    if (!source->open(source_options)) {
        return kExitFailure;
    }
    // Frames come one at a time, so the state needs no lock.
    std::size_t written = 0;
    bool failed = false;
    std::vector<VorlanSensorImagePoint> points;
    int code = source->run([&](const Frame& frame) {
        const std::string name = cloud_file_name(
            sensor_file_stem(frame.sensor->handle, frame.sensor->serial_number), frame.sensor_index, settings.format);
        const std::string path = (std::filesystem::path(settings.out_dir) / name).string();
        if (!check_output_file(path, settings.force, console, settings.file)) {
            failed = true;
            return false;
        }
        ReplacingFile file(path);
        std::string write_error;
        image_points_of(frame, points);
        if (!file.create(write_error) ||
            !write_point_cloud(file.temporary(), settings.format, points.data(), points.size(), write_error) ||
            !file.commit(write_error)) {
            console.error("cannot write " + path + ": " + write_error);
            failed = true;
            return false;
        }
        ++written;
        return true;
    });
    if (failed) {
        code = kExitFailure;
    }
    const std::string wrote = "wrote " + std::to_string(written) + " " + cloud_format_label(settings.format) +
                              " files to " + settings.out_dir;
    if (code == kExitInterrupted) {
        console.error("interrupted: " + wrote + " before the end of the capture");
        return code;
    }
    if (code != kExitSuccess) {
        return code;
    }
    console.line(source->summary());
    console.line(wrote);
    return kExitSuccess;
}

}  // namespace vorlan_tool
