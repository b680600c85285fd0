// The subcommands run through the whole command line, in-process: exit codes,
// messages for what users get wrong, and the shapes of their output.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "capture.h"
#include "commands.h"
#include "frame_summary.h"
#include "sender_tally.h"
#include "stop_signal.h"
#include "support/capture_builder.h"
#include "support/udp_socket.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

using vorlan_test::TemporaryDirectory;

class CommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        capture = directory.file("small.pcap");
        write_sim_capture(capture, 1.0);
    }

    TemporaryDirectory directory;
    std::string capture;
};

// Every line of a replay is the capture line, a sensor, a frame, the summary
// or the end note.
void expect_replay_shape(const std::string& out, const std::string& file) {
    const std::regex capture_line(std::regex_replace(file, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                                  ": capture [0-9.]+ s  library [12]  frame mode [a-z-]+  speed .*");
    const std::regex sensor_line("sensor [0-9.]+ serial [0-9]+  .*  from a capture");
    const std::regex frame_line("frame [0-9]+ +sensor [0-9.]+ serial [0-9]+  points +[0-9]+  valid +[0-9]+  "
                                "span [0-9.]+ s  range [0-9.]+-[0-9.]+ m");
    const std::regex summary_line("sensors [0-9]+  frames [0-9]+  points [0-9]+  valid [0-9]+");
    // The simulator's second-generation sensors, which the first library
    // cannot decode, are counted and the way to read them named.
    const std::regex hint_line("[0-9]+ senders \\([0-9]+ datagrams\\) that library 1 cannot decode: --sdk 2 reads them");
    const std::vector<std::string> lines = lines_of(out);
    ASSERT_GE(lines.size(), 2u) << out;
    EXPECT_TRUE(std::regex_match(lines.front(), capture_line)) << lines.front();
    bool summary_seen = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (std::regex_match(lines[i], summary_line)) {
            summary_seen = true;
            continue;
        }
        if (summary_seen) {
            EXPECT_TRUE(lines[i] == "stopped after 3 frames" || std::regex_match(lines[i], hint_line)) << lines[i];
            continue;
        }
        EXPECT_TRUE(std::regex_match(lines[i], sensor_line) || std::regex_match(lines[i], frame_line)) << lines[i];
    }
    EXPECT_TRUE(summary_seen) << out;
}

// The simulated sensor's name as the tool prints it.
std::string name_of(const SimulatedSensorInfo& sensor) {
    return format_sensor_name(sensor.handle, sensor.serial_number);
}

// Waits until someone holds the port, for at most two seconds.
void wait_until_bound(uint16_t port) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (vorlan_test::udp_port_is_free(port) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A command line that is not understood: exit 2, one message with the
// tool's prefix that says what was wrong and what is accepted, in words.
TEST(CommandLine, BadOptionsExitWithUsageCodeAndSayWhy) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "a command is required: sim, replay, listen, record, export, render"},
        {{"frobnicate"}, "unknown command 'frobnicate'; the commands are sim, replay, listen, record, export, render"},
        {{"replay"}, "file is required"},
        {{"replay", "x.pcap", "--speed", "9"}, "--speed: '9' is not a speed the replay takes: 0 (as fast as possible)"},
        {{"replay", "x.pcap", "--speed", "1e-7"}, "or a rate above 0.000001 up to 5"},
        {{"replay", "x.pcap", "--speed", "fast"}, "--speed: 'fast' is not"},
        {{"replay", "x.pcap", "--frame-mode", "sideways"}, "--frame-mode"},
        {{"replay", "x.pcap", "--frame-mode", "by-model"}, "--frame-mode"},
        {{"replay", "x.pcap", "--frame-length", "0"}, "--frame-length: '0' is not a number of seconds above 0"},
        {{"replay", "x.pcap", "--frames", "-1"}, "--frames: '-1' is not a whole number, 0 or more"},
        {{"replay", "x.pcap", "--start", "-3"}, "--start: '-3' is not a time in seconds"},
        {{"export", "x.pcap", "--out", "d", "--start", "4", "--end", "2"}, "--end (2 s) must come after --start (4 s)"},
        {{"listen", "--port", "70000"}, "--port: '70000' is not a port number from 1 to 65535"},
        {{"listen", "--seconds", "-1"}, "--seconds: '-1' is not a number of seconds above 0"},
        {{"record"}, "file is required"},
        {{"export", "x.pcap", "--format", "obj", "--out", "d"}, "--format"},
        {{"export", "x.pcap"}, "--out is required"},
        {{"render", "x.pcap"}, "--out is required"},
        {{"render", "x.pcap", "--out", "x.png", "--color-by", "mood"}, "--color-by"},
        {{"render", "x.pcap", "--out", "x.jpg"}, "--out: 'x.jpg' does not end in .png"},
        {{"sim"}, "[--out,--port]"},
        {{"sim", "--out", "a.pcap", "--port", "9000"}, "[--out,--port]"},
    };
    for (const auto& c : cases) {
        const ToolResult result = run_tool(c.args);
        EXPECT_EQ(kExitUsage, result.code) << c.message;
        EXPECT_EQ(0u, result.err.find("vorlan: ")) << result.err;
        EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
        EXPECT_NE(std::string::npos, result.err.find("--help")) << result.err;
        EXPECT_FALSE(std::regex_search(result.err, std::regex("[0-9]{12}"))) << result.err;
    }
}

