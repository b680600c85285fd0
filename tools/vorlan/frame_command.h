// What the commands that look at frames share: the frame source's settings
// from the command line, the sensor lines and the end of a run.
#ifndef VORLAN_TOOLS_FRAME_COMMAND_H
#define VORLAN_TOOLS_FRAME_COMMAND_H

#include <cstddef>
#include <string>

#include "commands.h"
#include "frame_source.h"

namespace vorlan_tool {

// A capture (with its selection) or, with an empty `capture`, a live port.
FrameSourceSettings source_settings(const FrameOptions& frames, const std::string& capture,
                                    const CaptureSelection& selection, std::size_t frame_limit);

// Prints a sensor's line when its facts come or change.
SensorSink sensor_printer(Console& console, bool from_capture);

// The summary and how the run ended: "stopped after N frames" at the limit,
// "interrupted" after Ctrl-C.
void print_end(Console& console, const FrameSource& source, std::size_t frame_limit, std::size_t frames, int code);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_FRAME_COMMAND_H
