// Lifecycle, control flags, frame options, version and port of the library,
// through the C interface as a client sees them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core.h"
#include "support/sdk_fixture.h"

namespace {

using vorlan_test::offline_options;

std::string last_message() {
    const char* text = nullptr;
    vorlan_sdk_get_error(&text);
    return text;
}

TEST(Options, DefaultsAreExact) {
    const VorlanSDKOptions options = vorlan_sdk_create_options();
    EXPECT_EQ(40u, options.signature);
    EXPECT_EQ(0u, options.control_flags);
    EXPECT_EQ(16u, options.frame.signature);
    EXPECT_EQ(VORLAN_SDK_FRAME_STREAMING, options.frame.mode);
    EXPECT_EQ(0.05f, options.frame.length);
    EXPECT_EQ(8808, options.port);
    const uint8_t zero[6] = {};
    EXPECT_EQ(0, std::memcmp(options.padding_0, zero, sizeof(options.padding_0)));
    EXPECT_EQ(0, std::memcmp(options.padding_1, zero, sizeof(options.padding_1)));
    EXPECT_EQ(112u + 192u * vorlan_laser_calibration_size, vorlan_calibration_size);
}

// The text a client prints and the numbers it compares never disagree; the
// C client checks the release itself.
TEST(Version, TextSpellsTheNumbers) {
    const std::string numbers = std::to_string(vorlan_sdk_get_version_major()) + "." +
                                std::to_string(vorlan_sdk_get_version_minor()) + "." +
                                std::to_string(vorlan_sdk_get_version_patch());
    EXPECT_EQ(numbers, vorlan_sdk_get_version_string());
}

TEST(Lifecycle, InitialiseRefusals) {
    VorlanSDKOptions options = offline_options();
    EXPECT_EQ(VORLAN_ERROR_SDK_VERSION_MISMATCH, vorlan_sdk_initialize(18, &options, nullptr, nullptr));
    EXPECT_EQ(0, vorlan_sdk_is_initialized());
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, nullptr, nullptr, nullptr));

    VorlanSDKOptions wrong_signature = options;
    wrong_signature.signature = 39;
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS,
              vorlan_sdk_initialize(VORLAN_SDK_VERSION, &wrong_signature, nullptr, nullptr));

    for (VorlanSDKControl bad : {0x1u, 0x20u, 0x80u, 0x100u, 0x400u, 0x800u, 0x2000u, 0x80000000u}) {
        VorlanSDKOptions with_bad_flag = options;
        with_bad_flag.control_flags |= bad;
        EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS,
                  vorlan_sdk_initialize(VORLAN_SDK_VERSION, &with_bad_flag, nullptr, nullptr))
            << std::hex << bad;
    }

    VorlanSDKOptions bad_frame = options;
    bad_frame.frame.mode = 5;
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &bad_frame, nullptr, nullptr));
    EXPECT_EQ(0, vorlan_sdk_is_initialized());
}

TEST(Lifecycle, EveryValidFlagIsAccepted) {
    VorlanSDKOptions options = offline_options();
    options.control_flags = 0x125E;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr));
    EXPECT_EQ(0x125Eu, vorlan_sdk_get_control_flags());
    EXPECT_EQ(1, vorlan_sdk_has_control_flag(VORLAN_SDK_CONTROL_RAW_PACKET_TIME | 0x1));
    EXPECT_EQ(0, vorlan_sdk_has_control_flag(0x1));
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
}

TEST(Lifecycle, CycleKeepsFrameOptionsAndPortButNotFlags) {
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());  // not initialised: success
    EXPECT_EQ(8808, vorlan_sdk_get_port());

    VorlanSDKOptions options = offline_options(VORLAN_SDK_CONTROL_HOST_TIMESTAMPS);
    options.port = 9123;
    options.frame.mode = VORLAN_SDK_FRAME_TIMED;
    options.frame.length = 0.25f;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr));
    EXPECT_EQ(VORLAN_ERROR_ALREADY_INITIALIZED, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr));
    EXPECT_EQ(1, vorlan_sdk_is_initialized());  // the refused call left it running
    EXPECT_EQ(9123, vorlan_sdk_get_port());
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());

    EXPECT_EQ(0u, vorlan_sdk_get_control_flags());
    EXPECT_EQ(VORLAN_SDK_FRAME_TIMED, vorlan_sdk_get_frame_mode());
    EXPECT_EQ(0.25f, vorlan_sdk_get_frame_length());
    EXPECT_EQ(9123, vorlan_sdk_get_port());

    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr));
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
}

TEST(Lifecycle, FunctionsThatNeedALibraryRefuseBeforeInitialisation) {
    const VorlanSDKFrameOptions frame = vorlan_sdk_create_frame_options();
    EXPECT_EQ(VORLAN_ERROR_NOT_INITIALIZED, vorlan_sdk_set_control_flags(0x4, 0x4));
    EXPECT_EQ(VORLAN_ERROR_NOT_INITIALIZED, vorlan_sdk_set_frame_options(&frame));
    EXPECT_EQ(VORLAN_ERROR_NOT_INITIALIZED, vorlan_sdk_set_port(9000));
    EXPECT_EQ("", last_message());
    const uint8_t payload[4] = {'I', 'N', 'F', 'O'};
    EXPECT_EQ(VORLAN_ERROR_NOT_INITIALIZED, vorlan_sdk_mock_network_receive(1, 0, payload, sizeof(payload)));
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_clear());
    EXPECT_EQ(0u, vorlan_sdk_get_control_flags());
}

