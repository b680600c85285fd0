#include "frame_aggregator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/reference_frames.h"

namespace vorlan_sdk2 {
namespace {

using vorlan_test::ReferenceFrame;
using vorlan_test::ReferenceFrames;

// The sensor registry's two answers, per handle.
std::set<std::uint64_t> g_fixed_10hz;
std::set<std::uint64_t> g_time_synced;
bool is_fixed_10hz(std::uint64_t handle) { return g_fixed_10hz.count(handle) != 0; }
bool is_time_synced(std::uint64_t handle) { return g_time_synced.count(handle) != 0; }

std::int64_t g_now = 0;
std::int64_t fake_clock() { return g_now; }

// Moves whenever the answers above change, as the registry's does.
std::atomic<std::uint64_t> g_generation{0};

struct Point {
    std::uint32_t id;  // stored in x and y
    std::uint8_t relative;
    std::uint8_t flags;
};

std::vector<std::uint8_t> encode(const std::vector<Point>& points, std::size_t stride) {
    std::vector<std::uint8_t> bytes(points.size() * stride, 0x5a);
    for (std::size_t i = 0; i < points.size(); ++i) {
        std::uint8_t* out = bytes.data() + i * stride;
        std::memcpy(out, &points[i].id, 4);
        out[7] = points[i].relative;
        out[9] = points[i].flags;
    }
    return bytes;
}

std::uint32_t id_of(const std::uint8_t* point) {
    std::uint32_t id = 0;
    std::memcpy(&id, point, 4);
    return id;
}

// Collects the frames the aggregator publishes.
struct Collected {
    std::vector<ReferenceFrame> frames;
    static void publish(void* self, std::uint64_t handle, std::int64_t timestamp, std::size_t n, std::size_t stride,
                        const std::uint8_t* points) {
        ReferenceFrame frame{handle, timestamp, stride, std::vector<std::uint8_t>(points, points + n * stride)};
        static_cast<Collected*>(self)->frames.push_back(std::move(frame));
    }
    FrameSink sink() { return FrameSink{&Collected::publish, this}; }
};

std::unique_ptr<FrameAggregator> make_aggregator(Collected& collected, std::int32_t mode) {
    auto aggregator =
        std::make_unique<FrameAggregator>(FrameAggregator::SensorQuestions{&is_fixed_10hz, &is_time_synced},
                                          collected.sink(), &fake_clock);
    aggregator->set_mode(mode);
    return aggregator;
}

class FrameAggregatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fixed_10hz.clear();
        g_time_synced.clear();
        g_now = 1000000;
    }
};

// A sensor of the random stream and how it behaves.
struct StreamSensor {
    std::uint64_t handle;
    bool fixed_10hz;
    bool synced;
    std::size_t stride;
    std::uint32_t parity_run;  // mean points between parity changes
    int64_t time = 1700000000000000;
    std::uint8_t parity = 0;
    std::uint32_t until_flip = 0;
};