TEST(CommandLine, HelpAndVersionSucceed) {
    const ToolResult help = run_tool({"--help"});
    EXPECT_EQ(kExitSuccess, help.code);
    for (const char* command : {"sim", "replay", "listen", "record", "export", "render"}) {
        EXPECT_NE(std::string::npos, help.out.find(command)) << command;
    }
    const ToolResult version = run_tool({"--version"});
    EXPECT_EQ(kExitSuccess, version.code);
    EXPECT_NE(std::string::npos, version.out.find(vorlan_sdk_get_version_string()));
}

TEST_F(CommandTest, UnusableFilesFailWithTheReason) {
    const std::string text_file = directory.file("notes.txt");
    vorlan_test::write_file(text_file, {'h', 'e', 'l', 'l', 'o', '\n'});
    const std::string other_format = directory.file("other.pcap");
    vorlan_test::write_file(other_format, vorlan_test::Bytes(64, 0x0a));
    const std::string empty_capture = directory.file("empty.pcap");
    vorlan_test::CaptureBuilder().write(empty_capture);
    const std::string cut_capture = directory.file("cut.pcap");
    vorlan_test::Bytes cut = vorlan_test::read_file(capture);
    cut.resize(cut.size() / 2);
    vorlan_test::write_file(cut_capture, cut);

    const struct {
        std::string file;
        const char* message;
    } files[] = {
        {directory.file("missing.pcap"), "No such file or directory"},
        {directory.path(), "is a directory"},
        {text_file, "not a capture file"},
        {other_format, "not a capture file"},
        {empty_capture, "holds no packets"},
        {cut_capture, "cut short"},
    };
    for (const auto& f : files) {
        std::vector<std::vector<std::string>> commands{{"replay", f.file},
                                                       {"export", f.file, "--out", directory.file("clouds")}};
        // Render stops at its frame, which a capture cut short may still hold.
        if (f.file != cut_capture) {
            commands.push_back({"render", f.file, "--out", directory.file("frame.png")});
        }
        for (const std::vector<std::string>& args : commands) {
            const ToolResult result = run_tool(args);
            EXPECT_EQ(kExitFailure, result.code) << args[0] << " " << f.file;
            EXPECT_NE(std::string::npos, result.err.find("vorlan: " + f.file + ": ")) << result.err;
            EXPECT_NE(std::string::npos, result.err.find(f.message)) << result.err;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(directory.file("frame.png")));
}

TEST_F(CommandTest, ReplayPrintsTheCaptureSensorsFramesAndSummary) {
    const ToolResult result = run_tool({"replay", capture});
    EXPECT_EQ(kExitSuccess, result.code) << result.err;
    expect_replay_shape(result.out, capture);
    for (const SimulatedSensorInfo& sensor : simulated_sensors()) {
        EXPECT_NE(std::string::npos, result.out.find("sensor " + name_of(sensor) + "  ")) << sensor.name;
    }
    const std::vector<FrameLine> frames = parsed_frames(result.out);
    ASSERT_FALSE(frames.empty());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(i, frames[i].index);
        EXPECT_GT(frames[i].points, 0u);
    }
    EXPECT_NE(std::string::npos, result.out.find("sensors 4  frames " + std::to_string(frames.size()) + "  points "))
        << result.out;
}

