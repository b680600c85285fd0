#include "point_cloud_message.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fake_frame_source.h"

namespace vorlan_tool {
namespace {

using vorlan_test::fake_points;

// What a ROS 2 subscriber reads the bytes with, written out independently
// of FramePoint: name, offset, datatype (7 float32, 6 uint32, 4 uint16,
// 2 uint8).
TEST(PointCloudMessage, DescribesTheTwentyFourBytePointLayout) {
    const struct {
        const char* name;
        uint32_t offset;
        uint8_t datatype;
    } expected[] = {{"x", 0, 7},  {"y", 4, 7},        {"z", 8, 7},       {"intensity", 12, 7},
                    {"t", 16, 6}, {"channel", 20, 4}, {"return", 22, 2}, {"flags", 23, 2}};
    PointCloudMessage message("ip1");
    Frame frame;
    const std::vector<FramePoint> points = fake_points(3, 0, 0);
    frame.points = points.data();
    frame.n_points = points.size();
    ASSERT_TRUE(message.fill(frame, false));
    const auto& m = message.message();
    ASSERT_EQ(m.fields._length, 8u);
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_STREQ(m.fields._buffer[i].name, expected[i].name);
        EXPECT_EQ(m.fields._buffer[i].offset, expected[i].offset) << expected[i].name;
        EXPECT_EQ(m.fields._buffer[i].datatype, expected[i].datatype) << expected[i].name;
        EXPECT_EQ(m.fields._buffer[i].count, 1u);
    }
    EXPECT_EQ(m.point_step, 24u);
    EXPECT_EQ(m.height, 1u);
    EXPECT_FALSE(m.is_bigendian);
    EXPECT_STREQ(m.header.frame_id, "ip1");
}

// Invalid points are kept (and the cloud is not dense) or dropped; the
// bytes are always exactly the points kept, in order.
TEST(PointCloudMessage, KeepsOrDropsInvalidPoints) {
    const struct {
        std::size_t points;
        std::size_t invalid_every;
        bool drop;
        std::size_t width;
        bool dense;
    } cases[] = {
        {10, 0, false, 10, true},  {10, 3, false, 10, false}, {10, 3, true, 6, true},
        {10, 1, true, 0, true},    {10, 1, false, 10, false}, {0, 0, false, 0, true},
        {0, 0, true, 0, true},     {1000, 7, true, 857, true},
    };
    PointCloudMessage message("f");
    for (const auto& c : cases) {
        const std::vector<FramePoint> points = fake_points(c.points, 1, 2, c.invalid_every);
        Frame frame;
        frame.points = points.data();
        frame.n_points = points.size();
        ASSERT_TRUE(message.fill(frame, c.drop));
        const auto& m = message.message();
        EXPECT_EQ(m.width, c.width) << c.points << "/" << c.invalid_every << "/" << c.drop;
        EXPECT_EQ(m.row_step, c.width * 24);
        EXPECT_EQ(m.data._length, c.width * 24);
        EXPECT_EQ(m.is_dense, c.dense);
        std::vector<FramePoint> kept;
        for (const FramePoint& p : points) {
            if (!c.drop || (p.flags & kFramePointValid) != 0) {
                kept.push_back(p);
            }
        }
        ASSERT_EQ(kept.size(), c.width);
        if (!kept.empty()) {
            EXPECT_EQ(std::memcmp(m.data._buffer, kept.data(), kept.size() * 24), 0);
        }
    }
}

// Narrow points carry the first four fields of the kept points, 16 bytes each.
TEST(PointCloudMessage, NarrowPointsCarryXyzAndIntensity) {
    for (const bool drop : {false, true}) {
        PointCloudMessage message("f", true);
        const std::vector<FramePoint> points = fake_points(50, 3, 1, 4);
        Frame frame;
        frame.points = points.data();
        frame.n_points = points.size();
        ASSERT_TRUE(message.fill(frame, drop));
        const auto& m = message.message();
        ASSERT_EQ(m.fields._length, 4u);
        EXPECT_STREQ(m.fields._buffer[3].name, "intensity");
        EXPECT_EQ(m.fields._buffer[3].offset, 12u);
        EXPECT_EQ(m.point_step, 16u);
        std::vector<float> expected;
        for (const FramePoint& p : points) {
            if (!drop || (p.flags & kFramePointValid) != 0) {
                expected.insert(expected.end(), {p.x, p.y, p.z, p.intensity});
            }
        }
        ASSERT_EQ(m.width * 4, expected.size());
        EXPECT_EQ(m.row_step, m.width * 16);
        ASSERT_EQ(m.data._length, expected.size() * sizeof(float));
        EXPECT_EQ(std::memcmp(m.data._buffer, expected.data(), m.data._length), 0);
        EXPECT_EQ(m.is_dense, drop);
    }
}

TEST(PointCloudMessage, StampIsTheFirstPointTimeInSecondsAndNanoseconds) {
    const struct {
        int64_t micros;
        int32_t sec;
        uint32_t nanosec;
    } cases[] = {
        {0, 0, 0},
        {1700000000123456, 1700000000, 123456000},
        {999999, 0, 999999000},
        {-1, -1, 999999000},
        {-1000000, -1, 0},
        {-1500000, -2, 500000000},
        {int64_t{1} << 62, 2147483647, 999999999},
        {-(int64_t{1} << 62), -2147483647 - 1, 0},
    };
    for (const auto& c : cases) {
        const auto time = ros_time_from_micros(c.micros);
        EXPECT_EQ(time.sec, c.sec) << c.micros;
        EXPECT_EQ(time.nanosec, c.nanosec) << c.micros;
    }
}

}  // namespace
}  // namespace vorlan_tool
