#include "library_options.h"

#include <cmath>
#include <limits>

namespace vorlan_tool {
namespace {

// The FIFO reserves room for its longest frame in every slot (about 2 MB
// for natural frames), so a few dozen frames are plenty.
constexpr uint32_t kMaxFifoFrames = 64;
// The second library's shortest timed frame, in microseconds.
constexpr double kMinPeriodUs = 1000.0;

FrameMode mode_of(const std::string& text) {
    if (text == "streaming") return FrameMode::streaming;
    if (text == "timed") return FrameMode::timed;
    if (text == "full-scan") return FrameMode::full_scan;
    return FrameMode::sweep;
}

}  // namespace

void add_library_options(CLI::App& command, LibraryOptionText& text) {
    command
        .add_option("--sdk", text.sdk,
                    "Library: 1 (vorlan_sdk) or 2 (vorlan_sdk2, which also shows first-generation sensors "
                    "through legacy translation)")
        ->check(CLI::IsMember({1, 2}))
        ->capture_default_str();
    command
        .add_option("--fifo", text.fifo,
                    "With --sdk 2: pull frames through the library's frame FIFO holding N frames, "
                    "instead of a frame listener")
        ->check(CLI::Range(1u, kMaxFifoFrames));
}

FrameOptions resolve_frame_options(const CLI::App& command, const LibraryOptionText& text,
                                   const std::string& frame_mode, float frame_length, bool multiple_returns) {
    FrameOptions options;
    options.library = text.sdk;
    options.fifo_frames = text.fifo;
    options.length = frame_length;
    options.multiple_returns = multiple_returns;
    const bool mode_given = command.get_option("--frame-mode")->count() != 0;
    if (text.sdk == 1) {
        if (frame_mode == "natural") {
            throw CLI::ValidationError("--frame-mode", "natural frames are cut by the second library: add --sdk 2");
        }
        if (text.fifo != 0) {
            throw CLI::ValidationError("--fifo", "the frame FIFO is the second library's: add --sdk 2");
        }
        options.mode = mode_of(frame_mode);
        return options;
    }
    if (multiple_returns) {
        throw CLI::ValidationError("--multiple-returns", "applies to the first library only");
    }
    if (!mode_given || frame_mode == "natural") {
        options.mode = FrameMode::sweep;  // the second library's natural frames
        return options;
    }
    if (frame_mode != "timed") {
        throw CLI::ValidationError("--frame-mode", "with --sdk 2 frames are natural or timed");
    }
    const double period_us = std::round(static_cast<double>(frame_length) * 1e6);
    if (!(period_us >= kMinPeriodUs) || period_us > static_cast<double>(std::numeric_limits<int32_t>::max())) {
        throw CLI::ValidationError("--frame-length", "with --sdk 2 timed frames last 0.001 s or more (up to 2147 s)");
    }
    options.mode = FrameMode::timed;
    return options;
}

}  // namespace vorlan_tool
