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
#include "frame_source.h"
#include "point_cloud.h"

namespace vorlan_tool {



// How frames are cut, and by which library.
struct FrameOptions {
    int library = 1;  // --sdk: 1 vorlan_sdk, 2 vorlan_sdk2
    // The second library cuts natural frames for `sweep` and timed ones.
    FrameMode mode = FrameMode::sweep;
    float length = 0.1f;  // seconds, timed frames
    bool multiple_returns = false;
    uint32_t fifo_frames = 0;  // second library: pull frames through a FIFO of this many
};

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
    FrameOptions frames;
};
int run_replay(const ReplaySettings& settings, Console& console);

struct ListenSettings {
    uint16_t port = 8808;
    double seconds = 0.0;  // 0: until interrupted
    std::size_t frame_limit = 0;
    FrameOptions frames;
};
int run_listen(const ListenSettings& settings, Console& console);

struct RecordSettings {
    std::string file;
    bool force = false;  // replace an existing file
    uint16_t port = 8808;
    double seconds = 0.0;  // 0: until interrupted
    int library = 1;       // the library that listens and names the senders
};
int run_record(const RecordSettings& settings, Console& console);

struct ExportSettings {
    std::string file;
    CaptureSelection selection;
    CloudFormat format = CloudFormat::ply;
    std::string out_dir;
    bool force = false;  // replace files of the same names
    std::size_t frame_limit = 0;
    FrameOptions frames;
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
    bool force = false;  // replace an existing picture
    FrameOptions frames;
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
    bool force = false;  // replace an existing file
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
