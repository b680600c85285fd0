#include "frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "sensor.h"
#include "support/frame_recorder.h"
#include "support/info_packet_builder.h"
#include "support/sdk_fixture.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::FrameRecorder;
using vorlan_test::RecordedFrame;

constexpr VorlanSensorHandle kHandle = 0x0A00002A;
constexpr int64_t kStart = 5'000'000;

// A sensor known through one INFX packet of `model`.
std::shared_ptr<Sensor> sensor_of(VorlanSensorModel model, uint8_t return_count = 1) {
    auto sensor = std::make_shared<Sensor>(kHandle);
    vorlan_test::InfxPacketFields fields;
    fields.model = static_cast<int16_t>(model);
    fields.return_count = return_count;
    const std::vector<uint8_t> packet = vorlan_test::build_infx_packet(fields);
    sensor->handle_infx_packet(static_cast<int32_t>(packet.size()), packet.data());
    return sensor;
}

void set_mode(VorlanSDKFrameMode mode, float length = 0.0f) {
    VorlanSDKFrameOptions options = vorlan_sdk_create_frame_options();
    options.mode = mode;
    options.length = length;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_frame_options(&options));
}

// A batch of points as a sensor's packets deliver them: raw point j with
// `return_count` image points. Only the first return of each raw point
// carries `time(j)`; second returns carry `decoy_time`, which would end a
// frame at once if it were ever offered to the detector.
struct Batch {
    std::vector<VorlanSensorRawPointWithTime> raw;
    std::vector<VorlanSensorImagePoint> image;
};

template <class Time, class Segment>
Batch make_batch(std::size_t first, std::size_t n, uint32_t return_count, Time time, Segment segment,
                 int64_t decoy_time = 1) {
    Batch batch;
    for (std::size_t j = first; j < first + n; ++j) {
        VorlanSensorRawPointWithTime raw{};
        raw.timestamp = time(j);
        raw.segment_id = segment(j);
        raw.distance = static_cast<uint32_t>(j);  // identifies the point
        batch.raw.push_back(raw);
        for (uint32_t r = 0; r < return_count; ++r) {
            VorlanSensorImagePoint image{};
            image.timestamp = r == 0 ? raw.timestamp : decoy_time;
            image.segment_id = raw.segment_id;
            image.distance = static_cast<float>(j);
            batch.image.push_back(image);
        }
    }
    return batch;
}

// Points every 100 µs, all of segment 0.
Batch steady(std::size_t first, std::size_t n, uint32_t return_count = 1) {
    return make_batch(
        first, n, return_count, [](std::size_t j) { return kStart + static_cast<int64_t>(j) * 100; },
        [](std::size_t) { return uint8_t{0}; });
}

void add_and_publish(Frame& frame, const Batch& batch) {
    ASSERT_EQ(VORLAN_SUCCESS, frame.add_points(batch.raw.size(), batch.raw.data(), batch.image.data()).code());
    frame.check_and_publish();
}

// The raw points' identities (their distance field) of a frame.
std::vector<uint32_t> ids_of(const RecordedFrame& frame) {
    std::vector<uint32_t> ids;
    for (const auto& point : frame.raw) {
        ids.push_back(point.distance);
    }
    return ids;
}

std::vector<uint32_t> range(uint32_t first, uint32_t last) {
    std::vector<uint32_t> ids;
    for (uint32_t id = first; id <= last; ++id) {
        ids.push_back(id);
    }
    return ids;
}

class FrameTest : public vorlan_test::OfflineSdkTest {
protected:
    void SetUp() override {
        OfflineSdkTest::SetUp();
        ASSERT_TRUE(m_recorder.listen());
    }
    FrameRecorder m_recorder;
};

// Sensors report their own return count.
class FrameTwoReturnTest : public FrameTest {
protected:
    VorlanSDKControl extra_control_flags() const override { return VORLAN_SDK_CONTROL_ENABLE_MULTIPLE_RETURNS; }
};

