#include "view_command.h"

#include <asio/ip/address.hpp>

#include <cmath>
#include <cstdio>

#include "exit_codes.h"
#include "view/viewer.h"

namespace vorlan_tool {
namespace {

FrameMode frame_mode_of(const std::string& text) {
    if (text == "streaming") {
        return FrameMode::streaming;
    }
    if (text == "timed") {
        return FrameMode::timed;
    }
    if (text == "full-scan") {
        return FrameMode::full_scan;
    }
    return FrameMode::sweep;  // sweep, and the second library's natural frames
}

bool loopback(const std::string& address) {
    asio::error_code ec;
    const asio::ip::address parsed = asio::ip::make_address(address, ec);
    return !ec && parsed.is_loopback();
}

std::string url_of(const std::string& bind, uint16_t port) {
    std::string host = bind;
    if (host == "0.0.0.0" || host == "::") {
        host = "127.0.0.1";
    } else if (host.find(':') != std::string::npos) {
        host = "[" + host + "]";
    }
    return "http://" + host + ":" + std::to_string(port) + "/";
}

}  // namespace

CLI::App* add_view_command(CLI::App& app, ViewOptionText& text) {
    ViewSettings& s = text.settings;
    s.source.speed = 1.0f;  // a viewer plays at the recorded pace unless told
    CLI::App* command = app.add_subcommand(
        "view", "Look at a capture or live sensors in 3D, in a web page this tool serves (until Ctrl-C)");
    command->add_option("file", s.source.capture, "Capture file (any form the tool reads); it plays in a loop");
    command->add_option("--port", s.source.port, "Live sensors on this UDP port instead of a capture")
        ->check(CLI::Range(1, 65535));
    command->add_option("--multicast", s.source.multicast_group, "Join this multicast group (with --port, --sdk 2)");
    command->add_option("--sensor", s.source.sensor, "Only this sensor's frames: its dotted address or serial number");
    command->add_option("--start", s.source.start, "Frames from this many seconds into the capture")
        ->check(CLI::NonNegativeNumber);
    command->add_option("--end", s.source.end, "Stop this many seconds into the capture")
        ->check(CLI::NonNegativeNumber);
    command
        ->add_option("--speed", s.source.speed,
                     "Rate against recorded time: 0 (as fast as possible) or above 0.000001 up to 5")
        ->check(CLI::Range(0.0, 5.0))
        ->capture_default_str();
    command->add_option("--frames", s.source.frame_limit, "Stop after N frames (0: all)");
    command
        ->add_option("--frame-mode", text.frame_mode,
                     "streaming, timed, sweep or full-scan; with --sdk 2 natural (the default) or timed")
        ->check(CLI::IsMember({"streaming", "timed", "sweep", "full-scan", "natural"}))
        ->capture_default_str();
    command->add_option("--frame-length", s.source.frame_length, "Seconds per frame in timed mode")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    command->add_flag("--multiple-returns", s.source.multiple_returns, "Keep both returns of dual-return sensors");
    command->add_option("--web-port", s.web_port, "Serve the page on this TCP port (default: a free one)")
        ->check(CLI::Range(1, 65535));
    command->add_option("--bind", s.bind,
                        "Serve on this address instead of 127.0.0.1 (other hosts can then see the page)")
        ->capture_default_str();
    add_library_options(*command, text.library);
    return command;
}

ViewSettings resolve_view_options(const CLI::App& command, const ViewOptionText& text) {
    ViewSettings settings = text.settings;
    const bool live = command.get_option("--port")->count() != 0;
    if (live == !settings.source.capture.empty()) {
        throw CLI::ValidationError("view", "give a capture file or --port for live sensors (one of them)");
    }
    if (!settings.source.multicast_group.empty() && (!live || text.library.sdk != 2)) {
        throw CLI::ValidationError("--multicast", "a multicast group is joined by the second library live: add --port and --sdk 2");
    }
    if (settings.source.speed != 0.0f && settings.source.speed <= 1e-6f) {
        throw CLI::ValidationError("--speed", "0 (as fast as possible) or a rate above 0.000001 up to 5");
    }
    if (settings.source.end >= 0.0 && settings.source.end <= settings.source.start) {
        throw CLI::ValidationError("--end", "must come after --start");
    }
    const FrameOptions frames = resolve_frame_options(command, text.library, text.frame_mode,
                                                      settings.source.frame_length, settings.source.multiple_returns);
    settings.source.library = frames.library;
    settings.source.fifo_frames = frames.fifo_frames;
    settings.source.mode = frame_mode_of(text.frame_mode);
    if (!settings.source.capture.empty()) {
        settings.source.loop = true;
    }
    return settings;
}

int run_view(const ViewSettings& settings, Console& console) {
    std::unique_ptr<FrameSource> source = make_frame_source(settings.source.library, console);
    if (!source->open(settings.source)) {
        return kExitFailure;
    }
    Viewer viewer(*source, settings.source.start, settings.source.speed);
    ViewServerSettings server;
    server.bind = settings.bind;
    server.port = settings.web_port;
    std::string error;
    if (!viewer.start_server(server, error)) {
        console.error("the viewer " + error);
        return kExitFailure;
    }
    if (!loopback(settings.bind)) {
        console.warning("the viewer is served on " + settings.bind +
                        ": every host that reaches this address can watch the data and steer playback");
    }
    console.line("view: open " + url_of(settings.bind, viewer.port()) + " in a browser (Ctrl-C stops)");
    const int code = viewer.run();
    viewer.stop_server();
    const ViewServerStats stats = viewer.stats();
    char bytes_per_point[32];
    std::snprintf(bytes_per_point, sizeof bytes_per_point, "%.1f",
                  stats.points_sent > 0 ? static_cast<double>(stats.frame_bytes_sent) / stats.points_sent : 0.0);
    console.line("view: frames " + std::to_string(stats.frames_published) + "  sent " +
                 std::to_string(stats.frames_sent) + "  dropped " + std::to_string(stats.frames_dropped) +
                 "  bytes per point " + bytes_per_point);
    console.line(source->summary());
    return code;
}

}  // namespace vorlan_tool
