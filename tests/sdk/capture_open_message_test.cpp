// A capture that cannot be opened is reported with its path and the reason,
// in the calling thread's last error; the codes stay the reader's.
#include <gtest/gtest.h>

#include <string>

#include "support/capture_builder.h"
#include "support/sdk_fixture.h"
#include "vorlan_sdk.h"

namespace {

using CaptureOpenMessageTest = vorlan_test::OfflineSdkTest;

TEST_F(CaptureOpenMessageTest, NamesThePathAndTheReason) {
    vorlan_test::TemporaryDirectory directory;
    const std::string text = directory.file("notes.txt");
    vorlan_test::write_file(text, {'h', 'e', 'l', 'l', 'o', ',', ' ', 'w', 'o', 'r', 'l', 'd', '\n'});
    const std::string long_text = directory.file("notes.md");
    const std::string words = "# Notes\nA text file longer than a capture's file header.\n";
    vorlan_test::write_file(long_text, vorlan_test::Bytes(words.begin(), words.end()));
    const std::string tiny = directory.file("tiny.pcap");
    vorlan_test::write_file(tiny, {0xd4});
    const struct {
        std::string path;
        VorlanSensorErrorCode code;
        const char* reason;
    } cases[] = {
        {directory.file("missing.pcap"), VORLAN_ERROR_FILE_IO, "No such file or directory"},
        {directory.path(), VORLAN_ERROR_FILE_IO, "a folder, not a capture file"},
        {text, VORLAN_ERROR_FILE_IO, "not a capture file"},
        {long_text, VORLAN_ERROR_INVALID_FILE_TYPE, "not a capture file"},
        {tiny, VORLAN_ERROR_FILE_IO, "too short for a capture file"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.code, vorlan_sdk_capture_replay_open(c.path.c_str())) << c.path;
        const char* message = nullptr;
        EXPECT_EQ(c.code, vorlan_sdk_get_error(&message));
        ASSERT_NE(nullptr, message);
        EXPECT_NE(std::string::npos, std::string(message).find(c.path + ": " + c.reason)) << message;
        EXPECT_EQ(0, vorlan_sdk_capture_replay_is_open());
    }
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_capture_replay_open(nullptr));
    EXPECT_EQ(0, vorlan_sdk_capture_replay_is_open());
}

}  // namespace