// ---- Streaming --------------------------------------------------------------------

TEST_F(FrameTest, StreamingPublishesEverythingBufferedOnEveryCall) {
    Frame frame(sensor_of(11));
    for (std::size_t packet = 0; packet < 3; ++packet) {
        add_and_publish(frame, steady(packet * 24, 24));
        ASSERT_EQ(packet + 1, m_recorder.n_frames());
        EXPECT_EQ(0u, frame.n_raw_points());
        EXPECT_EQ(0u, frame.n_image_points());
    }
    const std::vector<RecordedFrame> frames = m_recorder.frames();
    EXPECT_EQ(range(24, 47), ids_of(frames[1]));
    EXPECT_EQ(24u, frames[1].image.size());
    EXPECT_EQ(0u, m_recorder.unpaired_images());
}

TEST_F(FrameTest, NothingBufferedPublishesNothingInAnyMode) {
    for (VorlanSDKFrameMode mode : {VORLAN_SDK_FRAME_STREAMING, VORLAN_SDK_FRAME_TIMED}) {
        set_mode(mode, 0.001f);
        Frame frame(sensor_of(11));
        frame.check_and_publish();
        add_and_publish(frame, Batch{});
    }
    EXPECT_EQ(0u, m_recorder.n_frames());
}

// ---- Detector path ----------------------------------------------------------------

// With frames of 1 ms and points every 100 µs, the first point opens a frame
// and the point 1 ms later (the 11th) closes it.
TEST_F(FrameTest, BoundaryPublishesThePointsThroughTheBoundaryAndKeepsTheRest) {
    set_mode(VORLAN_SDK_FRAME_TIMED, 0.001f);
    Frame frame(sensor_of(11));
    add_and_publish(frame, steady(0, 15));
    ASSERT_EQ(1u, m_recorder.n_frames());
    EXPECT_EQ(range(0, 10), ids_of(m_recorder.frames()[0]));
    EXPECT_EQ(4u, frame.n_raw_points());

    // Points 11-14 were examined already: offered again, point 11 would open
    // a second frame ending at point 22 instead of 21.
    add_and_publish(frame, steady(15, 15));
    const std::vector<RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(range(11, 21), ids_of(frames[1]));
    EXPECT_EQ(8u, frame.n_raw_points());
    EXPECT_EQ(8u, frame.n_image_points());
}

TEST_F(FrameTwoReturnTest, SecondReturnsAreNeverOfferedToTheDetector) {
    set_mode(VORLAN_SDK_FRAME_TIMED, 0.001f);
    Frame frame(sensor_of(11, 2));
    add_and_publish(frame, steady(0, 30, 2));
    const std::vector<RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(2u, frames.size());
    for (std::size_t f = 0; f < 2; ++f) {
        EXPECT_EQ(11u, frames[f].raw.size());
        EXPECT_EQ(22u, frames[f].image.size());
    }
    EXPECT_EQ(8u, frame.n_raw_points());
    EXPECT_EQ(16u, frame.n_image_points());
}

// Segment 0 points every 100 µs; the points of segments 1-3 between them
// carry times that would end a frame at once.
TEST_F(FrameTest, OnlySegmentZeroEndsFramesButEveryPointIsCounted) {
    set_mode(VORLAN_SDK_FRAME_TIMED, 0.001f);
    Frame frame(sensor_of(11));
    const Batch batch = make_batch(
        0, 100, 1,
        [](std::size_t j) { return j % 4 == 0 ? kStart + static_cast<int64_t>(j / 4) * 100 : int64_t{1}; },
        [](std::size_t j) { return static_cast<uint8_t>(j % 4); });
    add_and_publish(frame, batch);
    const std::vector<RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(range(0, 40), ids_of(frames[0]));
    EXPECT_EQ(range(41, 84), ids_of(frames[1]));
}

