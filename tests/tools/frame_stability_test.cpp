// Frames are a property of the capture, not of how fast it is played: the
// tool applies its frame options at a fixed point of the packet stream, so
// replay, export and render cut the same frames at every speed, every pass
// of a loop starts afresh, and live traffic gives what its capture gives.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "commands.h"
#include "support/capture_builder.h"
#include "support/udp_socket.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

using vorlan_test::TemporaryDirectory;

// A frame line without its index and with the sensor's address left out:
// what the frame holds.
std::string frame_content(const std::string& line) {
    static const std::regex prefix("frame [0-9]+ +sensor [0-9.]+ ");
    return std::regex_replace(line, prefix, "");
}

std::map<std::string, vorlan_test::Bytes> files_in(const std::string& folder) {
    std::map<std::string, vorlan_test::Bytes> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        files[entry.path().filename().string()] = vorlan_test::read_file(entry.path().string());
    }
    return files;
}

class FrameStabilityTest : public ::testing::Test {
protected:
    // The sample capture `make demo` makes: seed 1, ten seconds.
    void SetUp() override { write_sim_capture(sample, 10.0, 1); }

    TemporaryDirectory directory;
    const std::string sample = directory.file("sample.pcap");
};

TEST_F(FrameStabilityTest, ReplayExportAndRenderGiveTheSameFramesAtEverySpeed) {
    std::vector<std::string> replayed_at_full_speed;
    std::map<std::string, vorlan_test::Bytes> exported_at_full_speed;
    vorlan_test::Bytes drawn_at_full_speed;
    for (const std::string speed : {"0", "1", "5"}) {
        // Two seconds of the capture keep the paced runs short.
        const ToolResult replayed = run_tool({"replay", sample, "--speed", speed, "--end", "2"});
        ASSERT_EQ(kExitSuccess, replayed.code) << replayed.err;
        const std::string clouds = directory.file("clouds_" + speed);
        const ToolResult exported =
            run_tool({"export", sample, "--speed", speed, "--end", "2", "--format", "pcd", "--out", clouds});
        ASSERT_EQ(kExitSuccess, exported.code) << exported.err;
        const std::string picture = directory.file("frame_" + speed + ".png");
        const ToolResult drawn = run_tool({"render", sample, "--speed", speed, "--frame", "12", "--out", picture});
        ASSERT_EQ(kExitSuccess, drawn.code) << drawn.err;

        const std::vector<std::string> frames = frame_lines_of(replayed.out);
        const std::map<std::string, vorlan_test::Bytes> files = files_in(clouds);
        if (speed == "0") {
            // Export leaves out each sensor's first, partial frame.
            ASSERT_GT(frames.size(), 40u);
            EXPECT_EQ(frames.size() - simulated_sensors().size(), files.size());
            replayed_at_full_speed = frames;
            exported_at_full_speed = files;
            drawn_at_full_speed = vorlan_test::read_file(picture);
            continue;
        }
        EXPECT_EQ(replayed_at_full_speed, frames) << "speed " << speed;
        EXPECT_TRUE(exported_at_full_speed == files) << "speed " << speed;
        EXPECT_TRUE(drawn_at_full_speed == vorlan_test::read_file(picture)) << "speed " << speed;
    }
}

// A sweep frame follows the scan: no sensor's frame spans much more than its
// scan period, also where a loop starts the capture again, and every pass
// gives the frames of the first.
TEST_F(FrameStabilityTest, EveryPassOfALoopStartsFreshFrames) {
    const std::string short_capture = directory.file("short.pcap");
    write_sim_capture(short_capture, 1.0, 1);
    const std::vector<std::string> once = frame_lines_of(run_tool({"replay", short_capture}).out);
    ASSERT_GT(once.size(), 10u);
    const ToolResult looped =
        run_tool({"replay", short_capture, "--loop", "--frames", std::to_string(3 * once.size())});
    ASSERT_EQ(kExitSuccess, looped.code) << looped.err;
    const std::vector<std::string> frames = frame_lines_of(looped.out);
    ASSERT_EQ(3 * once.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frame_content(once[i % once.size()]), frame_content(frames[i])) << "frame " << i;
    }
}

// The same datagrams live and from a capture give the same frames of each
// sensor (live traffic leaves from 127.x.y.z, the capture holds the sensors'
// own addresses).
TEST(LiveFrames, ListenCutsTheFramesItsCaptureGives) {
    TemporaryDirectory directory;
    const std::string capture = directory.file("same.pcap");
    ASSERT_EQ(kExitSuccess, run_tool({"sim", "--seed", "5", "--seconds", "1.5", "--out", capture}).code);
    const ToolResult replayed = run_tool({"replay", capture});
    ASSERT_EQ(kExitSuccess, replayed.code) << replayed.err;
    const std::size_t n_frames = frame_lines_of(replayed.out).size();
    ASSERT_GT(n_frames, 20u);

    // The listener stops by itself once it has as many frames; lost
    // datagrams would leave it short until its time runs out.
    const uint16_t port = vorlan_test::free_udp_port();
    ToolResult listened;
    std::thread listener([&] {
        listened = run_tool(
            {"listen", "--port", std::to_string(port), "--frames", std::to_string(n_frames), "--seconds", "30"});
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (vorlan_test::udp_port_is_free(port) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const ToolResult sent = run_tool({"sim", "--seed", "5", "--seconds", "1.5", "--port", std::to_string(port)});
    listener.join();
    ASSERT_EQ(kExitSuccess, sent.code) << sent.err;
    ASSERT_EQ(kExitSuccess, listened.code) << listened.err;

    // Per sensor (by serial number), the points of each frame in order.
    const auto per_sensor = [](const std::string& out) {
        static const std::regex frame("frame [0-9]+ +sensor [0-9.]+ serial ([0-9]+)  points +([0-9]+)  valid +([0-9]+).*");
        std::map<std::string, std::vector<std::string>> frames;
        for (const std::string& line : lines_of(out)) {
            std::smatch match;
            if (std::regex_match(line, match, frame)) {
                frames[match[1]].push_back(match[2].str() + "/" + match[3].str());
            }
        }
        return frames;
    };
    const auto live = per_sensor(listened.out);
    const auto recorded = per_sensor(replayed.out);
    ASSERT_EQ(4u, recorded.size()) << replayed.out;
    EXPECT_EQ(recorded, live) << listened.out;
}

}  // namespace
}  // namespace vorlan_tool
