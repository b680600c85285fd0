// Control calls that pull the ground from under running data sources: a
// replay unloaded or sought, the frame FIFO disabled and the relay stopped
// while replays, the network and a FIFO consumer all move data; and the
// port taken by someone else between a stop and a start. Nothing may crash
// or hang, and the library must work normally afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "library_fixture.h"
#include "support/capture_builder.h"
#include "support/point_packet_builder.h"
#include "support/udp_socket.h"

namespace {

using namespace vorlan_test;
using vorlan_sdk2_test::LibraryTest;

constexpr int64_t kStart = 1700000000LL * 1000000;
constexpr auto kRaceTime = std::chrono::milliseconds(1500);

std::vector<PointRecord> some_points(int n) {
    std::vector<PointRecord> points(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        points[static_cast<size_t>(i)].x = static_cast<int16_t>(i);
        points[static_cast<size_t>(i)].flags = static_cast<uint8_t>((i / 50) % 2 == 0 ? 0 : 4);
    }
    return points;
}

// A sensor's points, 1 ms apart, enough for several frames.
std::string points_capture(const TemporaryDirectory& dir) {
    CaptureBuilder capture;
    const std::vector<PointRecord> points = some_points(100);
    for (int i = 0; i < 400; ++i) {
        capture.udp(kStart + i * 1000, ipv4(192, 168, 1, 10), build_stdv_packet(kStart + i * 1000, points));
    }
    capture.write(dir.file("points.pcap"));
    return dir.file("points.pcap");
}

void count_frame(uint64_t, int64_t, size_t, size_t, const uint8_t*, void* frames) {
    static_cast<std::atomic<int>*>(frames)->fetch_add(1);
}

TEST_F(LibraryTest, ControlCallsRacingWithEveryDataSourceEndCleanly) {
    TemporaryDirectory dir;
    const std::string path = points_capture(dir);
    const uint16_t port = free_udp_port();
    ASSERT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanStartAsyncRelay(8), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanEnableFrameFifo(10000, 4), VORLAN_SUCCESS);
    std::atomic<int> frames{0};
    ASSERT_EQ(VorlanListenFrames(10000, count_frame, &frames), VORLAN_SUCCESS);
    uint64_t replays[2] = {};
    for (uint64_t& replay : replays) {
        ASSERT_EQ(VorlanReplayLoadPcap(path.c_str(), 0, &replay), VORLAN_SUCCESS);
        ASSERT_EQ(VorlanReplaySetSpeed(replay, 0), VORLAN_SUCCESS);
        ASSERT_EQ(VorlanReplaySetAutoReplay(replay, 1), VORLAN_SUCCESS);
        ASSERT_EQ(VorlanReplayPlay(replay), VORLAN_SUCCESS);
    }

    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    // Live datagrams.
    threads.emplace_back([&] {
        UdpSender sender(port);
        const Bytes packet = build_stdv_packet(kStart, some_points(100));
        while (running.load()) {
            sender.send_many(packet.data(), packet.size(), 16);
            std::this_thread::yield();
        }
    });
    // A client pulling frames from the FIFO, which may vanish under it. It
    // stops last: until the FIFO is disabled, a full one holds up the relay
    // that a control thread may be stopping.
    std::atomic<bool> consuming{true};
    std::thread consumer([&] {
        while (consuming.load()) {
            VorlanFifoedFrame frame{};
            if (VorlanFrameFifoGet(&frame, 20) == VORLAN_SUCCESS) {
                volatile uint8_t first = frame.n_points > 0 ? frame.points[0] : 0;
                (void)first;
                (void)VorlanFrameFifoRelease();
            }
        }
    });
    // The control calls, each on its own thread.
    threads.emplace_back([&] {
        std::mt19937 random(1);
        while (running.load()) {
            const uint64_t replay = replays[random() % 2];
            if (random() % 4 == 0) {
                if (VorlanReplayUnloadPcap(replay) == VORLAN_SUCCESS) {
                    uint64_t again = 0;
                    if (VorlanReplayLoadPcap(path.c_str(), 0, &again) == VORLAN_SUCCESS) {
                        (void)VorlanReplaySetSpeed(again, 0);
                        (void)VorlanReplaySetAutoReplay(again, 1);
                        (void)VorlanReplayPlay(again);
                        replays[replay == replays[0] ? 0 : 1] = again;
                    }
                }
            } else {
                (void)VorlanReplaySeek(replay, static_cast<int64_t>(random() % 400000));
            }
        }
    });
    threads.emplace_back([&] {
        while (running.load()) {
            (void)VorlanDisableFrameFifo();
            (void)VorlanEnableFrameFifo(10000, 4);
        }
    });
    threads.emplace_back([&] {
        while (running.load()) {
            (void)VorlanStopAsyncRelay();
            (void)VorlanStartAsyncRelay(4);
        }
    });
    std::this_thread::sleep_for(kRaceTime);  // how long the race runs, not a wait for a result
    running.store(false);
    for (std::thread& thread : threads) {
        thread.join();
    }
    (void)VorlanDisableFrameFifo();
    consuming.store(false);
    consumer.join();

    // Afterwards everything still works: frames come from a fresh replay
    // straight to the listener.
    (void)VorlanStopAsyncRelay();
    for (uint64_t old : replays) {
        (void)VorlanReplayUnloadPcap(old);
    }
    const int before = frames.load();
    uint64_t replay = 0;
    ASSERT_EQ(VorlanReplayLoadPcap(path.c_str(), 0, &replay), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanReplaySetSpeed(replay, 0), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanReplayPlayToFinish(replay), VORLAN_SUCCESS);
    EXPECT_GT(frames.load(), before);
    EXPECT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
}

void count_batch(uint64_t, int64_t, size_t, size_t, const uint8_t*, void* batches) {
    static_cast<std::atomic<int>*>(batches)->fetch_add(1);
}

TEST_F(LibraryTest, PortTakenBetweenStopAndStartIsRefusedThenRegained) {
    const uint16_t port = free_udp_port();
    std::atomic<int> batches{0};
    ASSERT_EQ(VorlanListenPoints(count_batch, &batches), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanStopNetworking(), VORLAN_SUCCESS);
    {
        UdpPortHolder other(port);
        ASSERT_TRUE(other.is_bound());
        EXPECT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_ERROR_COMMUNICATION);
        EXPECT_EQ(VorlanStopNetworking(), VORLAN_ERROR_INVALID_STATE);  // nothing was kept
    }
    ASSERT_EQ(VorlanStartNetworkingOnPort(port), VORLAN_SUCCESS);
    UdpSender sender(port);
    const Bytes packet = build_stdv_packet(kStart, some_points(10));
    // Loopback datagrams are rarely lost, but may be: send until one arrives.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (batches.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        sender.send(packet.data(), packet.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(batches.load(), 0);
}

}  // namespace
