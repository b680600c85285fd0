// A command that writes a file never destroys what it reads, never replaces
// a file it was not allowed to, never writes into a pipe or device, and
// leaves no half-written file behind when it fails.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>

#include "commands.h"
#include "support/capture_builder.h"
#include "support/udp_socket.h"
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

// A disk that fills while the command writes: the run fails, says so once of
// the path the user named (not of its temporary twin), and leaves nothing.
// The child process gets a file size limit, the portable way to make
// writes fail without a full file system.
TEST(OutputSafety, AWriteThatFailsIsReportedOfTheNamedFileAndLeavesNothing) {
    TemporaryDirectory directory;
    const std::string capture = directory.file("yard.pcap");
    write_sim_capture(capture, 0.3);
    const std::string port = std::to_string(vorlan_test::free_udp_port());
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {"record with no traffic", {"record", directory.file("rec.pcap"), "--port", port, "--seconds", "0.2"},
         directory.file("rec.pcap")},
        {"convert", {"convert", capture, directory.file("conv.pcap")}, directory.file("conv.pcap")},
        {"sim", {"sim", "--out", directory.file("sim.pcap"), "--seconds", "0.2"}, directory.file("sim.pcap")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string said = directory.file("said.txt");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
            rlimit limit{};
            ::getrlimit(RLIMIT_FSIZE, &limit);
            const rlimit before = limit;
            limit.rlim_cur = 10;  // the soft limit only, so that it can be lifted again
            ::setrlimit(RLIMIT_FSIZE, &limit);
            const ToolResult result = run_tool(c.args);
            ::setrlimit(RLIMIT_FSIZE, &before);
            std::FILE* file = std::fopen(said.c_str(), "w");
            std::fputs(result.err.c_str(), file);
            std::fclose(file);
            ::_exit(result.code);
        }
        int status = 0;
        ASSERT_EQ(child, ::waitpid(child, &status, 0));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(kExitFailure, WEXITSTATUS(status));
        const vorlan_test::Bytes bytes = vorlan_test::read_file(said);
        const std::string err(bytes.begin(), bytes.end());
        const std::string expected = "cannot write " + c.out + ": File too large";
        EXPECT_NE(std::string::npos, err.find(expected)) << err;
        EXPECT_EQ(err.find("cannot write"), err.rfind("cannot write")) << err;
        EXPECT_FALSE(std::filesystem::exists(c.out));
        std::filesystem::remove(said);
        EXPECT_TRUE(only_named_files_in(directory.path()));
    }
}

}  // namespace
}  // namespace vorlan_tool
