// Faults in the middle of work: the capture being replayed is cut short or
// overwritten, a client callback blocks the packet worker for seconds, and
// many threads deinitialise at once while datagrams flow. Nothing may crash
// or hang (every wait here is bounded), and the library must be usable
// afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "support/capture_builder.h"
#include "support/eventually.h"
#include "support/udp_socket.h"
#include "vorlan_sdk.h"

namespace {

using vorlan_test::Bytes;
using vorlan_test::CaptureBuilder;
using vorlan_test::free_udp_port;
using vorlan_test::UdpSender;

constexpr auto kPatience = std::chrono::seconds(20);

using vorlan_test::eventually;

VorlanSensorErrorCode initialize(uint16_t port, VorlanSDKControl flags = 0,
                                 VorlanSensorErrorCallback on_error = nullptr, void* user_data = nullptr) {
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.port = port;
    options.control_flags = flags;
    return vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, on_error, user_data);
}

void count_packet(VorlanSensorHandle, int64_t, const uint8_t*, size_t, void* count) {
    static_cast<std::atomic<int>*>(count)->fetch_add(1);
}

// ---- Captures damaged while they replay ------------------------------------------

enum class Damage { truncate, overwrite };

// 2,000 datagrams over two seconds of capture time.
std::string paced_capture(const std::string& path) {
    CaptureBuilder capture;
    for (int i = 0; i < 2000; ++i) {
        capture.udp(1'700'000'000'000'000 + i * 1000, vorlan_test::ipv4(10, 0, 0, 1),
                    vorlan_test::test_payload(200, static_cast<uint8_t>(i)));
    }
    capture.write(path);
    return path;
}

void damage(const std::string& path, Damage kind) {
    std::FILE* file = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    if (kind == Damage::truncate) {
        ASSERT_EQ(ftruncate(fileno(file), size / 2), 0);
    } else {
        // Garbage over the second half, record headers included.
        const std::vector<uint8_t> garbage(static_cast<std::size_t>(size / 2), 0xFF);
        std::fseek(file, size / 2, SEEK_SET);
        ASSERT_EQ(std::fwrite(garbage.data(), 1, garbage.size(), file), garbage.size());
    }
    std::fclose(file);
}

void count_error(VorlanSensorHandle, VorlanSensorErrorCode, const char*, const void*, size_t, void* count) {
    static_cast<std::atomic<int>*>(count)->fetch_add(1);
}

TEST(ReplayDamageTest, CaptureCutOrOverwrittenWhileReplayingEndsTheReplayCleanly) {
    for (Damage kind : {Damage::truncate, Damage::overwrite}) {
        SCOPED_TRACE(kind == Damage::truncate ? "truncated" : "overwritten");
        vorlan_test::TemporaryDirectory dir;
        const std::string path = paced_capture(dir.file("damaged.pcap"));
        std::atomic<int> errors{0};
        ASSERT_EQ(VORLAN_SUCCESS, initialize(0, VORLAN_SDK_CONTROL_DISABLE_NETWORK, count_error, &errors));
        std::atomic<int> packets{0};
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_network_packet(count_packet, &packets));
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str()));
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_set_speed(1.0f));
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume());
        ASSERT_TRUE(eventually([&] { return packets.load() > 0; }));
        damage(path, kind);
        // The replay reaches the damage and stops feeding there (at the end,
        // or with an error that queued errors bring to the callback with the
        // next payload): no packet for 300 ms at 1 ms per packet means stopped.
        int last = -1;
        auto quiet_since = std::chrono::steady_clock::now();
        EXPECT_TRUE(eventually([&] {
            vorlan_sdk_mock_network_receive(0, 0, nullptr, 0);
            const int now = packets.load();
            if (now != last) {
                last = now;
                quiet_since = std::chrono::steady_clock::now();
            }
            return vorlan_sdk_capture_replay_is_end() == 1 || errors.load() > 0 ||
                   std::chrono::steady_clock::now() - quiet_since > std::chrono::milliseconds(300);
        }));
        // The reader may have read past the damage before it happened, so the
        // first pass can still hold every packet; it must end, though.
        EXPECT_LE(packets.load(), 2000);
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close());

        // Opened again, the damaged file plays what lies before the damage.
        packets.store(0);
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str()));
        (void)vorlan_sdk_capture_replay_resume_blocking(10.0f);
        EXPECT_GT(packets.load(), 0);
        EXPECT_LT(packets.load(), 2000);
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close());
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    }
}