// Datagrams library 1 cannot decode, from more addresses than the tool keeps
// state for (a spoofing flood): every datagram is still counted, and the
// senders are said to be at least the bound.
TEST(ReplayOfAFlood, CountsEveryDatagramOfMoreSendersThanItTracks) {
    TemporaryDirectory directory;
    const std::string capture = directory.file("flood.pcap");
    vorlan_test::CaptureBuilder builder;
    const std::size_t senders = kTrackedSenders * 2 + 100;
    vorlan_test::Bytes payload(64, 0);
    std::memcpy(payload.data(), "STDV", 4);  // second-generation point data
    for (std::size_t round = 0; round < 2; ++round) {
        payload[4] = uint8_t(round);  // not a copy of the round before
        for (std::size_t i = 0; i < senders; ++i) {
            builder.udp(1'700'000'000'000'000 + int64_t(round * senders + i), 0x0a000000u + uint32_t(i), payload);
        }
    }
    builder.write(capture);
    const ToolResult result = run_tool({"replay", capture, "--sdk", "1"});
    EXPECT_EQ(kExitSuccess, result.code) << result.err;
    EXPECT_NE(std::string::npos, result.out.find("at least " + std::to_string(kTrackedSenders) + " senders (" +
                                                 std::to_string(2 * senders) +
                                                 " datagrams) that library 1 cannot decode"))
        << result.out;
}

// The library starts a frame in the sweep modes as a timed one; the tool sets
// the options again once each sensor's data has started, so from each
// sensor's second frame on the frames follow its scan, not the clock.
TEST_F(CommandTest, SweepFramesFollowEachSensorsScanFromTheStart) {
    const ToolResult result = run_tool({"replay", capture, "--frame-mode", "sweep"});
    ASSERT_EQ(kExitSuccess, result.code) << result.err;
    const std::vector<FrameLine> frames = parsed_frames(result.out);
    for (const SimulatedSensorInfo& sensor : simulated_sensors()) {
        if (sensor.model == 16) {
            continue;  // marks its own frames, which overlap
        }
        std::vector<double> spans;
        for (const FrameLine& frame : frames) {
            if (frame.sensor == name_of(sensor)) {
                spans.push_back(frame.span);
            }
        }
        ASSERT_GE(spans.size(), 3u) << sensor.name;
        for (std::size_t i = 1; i < spans.size(); ++i) {
            EXPECT_NEAR(sensor.frame_period_s, spans[i], 0.1 * sensor.frame_period_s) << sensor.name << " frame " << i;
        }
    }
}

// Dual-return sensors give both returns only when asked; frames then carry
// two image points per measurement.
TEST_F(CommandTest, MultipleReturnsShowTheSecondReturnOfDualReturnSensors) {
    const ToolResult single = run_tool({"replay", capture, "--frames", "1"});
    const ToolResult dual = run_tool({"replay", capture, "--frames", "1", "--multiple-returns"});
    ASSERT_EQ(kExitSuccess, single.code) << single.err;
    ASSERT_EQ(kExitSuccess, dual.code) << dual.err;
    for (const SimulatedSensorInfo& sensor : simulated_sensors()) {
        if (sensor.info_packet_type == "INFY") {
            continue;  // the INFY status bit, not the format, says how many returns
        }
        const std::string line = "sensor " + name_of(sensor) + "  ";
        const std::size_t at = dual.out.find(line);
        ASSERT_NE(std::string::npos, at) << sensor.name;
        const std::string dual_line = dual.out.substr(at, dual.out.find('\n', at) - at);
        EXPECT_NE(std::string::npos, dual_line.find("returns 2")) << dual_line;
        const std::size_t single_at = single.out.find(line);
        ASSERT_NE(std::string::npos, single_at) << sensor.name;
        EXPECT_NE(std::string::npos, single.out.substr(single_at, single.out.find('\n', single_at) - single_at)
                                         .find("returns 1"));
    }
    const std::vector<FrameLine> single_frames = parsed_frames(single.out);
    const std::vector<FrameLine> dual_frames = parsed_frames(dual.out);
    ASSERT_EQ(1u, single_frames.size());
    ASSERT_EQ(1u, dual_frames.size());
    EXPECT_EQ(2 * single_frames[0].points, dual_frames[0].points);
}

TEST_F(CommandTest, ReplayStopsAtTheFrameLimit) {
    const ToolResult result = run_tool({"replay", capture, "--frames", "3"});
    EXPECT_EQ(kExitSuccess, result.code) << result.err;
    expect_replay_shape(result.out, capture);
    EXPECT_EQ(3u, parsed_frames(result.out).size());
    EXPECT_EQ("stopped after 3 frames", lines_of(result.out).back());
}

TEST_F(CommandTest, TimedFramesSpanTheirLength) {
    const ToolResult result = run_tool({"replay", capture, "--frame-mode", "timed", "--frame-length", "0.05"});
    ASSERT_EQ(kExitSuccess, result.code) << result.err;
    const std::vector<FrameLine> frames = parsed_frames(result.out);
    ASSERT_FALSE(frames.empty());
    for (const FrameLine& frame : frames) {
        EXPECT_LE(frame.span, 0.051) << frame.index;
    }
}

TEST_F(CommandTest, PacedReplayEndsAtTheEndOfTheCapture) {
    const std::string shorter = directory.file("short.pcap");
    write_sim_capture(shorter, 0.2);
    const ToolResult result = run_tool({"replay", shorter, "--speed", "5"});
    EXPECT_EQ(kExitSuccess, result.code) << result.err;
    expect_replay_shape(result.out, shorter);
    EXPECT_NE(std::string::npos, result.out.find("speed 5x")) << result.out;
}

TEST_F(CommandTest, ExportWritesOneFilePerFrame) {
    for (const char* format : {"ply", "csv"}) {
        const std::string out = directory.file(std::string("clouds_") + format);
        const ToolResult result = run_tool({"export", capture, "--format", format, "--out", out});
        ASSERT_EQ(kExitSuccess, result.code) << result.err;
        std::size_t files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(out)) {
            EXPECT_EQ(std::string(".") + format, entry.path().extension().string());
            ++files;
        }
        const std::regex wrote("wrote ([0-9]+) (PLY|CSV) files to .*");
        std::smatch match;
        const std::vector<std::string> lines = lines_of(result.out);
        ASSERT_FALSE(lines.empty());
        ASSERT_TRUE(std::regex_match(lines.back(), match, wrote)) << result.out;
        EXPECT_EQ(std::to_string(files), match[1].str());
    }
}

