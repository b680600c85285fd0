#include "frame_command.h"

#include "frame_lines.h"

namespace vorlan_tool {

FrameSourceSettings source_settings(const FrameOptions& frames, const std::string& capture,
                                    const CaptureSelection& selection, std::size_t frame_limit) {
    FrameSourceSettings settings;
    settings.library = frames.library;
    settings.capture = capture;
    settings.sensor = selection.sensor;
    settings.start = selection.start;
    settings.end = selection.end;
    settings.speed = selection.speed;
    settings.frame_limit = frame_limit;
    settings.mode = frames.mode;
    settings.frame_length = frames.length;
    settings.multiple_returns = frames.multiple_returns;
    settings.fifo_frames = frames.fifo_frames;
    return settings;
}

SensorSink sensor_printer(Console& console, bool from_capture) {
    return [&console, from_capture](const SensorFacts& sensor) {
        console.line(format_sensor_line(sensor, from_capture));
    };
}

void print_end(Console& console, const FrameSource& source, std::size_t frame_limit, std::size_t frames, int code) {
    console.line(source.summary());
    if (frame_limit != 0 && frames >= frame_limit) {
        console.line("stopped after " + std::to_string(frame_limit) + " frames");
    } else if (code == kExitInterrupted) {
        console.line("interrupted");
    }
}

}  // namespace vorlan_tool
