// Plays a capture file through a started Session, as replay, export and
// render do.
#ifndef VORLAN_TOOLS_CAPTURE_RUN_H
#define VORLAN_TOOLS_CAPTURE_RUN_H

#include <functional>
#include <string>

#include "commands.h"
#include "console.h"
#include "session.h"

namespace vorlan_tool {

struct CaptureRunSettings {
    std::string file;
    // Packets are always fed one at a time on the calling thread, so the
    // frame options go in at the same place of the packet stream and the
    // frames come out the same at every speed. 0 feeds them as fast as
    // possible; otherwise the tool waits for each packet's time at this
    // rate against the recorded time (up to 5).
    float speed = 0.0f;
    // At the end start again; frames start afresh with the capture.
    bool loop = false;
    // Frames are shown from `start` seconds into the capture; the run ends
    // after `end` seconds (a negative end: at the end of the capture).
    double start = 0.0;
    double end = -1.0;
};

// Checks that `file` can be read; prints why not and returns false.
bool check_readable(const std::string& file, Console& console);

// Opens the capture in the library; prints a clear reason and returns false
// when it is missing, not a capture, damaged or empty.
bool open_capture(const std::string& file, Console& console);

// Replays the whole capture (forever with `loop`) until the session's frame
// limit, `done`, or a stop request. Returns the tool's exit code (success
// also when stopped by a request: the caller decides what an interrupted run
// means). Shows the progress bar when the console has one.
int run_capture(Session& session, Console& console, const CaptureRunSettings& settings,
                const std::function<bool()>& done = {});

// The run settings and the session's sensor filter of a selection.
CaptureRunSettings capture_run_settings(const std::string& file, const CaptureSelection& selection);

// Warns when a sensor filter matched none of the sensors heard.
void warn_if_no_sensor_matched(Session& session, Console& console, const std::string& sensor);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_CAPTURE_RUN_H
