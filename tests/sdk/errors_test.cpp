// The error value, its reports, the code table and the per-thread last error.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "core.h"
#include "support/sdk_fixture.h"

namespace vorlan_sdk {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

const char* const kUnusedReportForInvalidArguments =
    "AssertionError: Error not used: VORLAN_ERROR_INVALID_ARGUMENTS\n"
    "  File \"include/vorlan_sdk_impl/vorlan_sdk\", line 122\n"
    "    !m_code || m_used\n";

TEST(SensorError, WhatTextIsTheNameAndTheMessage) {
    SensorError with_message(VORLAN_ERROR_GENERIC, "x");
    EXPECT_STREQ("VORLAN_ERROR_GENERIC\nx", with_message.what());
    SensorError name_only(VORLAN_ERROR_GENERIC);
    EXPECT_STREQ("VORLAN_ERROR_GENERIC", name_only.what());
    SensorError success;
    EXPECT_STREQ("", success.what());
}

TEST(SensorError, UnconsumedFailureIsReportedOnceWhenDestroyed) {
    CaptureStderr();
    { SensorError unused(VORLAN_ERROR_INVALID_ARGUMENTS); }
    EXPECT_EQ(kUnusedReportForInvalidArguments, GetCapturedStderr());

    CaptureStderr();
    {
        SensorError consumed(VORLAN_ERROR_INVALID_ARGUMENTS);
        EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, consumed.code());
        SensorError success;  // successes are never reported
    }
    EXPECT_EQ("", GetCapturedStderr());
}

TEST(SensorError, CopyCarriesTheDutyToBeConsumed) {
    CaptureStderr();
    {
        SensorError original(VORLAN_ERROR_INVALID_ARGUMENTS);
        SensorError copy(original);
        EXPECT_TRUE(original.is_used());
        EXPECT_FALSE(copy.is_used());
        copy.mark_used();
    }
    EXPECT_EQ("", GetCapturedStderr());

    CaptureStderr();
    {
        SensorError original(VORLAN_ERROR_INVALID_ARGUMENTS);
        SensorError copy(original);
    }  // only the copy is reported
    EXPECT_EQ(kUnusedReportForInvalidArguments, GetCapturedStderr());

    CaptureStderr();
    {
        SensorError target(VORLAN_ERROR_INVALID_ARGUMENTS);
        target = SensorError(VORLAN_ERROR_GENERIC);  // overwriting an unread failure reports it
        target.mark_used();
    }
    EXPECT_EQ(kUnusedReportForInvalidArguments, GetCapturedStderr());
}

TEST(SensorError, UnknownCodeIsBuiltAndReported) {
    CaptureStderr();
    SensorError unknown(-3, "m");
    const std::string report = GetCapturedStderr();
    EXPECT_EQ(
        "AssertionError: Invalid error code: -3\n"
        "  File \"include/vorlan_sdk_impl/vorlan_sdk\", line 51\n"
        "    !get_error_code_name(code_).empty()\n",
        report);
    EXPECT_STREQ("\nm", unknown.what());
}

TEST(ErrorMessages, ContextAndAssertionForms) {
    EXPECT_EQ("  File \"source/core\", line 132\n    options.length > 0.0f",
              internal::create_context_message("source/core", 132, "options.length > 0.0f"));
    EXPECT_EQ("AssertionError: Invalid frame length!\n  File \"f\", line 7\n    c",
              internal::create_assert_message("f", 7, "c", "Invalid frame length!"));
    EXPECT_EQ("AssertionError\n  File \"f\", line 7\n    c", internal::create_assert_message("f", 7, "c", ""));
    const std::string long_expression(3000, 'e');
    EXPECT_EQ(999u, internal::create_context_message("f", 1, long_expression.c_str()).size());
}

TEST(ErrorMessages, ProcessErrorHandsOnAFreshCopyWithoutContext) {
    SensorError failure(VORLAN_ERROR_EOF, "end");
    SensorError handed_on = internal::process_error("f", 1, "step()", failure, false);
    EXPECT_TRUE(failure.is_used());
    EXPECT_FALSE(handed_on.is_used());
    EXPECT_EQ("end", handed_on.message());
    EXPECT_EQ(VORLAN_ERROR_EOF, handed_on.code());
    EXPECT_TRUE(internal::process_error("f", 1, "step()", SensorError(), false).ok());
}