TEST_F(CommandTest, ExportIntoAPlaceThatIsAFileFails) {
    const std::string blocker = directory.file("blocker");
    vorlan_test::write_file(blocker, {'x'});
    const ToolResult result = run_tool({"export", capture, "--out", blocker});
    EXPECT_EQ(kExitFailure, result.code);
    EXPECT_NE(std::string::npos, result.err.find("cannot create the folder")) << result.err;
}

TEST_F(CommandTest, RenderDrawsTheChosenFrame) {
    for (const std::vector<std::string>& choice :
         {std::vector<std::string>{}, std::vector<std::string>{"--frame", "2"}}) {
        const std::string png = directory.file("frame.png");
        std::vector<std::string> args{"render", capture, "--out", png};
        args.insert(args.end(), choice.begin(), choice.end());
        const ToolResult result = run_tool(args);
        ASSERT_EQ(kExitSuccess, result.code) << result.err;
        const std::regex drawn(
            "frame ([0-9]+) of sensor [0-9.]+ serial [0-9]+ \\([0-9]+ points\\): top view and range image in " + png);
        const std::string last = lines_of(result.out).back();
        std::smatch match;
        ASSERT_TRUE(std::regex_match(last, match, drawn)) << result.out;
        if (!choice.empty()) {
            EXPECT_EQ("2", match[1].str());
        }
        const vorlan_test::Bytes bytes = vorlan_test::read_file(png);
        ASSERT_GT(bytes.size(), 8u);
        EXPECT_EQ(0x89, bytes[0]);
        EXPECT_EQ('P', bytes[1]);
        std::filesystem::remove(png);
    }
}

