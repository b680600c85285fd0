// The commands that show frames, run on the second library (`--sdk 2`),
// in-process on the simulator's capture. Legacy translation may or may not
// be available to the test program; the checks look at the second
// generation's sensors, which come out either way.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "commands.h"
#include "frame_summary.h"
#include "stop_signal.h"
#include "support/capture_builder.h"
#include "support/udp_socket.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

using vorlan_test::TemporaryDirectory;

std::vector<FrameLine> frames_of(const std::vector<FrameLine>& frames, const PointSensorSetup& sensor) {
    const std::string name = format_sensor_name(sensor.address, sensor.serial_number);
    std::vector<FrameLine> out;
    for (const FrameLine& frame : frames) {
        if (frame.sensor == name) {
            out.push_back(frame);
        }
    }
    return out;
}

bool is_fixed_10hz(const PointSensorSetup& sensor) { return sensor.model < 16 && sensor.model != 10; }

class Sdk2CommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        capture = directory.file("small.pcap");
        write_sim_capture(capture, 1.0);
    }

    TemporaryDirectory directory;
    std::string capture;
};

TEST_F(Sdk2CommandTest, ReplayGivesEachSecondGenerationSensorFramesInBothModes) {
    const struct {
        std::vector<std::string> mode;
        const char* shown;
    } cases[] = {{{}, "frame mode natural"}, {{"--frame-mode", "timed", "--frame-length", "0.05"}, "frame mode timed 0.050 s"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        std::vector<std::string> args{"replay", capture, "--sdk", "2"};
        args.insert(args.end(), c.mode.begin(), c.mode.end());
        const ToolResult result = run_tool(args);
        ASSERT_EQ(kExitSuccess, result.code) << result.err;
        EXPECT_NE(std::string::npos, lines_of(result.out).front().find(c.shown)) << result.out;
        const std::vector<FrameLine> frames = parsed_frames(result.out);
        // The same summary as with the first library.
        const std::regex summary("sensors ([0-9]+)  frames ([0-9]+)  points [0-9]+  valid [0-9]+");
        std::smatch match;
        const std::string last = lines_of(result.out).back();
        ASSERT_TRUE(std::regex_match(last, match, summary)) << last;
        EXPECT_GE(std::stoul(match[1]), 4u);
        EXPECT_EQ(frames.size(), std::stoul(match[2]));

        const bool natural = c.mode.empty();
        for (const PointSensorSetup& sensor : simulated_point_sensors()) {
            SCOPED_TRACE(sensor.name);
            EXPECT_NE(std::string::npos, result.out.find("serial " + std::to_string(sensor.serial_number) + "  " +
                                                         sensor.model_name + " (model " +
                                                         std::to_string(sensor.model) + ")"));
            const std::vector<FrameLine> own = frames_of(frames, sensor);
            ASSERT_GE(own.size(), natural || is_fixed_10hz(sensor) ? 8u : 17u);
            for (std::size_t f = 1; f < own.size(); ++f) {
                if (is_fixed_10hz(sensor)) {
                    // Cut every 100 ms in either mode.
                    EXPECT_EQ(2000u, own[f].points) << f;
                    EXPECT_NEAR(0.1, own[f].span, 0.001) << f;
                } else if (natural) {
                    // One sweep: the library's frame begins with 2048 points
                    // of the last one, which the tool does not hand out twice.
                    EXPECT_EQ(static_cast<std::size_t>(sensor.channels * sensor.columns_per_sweep), own[f].points)
                        << f;
                } else {
                    EXPECT_LE(own[f].span, 0.0501) << f;
                }
            }
        }
    }
}

// A capture cut short replays what it holds and fails, as with the first
// library. The tool says where, once: the library, which would say it too on
// the process's standard error, is asked not to; so is `check`'s.
TEST_F(Sdk2CommandTest, ACaptureCutShortReplaysAndFailsSaidOnce) {
    vorlan_test::Bytes bytes = vorlan_test::read_file(capture);
    bytes.resize(bytes.size() / 2);
    const std::string cut = directory.file("cut.pcap");
    vorlan_test::write_file(cut, bytes);
    testing::internal::CaptureStderr();
    const ToolResult replayed = run_tool({"replay", cut, "--sdk", "2"});
    const ToolResult checked = run_tool({"check", cut});
    const std::string library_said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(kExitFailure, replayed.code);
    const std::regex said_where("vorlan: " + cut + ": the capture is cut short or damaged at [0-9]+\\.[0-9]{3} s; .*\n");
    EXPECT_TRUE(std::regex_match(replayed.err, said_where)) << replayed.err;
    EXPECT_NE(std::string::npos, replayed.out.find(" frame ")) << replayed.out;
    EXPECT_EQ(kExitFailure, checked.code);
    EXPECT_NE(std::string::npos, checked.out.find("the last record is cut short")) << checked.out;
    EXPECT_EQ(std::string::npos, library_said.find("vorlan_sdk2: ")) << library_said;
}

TEST_F(Sdk2CommandTest, FramesPulledThroughTheFifoAreTheListenersFrames) {
    for (const std::vector<std::string>& mode :
         {std::vector<std::string>{}, std::vector<std::string>{"--frame-mode", "timed", "--frame-length", "0.02"}}) {
        std::vector<std::string> args{"replay", capture, "--sdk", "2"};
        args.insert(args.end(), mode.begin(), mode.end());
        const ToolResult listened = run_tool(args);
        args.insert(args.end(), {"--fifo", "2"});  // the replay waits for the reader often
        const ToolResult pulled = run_tool(args);
        ASSERT_EQ(kExitSuccess, listened.code) << listened.err;
        ASSERT_EQ(kExitSuccess, pulled.code) << pulled.err;
        EXPECT_GT(frames_and_summary_of(listened.out).size(), 30u);
        EXPECT_EQ(frames_and_summary_of(listened.out), frames_and_summary_of(pulled.out));
        EXPECT_NE(std::string::npos, lines_of(pulled.out).front().find("FIFO of 2 frames"));
    }
}

TEST_F(Sdk2CommandTest, ExportWritesMetresAndRenderDrawsAFrame) {
    const std::string out = directory.file("clouds");
    const ToolResult exported = run_tool({"export", capture, "--sdk", "2", "--format", "csv", "--out", out, "--frames", "6"});
    ASSERT_EQ(kExitSuccess, exported.code) << exported.err;
    EXPECT_EQ("wrote 6 CSV files to " + out, lines_of(exported.out).back());
    std::size_t rows = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
        std::ifstream file(entry.path());
        std::string line;
        std::getline(file, line);
        // The same columns as the first library's export.
        EXPECT_EQ("x,y,z,distance,intensity,segment,return,flags,time_us", line);
        while (std::getline(file, line)) {
            double x, y, z, distance, intensity;
            unsigned segment, returned, flags;
            long long time;
            ASSERT_EQ(9, std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf,%lf,%u,%u,%u,%lld", &x, &y, &z, &distance,
                                     &intensity, &segment, &returned, &flags, &time))
                << line;
            // Inside the simulated yard: walls 12 m to either side and 45 m
            // ahead, ground 1.5 m below.
            ASSERT_LE(std::abs(x), 12.1) << line;
            ASSERT_GT(y, 0.0) << line;
            ASSERT_LE(y, 45.1) << line;
            ASSERT_GE(z, -1.51) << line;
            ASSERT_NEAR(distance, std::sqrt(x * x + y * y + z * z), 0.01) << line;
            ASSERT_NE(0u, flags & VORLAN_POINT_VALID) << line;
            ++rows;
        }
    }
    EXPECT_GT(rows, 6000u);

    const std::string png = directory.file("frame.png");
    const ToolResult rendered = run_tool({"render", capture, "--sdk", "2", "--out", png});
    ASSERT_EQ(kExitSuccess, rendered.code) << rendered.err;
    const std::regex drawn("frame [0-9]+ of sensor [0-9.]+ serial [0-9]+ \\([0-9]+ points\\): top view and range image in " + png);
    EXPECT_TRUE(std::regex_match(lines_of(rendered.out).back(), drawn)) << rendered.out;
    const vorlan_test::Bytes bytes = vorlan_test::read_file(png);
    ASSERT_GT(bytes.size(), 1000u);
    EXPECT_EQ('P', bytes[1]);
}