TEST(ErrorCodes, NamesAndClasses) {
    struct Case {
        VorlanSensorErrorCode code;
        const char* name;
        int is_error;
        int is_fault;
    };
    const Case cases[] = {
        {0, "VORLAN_SUCCESS", 0, 0},
        {-1, "VORLAN_ERROR_GENERIC", 1, 0},
        {-2, "VORLAN_ERROR_OUT_OF_MEMORY", 1, 0},
        {-3, "", 1, 0},
        {-18, "VORLAN_ERROR_INVALID_STATE", 1, 0},
        {-19, "", 1, 0},
        {-999, "", 1, 0},
        {-1000, "VORLAN_FAULT_INTERNAL", 0, 1},
        {-1008, "VORLAN_FAULT_DETECTOR_MALFUNCTION", 0, 1},
        {-1999, "", 0, 1},
        {-2000, "", 0, 0},
        {1, "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(c.name, vorlan_get_error_code_name(c.code));
        EXPECT_EQ(c.is_error, vorlan_is_error_code(c.code));
        EXPECT_EQ(c.is_fault, vorlan_is_fault_code(c.code));
    }
}

// ---- Per-thread last error ----------------------------------------------------

class LastErrorTest : public vorlan_test::OfflineSdkTest {};

VorlanSensorErrorCode last_error(std::string* message = nullptr) {
    const char* text = nullptr;
    const VorlanSensorErrorCode code = vorlan_sdk_get_error(&text);
    EXPECT_NE(nullptr, text);
    if (message != nullptr) {
        *message = text;
    }
    return code;
}

TEST(LastError, FreshThreadHasSuccessAndAnEmptyMessage) {
    std::string message = "unset";
    EXPECT_EQ(VORLAN_SUCCESS, last_error(&message));
    EXPECT_EQ("", message);
}

TEST_F(LastErrorTest, EachThreadSeesOnlyItsOwnCalls) {
    VorlanSDKFrameOptions bad = vorlan_sdk_create_frame_options();
    bad.mode = VORLAN_SDK_FRAME_TIMED;
    bad.length = 0.0f;
    ASSERT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_set_frame_options(&bad));

    VorlanSensorErrorCode other_thread_code = VORLAN_ERROR_GENERIC;
    VorlanSensorErrorCode other_thread_failure = VORLAN_SUCCESS;
    std::thread other([&] {
        other_thread_code = last_error();
        other_thread_failure = vorlan_sdk_listen_raw_frames(nullptr, nullptr);
    });
    other.join();
    EXPECT_EQ(VORLAN_SUCCESS, other_thread_code);
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, other_thread_failure);

    std::string message;
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, last_error(&message));
    EXPECT_EQ(
        "AssertionError: Invalid frame length!\n"
        "  File \"source/core\", line 132\n"
        "    options.length > 0.0f",
        message);
}

TEST_F(LastErrorTest, ManyThreadsKeepTheirOwnResults) {
    constexpr int kThreads = 8;
    int mismatches[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int round = 0; round < 200; ++round) {
                // Even threads fail, odd threads succeed; each checks it sees its own.
                const VorlanSensorErrorCode expected =
                    (t % 2 == 0) ? vorlan_sdk_set_control_flags(0x10, 0x10) : vorlan_sdk_set_control_flags(0, 0);
                const VorlanSensorErrorCode want = (t % 2 == 0) ? VORLAN_ERROR_INVALID_ARGUMENTS : VORLAN_SUCCESS;
                if (expected != want || last_error() != want) {
                    ++mismatches[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(0, mismatches[t]) << "thread " << t;
    }
}

TEST_F(LastErrorTest, LatestResultWinsAndReadingDoesNotClearIt) {
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_set_control_flags(0x10, 0x10));
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_control_flags(0x4, 0x4));
    EXPECT_EQ(VORLAN_SUCCESS, last_error());

    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_set_control_flags(0x10, 0x10));
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, last_error());
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, last_error());
}

void ignore_raw_frame(VorlanSensorHandle, size_t, const VorlanSensorRawPointWithTime*, void*) {}

TEST_F(LastErrorTest, FailuresInARowAreNotReportedAsUnused) {
    CaptureStderr();
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_set_control_flags(0x10, 0x10));
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_set_control_flags(0x20, 0x20));
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, last_error());
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_raw_frames(ignore_raw_frame, nullptr));
    EXPECT_EQ(VORLAN_ERROR_TOO_MANY_CALLBACKS, vorlan_sdk_listen_raw_frames(ignore_raw_frame, nullptr));
    EXPECT_EQ(VORLAN_ERROR_TOO_MANY_CALLBACKS, last_error());
    EXPECT_EQ("", GetCapturedStderr());
}

TEST(LastError, CallsFromAnExitHandlerAreSafe) {
    // At exit the thread's own storage is gone before exit handlers run; a
    // client that deinitialises from one must not touch it.
    EXPECT_EXIT(
        {
            VorlanSDKOptions options = vorlan_test::offline_options();
            vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr);
            EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, vorlan_sdk_set_control_flags(0x10, 0x10));
            std::atexit([] {
                vorlan_sdk_set_control_flags(0x10, 0x10);
                const char* message = nullptr;
                vorlan_sdk_get_error(&message);
                std::_Exit(vorlan_sdk_deinitialize() == VORLAN_SUCCESS && message != nullptr ? 4 : 5);
            });
            std::exit(0);
        },
        ::testing::ExitedWithCode(4), "");
}

TEST(LastError, NullMessagePointerIsTolerated) {
    EXPECT_EQ(VORLAN_ERROR_NOT_INITIALIZED, vorlan_sdk_set_port(9000));
    EXPECT_EQ(VORLAN_ERROR_NOT_INITIALIZED, vorlan_sdk_get_error(nullptr));
}

}  // namespace
}  // namespace vorlan_sdk