TEST_F(CommandTest, RenderOfAFrameBeyondTheCaptureFails) {
    const ToolResult result = run_tool({"render", capture, "--out", directory.file("f.png"), "--frame", "100000"});
    EXPECT_EQ(kExitFailure, result.code);
    EXPECT_NE(std::string::npos, result.err.find("no frame 100000")) << result.err;
    EXPECT_FALSE(std::filesystem::exists(directory.file("f.png")));
}

TEST_F(CommandTest, SimWritesTheSameCaptureForTheSameSeed) {
    const std::string first = directory.file("first.pcap");
    const std::string second = directory.file("second.pcap");
    const std::string other = directory.file("other.pcap");
    for (const auto& run : {std::make_pair(first, "3"), std::make_pair(second, "3"), std::make_pair(other, "4")}) {
        const ToolResult result = run_tool({"sim", "--seed", run.second, "--seconds", "0.3", "--out", run.first});
        ASSERT_EQ(kExitSuccess, result.code) << result.err;
        EXPECT_EQ(0u, lines_of(result.out).back().find("wrote ")) << result.out;
    }
    EXPECT_EQ(vorlan_test::read_file(first), vorlan_test::read_file(second));
    EXPECT_NE(vorlan_test::read_file(first), vorlan_test::read_file(other));
}

TEST_F(CommandTest, SimIntoAFolderThatDoesNotExistFails) {
    const ToolResult result = run_tool({"sim", "--out", directory.file("no/such/folder/x.pcap")});
    EXPECT_EQ(kExitFailure, result.code);
    EXPECT_NE(std::string::npos, result.err.find("vorlan: cannot write")) << result.err;
}

// What sim says of a sensor, replay and listen say the same way: address,
// serial number, the library's model name, channels and returns.
std::vector<std::string> simulated_names(const std::string& out) {
    static const std::regex line("simulated sensor (.* \\(model [0-9]+\\))  .*  (channels [0-9]+  returns [0-9]+).*");
    std::vector<std::string> names;
    for (const std::string& text : lines_of(out)) {
        std::smatch match;
        if (std::regex_match(text, match, line)) {
            names.push_back(match[1].str() + "|" + match[2].str());
        }
    }
    return names;
}

void expect_sensors_named(const std::vector<std::string>& names, const std::string& out) {
    ASSERT_EQ(4u, names.size());
    for (const std::string& name : names) {
        const std::size_t bar = name.find('|');
        const std::string identity = "sensor " + name.substr(0, bar) + "  ";
        const std::size_t at = out.find(identity);
        ASSERT_NE(std::string::npos, at) << identity << "\n" << out;
        const std::string line = out.substr(at, out.find('\n', at) - at);
        EXPECT_NE(std::string::npos, line.find(name.substr(bar + 1))) << line;
    }
}

TEST_F(CommandTest, SimAndReplayNameEachSensorAlike) {
    const std::string file = directory.file("named.pcap");
    const ToolResult simulated = run_tool({"sim", "--seconds", "0.5", "--out", file});
    ASSERT_EQ(kExitSuccess, simulated.code) << simulated.err;
    const ToolResult replayed = run_tool({"replay", file});
    ASSERT_EQ(kExitSuccess, replayed.code) << replayed.err;
    expect_sensors_named(simulated_names(simulated.out), replayed.out);
    EXPECT_NE(std::string::npos, simulated.out.find("simulated sensor 192.168.1.201 serial 900001  TQ50-S (model 3)"))
        << simulated.out;
}