// Long random streams from several sensors, cut by the aggregator and by the
// plain reference: the same frames, byte for byte, and every point of every
// frame at the absolute time it had when it arrived (frame timestamp plus the
// relative times up to it), across carry-overs, batch splits and clears.
TEST_F(FrameAggregatorTest, MatchesThePlainReferenceOnLongRandomStreams) {
    struct Case {
        std::int32_t mode;
        unsigned seed;
    };
    for (const Case c : {Case{0, 1}, Case{1000, 2}, Case{100000, 3}, Case{33333, 4}, Case{0, 5}}) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " seed " + std::to_string(c.seed));
        std::vector<StreamSensor> sensors = {
            {0x0a000001, false, false, 10, 700},    {0x0a000002, false, true, 10, 3000},
            {0x0a000003, true, false, 10, 5000},    {0x0a000004, true, true, 12, 200},
            {0x0a000005, false, false, 12, 40},     {0x0a000006, false, true, 40, 1500},
            {0x0a000007, false, false, 10, 400000},  // fills a natural buffer before its parity changes
        };
        g_fixed_10hz.clear();
        g_time_synced.clear();
        for (const auto& s : sensors) {
            if (s.fixed_10hz) g_fixed_10hz.insert(s.handle);
            if (s.synced) g_time_synced.insert(s.handle);
        }
        std::mt19937_64 random(c.seed);
        Collected collected;
        auto owned = make_aggregator(collected, c.mode);
        FrameAggregator& aggregator = *owned;
        ReferenceFrames reference(c.mode, &is_fixed_10hz, &is_time_synced);
        std::uint32_t next_id = 1;
        std::size_t points_sent = 0;
        while (points_sent < 500000) {
            StreamSensor& s = sensors[random() % sensors.size()];
            std::size_t n = random() % 8 == 0 ? random() % 5000 : random() % 200;
            if (s.parity_run > 100000) {
                n = 20000;
            }
            std::vector<Point> batch;
            const std::int64_t batch_time = s.time;
            for (std::size_t i = 0; i < n; ++i) {
                if (s.until_flip == 0) {
                    s.parity ^= 0x04;
                    s.until_flip = 1 + random() % (2 * s.parity_run);
                }
                --s.until_flip;
                const std::uint8_t relative = random() % 50 == 0 ? 255 : random() % 12;
                s.time += relative;
                std::uint8_t flags = static_cast<std::uint8_t>(s.parity | (random() % 4 == 0 ? 0x01 : 0));
                batch.push_back({next_id++, relative, flags});
            }
            // Host stamps run ahead of, behind, or far from the sensor's time.
            std::int64_t stamp = batch_time;
            switch (random() % 6) {
                case 0: stamp -= random() % 400; break;
                case 1: stamp += random() % 400; break;
                case 2: stamp += 3000000; s.time += 3000000; break;
                default: break;
            }
            // Now and then a batch of another stride, which both must drop.
            const std::size_t stride = random() % 40 == 0 ? s.stride + 2 : s.stride;
            const std::vector<std::uint8_t> bytes = encode(batch, stride);
            aggregator.add_points(s.handle, stamp, n, stride, bytes.data());
            reference.add(s.handle, stamp, n, stride, bytes.data());
            points_sent += n;
            if (random() % 700 == 0) {
                aggregator.clear();
                reference.clear();
            }
        }

        ASSERT_EQ(collected.frames.size(), reference.frames.size());
        ASSERT_GT(collected.frames.size(), 40u);
        std::size_t points_checked = 0;
        for (std::size_t f = 0; f < collected.frames.size(); ++f) {
            const ReferenceFrame& got = collected.frames[f];
            const ReferenceFrame& want = reference.frames[f];
            ASSERT_EQ(got.handle, want.handle) << "frame " << f;
            ASSERT_EQ(got.timestamp, want.timestamp) << "frame " << f;
            ASSERT_EQ(got.stride, want.stride) << "frame " << f;
            ASSERT_EQ(got.points.size(), want.points.size()) << "frame " << f;
            ASSERT_TRUE(got.points == want.points) << "frame " << f;
            std::int64_t time = got.timestamp;
            for (std::size_t at = 0; at < got.points.size(); at += got.stride) {
                const std::uint8_t* point = got.points.data() + at;
                time += point[7];
                ASSERT_EQ(time, reference.time_of_point.at(id_of(point))) << "frame " << f << " byte " << at;
                ++points_checked;
            }
        }
        EXPECT_GT(points_checked, 300000u);
    }
}

