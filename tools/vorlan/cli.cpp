#include "cli.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <string>
#include <vector>

#include "commands.h"
#include "library_options.h"
#include "publish_cli.h"
#include "render.h"
#include "stop_signal.h"
#include "view_command.h"

namespace vorlan_tool {
namespace {

const std::vector<std::string> kCommands = {"sim",    "replay", "listen", "record",
                                            "export", "render", "convert", "check", "view", "publish"};

std::string command_list() {
    std::string list;
    for (const std::string& command : kCommands) {
        list += (list.empty() ? "" : ", ") + command;
    }
    return list;
}

// Validators that say in words what they accept; CLI11's own ranges print
// the limits of a double in full.
CLI::Validator number_check(const char* accepted, bool (*ok)(double)) {
    return CLI::Validator(
        [accepted, ok](std::string& value) -> std::string {
            try {
                std::size_t used = 0;
                const double number = std::stod(value, &used);
                if (used == value.size() && std::isfinite(number) && ok(number)) {
                    return std::string();
                }
            } catch (const std::exception&) {
            }
            return "'" + value + "' is not " + accepted;
        },
        "");
}

const CLI::Validator kSeconds =
    number_check("a number of seconds above 0", [](double v) { return v > 0.0; });
const CLI::Validator kTimeInCapture =
    number_check("a time in seconds from the capture's start, 0 or more", [](double v) { return v >= 0.0; });
const CLI::Validator kCount(
    [](std::string& value) -> std::string {
        try {
            std::size_t used = 0;
            const double number = std::stod(value, &used);
            if (used == value.size() && std::isfinite(number) && number >= 0.0 && number == std::floor(number)) {
                return number < 1e15 ? std::string() : "'" + value + "' is larger than the tool counts (below 10^15)";
            }
        } catch (const std::exception&) {
        }
        return "'" + value + "' is not a whole number, 0 or more";
    },
    "");
const CLI::Validator kPort = number_check("a port number from 1 to 65535", [](double v) {
    return v >= 1.0 && v <= 65535.0 && v == std::floor(v);
});
// The library takes 0, or a rate above one millionth up to 5.
const CLI::Validator kSpeed = number_check(
    "a speed the replay takes: 0 (as fast as possible) or a rate above 0.000001 up to 5 (1 is real time)",
    [](double v) { return v == 0.0 || (static_cast<float>(v) > 1e-6f && static_cast<float>(v) <= 5.0f); });

// The picture's format follows its name; the tool writes PNG only.
const CLI::Validator kPngName(
    [](std::string& value) -> std::string {
        return is_png_name(value) ? std::string()
                                  : "'" + value + "' does not end in .png, the one picture format the tool writes";
    },
    "");

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
                    "seconds), sweep (each scan sweep), full-scan (each whole scan); with --sdk 2 "
                    "natural (where the sensor's frame parity changes, the default) or timed")
        ->check(CLI::IsMember({"streaming", "timed", "sweep", "full-scan", "natural"}))
        ->capture_default_str();
    command.add_option("--frame-length", text.length, "Seconds per frame in timed mode")
        ->check(kSeconds)
        ->capture_default_str();
    command.add_flag("--multiple-returns", text.multiple_returns,
                     "Keep both returns of sensors that measure two (each point then gives two image points)");
}

// What part of a capture replay, export and render look at.
void add_selection_options(CLI::App& command, CaptureSelection& selection) {
    command.add_option("--speed", selection.speed, "Rate against recorded time; 0 is as fast as possible")
        ->check(kSpeed)
        ->capture_default_str();
    command.add_option("--sensor", selection.sensor, "Only this sensor's frames: its dotted address or serial number");
    command.add_option("--start", selection.start, "Frames from this many seconds into the capture")
        ->check(kTimeInCapture);
    command.add_option("--end", selection.end, "Stop this many seconds into the capture")->check(kTimeInCapture);
}