// Files that exist are kept unless --force; a sensor filter that matches
// nothing says so.
TEST_F(CommandTest, ExistingFilesAreReplacedOnlyWithForce) {
    const std::string existing = directory.file("existing.pcap");
    const vorlan_test::Bytes before = vorlan_test::read_file(capture);
    vorlan_test::write_file(existing, before);
    const uint16_t busy = vorlan_test::free_udp_port();
    vorlan_test::UdpPortHolder holder(busy);
    const struct {
        std::vector<std::string> args;
        int code;
        const char* message;  // on standard error; empty: none expected
        bool replaced;
    } cases[] = {
        {{"sim", "--seconds", "0.2", "--out", existing}, kExitFailure, "exists; add --force to replace it", false},
        // The path is checked before the port: the file, not the busy port, is named.
        {{"record", existing, "--port", std::to_string(busy), "--seconds", "1"},
         kExitFailure,
         "exists; add --force to replace it",
         false},
        {{"record", directory.path(), "--port", std::to_string(busy)}, kExitFailure, "it is a folder", false},
        {{"sim", "--seconds", "0.2", "--out", existing, "--force"}, kExitSuccess, "", true},
    };
    for (const auto& c : cases) {
        const ToolResult result = run_tool(c.args);
        EXPECT_EQ(c.code, result.code) << c.args[0] << ": " << result.err;
        if (*c.message != '\0') {
            EXPECT_EQ(0u, result.err.find("vorlan: ")) << result.err;
            EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
        }
        EXPECT_EQ(c.replaced, vorlan_test::read_file(existing) != before) << c.args[0];
    }
    const ToolResult unmatched = run_tool({"replay", capture, "--sensor", "10.9.8.7"});
    EXPECT_EQ(kExitSuccess, unmatched.code);
    EXPECT_NE(std::string::npos, unmatched.err.find("vorlan: warning: no sensor matches --sensor 10.9.8.7"))
        << unmatched.err;
    EXPECT_NE(std::string::npos, unmatched.out.find("frames 0")) << unmatched.out;
}

// Only the chosen sensor's frames, only from the chosen time; the frames are
// those of the whole run.
TEST_F(CommandTest, SensorAndTimeFiltersPickFramesOfTheWholeRun) {
    const ToolResult all = run_tool({"replay", capture});
    ASSERT_EQ(kExitSuccess, all.code) << all.err;
    const SimulatedSensorInfo kiru = simulated_sensors()[1];
    for (const std::string& choice : {dotted_address(kiru.handle), std::to_string(kiru.serial_number)}) {
        const ToolResult one = run_tool({"replay", capture, "--sensor", choice, "--start", "0.5"});
        ASSERT_EQ(kExitSuccess, one.code) << one.err;
        const std::vector<FrameLine> chosen = parsed_frames(one.out);
        ASSERT_GT(chosen.size(), 3u) << one.out;
        std::vector<std::size_t> points_of_all;
        for (const FrameLine& frame : parsed_frames(all.out)) {
            if (frame.sensor == name_of(kiru)) {
                points_of_all.push_back(frame.points);
            }
        }
        ASSERT_LT(chosen.size(), points_of_all.size());
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            EXPECT_EQ(i, chosen[i].index);
            EXPECT_EQ(name_of(kiru), chosen[i].sensor);
            // The last frames of the run are the same frames.
            EXPECT_EQ(points_of_all[points_of_all.size() - chosen.size() + i], chosen[i].points) << i;
        }
    }
}

