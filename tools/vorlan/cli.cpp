#include "cli.h"

#include <CLI/CLI.hpp>

#include <string>

#include "commands.h"
#include "library_options.h"
#include "stop_signal.h"

namespace vorlan_tool {
namespace {

// The frame options every subcommand that shows frames takes.
struct FrameOptionText {
    std::string mode = "sweep";
    float length = 0.1f;
    bool multiple_returns = false;
};

void add_frame_options(CLI::App& command, FrameOptionText& text) {
    command
        .add_option("--frame-mode", text.mode,
                    "How points are cut into frames: streaming (each packet), timed (every --frame-length "
                    "seconds), sweep (each scan sweep), full-scan (each whole scan), by-model; with --sdk 2 "
                    "natural (where the sensor's frame parity changes, the default) or timed")
        ->check(CLI::IsMember({"streaming", "timed", "sweep", "full-scan", "by-model", "natural"}))
        ->capture_default_str();
    command.add_option("--frame-length", text.length, "Seconds per frame in timed mode")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    command.add_flag("--multiple-returns", text.multiple_returns,
                     "Keep both returns of sensors that measure two (each point then gives two image points)");
}

FrameSettings to_frame_settings(const FrameOptionText& text) {
    FrameSettings settings;
    parse_frame_mode(text.mode, settings.mode);  // the option's check accepted it
    settings.length = text.length;
    settings.multiple_returns = text.multiple_returns;
    return settings;
}

const CLI::Validator kSpeed(
    [](std::string& value) -> std::string {
        try {
            const float speed = std::stof(value);
            if (speed == 0.0f || (speed > 1e-6f && speed <= 5.0f)) {
                return std::string();
            }
        } catch (const std::exception&) {
        }
        return "the speed is 0 (as fast as possible) or above 0 up to 5";
    },
    "SPEED");

}  // namespace

int run_cli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal) {
    CLI::App app("Look at, record, replay, convert and generate Vorlan lidar data.", "vorlan");
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("vorlan_sdk ") + vorlan_sdk_get_version_string());

    SimSettings sim;
    CLI::App* sim_command = app.add_subcommand("sim", "Synthetic sensors in a yard, the same for the same seed");
    sim_command->add_option("--seed", sim.seed, "Seed of the scene's noise")->capture_default_str();
    sim_command->add_option("--seconds", sim.seconds, "Seconds of traffic")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    CLI::Option_group* sim_target = sim_command->add_option_group("target", "Where the traffic goes (one of)");
    sim_target->add_option("--out", sim.out, "Write a capture file");
    sim_target->add_option("--port", sim.port, "Send to 127.0.0.1:PORT in real time")->check(CLI::Range(1, 65535));
    sim_target->require_option(1);

    ReplaySettings replay;
    FrameOptionText replay_frames;
    CLI::App* replay_command = app.add_subcommand("replay", "Replay a capture: sensors and one line per frame");
    replay_command->add_option("file", replay.file, "Capture file (PCAP)")->required();
    replay_command->add_option("--speed", replay.speed, "Rate against recorded time; 0 is as fast as possible")
        ->check(kSpeed)
        ->capture_default_str();
    replay_command->add_flag("--loop", replay.loop, "Start again at the end");
    replay_command->add_option("--frames", replay.frame_limit, "Stop after N frames (0: all)")
        ->check(CLI::NonNegativeNumber);
    add_frame_options(*replay_command, replay_frames);
    LibraryOptionText replay_library;
    add_library_options(*replay_command, replay_library);

    ListenSettings listen;
    FrameOptionText listen_frames;
    CLI::App* listen_command = app.add_subcommand("listen", "Live sensors and one line per frame");
    listen_command->add_option("--port", listen.port, "UDP port")->check(CLI::Range(1, 65535))->capture_default_str();
    listen_command->add_option("--seconds", listen.seconds, "Stop after N seconds")->check(CLI::PositiveNumber);
    listen_command->add_option("--frames", listen.frame_limit, "Stop after N frames (0: all)")
        ->check(CLI::NonNegativeNumber);
    add_frame_options(*listen_command, listen_frames);
    LibraryOptionText listen_library;
    add_library_options(*listen_command, listen_library);

    RecordSettings record;
    CLI::App* record_command = app.add_subcommand("record", "Record live traffic into a capture file");
    record_command->add_option("file", record.file, "Capture file to write")->required();
    record_command->add_option("--port", record.port, "UDP port")->check(CLI::Range(1, 65535))->capture_default_str();
    record_command->add_option("--seconds", record.seconds, "Stop after N seconds")->check(CLI::PositiveNumber);

    ExportSettings export_settings;
    FrameOptionText export_frames;
    std::string export_format = "ply";
    CLI::App* export_command = app.add_subcommand("export", "Write the frames of a capture as point clouds in metres");
    export_command->add_option("file", export_settings.file, "Capture file (PCAP)")->required();
    export_command->add_option("--format", export_format, "ply (binary) or csv")
        ->check(CLI::IsMember({"ply", "csv"}))
        ->capture_default_str();
    export_command->add_option("--out", export_settings.out_dir, "Folder for the files, one per frame")->required();
    export_command->add_option("--frames", export_settings.frame_limit, "Stop after N frames (0: all)")
        ->check(CLI::NonNegativeNumber);
    add_frame_options(*export_command, export_frames);
    LibraryOptionText export_library;
    add_library_options(*export_command, export_library);

    RenderSettings render;
    FrameOptionText render_frames;
    CLI::App* render_command = app.add_subcommand("render", "Draw one frame of a capture as a PNG picture");
    render_command->add_option("file", render.file, "Capture file (PCAP)")->required();
    render_command->add_option("--out", render.out, "PNG file to write")->required();
    render_command
        ->add_option("--frame", render.frame_index, "Frame index as replay prints it; default: the first whole frame")
        ->check(CLI::NonNegativeNumber);
    add_frame_options(*render_command, render_frames);
    LibraryOptionText render_library;
    add_library_options(*render_command, render_library);

    ConvertSettings convert;
    CLI::App* convert_command =
        app.add_subcommand("convert", "Turn any capture libpcap reads into the classic capture the libraries read");
    convert_command->add_option("in", convert.in, "Capture to read (pcapng, nanosecond, big-endian, any link)")
        ->required();
    convert_command->add_option("out", convert.out, "Classic capture to write")->required();
    convert_command->add_flag("--dedup", convert.dedup,
                              "Drop datagrams repeated within 20 ms (a capture on several interfaces at once)");

    CheckSettings check;
    CLI::App* check_command =
        app.add_subcommand("check", "What a capture holds and what is wrong with it; exit code 1 on problems");
    check_command->add_option("file", check.file, "Capture file, any form libpcap reads")->required();
    check_command->add_flag("--json", check.json, "One JSON document for scripts");

    try {
        app.parse(argc, argv);
        const auto library = [](const CLI::App& command, const LibraryOptionText& text, const FrameOptionText& frames) {
            return resolve_library_options(command, text, frames.mode, frames.length, frames.multiple_returns);
        };
        replay.library = library(*replay_command, replay_library, replay_frames);
        listen.library = library(*listen_command, listen_library, listen_frames);
        export_settings.library = library(*export_command, export_library, export_frames);
        render.library = library(*render_command, render_library, render_frames);
    } catch (const CLI::ParseError& e) {
        return app.exit(e, out, err) == 0 ? kExitSuccess : kExitUsage;
    }

    Console console(out, err, terminal);
    clear_stop_request();
    if (*sim_command) {
        return run_sim(sim, console);
    }
    if (*replay_command) {
        replay.frames = to_frame_settings(replay_frames);
        return run_replay(replay, console);
    }
    if (*listen_command) {
        listen.frames = to_frame_settings(listen_frames);
        return run_listen(listen, console);
    }
    if (*record_command) {
        return run_record(record, console);
    }
    if (*export_command) {
        export_settings.frames = to_frame_settings(export_frames);
        parse_cloud_format(export_format, export_settings.format);
        return run_export(export_settings, console);
    }
    if (*convert_command) {
        return run_convert(convert, console);
    }
    if (*check_command) {
        return run_check(check, console);
    }
    render.frames = to_frame_settings(render_frames);
    return run_render(render, console);
}

}  // namespace vorlan_tool
