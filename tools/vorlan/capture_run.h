// Plays a capture file through a started Session, as replay, export and
// render do.
#ifndef VORLAN_TOOLS_CAPTURE_RUN_H
#define VORLAN_TOOLS_CAPTURE_RUN_H

#include <functional>
#include <string>

#include "console.h"
#include "session.h"

namespace vorlan_tool {

struct CaptureRunSettings {
    std::string file;
    // 0 feeds packets as fast as possible on the calling thread, so frames
    // and their boundaries come out the same on every run; otherwise the
    // library's replay thread paces them at this rate (up to 5).
    float speed = 0.0f;
    bool loop = false;
};

// Checks that `file` can be read; prints why not and returns false.
bool check_readable(const std::string& file, Console& console);

// Opens the capture in the library; prints a clear reason and returns false
// when it is missing, not a capture, damaged or empty.
bool open_capture(const std::string& file, Console& console);

// Replays the whole capture (forever with `loop`) until the session's frame
// limit, `done`, or a stop request. Returns the tool's exit code. Shows the
// progress bar when the console has one.
int run_capture(Session& session, Console& console, const CaptureRunSettings& settings,
                const std::function<bool()>& done = {});

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_CAPTURE_RUN_H