// Frames cut by explicit rules, not by comparison with the reference.
TEST_F(FrameAggregatorTest, NaturalFramesCarryOverTheLastPointsOfTheFrameBefore) {
    Collected collected;
    auto owned = make_aggregator(collected, 0);
    FrameAggregator& aggregator = *owned;
    g_time_synced.insert(1);
    std::uint32_t id = 0;
    for (int frame = 0; frame < 6; ++frame) {
        for (int batch = 0; batch < 10; ++batch) {
            const std::int64_t stamp = 5000 + std::int64_t(id) * 10;
            std::vector<Point> points;
            for (int i = 0; i < 100; ++i) {
                points.push_back({id++, 10, static_cast<std::uint8_t>(frame % 2 ? 0x04 : 0)});
            }
            aggregator.add_points(1, stamp, points.size(), 10, encode(points, 10).data());
        }
    }
    const std::vector<std::size_t> sizes = {1000, 2000, 3000, 3048, 3048};
    ASSERT_EQ(collected.frames.size(), sizes.size());
    for (std::size_t f = 0; f < sizes.size(); ++f) {
        const auto& frame = collected.frames[f];
        ASSERT_EQ(frame.points.size(), sizes[f] * 10) << "frame " << f;
        const std::size_t carried = sizes[f] - 1000;
        for (std::size_t i = 0; i < sizes[f]; ++i) {
            const std::uint8_t* point = frame.points.data() + i * 10;
            EXPECT_EQ(id_of(point), f * 1000 - carried + i);
            EXPECT_EQ((point[9] & 0x08) != 0, i < carried) << "frame " << f << " point " << i;
        }
        // Points 10 us apart from the first at 5010: point k at 5010 + 10 k.
        EXPECT_EQ(frame.timestamp + 10, 5010 + 10 * std::int64_t(id_of(frame.points.data())));
    }
}

TEST_F(FrameAggregatorTest, TimedFramesStayOnTheirGrid) {
    struct Case {
        const char* name;
        std::int32_t mode;
        bool fixed_10hz;
        std::int64_t expected_period;
    };
    for (const Case c : {Case{"timed 100 ms", 100000, false, 100000}, Case{"timed 1 ms", 1000, false, 1000},
                         Case{"a 10 Hz scanner in natural mode", 0, true, 100000},
                         Case{"a 10 Hz scanner in 1 ms mode", 1000, true, 100000}}) {
        SCOPED_TRACE(c.name);
        g_fixed_10hz.clear();
        if (c.fixed_10hz) g_fixed_10hz.insert(7);
        g_time_synced = {7};
        Collected collected;
        auto owned = make_aggregator(collected, c.mode);
        FrameAggregator& aggregator = *owned;
        const std::int64_t start = 1000000;
        std::uint32_t id = 0;
        for (int batch = 0; batch < 5000; ++batch) {
            std::vector<Point> points;
            for (int i = 0; i < 100; ++i, ++id) {
                // Parity changes, which timed frames ignore.
                points.push_back({id, 10, static_cast<std::uint8_t>(id % 777 < 300 ? 0x04 : 0)});
            }
            aggregator.add_points(7, start + std::int64_t(id - 100) * 10, points.size(), 10, encode(points, 10).data());
        }
        ASSERT_GE(collected.frames.size(), 4u);
        // Point k lies at start + 10 (k + 1); frame f holds exactly the points
        // of [start + f P, start + (f + 1) P).
        for (std::size_t f = 0; f < collected.frames.size(); ++f) {
            const auto& frame = collected.frames[f];
            const std::int64_t first = start + 10 * (id_of(frame.points.data()) + 1);
            const std::int64_t last = start + 10 * (id_of(frame.points.data() + frame.points.size() - 10) + 1);
            EXPECT_GE(first, start + std::int64_t(f) * c.expected_period) << "frame " << f;
            if (f > 0) {
                EXPECT_LT(first - 10, start + std::int64_t(f) * c.expected_period) << "frame " << f;
            }
            EXPECT_LT(last, start + std::int64_t(f + 1) * c.expected_period) << "frame " << f;
            EXPECT_EQ(frame.timestamp + 10, first) << "frame " << f;
        }
    }
}