// An export stopped by Ctrl-C says so and exits with the interrupt code.
TEST_F(CommandTest, InterruptedExportSaysSo) {
    const std::string long_capture = directory.file("long.pcap");
    write_sim_capture(long_capture, 10.0);
    const std::string out = directory.file("clouds");
    std::filesystem::create_directories(out);
    ToolResult result;
    std::thread exporter([&] { result = run_tool({"export", long_capture, "--out", out, "--speed", "1"}); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::filesystem::is_empty(out) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    request_stop();
    exporter.join();
    EXPECT_EQ(kExitInterrupted, result.code) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("vorlan: interrupted: wrote ")) << result.err;
    EXPECT_NE(std::string::npos, result.err.find("before the end of the capture")) << result.err;
}

TEST(LiveCommands, BusyPortFailsWithTheSystemsReason) {
    const uint16_t port = vorlan_test::free_udp_port();
    vorlan_test::UdpPortHolder holder(port);
    ASSERT_TRUE(holder.is_bound());
    TemporaryDirectory directory;
    const std::string file = directory.file("live.pcap");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"listen", "--port", std::to_string(port), "--seconds", "5"},
          std::vector<std::string>{"record", file, "--port", std::to_string(port), "--seconds", "5"}}) {
        const ToolResult result = run_tool(args);
        EXPECT_EQ(kExitFailure, result.code) << args[0];
        EXPECT_NE(std::string::npos, result.err.find("annot listen on UDP port " + std::to_string(port)))
            << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(LiveCommands, RecordIntoAFolderThatDoesNotExistFails) {
    TemporaryDirectory directory;
    const std::string file = directory.file("no/such/folder/live.pcap");
    const ToolResult result =
        run_tool({"record", file, "--port", std::to_string(vorlan_test::free_udp_port()), "--seconds", "5"});
    EXPECT_EQ(kExitFailure, result.code);
    EXPECT_NE(std::string::npos, result.err.find("vorlan: cannot write " + file + ": No such file or directory"))
        << result.err;
}

// The port is bound before the file is opened; datagrams that come in
// between are kept as well.
TEST(LiveCommands, RecordKeepsEveryDatagramWithItsSender) {
    const uint16_t port = vorlan_test::free_udp_port();
    TemporaryDirectory directory;
    const std::string file = directory.file("live.pcap");
    ToolResult result;
    std::thread recorder([&] {
        result = run_tool({"record", file, "--port", std::to_string(port), "--seconds", "3"});
    });
    wait_until_bound(port);
    vorlan_test::UdpSender sender(port);
    std::vector<vorlan_test::Bytes> sent;
    for (uint8_t i = 0; i < 20; ++i) {
        sent.push_back(vorlan_test::test_payload(100 + i, i));
        ASSERT_TRUE(sender.send(sent.back().data(), sent.back().size()));
    }
    recorder.join();
    ASSERT_EQ(kExitSuccess, result.code) << result.err;
    EXPECT_NE(std::string::npos, result.out.find("recorded 20 packets")) << result.out;

    vorlan_sdk::Capture reader;
    ASSERT_TRUE(reader.open_for_read(file).ok());
    vorlan_sdk::Capture::PacketHeader header;
    const uint8_t* data = nullptr;
    for (const vorlan_test::Bytes& payload : sent) {
        ASSERT_TRUE(reader.next_packet(header, data).ok());
        EXPECT_EQ(vorlan_test::ipv4(127, 0, 0, 1), header.source_address);
        EXPECT_EQ(payload, vorlan_test::Bytes(data, data + header.data_size));
    }
    EXPECT_EQ(VORLAN_ERROR_EOF, reader.next_packet(header, data).code());
}

TEST(LiveCommands, ListenShowsWhatTheSimulatorSends) {
    const uint16_t port = vorlan_test::free_udp_port();
    ToolResult listened;
    std::thread listener([&] { listened = run_tool({"listen", "--port", std::to_string(port)}); });
    wait_until_bound(port);
    const ToolResult sent = run_tool({"sim", "--port", std::to_string(port), "--seconds", "0.5"});
    request_stop();
    listener.join();
    ASSERT_EQ(kExitSuccess, sent.code) << sent.err;
    EXPECT_EQ(0u, lines_of(sent.out).back().find("sent ")) << sent.out;
    ASSERT_EQ(kExitInterrupted, listened.code) << listened.err;
    EXPECT_NE(std::string::npos, listened.out.find("sensors 4  frames ")) << listened.out;
    EXPECT_FALSE(parsed_frames(listened.out).empty()) << listened.out;
    // Live, the sensors send from 127.x.y.z; sim and listen name them alike.
    expect_sensors_named(simulated_names(sent.out), listened.out);
    EXPECT_NE(std::string::npos, sent.out.find("simulated sensor 127.168.1.201 serial 900001  ")) << sent.out;
}

TEST(LiveCommands, ListenStopsWhenAsked) {
    const uint16_t port = vorlan_test::free_udp_port();
    ToolResult result;
    std::thread listener([&] { result = run_tool({"listen", "--port", std::to_string(port)}); });
    wait_until_bound(port);
    request_stop();
    listener.join();
    EXPECT_EQ(kExitInterrupted, result.code) << result.err;
    const std::vector<std::string> lines = lines_of(result.out);
    ASSERT_GE(lines.size(), 3u) << result.out;
    EXPECT_EQ("listening on UDP port " + std::to_string(port) + "  library 1  frame mode sweep  (Ctrl-C stops)",
              lines.front());
    EXPECT_EQ("interrupted", lines.back());
}

}  // namespace
}  // namespace vorlan_tool
