// A command that writes a file never destroys what it reads, never replaces
// a file it was not allowed to, never writes into a pipe or device, and
// leaves no half-written file behind when it fails.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "commands.h"
#include "support/capture_builder.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

using vorlan_test::TemporaryDirectory;

bool only_named_files_in(const std::string& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string()[0] == '.') {
            return false;  // a temporary file left behind
        }
    }
    return true;
}

TEST(OutputSafety, WritingCommandsKeepWhatTheyMustNotTouch) {
    TemporaryDirectory directory;
    const std::string capture = directory.file("yard.pcap");
    write_sim_capture(capture, 0.3);
    const vorlan_test::Bytes original = vorlan_test::read_file(capture);
    const std::string kept = directory.file("kept.pcap");
    vorlan_test::write_file(kept, {'k', 'e', 'p', 't'});
    const std::string text = directory.file("notes.txt");
    vorlan_test::write_file(text, {'h', 'i', '\n'});
    const std::string pipe = directory.file("pipe");
    ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0600));

    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* said;
    } cases[] = {
        {"convert onto its input", {"convert", capture, capture, "--force"}, "it is the file being read"},
        {"convert onto its input by another name",
         {"convert", capture, directory.path() + "/./yard.pcap", "--force"}, "it is the file being read"},
        {"convert onto an existing file", {"convert", capture, kept}, "exists; add --force to replace it"},
        {"convert into a pipe", {"convert", capture, pipe, "--force"}, "it is not a regular file"},
        {"convert into a device", {"convert", capture, "/dev/null", "--force"}, "it is not a regular file"},
        {"convert of a pipe", {"convert", pipe, directory.file("out.pcap")}, "not a regular file"},
        {"a failed convert keeps the file it was to replace", {"convert", text, kept, "--force"}, ""},
        {"render that finds no frame writes no picture", {"render", capture, "--out", capture + ".png", "--frame", "100000"}, "no frame"},
        {"check of a pipe", {"check", pipe}, "not a regular file"},
        {"replay of a pipe", {"replay", pipe}, "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ToolResult result = run_tool(c.args);
        EXPECT_EQ(kExitFailure, result.code) << result.out << result.err;
        EXPECT_NE(std::string::npos, result.err.find(c.said)) << result.err;
        EXPECT_EQ(original, vorlan_test::read_file(capture));
        EXPECT_EQ(vorlan_test::Bytes({'k', 'e', 'p', 't'}), vorlan_test::read_file(kept));
        EXPECT_TRUE(only_named_files_in(directory.path()));
    }
    EXPECT_FALSE(std::filesystem::exists(directory.file("out.pcap")));
    EXPECT_FALSE(std::filesystem::exists(capture + ".png"));
    struct stat status {};
    ASSERT_EQ(0, ::stat("/dev/null", &status));
    EXPECT_TRUE(S_ISCHR(status.st_mode));
}

TEST(OutputSafety, AConvertWithForceReplacesTheFileWhole) {
    TemporaryDirectory directory;
    const std::string capture = directory.file("yard.pcap");
    write_sim_capture(capture, 0.3);
    const std::string out = directory.file("out.pcap");
    vorlan_test::write_file(out, {'o', 'l', 'd'});
    const ToolResult result = run_tool({"convert", capture, out, "--force"});
    ASSERT_EQ(kExitSuccess, result.code) << result.err;
    EXPECT_EQ(vorlan_test::read_file(capture), vorlan_test::read_file(out));
    EXPECT_TRUE(only_named_files_in(directory.path()));
}

}  // namespace
}  // namespace vorlan_tool