// Batches the aggregator must refuse or survive.
TEST_F(FrameAggregatorTest, RefusesBatchesItCannotTake) {
    Collected collected;
    auto owned = make_aggregator(collected, 0);
    FrameAggregator& aggregator = *owned;
    g_time_synced.insert(3);
    // An empty first batch, and a batch without points.
    aggregator.add_points(3, 100, 0, 10, nullptr);
    aggregator.add_points(3, 100, 5, 10, nullptr);
    // A stride too small to hold the point record.
    std::vector<std::uint8_t> short_points(90, 0);
    aggregator.add_points(3, 100, 10, 9, short_points.data());

    // The first real batch fixes the stride; a batch of stride 12 is dropped.
    const std::vector<Point> first = {{1, 1, 0}, {2, 1, 0}};
    aggregator.add_points(3, 100, 2, 10, encode(first, 10).data());
    const std::vector<Point> other = {{3, 1, 0}, {4, 1, 0x04}};
    aggregator.add_points(3, 102, 2, 12, encode(other, 12).data());
    const std::vector<Point> next = {{5, 1, 0}, {6, 1, 0x04}};
    aggregator.add_points(3, 102, 2, 10, encode(next, 10).data());
    ASSERT_EQ(collected.frames.size(), 1u);
    const auto& frame = collected.frames[0];
    ASSERT_EQ(frame.points.size(), 30u);
    EXPECT_EQ(id_of(&frame.points[0]), 1u);
    EXPECT_EQ(id_of(&frame.points[10]), 2u);
    EXPECT_EQ(id_of(&frame.points[20]), 5u);

    // After a clear, a parity change ends a frame that holds nothing: no
    // empty frame is published.
    aggregator.clear();
    const std::vector<Point> after_clear = {{7, 1, 0}, {8, 1, 0}};
    aggregator.add_points(3, 104, 2, 10, encode(after_clear, 10).data());
    EXPECT_EQ(collected.frames.size(), 1u);
}

// A sensor announcing a wide stride cannot overrun its buffer: wide points
// get fewer slots of the same storage.
TEST_F(FrameAggregatorTest, WidePointsFitTheBuffer) {
    Collected collected;
    auto owned = make_aggregator(collected, 0);
    FrameAggregator& aggregator = *owned;
    std::vector<Point> points(10000);
    for (std::uint32_t i = 0; i < points.size(); ++i) {
        points[i] = {i, 1, 0};
    }
    aggregator.add_points(9, 100, points.size(), 255, encode(points, 255).data());
    ASSERT_FALSE(collected.frames.empty());
    EXPECT_EQ(collected.frames[0].points.size() / 255, FrameBuffer::kNaturalCapacityBytes / 255);
}

// Buffers of sensors silent for 2 s make room for new sensors; sensors still
// sending keep their buffer and their partial frame.
TEST_F(FrameAggregatorTest, OnlySilentSensorsLoseTheirBuffers) {
    Collected collected;
    auto owned = make_aggregator(collected, 0);
    FrameAggregator& aggregator = *owned;
    auto send = [&](std::uint64_t handle, std::uint8_t flags) {
        const std::vector<Point> points = {{std::uint32_t(handle), 1, flags}};
        aggregator.add_points(handle, g_now, 1, 10, encode(points, 10).data());
    };
    for (std::uint64_t handle = 1; handle <= 17; ++handle) {
        send(handle, 0);
    }
    EXPECT_EQ(aggregator.buffer_count(), 17u);
    // Sensors 1-12 keep sending for 3 s; 13-17 fall silent.
    for (int step = 0; step < 30; ++step) {
        g_now += 100000;
        for (std::uint64_t handle = 1; handle <= 12; ++handle) {
            send(handle, 0);
        }
    }
    send(18, 0);
    EXPECT_EQ(aggregator.buffer_count(), 13u);
    // Sensor 1's next frame still holds its first point.
    send(1, 0x04);
    ASSERT_EQ(collected.frames.size(), 1u);
    EXPECT_EQ(collected.frames[0].points.size(), 31u * 10);
    EXPECT_EQ(id_of(collected.frames[0].points.data()), 1u);
}