TEST(Lifecycle, ExitWhileInitialisedSaysSoAndEndsCleanly) {
    EXPECT_EXIT(
        {
            VorlanSDKOptions options = offline_options();
            vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr);
            std::exit(3);
        },
        ::testing::ExitedWithCode(3), "SDK not deinitialized!");
}

// ---- Control flags ----------------------------------------------------------

class ControlFlagsTest : public vorlan_test::OfflineSdkTest {};

TEST_F(ControlFlagsTest, OnlyTheChangeableBitsChange) {
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_set_control_flags(0x10, 0x10));
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_set_control_flags(0x1000, 0));
    EXPECT_EQ(VORLAN_SDK_CONTROL_DISABLE_NETWORK, vorlan_sdk_get_control_flags());

    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_control_flags(0x4, 0x4));
    EXPECT_EQ(0x6u, vorlan_sdk_get_control_flags());
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_control_flags(0x4, 0x4));
    EXPECT_EQ(0x6u, vorlan_sdk_get_control_flags());

    // Bits outside the mask keep their value whatever `flags` says.
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_control_flags(0x208, 0x20F));
    EXPECT_EQ(0x20Eu, vorlan_sdk_get_control_flags());
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_control_flags(0x20C, 0));
    EXPECT_EQ(0x2u, vorlan_sdk_get_control_flags());
}

TEST_F(ControlFlagsTest, MockReceiveNeedsTheNetworkDisabled) {
    const uint8_t payload[4] = {'S', 'T', 'D', 'P'};
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(1, 0, payload, sizeof(payload)));
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_mock_network_receive(1, 0, nullptr, 4));

    // Port 0 lets the system pick a free port for the live listener.
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_port(0));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_control_flags(VORLAN_SDK_CONTROL_DISABLE_NETWORK, 0));
    EXPECT_EQ(VORLAN_ERROR_COMMUNICATION, vorlan_sdk_mock_network_receive(1, 0, payload, sizeof(payload)));
    EXPECT_EQ("Must disable networking!", last_message());
    ASSERT_EQ(VORLAN_SUCCESS,
              vorlan_sdk_set_control_flags(VORLAN_SDK_CONTROL_DISABLE_NETWORK, VORLAN_SDK_CONTROL_DISABLE_NETWORK));
}

// ---- Frame options ----------------------------------------------------------

class FrameOptionsTest : public vorlan_test::OfflineSdkTest {};

TEST_F(FrameOptionsTest, ChecksAndTheirMessages) {
    struct Case {
        uint64_t signature;
        VorlanSDKFrameMode mode;
        float length;
        VorlanSensorErrorCode code;
        const char* message;
    };
    const Case cases[] = {
        {16, VORLAN_SDK_FRAME_STREAMING, 0.0f, VORLAN_SUCCESS, ""},
        {16, VORLAN_SDK_FRAME_BY_MODEL, -1.0f, VORLAN_SUCCESS, ""},
        {16, VORLAN_SDK_FRAME_TIMED, 0.1f, VORLAN_SUCCESS, ""},
        {16, VORLAN_SDK_FRAME_SWEEP, 0.0f, VORLAN_SUCCESS, ""},
        {15, VORLAN_SDK_FRAME_STREAMING, 0.1f, VORLAN_ERROR_INVALID_ARGUMENTS,
         "AssertionError: Options not initialized!\n  File \"source/core\", line 126\n"
         "    options.signature == sizeof(options)"},
        {16, 5, 0.1f, VORLAN_ERROR_INVALID_ARGUMENTS,
         "AssertionError: Invalid frame mode!\n  File \"source/core\", line 129\n"
         "    options.mode <= VORLAN_SDK_FRAME_MODE_MAX"},
        {16, -1, 0.1f, VORLAN_ERROR_INVALID_ARGUMENTS,
         "AssertionError: Invalid frame mode!\n  File \"source/core\", line 129\n"
         "    options.mode <= VORLAN_SDK_FRAME_MODE_MAX"},
        {16, VORLAN_SDK_FRAME_TIMED, 0.0f, VORLAN_ERROR_INVALID_ARGUMENTS,
         "AssertionError: Invalid frame length!\n  File \"source/core\", line 132\n    options.length > 0.0f"},
        {16, VORLAN_SDK_FRAME_TIMED, -0.5f, VORLAN_ERROR_INVALID_ARGUMENTS,
         "AssertionError: Invalid frame length!\n  File \"source/core\", line 132\n    options.length > 0.0f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " " + std::to_string(c.length));
        const VorlanSDKFrameOptions before{16, vorlan_sdk_get_frame_mode(), vorlan_sdk_get_frame_length()};
        const VorlanSDKFrameOptions options{c.signature, c.mode, c.length};
        EXPECT_EQ(c.code, vorlan_sdk_set_frame_options(&options));
        EXPECT_EQ(c.message, last_message());
        const VorlanSDKFrameOptions& kept = c.code == VORLAN_SUCCESS ? options : before;
        EXPECT_EQ(kept.mode, vorlan_sdk_get_frame_mode());
        EXPECT_EQ(kept.length, vorlan_sdk_get_frame_length());
    }
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_set_frame_options(nullptr));
}

}  // namespace
