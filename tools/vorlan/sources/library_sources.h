// The two library adaptors behind make_frame_source().
#ifndef VORLAN_TOOLS_SOURCES_LIBRARY_SOURCES_H
#define VORLAN_TOOLS_SOURCES_LIBRARY_SOURCES_H

#include <memory>

#include "frame_source.h"

namespace vorlan_tool {

// vorlan_sdk: first-generation sensors.
std::unique_ptr<FrameSource> make_first_library_source(Console& console);
// vorlan_sdk2: second-generation sensors, and first-generation ones through
// its legacy translation.
std::unique_ptr<FrameSource> make_second_library_source(Console& console);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SOURCES_LIBRARY_SOURCES_H
