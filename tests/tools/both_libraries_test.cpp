// Every command's options mean the same whichever library decodes: the same
// cases run with --sdk 1 and --sdk 2 on the simulator's capture, which holds
// sensors both libraries read.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <thread>

#include "commands.h"
#include "stop_signal.h"
#include "support/capture_builder.h"
#include "tool_run.h"
#include "yard_capture_suite.h"

namespace vorlan_tool {
namespace {

using vorlan_test::TemporaryDirectory;

// A first-generation sensor of the simulator: both libraries show it.
const char* const kAddress = "192.168.1.202";
const char* const kSerial = "900002";
const char* const kName = "192.168.1.202 serial 900002";

std::vector<std::string> frame_sensors(const std::string& out) {
    const std::regex frame_line("frame [0-9]+ +sensor ([0-9.]+( serial [0-9]+)?)  points .*");
    std::vector<std::string> sensors;
    for (const std::string& line : lines_of(out)) {
        std::smatch match;
        if (std::regex_match(line, match, frame_line)) {
            sensors.push_back(match[1]);
        }
    }
    return sensors;
}

class BothLibrariesTest : public EachLibrarySuite {};

TEST_P(BothLibrariesTest, ReplaySelectsTheSameWay) {
    const ToolResult all = tool({"replay", capture()});
    ASSERT_EQ(kExitSuccess, all.code) << all.err;
    const std::size_t all_frames = frame_sensors(all.out).size();
    ASSERT_GT(all_frames, 8u);

    struct Case {
        const char* name;
        std::vector<std::string> options;
        int code;
        std::function<void(const ToolResult&)> check;
    };
    const auto only_the_sensor = [](const ToolResult& r) {
        const std::vector<std::string> sensors = frame_sensors(r.out);
        ASSERT_FALSE(sensors.empty()) << r.out;
        for (const std::string& sensor : sensors) EXPECT_EQ(kName, sensor);
    };
    const Case cases[] = {
        {"frame limit", {"--frames", "3"}, kExitSuccess,
         [](const ToolResult& r) {
             EXPECT_EQ(3u, frame_sensors(r.out).size());
             EXPECT_EQ("stopped after 3 frames", lines_of(r.out).back());
         }},
        {"sensor by address", {"--sensor", kAddress}, kExitSuccess, only_the_sensor},
        {"sensor by serial number", {"--sensor", kSerial}, kExitSuccess, only_the_sensor},
        {"from a start", {"--start", "0.5"}, kExitSuccess,
         [&](const ToolResult& r) {
             EXPECT_FALSE(frame_sensors(r.out).empty());
             EXPECT_LT(frame_sensors(r.out).size(), all_frames);
         }},
        {"to an end", {"--end", "0.5"}, kExitSuccess,
         [&](const ToolResult& r) {
             EXPECT_FALSE(frame_sensors(r.out).empty());
             EXPECT_LT(frame_sensors(r.out).size(), all_frames);
         }},
        {"a start beyond the end", {"--start", "20"}, kExitFailure,
         [](const ToolResult& r) { EXPECT_NE(std::string::npos, r.err.find("beyond the capture's end")) << r.err; }},
        {"a sensor not there", {"--sensor", "10.9.8.7"}, kExitSuccess,
         [](const ToolResult& r) {
             EXPECT_NE(std::string::npos, r.err.find("no sensor matches --sensor 10.9.8.7")) << r.err;
             EXPECT_TRUE(frame_sensors(r.out).empty());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"replay", capture()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ToolResult result = tool(args);
        EXPECT_EQ(c.code, result.code) << result.err;
        c.check(result);
    }
}

TEST_P(BothLibrariesTest, RenderDrawsTheChosenSensorAndKeepsPicturesWithoutForce) {
    const std::string picture = s_folder->file(std::string("sensor") + GetParam() + ".png");
    const ToolResult drawn = tool({"render", capture(), "--out", picture, "--sensor", kAddress, "--color-by", "intensity"});
    ASSERT_EQ(kExitSuccess, drawn.code) << drawn.err;
    EXPECT_NE(std::string::npos, drawn.out.find("of sensor " + std::string(kName) + " (")) << drawn.out;
    const auto size = std::filesystem::file_size(picture);

    const ToolResult again = tool({"render", capture(), "--out", picture, "--sensor", kAddress});
    EXPECT_EQ(kExitFailure, again.code);
    EXPECT_NE(std::string::npos, again.err.find(picture + " exists; add --force to replace it")) << again.err;
    EXPECT_EQ(size, std::filesystem::file_size(picture));

    const ToolResult forced = tool({"render", capture(), "--out", picture, "--force"});
    EXPECT_EQ(kExitSuccess, forced.code) << forced.err;
    // No temporary file is left beside the picture.
    for (const auto& entry : std::filesystem::directory_iterator(s_folder->path())) {
        EXPECT_NE('.', entry.path().filename().string()[0]) << entry.path();
    }
}

TEST_P(BothLibrariesTest, ExportWritesWholeFramesNumberedPerSensorAndKeepsFilesWithoutForce) {
    const std::string out = s_folder->file(std::string("clouds") + GetParam());
    const ToolResult first = tool({"export", capture(), "--out", out, "--sensor", kAddress, "--format", "csv"});
    ASSERT_EQ(kExitSuccess, first.code) << first.err;
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
        names.insert(entry.path().filename().string());
    }
    ASSERT_FALSE(names.empty());
    // Numbered from 0 with no gap, the partial first frame left out.
    std::size_t n = 0;
    for (const std::string& name : names) {
        char expected[64];
        std::snprintf(expected, sizeof(expected), "192.168.1.202_900002_%06zu.csv", n++);
        EXPECT_EQ(expected, name);
    }
    const ToolResult again = tool({"export", capture(), "--out", out, "--sensor", kAddress, "--format", "csv"});
    EXPECT_EQ(kExitFailure, again.code);
    EXPECT_NE(std::string::npos, again.err.find("exists; add --force to replace it")) << again.err;
    const ToolResult forced =
        tool({"export", capture(), "--out", out, "--sensor", kAddress, "--format", "csv", "--force"});
    EXPECT_EQ(kExitSuccess, forced.code) << forced.err;
}

TEST_P(BothLibrariesTest, CtrlCEndsEveryCaptureCommandWith130) {
    const std::string long_capture = s_folder->file(std::string("long") + GetParam() + ".pcap");
    write_sim_capture(long_capture, 10.0);
    const std::vector<std::vector<std::string>> commands = {
        {"replay", long_capture, "--speed", "1"},
        {"export", long_capture, "--speed", "1", "--out", s_folder->file(std::string("cut") + GetParam())},
        {"render", long_capture, "--speed", "1", "--frame", "100000", "--out",
         s_folder->file(std::string("never") + GetParam() + ".png")},
    };
    for (const std::vector<std::string>& args : commands) {
        SCOPED_TRACE(args[0]);
        clear_stop_request();
        ToolResult result;
        std::thread runner([&] { result = tool(args); });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        request_stop();
        runner.join();
        EXPECT_EQ(kExitInterrupted, result.code) << result.err;
        EXPECT_NE(std::string::npos, (result.out + result.err).find("interrupted")) << result.out << result.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Sdk, BothLibrariesTest, ::testing::Values("1", "2"), library_instance_name);

}  // namespace
}  // namespace vorlan_tool
