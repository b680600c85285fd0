// The frame listeners and the frame FIFO through the C interface, fed with
// "STDV" payloads as a sensor sends them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frame_fifo.h"
#include "library_fixture.h"
#include "support/point_packet_builder.h"

namespace vorlan_sdk2_test {
namespace {

using vorlan_test::PointRecord;

constexpr uint64_t kSensor = 0x0A000001;
constexpr auto kGenerous = std::chrono::seconds(20);

// A sensor whose points carry their sequence number in x and y, 10 us apart,
// in frames of `frame_points` points told apart by the parity flag.
class Sensor {
public:
    explicit Sensor(uint32_t frame_points) : m_frame_points(frame_points) {}

    // Sends `n` points in payloads of 100.
    void send(uint32_t n) {
        while (n > 0) {
            const uint32_t batch = std::min<uint32_t>(n, 100);
            std::vector<PointRecord> points(batch);
            const int64_t stamp = m_time;
            for (PointRecord& point : points) {
                point.x = static_cast<int16_t>(m_next & 0xffff);
                point.y = static_cast<int16_t>(m_next >> 16);
                point.relative_timestamp = 10;
                point.flags = (m_next / m_frame_points) % 2 ? 0x04 : 0;
                point.channel_id = static_cast<uint8_t>(m_next);
                point.reflectivity = static_cast<uint8_t>(m_next * 7);
                ++m_next;
                m_time += 10;
            }
            const auto payload = vorlan_test::build_stdv_packet(stamp, points);
            VorlanReceiveData(kSensor, 0, payload.data(), payload.size());
            n -= batch;
        }
    }
    // Sends whole frames; each is published when the next one begins.
    void send_frames(uint32_t n) { send(n * m_frame_points); }
    uint32_t sent() const { return m_next; }

private:
    const uint32_t m_frame_points;
    uint32_t m_next = 0;
    int64_t m_time = 1700000000000000;
};

uint32_t sequence_of(const uint8_t* point) {
    uint16_t x, y;
    std::memcpy(&x, point, 2);
    std::memcpy(&y, point + 2, 2);
    return x | uint32_t(y) << 16;
}

// The first point of a frame that was not carried over from the one before.
uint32_t first_new_point(const VorlanFifoedFrame& frame) {
    for (uint64_t i = 0; i < frame.n_points; ++i) {
        const uint8_t* point = frame.points + i * frame.point_stride;
        if ((point[9] & 0x08) == 0) {
            return sequence_of(point);
        }
    }
    return UINT32_MAX;
}

struct RecordedFrame {
    uint64_t handle;
    int64_t timestamp;
    size_t stride;
    std::vector<uint8_t> bytes;
};

void record_frame(uint64_t handle, int64_t timestamp, size_t n, size_t stride, const uint8_t* points, void* self) {
    static_cast<std::vector<RecordedFrame>*>(self)->push_back(
        {handle, timestamp, stride, std::vector<uint8_t>(points, points + n * stride)});
}

void ignore_frame(uint64_t, int64_t, size_t, size_t, const uint8_t*, void*) {}

using FrameFifoTest = LibraryTest;

// The refusals of registration and of the FIFO's state machine, in order.
TEST_F(FrameFifoTest, AnswersEachStateWithItsCode) {
    int other_user = 0;
    VorlanFifoedFrame frame;
    const std::vector<std::pair<const char*, std::function<int()>>> steps = {
        {"timed mode under 1 ms", [] { return VorlanListenFrames(500, ignore_frame, nullptr) + 8; }},
        {"null listener", [] { return VorlanListenFrames(0, nullptr, nullptr) + 8; }},
        {"first listener fixes the mode", [] { return VorlanListenFrames(0, ignore_frame, nullptr); }},
        {"duplicate listener", [] { return VorlanListenFrames(0, ignore_frame, nullptr) + 8; }},
        {"another mode", [&] { return VorlanListenFrames(100000, ignore_frame, &other_user) + 18; }},
        {"same mode, another user", [&] { return VorlanListenFrames(0, ignore_frame, &other_user); }},
        {"FIFO in another mode: enabled without producer",
         [] { return VorlanEnableFrameFifo(100000, 2) + 18; }},
        {"enabled twice", [] { return VorlanEnableFrameFifo(0, 2) + 18; }},
        {"disable without producer", [] { return VorlanDisableFrameFifo() + 8; }},
        {"disabled twice", [] { return VorlanDisableFrameFifo() + 19; }},
        {"unlisten null", [] { return VorlanUnlistenFrames(nullptr, nullptr) + 8; }},
        {"unlisten one", [] { return VorlanUnlistenFrames(ignore_frame, nullptr); }},
        {"unlisten it again", [] { return VorlanUnlistenFrames(ignore_frame, nullptr) + 8; }},
        {"unlisten the last", [&] { return VorlanUnlistenFrames(ignore_frame, &other_user); }},
        {"FIFO mode under 1 ms", [] { return VorlanEnableFrameFifo(999, 2) + 8; }},
        {"FIFO without slots", [] { return VorlanEnableFrameFifo(0, 0) + 8; }},
        {"FIFO larger than any memory", [] { return VorlanEnableFrameFifo(INT_MAX, 4000) + 8; }},
        {"every call on a disabled FIFO",
         [&] {
             return (VorlanFrameFifoGet(&frame, 1) + 19) | (VorlanFrameFifoPutBack() + 19) |
                    (VorlanFrameFifoRelease() + 19) | (VorlanFrameFifoEmpty() + 19) |
                    (VorlanFrameFifoFull() + 19) | (VorlanFrameFifoSize() + 19) |
                    int(VorlanFrameFifoPeekFrameNumPoints(1) + 19);
         }},
        {"mode free again after the last listener", [] { return VorlanEnableFrameFifo(100000, 2); }},
        {"empty FIFO", [] { return (VorlanFrameFifoEmpty() - 1) | VorlanFrameFifoFull() | VorlanFrameFifoSize(); }},
        {"nothing to put back", [] { return VorlanFrameFifoPutBack() + 18; }},
        {"nothing to release", [] { return VorlanFrameFifoRelease() + 18; }},
        {"get times out", [&] { return VorlanFrameFifoGet(&frame, 10) + 20; }},
        {"disable", [] { return VorlanDisableFrameFifo(); }},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(step.second(), 0) << step.first;
    }
}

// A frame pulled from the FIFO equals the frame a listener was handed, and
// FillArray and GetSOA spell out its points with absolute times.
TEST_F(FrameFifoTest, HandsOutFramesAsTheListenersSeeThem) {
    std::vector<RecordedFrame> heard;
    ASSERT_EQ(VorlanListenFrames(0, record_frame, &heard), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanEnableFrameFifo(0, 4), VORLAN_SUCCESS);
    Sensor sensor(700);
    sensor.send_frames(4);  // three frames published, the fourth still open
    ASSERT_EQ(heard.size(), 3u);
    ASSERT_EQ(VorlanFrameFifoSize(), 3);

    const size_t most = 2048 + 700;
    std::vector<int16_t> x(most), y(most), z(most);
    std::vector<uint8_t> reflectivities(most), channels(most), flags(most);
    std::vector<int64_t> times(most);
    uint64_t handle = 0;
    VorlanFrameArrays arrays{x.data(), y.data(), z.data(), reflectivities.data(), times.data(),
                             channels.data(), flags.data(), &handle};
    for (size_t f = 0; f < heard.size(); ++f) {
        SCOPED_TRACE("frame " + std::to_string(f));
        const RecordedFrame& want = heard[f];
        const int64_t n = int64_t(want.bytes.size() / want.stride);
        EXPECT_EQ(VorlanFrameFifoPeekFrameNumPoints(1), n);
        EXPECT_EQ(VorlanFrameFifoSize(), int(3 - f)) << "peeking leaves the frame queued";

        VorlanFifoedFrame frame;
        ASSERT_EQ(VorlanFrameFifoGet(&frame, 1), VORLAN_SUCCESS);
        EXPECT_EQ(VorlanFrameFifoGet(&frame, 1), VORLAN_ERROR_INVALID_STATE) << "one checkout at a time";
        EXPECT_EQ(frame.handle, kSensor);
        EXPECT_EQ(frame.timestamp, want.timestamp);
        ASSERT_EQ(frame.point_stride, want.stride);
        ASSERT_EQ(int64_t(frame.n_points), n);
        EXPECT_EQ(std::memcmp(frame.points, want.bytes.data(), want.bytes.size()), 0);
        ASSERT_EQ(VorlanFrameFifoPutBack(), VORLAN_SUCCESS);

        // Filled twice, once through each interface, from the same frame.
        for (int way = 0; way < 2; ++way) {
            std::fill(times.begin(), times.end(), 0);
            if (way == 0) {
                ASSERT_EQ(VorlanFrameFifoFillArray(&arrays, 1), VORLAN_SUCCESS);
                EXPECT_EQ(handle, kSensor);
                ASSERT_EQ(VorlanFrameFifoPutBack(), VORLAN_SUCCESS);
            } else {
                VorlanFifoedFrame again;
                ASSERT_EQ(VorlanFrameFifoGetSOA(&again, x.data(), y.data(), z.data(), reflectivities.data(),
                                                times.data(), channels.data(), flags.data(), 1),
                          VORLAN_SUCCESS);
                EXPECT_EQ(again.timestamp, frame.timestamp);
                ASSERT_EQ(VorlanFrameFifoRelease(), VORLAN_SUCCESS);
            }
            int64_t time = want.timestamp;
            for (int64_t i = 0; i < n; ++i) {
                const uint8_t* point = want.bytes.data() + i * want.stride;
                time += point[7];
                ASSERT_EQ(times[i], time) << "point " << i;
                const uint32_t sequence = uint16_t(x[i]) | uint32_t(uint16_t(y[i])) << 16;
                ASSERT_EQ(sequence, sequence_of(point));
                ASSERT_EQ(channels[i], point[8]);
                ASSERT_EQ(reflectivities[i], point[6]);
                ASSERT_EQ(flags[i], point[9]);
                ASSERT_EQ(z[i], 0);
            }
        }
    }
    EXPECT_EQ(VorlanFrameFifoEmpty(), 1);
    // A listener to compare is no longer needed; the FIFO goes on alone.
    EXPECT_EQ(VorlanUnlistenFrames(record_frame, &heard), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanDisableFrameFifo(), VORLAN_SUCCESS);
}

// A full FIFO holds the data source until the client releases a frame, or
// disables the FIFO, or the library is deinitialised; nothing is lost
// before that.
TEST_F(FrameFifoTest, FullFifoHoldsTheSourceUntilTheClientLetsItGo) {
    const std::vector<std::string> ways = {"release", "disable", "deinitialise"};
    for (const std::string& way : ways) {
        SCOPED_TRACE(way);
        ASSERT_EQ(VorlanEnableFrameFifo(0, 2), VORLAN_SUCCESS);
        Sensor sensor(300);
        sensor.send_frames(3);  // two frames: the FIFO is full
        ASSERT_EQ(VorlanFrameFifoFull(), 1);
        auto source = std::async(std::launch::async, [&] { sensor.send(300); });  // the third
        EXPECT_EQ(source.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
        VorlanFifoedFrame frame;
        if (way == "release") {
            ASSERT_EQ(VorlanFrameFifoGet(&frame, 1), VORLAN_SUCCESS);
            EXPECT_EQ(first_new_point(frame), 0u);
            ASSERT_EQ(VorlanFrameFifoRelease(), VORLAN_SUCCESS);
        } else if (way == "disable") {
            ASSERT_EQ(VorlanDisableFrameFifo(), VORLAN_SUCCESS);
        } else {
            ASSERT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
        }
        ASSERT_EQ(source.wait_for(kGenerous), std::future_status::ready);
        if (way == "deinitialise") {
            // The FIFO outlives the deinitialisation; its producer does not.
            ASSERT_EQ(VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
            EXPECT_EQ(VorlanEnableFrameFifo(0, 2), VORLAN_ERROR_INVALID_STATE);
            EXPECT_EQ(VorlanDisableFrameFifo(), VORLAN_ERROR_INVALID_ARGUMENTS);
        }
        if (way == "release") {
            for (uint32_t first : {300u, 600u}) {
                ASSERT_EQ(VorlanFrameFifoGet(&frame, 1), VORLAN_SUCCESS);
                EXPECT_EQ(first_new_point(frame), first);
                ASSERT_EQ(VorlanFrameFifoRelease(), VORLAN_SUCCESS);
            }
            EXPECT_EQ(VorlanDisableFrameFifo(), VORLAN_SUCCESS);
        }
    }
}

// A client stops reading a full FIFO while the relay thread waits in it with
// the next frame: the deinitialisation, which stops the relay and joins its
// thread, still ends.
TEST_F(FrameFifoTest, DeinitialiseEndsWhileTheRelayWaitsOnAFullFifo) {
    ASSERT_EQ(VorlanEnableFrameFifo(0, 1), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanStartAsyncRelay(16), VORLAN_SUCCESS);
    Sensor sensor(300);
    sensor.send_frames(2);
    sensor.send(100);  // ends the second frame, which finds the FIFO full
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (VorlanFrameFifoFull() != 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_EQ(VorlanFrameFifoFull(), 1);
    auto deinitialise = std::async(std::launch::async, [] { return VorlanDeinitialize(); });
    ASSERT_EQ(deinitialise.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(deinitialise.get(), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanDisableFrameFifo(), VORLAN_ERROR_INVALID_ARGUMENTS) << "its producer went with the deinitialisation";
}

// A client waiting without limit for a frame, by any of the reading calls,
// is let go when the library is deinitialised, and told so.
TEST_F(FrameFifoTest, DeinitialiseWakesAClientWaitingWithoutLimit) {
    static int16_t x[1], y[1], z[1];
    static uint8_t reflectivities[1], channels[1], flags[1];
    static int64_t times[1];
    static uint64_t handle;
    const struct {
        const char* name;
        int64_t (*wait)();
    } readers[] = {
        {"Get", [] { VorlanFifoedFrame frame; return int64_t(VorlanFrameFifoGet(&frame, 0)); }},
        {"FillArray",
         [] {
             VorlanFrameArrays arrays{x, y, z, reflectivities, times, channels, flags, &handle};
             return int64_t(VorlanFrameFifoFillArray(&arrays, 0));
         }},
        {"GetSOA",
         [] {
             VorlanFifoedFrame frame;
             return int64_t(VorlanFrameFifoGetSOA(&frame, x, y, z, reflectivities, times, channels, flags, 0));
         }},
        {"PeekFrameNumPoints", [] { return VorlanFrameFifoPeekFrameNumPoints(0); }},
    };
    for (const auto& reader : readers) {
        SCOPED_TRACE(reader.name);
        ASSERT_EQ(VorlanEnableFrameFifo(0, 2), VORLAN_SUCCESS);
        auto waiting = std::async(std::launch::async, reader.wait);
        EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
        ASSERT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
        ASSERT_EQ(waiting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_EQ(waiting.get(), VORLAN_ERROR_NOT_INITIALIZED);
        // The FIFO outlives a deinitialisation; the next reader must not find it.
        ASSERT_EQ(VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
        (void)VorlanDisableFrameFifo();
    }
}

// One thread feeds a sensor's frames while another pulls them with Get,
// PutBack and Release, and now and then disables and re-enables the FIFO.
// Frames arrive whole, in order, each once: every frame's new points follow
// the last frame's. Only a disable may lose points (the frame being filled
// goes with the sensor's buffer), so each disable allows one gap, within the
// first two frames after it. Nothing hangs.
TEST_F(FrameFifoTest, PullingWhileFeedingLosesNothingBetweenDisables) {
    constexpr uint32_t kFramePoints = 500;
    constexpr uint32_t kFrames = 400;  // pulled; disables only in the first half
    ASSERT_EQ(VorlanEnableFrameFifo(0, 3), VORLAN_SUCCESS);
    std::atomic<bool> stop{false};
    Sensor sensor(kFramePoints);
    std::thread feeder([&] {
        while (!stop) {
            sensor.send_frames(1);
        }
    });

    std::mt19937 random(11);
    uint32_t expected_next = 0;
    uint32_t frames_pulled = 0;
    uint32_t frames_since_disable = 0;
    bool gap_allowed = false;
    int disables = 0;
    std::vector<std::string> faults;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (frames_pulled < kFrames && std::chrono::steady_clock::now() < deadline) {
        VorlanFifoedFrame frame;
        const int got = VorlanFrameFifoGet(&frame, 100);
        if (got == VORLAN_ERROR_TIMEOUT) {
            continue;
        }
        if (got != VORLAN_SUCCESS) {
            faults.push_back("Get answered " + std::to_string(got));
            break;
        }
        if (frame.n_points == 0) {
            faults.push_back("an empty frame");
            ASSERT_EQ(VorlanFrameFifoRelease(), VORLAN_SUCCESS);
            continue;
        }
        const uint32_t first = first_new_point(frame);
        const uint32_t last = sequence_of(frame.points + (frame.n_points - 1) * frame.point_stride);
        if (first < expected_next) {
            faults.push_back("points from " + std::to_string(first) + " again");
        } else if (first > expected_next) {
            if (!gap_allowed || frames_since_disable >= 2) {
                faults.push_back("points " + std::to_string(expected_next) + " to " + std::to_string(first) +
                                 " lost");
            }
            gap_allowed = false;
        }
        const int action = int(random() % 10);
        if (action < 3) {
            EXPECT_EQ(VorlanFrameFifoPutBack(), VORLAN_SUCCESS);
            VorlanFifoedFrame again;
            ASSERT_EQ(VorlanFrameFifoGet(&again, 1000), VORLAN_SUCCESS);
            if (again.timestamp != frame.timestamp || first_new_point(again) != first) {
                faults.push_back("a frame put back did not come back first");
            }
        }
        ASSERT_EQ(VorlanFrameFifoRelease(), VORLAN_SUCCESS);
        expected_next = last + 1;
        ++frames_pulled;
        ++frames_since_disable;
        if (action == 9 && frames_pulled < kFrames / 2) {
            ASSERT_EQ(VorlanDisableFrameFifo(), VORLAN_SUCCESS);
            ASSERT_EQ(VorlanEnableFrameFifo(0, 1 + random() % 3), VORLAN_SUCCESS);
            ++disables;
            frames_since_disable = 0;
            gap_allowed = true;
        }
    }
    stop = true;
    // Lets the feeder go if it waits on a full FIFO.
    EXPECT_EQ(VorlanDisableFrameFifo(), VORLAN_SUCCESS);
    feeder.join();
    EXPECT_TRUE(faults.empty()) << faults.size() << " faults, the first: " << faults.front();
    EXPECT_EQ(frames_pulled, kFrames);
    EXPECT_GT(disables, 0);
}

// A slot places a frame's points where they share their source's place in a
// cache line, so the room it leaves after the head depends on the source's
// address: the largest frame of a mode must fit from every source address,
// and arrive whole.
TEST(FrameFifoSlots, LargestFramesFitFromEverySourceAddress) {
    for (const int32_t mode : {0, 150000}) {
        for (const size_t stride : {size_t{10}, size_t{12}}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", stride " + std::to_string(stride));
            vorlan_sdk2::FrameFifo fifo;
            ASSERT_EQ(fifo.enable(mode, 1), VORLAN_SUCCESS);
            const size_t n = vorlan_sdk2::FrameFifo::frame_bytes_for_mode(mode) / stride;
            std::vector<uint8_t> source(n * stride + 64);
            for (size_t i = 0; i < source.size(); ++i) {
                source[i] = static_cast<uint8_t>(i * 131 + i / 251);
            }
            for (size_t offset = 0; offset < 64; ++offset) {
                const uint8_t* points = source.data() + offset;
                fifo.on_frame(fifo.producer_token(), kSensor, int64_t(offset), n, stride, points);
                vorlan_sdk2::FifoedFrame frame{};
                ASSERT_EQ(fifo.get(frame, 1000), VORLAN_SUCCESS) << "dropped from offset " << offset;
                ASSERT_EQ(frame.n_points, n);
                ASSERT_EQ(std::memcmp(frame.points, points, n * stride), 0) << "from offset " << offset;
                ASSERT_EQ(fifo.release(), VORLAN_SUCCESS);
            }
            fifo.disable();
        }
    }
}

}  // namespace
}  // namespace vorlan_sdk2_test