TEST_F(FrameTest, ScanModeOnANewFrameCutsTenthsOfASecondExceptOnTheFrameFlagModel) {
    set_mode(VORLAN_SDK_FRAME_SWEEP);
    Frame kiru(sensor_of(11));
    EXPECT_EQ(VORLAN_SDK_FRAME_TIMED, kiru.get_options().mode);
    EXPECT_FLOAT_EQ(0.1f, kiru.get_options().length);
    add_and_publish(kiru, steady(0, 2500));
    const std::vector<RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(1001u, frames[0].raw.size());
    EXPECT_EQ(1001u, frames[1].raw.size());

    set_mode(VORLAN_SDK_FRAME_FULL_SCAN);
    EXPECT_EQ(VORLAN_SDK_FRAME_SWEEP, Frame(sensor_of(16)).get_options().mode);
}

// A mode without a rule never ends a frame: the points wait in the buffer.
TEST_F(FrameTest, ModeWithoutARuleNeverPublishes) {
    set_mode(VORLAN_SDK_FRAME_BY_MODEL);
    Frame by_model(sensor_of(11));
    add_and_publish(by_model, steady(0, 3000));
    set_mode(VORLAN_SDK_FRAME_TIMED, 0.01f);
    Frame unknown_model(sensor_of(99));
    unknown_model.set_options([] {
        VorlanSDKFrameOptions options = vorlan_sdk_create_frame_options();
        options.mode = VORLAN_SDK_FRAME_SWEEP;
        return options;
    }());
    add_and_publish(unknown_model, steady(0, 3000));
    EXPECT_EQ(0u, m_recorder.n_frames());
    EXPECT_EQ(3000u, by_model.n_raw_points());
    EXPECT_EQ(3000u, unknown_model.n_raw_points());
}

TEST_F(FrameTest, ClearDropsThePointsAndRestartsTheDetector) {
    set_mode(VORLAN_SDK_FRAME_TIMED, 0.001f);
    Frame frame(sensor_of(11));
    add_and_publish(frame, steady(0, 8));
    frame.clear();
    EXPECT_EQ(0u, frame.n_raw_points());
    // The frame opens anew at point 100, not at point 0.
    add_and_publish(frame, steady(100, 15));
    const std::vector<RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(range(100, 110), ids_of(frames[0]));
}

TEST_F(FrameTest, OutOfMemoryEmptiesTheFrameAndItGoesOnWithTheNextPacket) {
    set_mode(VORLAN_SDK_FRAME_TIMED, 0.001f);
    Frame frame(sensor_of(11));
    add_and_publish(frame, steady(0, 8));
    const VorlanSensorRawPointWithTime raw{};
    const VorlanSensorImagePoint image{};
    // More points than any buffer can hold; nothing is read from the arrays.
    EXPECT_EQ(VORLAN_ERROR_OUT_OF_MEMORY, frame.add_points(SIZE_MAX / 4, &raw, &image).code());
    EXPECT_EQ(0u, frame.n_raw_points());
    EXPECT_EQ(0u, frame.n_image_points());
    add_and_publish(frame, steady(200, 15));
    const std::vector<RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(range(200, 210), ids_of(frames[0]));
}

// ---- Points written in place ------------------------------------------------------

// Whatever happens to the frame while a packet's points are written into it,
// the frame ends up with the points it kept followed by exactly the points
// written, image points in step with raw points.
struct InPlaceCase {
    const char* name;
    uint8_t return_count;
    std::size_t written;       // raw points the filler reports
    bool clear_while_filling;  // another thread's clear lands mid-fill
    std::vector<uint32_t> kept;
};

class FrameInPlaceTest : public FrameTwoReturnTest, public ::testing::WithParamInterface<InPlaceCase> {};

