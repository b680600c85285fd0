// The subcommands of `vorlan`. Each runs to completion on the calling thread,
// prints through the console and returns the process's exit code. The
// library is a process-wide singleton: run one command at a time.
#ifndef VORLAN_TOOLS_COMMANDS_H
#define VORLAN_TOOLS_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "console.h"
#include "exit_codes.h"
#include "point_cloud.h"
#include "session.h"
#include "session2.h"

namespace vorlan_tool {



// Which part of a capture replay, export and render look at.
struct CaptureSelection {
    float speed = 0.0f;  // 0: as fast as possible
    std::string sensor;  // dotted address or serial number; empty: all
    double start = 0.0;  // seconds into the capture
    double end = -1.0;   // seconds into the capture; negative: to its end
};

struct ReplaySettings {
    std::string file;
    CaptureSelection selection;
    bool loop = false;
    std::size_t frame_limit = 0;  // 0: every frame
    FrameSettings frames;
    LibrarySettings library;  // --sdk 2 runs the command on vorlan_sdk2
};
int run_replay(const ReplaySettings& settings, Console& console);

struct ListenSettings {
    uint16_t port = 8808;
    double seconds = 0.0;  // 0: until interrupted
    std::size_t frame_limit = 0;
    FrameSettings frames;
    LibrarySettings library;  // --sdk 2 runs the command on vorlan_sdk2
};
int run_listen(const ListenSettings& settings, Console& console);

struct RecordSettings {
    std::string file;
    bool force = false;  // replace an existing file
    uint16_t port = 8808;
    double seconds = 0.0;  // 0: until interrupted
};
int run_record(const RecordSettings& settings, Console& console);

struct ExportSettings {
    std::string file;
    CaptureSelection selection;
    CloudFormat format = CloudFormat::ply;
    std::string out_dir;
    std::size_t frame_limit = 0;
    FrameSettings frames;
    LibrarySettings library;  // --sdk 2 runs the command on vorlan_sdk2
};
int run_export(const ExportSettings& settings, Console& console);

struct RenderSettings {
    std::string file;
    CaptureSelection selection;
    std::string out;
    // The frame to draw, by the index replay prints; -1 draws the first
    // whole frame.
    long frame_index = -1;
    std::string colour_by = "height";  // height, intensity or distance
    FrameSettings frames;
    LibrarySettings library;  // --sdk 2 runs the command on vorlan_sdk2
};
int run_render(const RenderSettings& settings, Console& console);

struct SimSettings {
    uint64_t seed = 1;
    double seconds = 10.0;
    std::string out;    // a capture file, or
    bool force = false; // replace an existing file
    uint16_t port = 0;  // 127.0.0.1:port, paced in real time
};
int run_sim(const SimSettings& settings, Console& console);

struct ConvertSettings {
    std::string in;
    std::string out;
    bool dedup = false;  // drop datagrams repeated within a short window
};
int run_convert(const ConvertSettings& settings, Console& console);

struct CheckSettings {
    std::string file;
    bool json = false;
};
// Exit code 0 when the capture is fully usable, 1 when it holds problems.
int run_check(const CheckSettings& settings, Console& console);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_COMMANDS_H