// The aggregator reads the clock only now and then, so a sensor's last batch
// may be stamped late, never early: a buffer fed within the last 2 s is kept
// whatever the traffic around it, and one silent longer goes once a clock
// reading after its last batch shows it. Sensor 1 holds the points of an
// unfinished frame when an 18th sensor arrives; it still has them if its
// next point, of the next frame, finishes a frame.
TEST_F(FrameAggregatorTest, StaleBuffersAreMeasuredFromTheirLastBatch) {
    struct Case {
        const char* what;
        std::int64_t last_batch;   // after the sensors appeared, us
        std::uint32_t busy_after;  // batches of other sensors right after it
        std::int64_t newcomer;     // when the 18th sensor arrives, us
        bool kept;
    };
    const std::vector<Case> cases = {
        {"silent 1.9 s, no clock reading since", 1000000, 0, 2900000, true},
        {"silent 1.9 s, clock read since", 1000000, 2 * FrameAggregator::kBatchesPerClockReading, 2900000, true},
        {"silent 2.1 s, clock read since", 1000000, 2 * FrameAggregator::kBatchesPerClockReading, 3100000, false},
        {"never sent after its first batch", -1, 0, 2100000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Collected collected;
        auto owned = make_aggregator(collected, 0);
        FrameAggregator& aggregator = *owned;
        const std::int64_t start = g_now;
        auto send = [&](std::uint64_t handle, std::uint8_t flags) {
            const std::vector<Point> points = {{std::uint32_t(handle), 1, flags}};
            aggregator.add_points(handle, g_now, 1, 10, encode(points, 10).data());
        };
        for (std::uint64_t handle = 17; handle >= 1; --handle) {
            send(handle, 0);  // sensor 1 last: the batch counted from here
        }
        if (c.last_batch >= 0) {
            g_now = start + c.last_batch;
            send(1, 0);
            for (std::uint32_t k = 0; k < c.busy_after; ++k) {
                send(2 + k % 16, 0);
            }
        }
        g_now = start + c.newcomer;
        send(100, 0);
        send(1, 0x04);
        const bool finished = !collected.frames.empty() && collected.frames.back().handle == 1;
        EXPECT_EQ(finished, c.kept);
        g_now = start;
    }
}

// Points from more senders at once than the aggregator keeps buffers for:
// the sensors it already has go on making frames, a further one is turned
// away until one falls silent, and then it gets a buffer.
TEST_F(FrameAggregatorTest, BuffersAreBoundedAndTheSensorsAlreadyHeardKeepTheirs) {
    Collected collected;
    auto owned = make_aggregator(collected, 0);
    FrameAggregator& aggregator = *owned;
    auto send = [&](std::uint64_t handle, std::uint8_t flags) {
        const std::vector<Point> points = {{std::uint32_t(handle), 1, flags}};
        aggregator.add_points(handle, g_now, 1, 10, encode(points, 10).data());
    };
    for (std::uint64_t handle = 1; handle <= FrameAggregator::kMaxBuffers + 100; ++handle) {
        send(handle, 0);
        ASSERT_LE(aggregator.buffer_count(), FrameAggregator::kMaxBuffers);
    }
    EXPECT_EQ(aggregator.buffer_count(), FrameAggregator::kMaxBuffers);
    // Every batch turned away is counted.
    EXPECT_EQ(aggregator.drops().batches, 100u);
    EXPECT_EQ(aggregator.drops().points, 100u);
    // Sensor 1 was among the first: its frame is whole.
    send(1, 0x04);
    ASSERT_EQ(collected.frames.size(), 1u);
    EXPECT_EQ(collected.frames[0].handle, 1u);
    EXPECT_EQ(collected.frames[0].points.size(), 10u);

    // Once the others are silent long enough, a newcomer is taken.
    g_now += FrameAggregator::kStaleAfter + 1;
    send(5000, 0);
    send(5000, 0x04);
    EXPECT_LE(aggregator.buffer_count(), 2u);
    ASSERT_EQ(collected.frames.size(), 2u);
    EXPECT_EQ(collected.frames[1].handle, 5000u);
}

// As many sensors as sixteen replays of eight bring, and many more, make
// frames at once: none is starved of a buffer, nothing is dropped, and
// buffers of senders of a point or two stay small.
TEST_F(FrameAggregatorTest, HundredsOfSensorsAtOnceAllMakeFrames) {
    struct Case {
        const char* what;
        std::int32_t mode;
        std::uint64_t sensors;
        bool frames_end;  // the parity flip ends each frame
    };
    const Case cases[] = {
        {"128 sensors, natural frames", 0, 128, true},
        {"every buffer in use, natural frames", 0, FrameAggregator::kMaxBuffers, true},
        {"every buffer in use, 1 s frames", 1000000, FrameAggregator::kMaxBuffers, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Collected collected;
        auto owned = make_aggregator(collected, c.mode);
        FrameAggregator& aggregator = *owned;
        // Two rounds: every sensor's points, then the parity flipped.
        for (int round = 0; round < 2; ++round) {
            for (std::uint64_t handle = 1; handle <= c.sensors; ++handle) {
                const std::vector<Point> points = {{std::uint32_t(handle), 1, std::uint8_t(round ? 0x04 : 0)}};
                aggregator.add_points(handle, g_now + round * 1000000, 1, 10, encode(points, 10).data());
            }
        }
        EXPECT_EQ(aggregator.buffer_count(), c.sensors);
        EXPECT_EQ(aggregator.drops().batches, 0u);
        EXPECT_EQ(collected.frames.size(), c.frames_end ? c.sensors : 0u);
        EXPECT_LE(aggregator.allocated_bytes(), c.sensors * FrameBuffer::kInitialPoints * 10);
    }
}

// A buffer's storage grows with its frames up to the mode's capacity, and a
// frame that needs all of it is still published whole.
TEST_F(FrameAggregatorTest, StorageGrowsToTheLargestFrame) {
    Collected collected;
    auto owned = make_aggregator(collected, 0);
    FrameAggregator& aggregator = *owned;
    std::vector<Point> batch(1000, Point{0, 1, 0});
    const std::vector<std::uint8_t> bytes = encode(batch, 10);
    for (int i = 0; i < 20; ++i) {
        aggregator.add_points(9, g_now + i * 1000, batch.size(), 10, bytes.data());
    }
    EXPECT_GE(aggregator.allocated_bytes(), 20000u * 10);
    const std::vector<Point> flip = {{0, 1, 0x04}};
    aggregator.add_points(9, g_now + 20000, 1, 10, encode(flip, 10).data());
    ASSERT_EQ(collected.frames.size(), 1u);
    EXPECT_EQ(collected.frames[0].points.size(), 20000u * 10);
    EXPECT_EQ(aggregator.drops().batches, 0u);
}

// Past a handful of sensors, the buffers of those that fell silent are given
// back as the others go on, without waiting for a newcomer.
TEST_F(FrameAggregatorTest, BuffersOfSilentSensorsAreGivenBack) {
    Collected collected;
    auto owned = make_aggregator(collected, 0);
    FrameAggregator& aggregator = *owned;
    auto send = [&](std::uint64_t handle) {
        const std::vector<Point> points = {{std::uint32_t(handle), 1, 0}};
        aggregator.add_points(handle, g_now, 1, 10, encode(points, 10).data());
    };
    for (std::uint64_t handle = 1; handle <= 100; ++handle) {
        send(handle);
    }
    ASSERT_EQ(aggregator.buffer_count(), 100u);
    g_now += FrameAggregator::kStaleAfter + 1;
    for (std::uint32_t i = 0; i < FrameAggregator::kBatchesPerClockReading; ++i) {
        send(1);
    }
    EXPECT_EQ(aggregator.buffer_count(), 1u);
}

// clear() and destroy_all() come from client threads while the data source
// thread may sit in a frame listener (a full FIFO), or from the listener
// itself: they must neither wait for it nor pull the buffer from under it.
TEST_F(FrameAggregatorTest, ClearAndDestroyNeverWaitForTheAggregatingThread) {
    struct Blocking {
        std::mutex mutex;
        std::condition_variable changed;
        bool inside = false;
        bool let_go = false;
        FrameAggregator* aggregator = nullptr;
        bool destroy_from_listener = false;
        static void publish(void* self, std::uint64_t, std::int64_t, std::size_t, std::size_t,
                            const std::uint8_t*) {
            auto* b = static_cast<Blocking*>(self);
            if (b->destroy_from_listener) {
                b->aggregator->destroy_all();
                return;
            }
            std::unique_lock<std::mutex> lock(b->mutex);
            b->inside = true;
            b->changed.notify_all();
            b->changed.wait(lock, [&] { return b->let_go; });
        }
    };
    for (const bool from_listener : {false, true}) {
        SCOPED_TRACE(from_listener ? "from the listener" : "from another thread");
        Blocking blocking;
        blocking.destroy_from_listener = from_listener;
        FrameAggregator aggregator({&is_fixed_10hz, &is_time_synced}, FrameSink{&Blocking::publish, &blocking},
                                   &fake_clock);
        blocking.aggregator = &aggregator;
        const std::vector<Point> a = {{1, 1, 0}, {2, 1, 0}};
        const std::vector<Point> b = {{3, 1, 0x04}, {4, 1, 0x04}};
        aggregator.add_points(1, 0, 2, 10, encode(a, 10).data());
        aggregator.add_points(2, 0, 2, 10, encode(a, 10).data());
        auto source = std::async(std::launch::async, [&] { aggregator.add_points(1, 2, 2, 10, encode(b, 10).data()); });
        if (!from_listener) {
            std::unique_lock<std::mutex> lock(blocking.mutex);
            ASSERT_TRUE(blocking.changed.wait_for(lock, std::chrono::seconds(10), [&] { return blocking.inside; }));
            lock.unlock();
            auto requests = std::async(std::launch::async, [&] {
                aggregator.clear();
                aggregator.destroy_all();
            });
            const bool returned = requests.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
            lock.lock();
            blocking.let_go = true;
            blocking.changed.notify_all();
            lock.unlock();
            EXPECT_TRUE(returned) << "clear or destroy waited for the listener";
        }
        ASSERT_EQ(source.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(aggregator.buffer_count(), 0u);
    }
}

// The aggregator keeps each sensor's clock state between batches; a change
// of the sensor's record must show from its next batch on, and only for that
// sensor. A batch's first point is re-timed against the previous point (here
// 2 ms earlier: the largest relative time, 255) only while the sensor's clock
// is not synchronised; otherwise it keeps the 5 us it was sent with.
TEST_F(FrameAggregatorTest, SeesASensorsClockStateChangeWithItsNextBatch) {
    const std::vector<bool> synced = {false, false, true, true, false, true, false};
    constexpr std::uint64_t kChanging = 0x0a000001;
    constexpr std::uint64_t kNeverSynced = 0x0a000002;
    Collected collected;
    FrameAggregator aggregator({&is_fixed_10hz, &is_time_synced, &g_generation}, collected.sink(),
                               &fake_clock);
    aggregator.set_mode(0);
    // One point per batch, the parity flipping every batch: each batch ends
    // the frame before, whose last point is the previous batch's.
    for (std::size_t round = 0; round <= synced.size(); ++round) {
        if (round < synced.size() && synced[round] != (g_time_synced.count(kChanging) != 0)) {
            if (synced[round]) {
                g_time_synced.insert(kChanging);
            } else {
                g_time_synced.erase(kChanging);
            }
            ++g_generation;
        }
        for (const std::uint64_t handle : {kChanging, kNeverSynced}) {
            const auto bytes = encode({Point{static_cast<std::uint32_t>(round), 5,
                                             static_cast<std::uint8_t>(round % 2 != 0 ? 0x04 : 0)}},
                                      10);
            aggregator.add_points(handle, 1000000 + 2000 * static_cast<std::int64_t>(round), 1, 10, bytes.data());
        }
    }
    ASSERT_EQ(collected.frames.size(), 2 * synced.size());
    for (const ReferenceFrame& frame : collected.frames) {
        const std::uint8_t* last = frame.points.data() + frame.points.size() - frame.stride;
        const std::uint32_t round = id_of(last);
        SCOPED_TRACE("round " + std::to_string(round) + (frame.handle == kChanging ? ", changing" : ", never synced"));
        const bool kept = round == 0 || (frame.handle == kChanging && synced[round]);
        EXPECT_EQ(last[7], kept ? 5 : 255);
    }
}

}  // namespace
}  // namespace vorlan_sdk2
