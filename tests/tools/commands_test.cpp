// The subcommands run through the whole command line, in-process: exit codes,
// messages for what users get wrong, and the shapes of their output.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "capture.h"
#include "commands.h"
#include "stop_signal.h"
#include "support/udp_socket.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

using vorlan_test::TemporaryDirectory;

class CommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        capture = directory.file("small.pcap");
        write_small_capture(capture);
    }

    TemporaryDirectory directory;
    std::string capture;
};

// Every line of a replay is the capture line, a sensor, a frame, the summary
// or the end note.
void expect_replay_shape(const std::string& out, const std::string& file) {
    const std::regex capture_line(std::regex_replace(file, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                                  ": capture [0-9.]+ s  frame mode [a-z-]+  speed .*");
    const std::regex sensor_line("sensor [0-9a-f]{9}  serial [0-9]+  .*");
    const std::regex frame_line(
        "frame [0-9]+ +sensor [0-9a-f]{9}  points +[0-9]+  valid +[0-9]+  span [0-9.]+ s  range [0-9.]+-[0-9.]+ m");
    const std::regex summary_line("sensors [0-9]+  frames [0-9]+  points [0-9]+  valid [0-9]+  errors [0-9]+");
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
            EXPECT_TRUE(lines[i] == "stopped after 3 frames") << lines[i];
            continue;
        }
        EXPECT_TRUE(std::regex_match(lines[i], sensor_line) || std::regex_match(lines[i], frame_line)) << lines[i];
    }
    EXPECT_TRUE(summary_seen) << out;
}

std::size_t count_frame_lines(const std::string& out) {
    std::size_t n = 0;
    for (const std::string& line : lines_of(out)) {
        n += line.compare(0, 6, "frame ") == 0 ? 1 : 0;
    }
    return n;
}

TEST(CommandLine, BadOptionsExitWithUsageCodeAndSayWhy) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "A subcommand is required"},
        {{"frobnicate"}, "A subcommand is required"},
        {{"replay"}, "file is required"},
        {{"replay", "x.pcap", "--speed", "9"}, "--speed"},
        {{"replay", "x.pcap", "--speed", "fast"}, "--speed"},
        {{"replay", "x.pcap", "--frame-mode", "sideways"}, "--frame-mode"},
        {{"replay", "x.pcap", "--frame-length", "0"}, "--frame-length"},
        {{"replay", "x.pcap", "--frames", "-2"}, "--frames"},
        {{"listen", "--port", "70000"}, "--port"},
        {{"record"}, "file is required"},
        {{"export", "x.pcap", "--format", "obj", "--out", "d"}, "--format"},
        {{"export", "x.pcap"}, "--out is required"},
        {{"render", "x.pcap"}, "--out is required"},
        {{"sim"}, "[--out,--port]"},
        {{"sim", "--out", "a.pcap", "--port", "9000"}, "[--out,--port]"},
    };
    for (const auto& c : cases) {
        const ToolResult result = run_tool(c.args);
        EXPECT_EQ(kExitUsage, result.code) << c.message;
        EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
        EXPECT_NE(std::string::npos, result.err.find("--help")) << result.err;
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
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"replay", f.file},
              std::vector<std::string>{"export", f.file, "--out", directory.file("clouds")},
              std::vector<std::string>{"render", f.file, "--out", directory.file("frame.png")}}) {
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
}

TEST_F(CommandTest, ReplayStopsAtTheFrameLimit) {
    const ToolResult result = run_tool({"replay", capture, "--frames", "3", "--frame-mode", "timed",
                                        "--frame-length", "0.05"});
    EXPECT_EQ(kExitSuccess, result.code) << result.err;
    expect_replay_shape(result.out, capture);
    EXPECT_LE(count_frame_lines(result.out), 3u);
}

TEST_F(CommandTest, PacedReplayEndsAtTheEndOfTheCapture) {
    const std::string shorter = directory.file("short.pcap");
    write_small_capture(shorter, 0.2);
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

TEST_F(CommandTest, RenderOfAFrameBeyondTheCaptureFails) {
    const ToolResult result = run_tool({"render", capture, "--out", directory.file("f.png"), "--frame", "100000"});
    EXPECT_EQ(kExitFailure, result.code);
    EXPECT_NE(std::string::npos, result.err.find("no frame 100000")) << result.err;
    EXPECT_FALSE(std::filesystem::exists(directory.file("f.png")));
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
        EXPECT_NE(std::string::npos, result.err.find("Cannot listen on UDP port " + std::to_string(port)))
            << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(LiveCommands, RecordKeepsEveryDatagramWithItsSender) {
    const uint16_t port = vorlan_test::free_udp_port();
    TemporaryDirectory directory;
    const std::string file = directory.file("live.pcap");
    ToolResult result;
    std::thread recorder(
        [&] { result = run_tool({"record", file, "--port", std::to_string(port), "--seconds", "3"}); });
    // Bound once the port cannot be taken any more.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (vorlan_test::udp_port_is_free(port) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
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

TEST(LiveCommands, ListenStopsWhenAsked) {
    const uint16_t port = vorlan_test::free_udp_port();
    ToolResult result;
    std::thread listener([&] { result = run_tool({"listen", "--port", std::to_string(port)}); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (vorlan_test::udp_port_is_free(port) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    request_stop();
    listener.join();
    EXPECT_EQ(kExitSuccess, result.code) << result.err;
    const std::vector<std::string> lines = lines_of(result.out);
    ASSERT_GE(lines.size(), 3u) << result.out;
    EXPECT_EQ("listening on UDP port " + std::to_string(port) + "  frame mode sweep  (Ctrl-C stops)", lines.front());
    EXPECT_EQ("interrupted", lines.back());
}

}  // namespace
}  // namespace vorlan_tool