// Every message of the tool starts with "vorlan: ", those of the parser too.
int report_parse_error(const CLI::App& app, const CLI::ParseError& e, std::ostream& out, std::ostream& err) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
        // --help and --version
        return const_cast<CLI::App&>(app).exit(e, out, err) == 0 ? kExitSuccess : kExitUsage;
    }
    err << "vorlan: " << e.what() << "\nRun with --help for more information.\n";
    return kExitUsage;
}

// A first word that names no command gets the list of commands.
bool unknown_command(int argc, const char* const* argv, std::ostream& err) {
    if (argc < 2) {
        err << "vorlan: a command is required: " << command_list() << "\nRun with --help for more information.\n";
        return true;
    }
    const std::string first = argv[1];
    if (first.empty() || first[0] == '-') {
        return false;
    }
    for (const std::string& command : kCommands) {
        if (first == command) {
            return false;
        }
    }
    err << "vorlan: unknown command '" << first << "'; the commands are " << command_list()
        << "\nRun with --help for more information.\n";
    return true;
}

}  // namespace

int run_cli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal) {
    CLI::App app("Look at, record, replay, convert and generate Vorlan lidar data.", "vorlan");
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("vorlan_sdk ") + vorlan_sdk_get_version_string());

    SimSettings sim;
    CLI::App* sim_command = app.add_subcommand("sim", "Synthetic sensors in a yard, the same for the same seed");
    sim_command->add_option("--seed", sim.seed, "Seed of the scene's noise")->capture_default_str();
    sim_command->add_option("--seconds", sim.seconds, "Seconds of traffic")->check(kSeconds)->capture_default_str();
    CLI::Option_group* sim_target = sim_command->add_option_group("target", "Where the traffic goes (one of)");
    sim_target->add_option("--out", sim.out, "Write a capture file");
    sim_target->add_option("--port", sim.port, "Send to 127.0.0.1:PORT in real time")->check(kPort);
    sim_target->require_option(1);
    sim_command->add_flag("--force", sim.force, "Replace the --out file if it exists");

    ReplaySettings replay;
    FrameOptionText replay_frames;
    CLI::App* replay_command = app.add_subcommand("replay", "Replay a capture: sensors and one line per frame");
    replay_command->add_option("file", replay.file, "Capture file (PCAP)")->required();
    add_selection_options(*replay_command, replay.selection);
    replay_command->add_flag("--loop", replay.loop, "Start again at the end, with fresh frames");
    replay_command->add_option("--frames", replay.frame_limit, "Stop after N frames (0: all)")->check(kCount);
    add_frame_options(*replay_command, replay_frames);
    LibraryOptionText replay_library;
    add_library_options(*replay_command, replay_library);

    ListenSettings listen;
    FrameOptionText listen_frames;
    CLI::App* listen_command = app.add_subcommand("listen", "Live sensors and one line per frame");
    listen_command->add_option("--port", listen.port, "UDP port")->check(kPort)->capture_default_str();
    listen_command->add_option("--seconds", listen.seconds, "Stop after N seconds")->check(kSeconds);
    listen_command->add_option("--frames", listen.frame_limit, "Stop after N frames (0: all)")->check(kCount);
    add_frame_options(*listen_command, listen_frames);
    LibraryOptionText listen_library;
    add_library_options(*listen_command, listen_library);

    RecordSettings record;
    CLI::App* record_command = app.add_subcommand("record", "Record live traffic into a capture file");
    record_command->add_option("file", record.file, "Capture file to write")->required();
    record_command->add_option("--port", record.port, "UDP port")->check(kPort)->capture_default_str();
    record_command->add_option("--seconds", record.seconds, "Stop after N seconds")->check(kSeconds);
    record_command->add_flag("--force", record.force, "Replace the file if it exists");

    ExportSettings export_settings;
    FrameOptionText export_frames;
    std::string export_format = "ply";
    CLI::App* export_command = app.add_subcommand("export", "Write the frames of a capture as point clouds in metres");
    export_command->add_option("file", export_settings.file, "Capture file (PCAP)")->required();
    export_command
        ->add_option("--format", export_format, "ply (binary), csv, pcd (binary) or pcd-ascii")
        ->check(CLI::IsMember(cloud_format_names()))
        ->capture_default_str();
    export_command->add_option("--out", export_settings.out_dir, "Folder for the files, one per frame")->required();
    export_command->add_flag("--force", export_settings.force, "Replace files of the same names in the folder");
    export_command->add_option("--frames", export_settings.frame_limit, "Stop after N frames (0: all)")
        ->check(kCount);
    add_selection_options(*export_command, export_settings.selection);
    add_frame_options(*export_command, export_frames);
    LibraryOptionText export_library;
    add_library_options(*export_command, export_library);

    RenderSettings render;
    FrameOptionText render_frames;
    CLI::App* render_command = app.add_subcommand("render", "Draw one frame of a capture as a PNG picture");
    render_command->add_option("file", render.file, "Capture file (PCAP)")->required();
    render_command->add_option("--out", render.out, "Picture to write; its name ends in .png")
        ->required()
        ->check(kPngName);
    render_command
        ->add_option("--frame", render.frame_index, "Frame index as replay prints it; default: the first whole frame")
        ->check(kCount);
    render_command
        ->add_option("--color-by", render.colour_by, "What the top view's colours show: height, intensity, distance")
        ->check(CLI::IsMember({"height", "intensity", "distance"}))
        ->capture_default_str();
    render_command->add_flag("--force", render.force, "Replace the picture if it exists");
    add_selection_options(*render_command, render.selection);
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
    convert_command->add_flag("--force", convert.force, "Replace the output file if it exists");

    CheckSettings check;
    CLI::App* check_command =
        app.add_subcommand("check", "What a capture holds and what is wrong with it; exit code 1 on problems");
    check_command->add_option("file", check.file, "Capture file, any form libpcap reads")->required();
    check_command->add_flag("--json", check.json, "One JSON document for scripts");

    ViewOptionText view_text;
    CLI::App* view_command = add_view_command(app, view_text);
    ViewSettings view;
    PublishCli publish(app);

    if (unknown_command(argc, argv, err)) {
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
        const auto frames = [](const CLI::App& command, const LibraryOptionText& text, const FrameOptionText& given) {
            return resolve_frame_options(command, text, given.mode, given.length, given.multiple_returns);
        };
        replay.frames = frames(*replay_command, replay_library, replay_frames);
        listen.frames = frames(*listen_command, listen_library, listen_frames);
        export_settings.frames = frames(*export_command, export_library, export_frames);
        render.frames = frames(*render_command, render_library, render_frames);
        if (*view_command) {
            view = resolve_view_options(*view_command, view_text);
        }
        publish.resolve();
    } catch (const CLI::ParseError& e) {
        return report_parse_error(app, e, out, err);
    }

    for (const CaptureSelection* selection : {&replay.selection, &export_settings.selection, &render.selection}) {
        if (selection->end >= 0.0 && selection->end <= selection->start) {
            err << "vorlan: --end (" << selection->end << " s) must come after --start (" << selection->start
                << " s)\nRun with --help for more information.\n";
            return kExitUsage;
        }
    }

    Console console(out, err, terminal);
    clear_stop_request();
    if (publish.chosen()) {
        return publish.run(console);
    }
    if (*sim_command) {
        return run_sim(sim, console);
    }
    if (*replay_command) {
        return run_replay(replay, console);
    }
    if (*listen_command) {
        return run_listen(listen, console);
    }
    if (*record_command) {
        return run_record(record, console);
    }
    if (*export_command) {
        parse_cloud_format(export_format, export_settings.format);
        return run_export(export_settings, console);
    }
    if (*convert_command) {
        return run_convert(convert, console);
    }
    if (*check_command) {
        return run_check(check, console);
    }
    if (*view_command) {
        return run_view(view, console);
    }
    return run_render(render, console);
}

}  // namespace vorlan_tool
