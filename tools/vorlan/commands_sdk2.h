// The commands that show frames, run on the second library (`--sdk 2`):
// the same output as on the first, from vorlan_sdk2's points and frames.
#ifndef VORLAN_TOOLS_COMMANDS_SDK2_H
#define VORLAN_TOOLS_COMMANDS_SDK2_H

#include "commands.h"

namespace vorlan_tool {

int run_replay_sdk2(const ReplaySettings& settings, Console& console);
int run_listen_sdk2(const ListenSettings& settings, Console& console);
int run_export_sdk2(const ExportSettings& settings, Console& console);
int run_render_sdk2(const RenderSettings& settings, Console& console);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_COMMANDS_SDK2_H
