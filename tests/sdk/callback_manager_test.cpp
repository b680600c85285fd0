// Callback slots and the queue of errors delivered at the next packet.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core.h"
#include "sensor.h"
#include "support/sdk_fixture.h"

namespace vorlan_sdk {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

struct ReceivedError {
    VorlanSensorHandle handle;
    VorlanSensorErrorCode code;
    std::string message;
    std::vector<uint8_t> data;
    std::thread::id thread;
};

std::vector<ReceivedError>& received_errors() {
    static std::vector<ReceivedError> errors;
    return errors;
}

void record_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void* data,
                  size_t size, void*) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    received_errors().push_back(
        {handle, code, message, std::vector<uint8_t>(bytes, bytes + size), std::this_thread::get_id()});
}

void noop_network(VorlanSensorHandle, int64_t, const uint8_t*, size_t, void*) {}
void noop_serial(VorlanSensorHandle, const char*, void*) {}
void noop_raw(VorlanSensorHandle, size_t, const VorlanSensorRawPointWithTime*, void*) {}
void noop_image(VorlanSensorHandle, size_t, const VorlanSensorImagePoint*, void*) {}
void noop_waveform(VorlanSensorHandle, const VorlanAdcWaveform*, void*) {}
void noop_info(VorlanSensorHandle, const VorlanSensorInformation*, void*) {}

// Every listen/unlisten pair of the C interface, as one table.
struct SlotFunctions {
    const char* name;
    VorlanSensorErrorCode (*listen)();
    VorlanSensorErrorCode (*listen_null)();
    VorlanSensorErrorCode (*unlisten)();
};

const SlotFunctions kSlots[] = {
    {"network", [] { return vorlan_sdk_listen_network_packet(noop_network, nullptr); },
     [] { return vorlan_sdk_listen_network_packet(nullptr, nullptr); }, vorlan_sdk_unlisten_network_packet},
    {"serial", [] { return vorlan_sdk_listen_serial_lines(noop_serial, nullptr); },
     [] { return vorlan_sdk_listen_serial_lines(nullptr, nullptr); }, vorlan_sdk_unlisten_serial_lines},
    {"raw", [] { return vorlan_sdk_listen_raw_frames(noop_raw, nullptr); },
     [] { return vorlan_sdk_listen_raw_frames(nullptr, nullptr); }, vorlan_sdk_unlisten_raw_frames},
    {"image", [] { return vorlan_sdk_listen_image_frames(noop_image, nullptr); },
     [] { return vorlan_sdk_listen_image_frames(nullptr, nullptr); }, vorlan_sdk_unlisten_image_frames},
    {"waveform", [] { return vorlan_sdk_listen_waveforms(noop_waveform, nullptr); },
     [] { return vorlan_sdk_listen_waveforms(nullptr, nullptr); }, vorlan_sdk_unlisten_waveforms},
    {"info", [] { return vorlan_sdk_listen_info_packets(noop_info, nullptr); },
     [] { return vorlan_sdk_listen_info_packets(nullptr, nullptr); }, vorlan_sdk_unlisten_info_packets},
};

TEST(CallbackSlots, BeforeInitialisation) {
    for (const SlotFunctions& slot : kSlots) {
        SCOPED_TRACE(slot.name);
        EXPECT_EQ(VORLAN_ERROR_NOT_INITIALIZED, slot.listen());
        const bool is_info = std::string(slot.name) == "info";
        EXPECT_EQ(is_info ? VORLAN_ERROR_NOT_INITIALIZED : VORLAN_SUCCESS, slot.unlisten());
    }
}

class CallbackSlotsTest : public vorlan_test::OfflineSdkTest {};

TEST_F(CallbackSlotsTest, OneCallbackPerSlot) {
    for (const SlotFunctions& slot : kSlots) {
        SCOPED_TRACE(slot.name);
        EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, slot.listen_null());
        EXPECT_EQ(VORLAN_SUCCESS, slot.listen());
        EXPECT_EQ(VORLAN_ERROR_TOO_MANY_CALLBACKS, slot.listen());
        EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, slot.listen_null());
        EXPECT_EQ(VORLAN_SUCCESS, slot.unlisten());
        EXPECT_EQ(VORLAN_SUCCESS, slot.unlisten());  // empty slot
        EXPECT_EQ(VORLAN_SUCCESS, slot.listen());
    }
    // Deinitialising empties every slot: a new run can listen again.
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    VorlanSDKOptions options = vorlan_test::offline_options();
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, record_error, nullptr));
    for (const SlotFunctions& slot : kSlots) {
        SCOPED_TRACE(slot.name);
        EXPECT_EQ(VORLAN_SUCCESS, slot.listen());
    }
}

TEST_F(CallbackSlotsTest, FirstCallbackKeepsBeingCalledAfterARefusal) {
    int first_calls = 0;
    int second_calls = 0;
    auto& slot = CallbackManager::instance().serial_cb;
    ASSERT_TRUE(slot.set([](VorlanSensorHandle, const char*, void* count) { ++*static_cast<int*>(count); },
                         &first_calls)
                    .ok());
    EXPECT_EQ(VORLAN_ERROR_TOO_MANY_CALLBACKS,
              slot.set([](VorlanSensorHandle, const char*, void* count) { ++*static_cast<int*>(count); },
                       &second_calls)
                  .code());
    slot.emit(VorlanSensorHandle{1}, "line");
    EXPECT_EQ(1, first_calls);
    EXPECT_EQ(0, second_calls);
}

