// A first-generation sensor's information as the first library hands it
// out, in the form every command prints: the firmware as the library's own
// text (model, major, minor: "3.100.0"), the segment count as channels.
#ifndef VORLAN_TOOLS_SOURCES_FIRST_LIBRARY_FACTS_H
#define VORLAN_TOOLS_SOURCES_FIRST_LIBRARY_FACTS_H

#include "frame_source.h"
#include "vorlan_sdk.h"

namespace vorlan_tool {

SensorFacts first_library_facts(const VorlanSensorInformation& information);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SOURCES_FIRST_LIBRARY_FACTS_H