TEST(Sdk2CommandLine, OptionsThatDoNotSuitTheLibraryAreRefused) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--frame-mode", "natural"}, "add --sdk 2"},
        {{"--fifo", "4"}, "add --sdk 2"},
        {{"--sdk", "3"}, "--sdk"},
        {{"--sdk", "2", "--frame-mode", "sweep"}, "natural or timed"},
        {{"--sdk", "2", "--frame-mode", "timed", "--frame-length", "0.0005"}, "0.001 s or more"},
        {{"--sdk", "2", "--fifo", "0"}, "--fifo"},
        {{"--sdk", "2", "--multiple-returns"}, "first library only"},
    };
    for (const auto& c : cases) {
        for (const char* command : {"replay", "render"}) {
            std::vector<std::string> args{command, "x.pcap", "--out", "x.png"};
            if (std::string(command) == "replay") {
                args.resize(2);
            }
            args.insert(args.end(), c.args.begin(), c.args.end());
            const ToolResult result = run_tool(args);
            EXPECT_EQ(kExitUsage, result.code) << command << " " << c.message;
            EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
        }
    }
}

TEST(Sdk2LiveCommands, ListenShowsWhatTheSimulatorSends) {
    const uint16_t port = vorlan_test::free_udp_port();
    ToolResult listened;
    std::thread listener([&] { listened = run_tool({"listen", "--sdk", "2", "--fifo", "4", "--port", std::to_string(port)}); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (vorlan_test::udp_port_is_free(port) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const ToolResult sent = run_tool({"sim", "--port", std::to_string(port), "--seconds", "0.5"});
    request_stop();
    listener.join();
    ASSERT_EQ(kExitSuccess, sent.code) << sent.err;
    // Stopped by Ctrl-C, as with the first library.
    ASSERT_EQ(kExitInterrupted, listened.code) << listened.err;
    EXPECT_EQ(0u, listened.out.find("listening on UDP port " + std::to_string(port) + "  library 2")) << listened.out;
    for (const PointSensorSetup& sensor : simulated_point_sensors()) {
        EXPECT_NE(std::string::npos, listened.out.find("serial " + std::to_string(sensor.serial_number) + "  "))
            << listened.out;
    }
    EXPECT_FALSE(parsed_frames(listened.out).empty()) << listened.out;
    EXPECT_EQ("interrupted", lines_of(listened.out).back());
}

}  // namespace
}  // namespace vorlan_tool