TEST_F(CallbackSlotsTest, CallbackRegisteringItsOwnKindIsRefusedNotHung) {
    VorlanSensorErrorCode inside = VORLAN_SUCCESS;
    auto& slot = CallbackManager::instance().serial_cb;
    ASSERT_TRUE(slot.set(
                        [](VorlanSensorHandle, const char*, void* result) {
                            *static_cast<VorlanSensorErrorCode*>(result) = vorlan_sdk_unlisten_serial_lines();
                        },
                        &inside)
                    .ok());
    CaptureStderr();
    slot.emit(VorlanSensorHandle{1}, "line");
    const std::string report = GetCapturedStderr();
    EXPECT_EQ(VORLAN_ERROR_GENERIC, inside);
    EXPECT_NE(std::string::npos, report.find("AssertionError: Deadlock!\n"
                                             "  File \"include/vorlan_sdk_impl/vorlan_sdk_util\", line 15\n"
                                             "    m_is_locked"));
    EXPECT_TRUE(slot.is_set());  // the registration is untouched
}

// ---- Error queue --------------------------------------------------------------

class ErrorQueueTest : public vorlan_test::OfflineSdkTest {
protected:
    void SetUp() override {
        received_errors().clear();
        vorlan_test::OfflineSdkTest::SetUp();
    }
    VorlanSensorErrorCallback error_callback() const override { return record_error; }

    // A payload that no decoder takes: only the queued errors are delivered.
    static void next_packet() {
        const uint8_t payload[4] = {'N', 'O', 'N', 'E'};
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(7, 0, payload, sizeof(payload)));
    }
};

TEST_F(ErrorQueueTest, QueuedErrorsArriveInOrderAtTheNextPacket) {
    const uint8_t record[16] = {111, 0, 0, 0};
    CallbackManager::instance().queue_error(0, VORLAN_ERROR_COMMUNICATION, "Connection refused", record,
                                            sizeof(record));
    CallbackManager::instance().queue_error(5, VORLAN_ERROR_INVALID_ARGUMENTS, "Packet size is too large");
    EXPECT_TRUE(received_errors().empty());

    next_packet();
    ASSERT_EQ(2u, received_errors().size());
    EXPECT_EQ(0u, received_errors()[0].handle);
    EXPECT_EQ(VORLAN_ERROR_COMMUNICATION, received_errors()[0].code);
    EXPECT_EQ("Connection refused", received_errors()[0].message);
    EXPECT_EQ(std::vector<uint8_t>(record, record + 16), received_errors()[0].data);
    EXPECT_EQ(5u, received_errors()[1].handle);
    EXPECT_EQ("Packet size is too large", received_errors()[1].message);
    EXPECT_TRUE(received_errors()[1].data.empty());
    EXPECT_EQ(std::this_thread::get_id(), received_errors()[1].thread);

    next_packet();  // delivered once only
    EXPECT_EQ(2u, received_errors().size());
}

TEST_F(ErrorQueueTest, ErrorsQueuedWithoutACallbackAreDropped) {
    ASSERT_TRUE(CallbackManager::instance().error_cb.clear().ok());
    CallbackManager::instance().queue_error(0, VORLAN_ERROR_COMMUNICATION, "lost");
    next_packet();
    ASSERT_TRUE(CallbackManager::instance().error_cb.set(record_error, nullptr).ok());
    next_packet();
    EXPECT_TRUE(received_errors().empty());
}

TEST_F(ErrorQueueTest, QueueSurvivesDeinitialisation) {
    CallbackManager::instance().queue_error(9, VORLAN_ERROR_COMMUNICATION, "late");
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    VorlanSDKOptions options = vorlan_test::offline_options();
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, record_error, nullptr));
    next_packet();
    ASSERT_EQ(1u, received_errors().size());
    EXPECT_EQ("late", received_errors()[0].message);
}

TEST_F(ErrorQueueTest, QueueIsBoundedKeepingTheNewest) {
    for (std::size_t i = 0; i < CallbackManager::kMaxQueuedErrors + 5; ++i) {
        CallbackManager::instance().queue_error(i, VORLAN_ERROR_COMMUNICATION, "e");
    }
    next_packet();
    ASSERT_EQ(CallbackManager::kMaxQueuedErrors, received_errors().size());
    EXPECT_EQ(5u, received_errors().front().handle);
    EXPECT_EQ(CallbackManager::kMaxQueuedErrors + 4, received_errors().back().handle);
}

TEST_F(ErrorQueueTest, FaultsAreReportedAtOnce) {
    const float temperature = 81.0f;
    CallbackManager::instance().emit_error(3, VORLAN_FAULT_EXTREME_TEMPERATURE, "", &temperature,
                                           sizeof(temperature));
    ASSERT_EQ(1u, received_errors().size());
    EXPECT_EQ(VORLAN_FAULT_EXTREME_TEMPERATURE, received_errors()[0].code);
    EXPECT_EQ(sizeof(float), received_errors()[0].data.size());
}

}  // namespace
}  // namespace vorlan_sdk
