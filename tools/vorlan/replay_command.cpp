// `vorlan replay FILE` and `vorlan listen`: sensors and one line per frame,
// from a capture or from live traffic, through either library.
#include "commands.h"
#include "frame_command.h"
#include "frame_lines.h"
#include "frame_source.h"

namespace vorlan_tool {
namespace {

int show_frames(const FrameSourceSettings& settings, Console& console) {
    std::unique_ptr<FrameSource> source = make_frame_source(settings.library, console);
    if (!source->open(settings)) {
        return kExitFailure;
    }
    std::size_t frames = 0;
    const int code = source->run(
        [&](const Frame& frame) {
            console.line(format_frame_line(frame));
            ++frames;
            return true;
        },
        sensor_printer(console, !settings.capture.empty()));
    // Also after a failure: what was played and what reading left out are
    // worth knowing when a capture is damaged or lost data.
    print_end(console, *source, settings.frame_limit, frames, code);
    return code;
}

}  // namespace

int run_replay(const ReplaySettings& settings, Console& console) {
    FrameSourceSettings source = source_settings(settings.frames, settings.file, settings.selection,
                                                 settings.frame_limit);
    source.loop = settings.loop;
    return show_frames(source, console);
}

int run_listen(const ListenSettings& settings, Console& console) {
    FrameSourceSettings source = source_settings(settings.frames, "", CaptureSelection(), settings.frame_limit);
    source.port = settings.port;
    source.listen_seconds = settings.seconds;
    return show_frames(source, console);
}

}  // namespace vorlan_tool
