// Replayed packets take the mocked receive path inside the library: a
// client's own last error on the replaying thread stays its own, and a
// refusal of that path reaches the caller with its reason.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

#include "support/capture_builder.h"
#include "support/eventually.h"
#include "support/sdk_fixture.h"
#include "support/udp_socket.h"
#include "vorlan_sdk.h"

namespace {

using testing::HasSubstr;
using vorlan_test::CaptureBuilder;

constexpr int64_t kStart = 1'700'000'000'000'000;
constexpr int kPackets = 4;

std::string last_error_message() {
    const char* message = "";
    vorlan_sdk_get_error(&message);
    return message;
}

class ReplayDeliveryTest : public vorlan_test::OfflineSdkTest {
protected:
    void SetUp() override {
        OfflineSdkTest::SetUp();
        CaptureBuilder builder;
        for (int i = 0; i < kPackets; ++i) {
            builder.udp(kStart + i * 1000, vorlan_test::ipv4(192, 168, 1, 2), vorlan_test::test_payload(64, uint8_t(i)));
        }
        const std::string path = m_directory.file("run.pcap");
        builder.write(path);
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str())) << last_error_message();
        vorlan_sdk_capture_replay_set_speed(0.0f);
    }
    void TearDown() override {
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close());
        vorlan_sdk_capture_replay_set_speed(1.0f);
        OfflineSdkTest::TearDown();
    }

    vorlan_test::TemporaryDirectory m_directory;
};

// What the network-packet callback saw of the thread's last error: the first
// packet fails a call of the client's own, the later ones look at the error.
struct ErrorWatch {
    std::atomic<int> packets{0};
    std::atomic<VorlanSensorErrorCode> seen_later{VORLAN_SUCCESS};

    static void on_packet(VorlanSensorHandle, int64_t, const uint8_t*, size_t, void* user_data) {
        auto* self = static_cast<ErrorWatch*>(user_data);
        if (self->packets.fetch_add(1) == 0) {
            (void)vorlan_sdk_set_frame_options(nullptr);
        } else {
            const char* message = "";
            self->seen_later = vorlan_sdk_get_error(&message);
        }
    }
};

TEST_F(ReplayDeliveryTest, TheClientsLastErrorOnTheReplayingThreadStaysItsOwn) {
    const struct {
        const char* name;
        std::function<void()> replay;
    } cases[] = {
        {"blocking steps on the client's thread",
         [] { EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(10.0f)) << last_error_message(); }},
        {"the replay thread",
         [] {
             ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
             EXPECT_TRUE(vorlan_test::eventually([] { return vorlan_sdk_capture_replay_is_end() == 1; }));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ErrorWatch watch;
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_rewind());
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_network_packet(&ErrorWatch::on_packet, &watch));
        c.replay();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_pause());
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_unlisten_network_packet());
        EXPECT_EQ(kPackets, watch.packets.load());
        EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, watch.seen_later.load());
    }
}

// Live input switched on while a capture is open: the replay refuses to mix
// the two, and says so.
TEST_F(ReplayDeliveryTest, AStepWithTheNetworkOnIsRefusedWithItsReason) {
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_port(vorlan_test::free_udp_port()));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_control_flags(VORLAN_SDK_CONTROL_DISABLE_NETWORK, 0))
        << last_error_message();
    EXPECT_EQ(VORLAN_ERROR_COMMUNICATION, vorlan_sdk_capture_replay_resume_blocking_once());
    EXPECT_THAT(last_error_message(), HasSubstr("Must disable networking!"));
    EXPECT_EQ(VORLAN_SUCCESS,
              vorlan_sdk_set_control_flags(VORLAN_SDK_CONTROL_DISABLE_NETWORK, VORLAN_SDK_CONTROL_DISABLE_NETWORK));
}

}  // namespace