// ---- A client callback that blocks the worker ----------------------------------

struct Blocker {
    std::mutex mutex;
    std::condition_variable released_cv;
    bool released = false;
    std::atomic<int> entered{0};

    static void on_packet(VorlanSensorHandle, int64_t, const uint8_t*, size_t, void* self) {
        Blocker& blocker = *static_cast<Blocker*>(self);
        blocker.entered.fetch_add(1);
        std::unique_lock<std::mutex> lock(blocker.mutex);
        // Seconds at most, as a slow client would.
        blocker.released_cv.wait_for(lock, std::chrono::seconds(3), [&] { return blocker.released; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        released_cv.notify_all();
    }
};

TEST(BlockingCallbackTest, QueriesAnswerAndDeinitialiseReturnsWhileTheWorkerIsBlocked) {
    const uint16_t port = free_udp_port();
    ASSERT_EQ(VORLAN_SUCCESS, initialize(port));
    Blocker blocker;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_network_packet(&Blocker::on_packet, &blocker));
    UdpSender sender(port);
    const Bytes datagram(64, 0x11);
    ASSERT_TRUE(eventually([&] {
        sender.send(datagram.data(), datagram.size());
        return blocker.entered.load() > 0;
    }));
    // The worker is stuck in the client's code; datagrams keep coming.
    for (int i = 0; i < 3000; ++i) {
        sender.send(datagram.data(), datagram.size());
    }
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), 0u);
    EXPECT_EQ(vorlan_sdk_get_port(), port);
    // Deinitialising waits for the callback, and no longer than it blocks.
    auto stopped = std::async(std::launch::async, [] { return vorlan_sdk_deinitialize(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    blocker.release();
    ASSERT_EQ(stopped.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(stopped.get(), VORLAN_SUCCESS);

    // And the library starts again on the same port.
    std::atomic<int> packets{0};
    ASSERT_EQ(VORLAN_SUCCESS, initialize(port));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_network_packet(count_packet, &packets));
    EXPECT_TRUE(eventually([&] {
        sender.send(datagram.data(), datagram.size());
        return packets.load() > 0;
    }));
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
}

// ---- Deinitialising from many threads while data flows ---------------------------

TEST(ConcurrentDeinitializeTest, ManyDeinitialisersAtOnceWhileDataFlowsLeaveALibraryThatStartsAgain) {
    const uint16_t port = free_udp_port();
    std::atomic<bool> sending{true};
    std::thread sender_thread([&] {
        UdpSender sender(port);
        const Bytes info = {'I', 'N', 'F', 'O', 1, 2, 3, 4};
        while (sending.load()) {
            sender.send_many(info.data(), info.size(), 32);
            std::this_thread::yield();
        }
    });
    for (int cycle = 0; cycle < 5; ++cycle) {
        SCOPED_TRACE(cycle);
        std::atomic<int> packets{0};
        ASSERT_EQ(VORLAN_SUCCESS, initialize(port));
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_network_packet(count_packet, &packets));
        ASSERT_TRUE(eventually([&] { return packets.load() > 0; }));
        // Deinitialising an uninitialised library succeeds too: all succeed.
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([] { EXPECT_EQ(vorlan_sdk_deinitialize(), VORLAN_SUCCESS); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(vorlan_sdk_is_initialized(), 0);
        // The port is free again for the next cycle: nothing still holds it.
        EXPECT_TRUE(eventually([&] { return vorlan_test::udp_port_is_free(port); }));
    }
    sending.store(false);
    sender_thread.join();
}

}  // namespace