TEST_P(FrameInPlaceTest, KeepsWhatWasWrittenAfterWhatTheFrameKept) {
    const InPlaceCase& c = GetParam();
    Frame frame(sensor_of(11, c.return_count));
    ASSERT_EQ(c.return_count, frame.return_count());
    const Batch before = steady(0, 5, c.return_count);
    ASSERT_EQ(VORLAN_SUCCESS, frame.add_points(before.raw.size(), before.raw.data(), before.image.data()).code());
    const Batch packet = steady(100, 8, c.return_count);
    frame.add_points_in_place(8, [&](const PointRoom& room) -> std::size_t {
        EXPECT_EQ(8u, room.n_raw);
        EXPECT_EQ(c.return_count, room.return_count);
        std::copy(packet.raw.begin(), packet.raw.end(), room.raw);
        std::copy(packet.image.begin(), packet.image.end(), room.image);
        if (c.clear_while_filling) {
            std::thread([&frame] { frame.clear(); }).join();
        }
        return c.written;
    });
    frame.check_and_publish();  // streaming: everything buffered
    const std::vector<RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(c.kept, ids_of(frames[0]));
    ASSERT_EQ(frames[0].raw.size() * c.return_count, frames[0].image.size());
    for (std::size_t i = 0; i < frames[0].image.size(); ++i) {
        EXPECT_EQ(static_cast<float>(frames[0].raw[i / c.return_count].distance), frames[0].image[i].distance);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fills, FrameInPlaceTest,
    ::testing::Values(
        InPlaceCase{"AppendsAfterTheBufferedPoints", 1, 8, false, {0, 1, 2, 3, 4, 100, 101, 102, 103, 104, 105, 106, 107}},
        InPlaceCase{"TwoReturnsPerRawPoint", 2, 3, false, {0, 1, 2, 3, 4, 100, 101, 102}},
        InPlaceCase{"NothingWrittenLeavesTheFrameAsItWas", 2, 0, false, {0, 1, 2, 3, 4}},
        InPlaceCase{"ClearMidFillKeepsOnlyTheNewPoints", 1, 8, true, range(100, 107)},
        InPlaceCase{"ClearMidFillWithTwoReturns", 2, 6, true, range(100, 105)},
        InPlaceCase{"MoreThanTheRoomIsCutToTheRoom", 1, 50, false, {0, 1, 2, 3, 4, 100, 101, 102, 103, 104, 105, 106, 107}}),
    [](const ::testing::TestParamInfo<InPlaceCase>& info) { return info.param.name; });

// ---- Frame-flag model -------------------------------------------------------------

// Rows of 24 points whose frame flag turns every `run` rows.
Batch flag_rows(std::size_t first_row, std::size_t n_rows, std::size_t run) {
    Batch batch = make_batch(
        first_row * 24, n_rows * 24, 1, [](std::size_t j) { return kStart + static_cast<int64_t>(j) * 10; },
        [](std::size_t j) { return static_cast<uint8_t>(j % 24); });
    for (auto& point : batch.raw) {
        point.frame_flag = static_cast<uint8_t>((point.distance / 24 / run) % 2);
    }
    return batch;
}

// The flag turns every 100 rows, first at row 100: rows 100-136 are the 37
// changed rows and row 137 is the boundary; then rows 237, 337, ... A frame
// ends with the packet that holds its boundary row, and the next one starts
// with the last 72 rows of it.
TEST_F(FrameTest, FrameFlagModelEndsAFrameAfter37ChangedRowsAndOverlapsFrames) {
    for (std::size_t rows_per_packet : {1, 9}) {
        SCOPED_TRACE(rows_per_packet);
        m_recorder.reset();
        set_mode(VORLAN_SDK_FRAME_SWEEP);
        Frame frame(sensor_of(16));
        for (std::size_t row = 0; row < 1000; row += rows_per_packet) {
            add_and_publish(frame, flag_rows(row, rows_per_packet, 100));
        }
        const std::vector<RecordedFrame> frames = m_recorder.frames();
        ASSERT_EQ(9u, frames.size());
        uint32_t first_row = 0;
        for (std::size_t f = 0; f < frames.size(); ++f) {
            const uint32_t boundary_row = static_cast<uint32_t>(137 + 100 * f);
            const uint32_t last_row = static_cast<uint32_t>(
                (boundary_row / rows_per_packet + 1) * rows_per_packet - 1);
            EXPECT_EQ(range(first_row * 24, last_row * 24 + 23), ids_of(frames[f])) << "frame " << f;
            EXPECT_EQ(frames[f].raw.size(), frames[f].image.size());
            first_row = last_row - 71;
        }
    }
}

// ---- Points that never end a frame ---------------------------------------------

class FrameCutTest : public FrameTest {
protected:
    VorlanSensorErrorCallback error_callback() const override { return on_error; }
    static void on_error(VorlanSensorHandle, VorlanSensorErrorCode code, const char* message, const void*, size_t,
                         void* self) {
        static_cast<FrameCutTest*>(self)->m_errors.emplace_back(code, message);
    }
    std::vector<std::pair<VorlanSensorErrorCode, std::string>> m_errors;
};

// Whatever keeps a frame from ending (a mode with no rule for the model,
// points of segments the detector never looks at, a frame flag that never
// turns), a frame is published whole once it holds kMaxRawPoints, nothing
// lost or doubled, the buffers start afresh, and the first cut is reported.
TEST_F(FrameCutTest, PointsThatNeverEndAFrameArePublishedAtTheBound) {
    const auto segment_one = [](std::size_t first, std::size_t n) {
        return make_batch(
            first, n, 1, [](std::size_t j) { return kStart + static_cast<int64_t>(j) * 100; },
            [](std::size_t) { return uint8_t{1}; });
    };
    const auto one_flag = [](std::size_t first, std::size_t n) {
        return make_batch(
            first, n, 1, [](std::size_t j) { return kStart + static_cast<int64_t>(j) * 10; },
            [](std::size_t j) { return static_cast<uint8_t>(j % 24); });
    };
    struct Case {
        const char* name;
        VorlanSDKFrameMode mode;
        float length;
        VorlanSensorModel model;
        std::function<Batch(std::size_t, std::size_t)> batch;
    };
    const std::vector<Case> cases = {
        {"mode without a rule", VORLAN_SDK_FRAME_BY_MODEL, 0.0f, 11,
         [](std::size_t first, std::size_t n) { return steady(first, n); }},
        {"no point of segment 0", VORLAN_SDK_FRAME_TIMED, 0.001f, 11, segment_one},
        {"frame flag that never turns", VORLAN_SDK_FRAME_SWEEP, 0.0f, 16, one_flag},
    };
    constexpr std::size_t kBatch = 4096;
    const std::size_t n_points = Frame::kMaxRawPoints + 5 * kBatch;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_recorder.reset();
        m_errors.clear();
        set_mode(c.mode, c.length);
        Frame frame(sensor_of(c.model));
        for (std::size_t first = 0; first < n_points; first += kBatch) {
            add_and_publish(frame, c.batch(first, kBatch));
        }
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(0, 0, nullptr, 0));  // delivers queued errors

        const std::vector<RecordedFrame> frames = m_recorder.frames();
        ASSERT_EQ(1u, frames.size());
        const std::size_t cut = frames[0].raw.size();
        EXPECT_GE(cut, Frame::kMaxRawPoints);
        EXPECT_LT(cut, Frame::kMaxRawPoints + kBatch);
        EXPECT_EQ(range(0, static_cast<uint32_t>(cut - 1)), ids_of(frames[0]));
        EXPECT_EQ(cut, frames[0].image.size());
        EXPECT_EQ(n_points - cut, frame.n_raw_points());
        // Errors other cases of this process left queued may come too.
        std::size_t cuts = 0;
        for (const auto& error : m_errors) {
            if (error.second.rfind("Frame cut at 262144 points", 0) == 0) {
                EXPECT_EQ(VORLAN_ERROR_COMMUNICATION, error.first);
                ++cuts;
            }
        }
        EXPECT_EQ(1u, cuts);
    }
}

}  // namespace
}  // namespace vorlan_sdk
