#include "frame_message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace vorlan_tool {
namespace {

template <typename T>
T read_at(const std::vector<uint8_t>& bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

FramePoint point(float x, float y, float z, float intensity, uint8_t flags, uint8_t return_index = 0) {
    FramePoint p;
    p.x = x;
    p.y = y;
    p.z = z;
    p.intensity = intensity;
    p.flags = flags;
    p.return_index = return_index;
    return p;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct EncodeCase {
    const char* name;
    std::vector<FramePoint> points;
    // The points expected to travel, in order: x of each, intensity level,
    // return index.
    std::vector<float> xs;
    std::vector<uint16_t> levels;
    std::vector<uint8_t> returns;
};

TEST(FrameMessage, CarriesValidFinitePointsInOrderWithScaledIntensity) {
    const std::vector<EncodeCase> cases = {
        {"empty frame", {}, {}, {}, {}},
        {"all travel, brightest is 65535",
         {point(1, 2, 3, 10, kFramePointValid, 0), point(4, 5, 6, 40, kFramePointValid, 1)},
         {1, 4},
         {16384, 65535},
         {0, 1}},
        {"points without a measurement stay home",
         {point(0, 0, 0, 99, 0), point(7, 0, 0, 5, kFramePointValid, 2), point(0, 0, 0, 50, 0)},
         {7},
         {65535},
         {2}},
        {"non-finite coordinates stay home",
         {point(kNaN, 0, 0, 1, kFramePointValid), point(1, kInf, 0, 1, kFramePointValid),
          point(2, 0, 0, 1, kFramePointValid)},
         {2},
         {65535},
         {0}},
        {"non-finite or negative intensity is dark, not garbage",
         {point(1, 0, 0, kNaN, kFramePointValid), point(2, 0, 0, -5, kFramePointValid),
          point(3, 0, 0, 2, kFramePointValid)},
         {1, 2, 3},
         {0, 0, 65535},
         {0, 0, 0}},
        {"all dark", {point(1, 0, 0, 0, kFramePointValid)}, {1}, {0}, {0}},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Frame frame;
        frame.index = 77;
        frame.sensor_index = 5;
        frame.first_time = -12;
        frame.last_time = 1700000000123456;
        frame.whole = true;
        frame.points = c.points.data();
        frame.n_points = c.points.size();
        frame.n_valid = 1234;
        frame.losses.packets_lost = 3;
        frame.losses.queue_dropped = 4;
        frame.losses.kernel_dropped = 5;
        std::vector<uint8_t> bytes(3, 0xAB);  // what it held is replaced
        const std::size_t n = encode_frame_message(frame, 9, bytes, 2.5f);
        ASSERT_EQ(n, c.xs.size());
        ASSERT_EQ(bytes.size(), kFrameMessageHeaderSize + n * kFrameMessageBytesPerPoint);
        EXPECT_EQ(read_at<uint32_t>(bytes, 0), kFrameMessageMagic);
        EXPECT_EQ(read_at<uint16_t>(bytes, 6), 9);
        EXPECT_EQ(read_at<uint64_t>(bytes, 8), 77u);
        EXPECT_EQ(read_at<int64_t>(bytes, 24), -12);
        EXPECT_EQ(read_at<int64_t>(bytes, 32), 1700000000123456);
        EXPECT_EQ(read_at<uint32_t>(bytes, 40), c.points.size());
        EXPECT_EQ(read_at<uint32_t>(bytes, 44), n);
        EXPECT_EQ(read_at<uint32_t>(bytes, 48), 1234u);
        EXPECT_EQ(read_at<uint32_t>(bytes, 52), 1u);
        EXPECT_EQ(read_at<float>(bytes, 60), 2.5f);
        EXPECT_EQ(read_at<uint64_t>(bytes, 64), 3u);
        EXPECT_EQ(read_at<uint64_t>(bytes, 80), 9u);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(read_at<float>(bytes, kFrameMessageHeaderSize + 12 * i), c.xs[i]);
            EXPECT_EQ(read_at<uint16_t>(bytes, kFrameMessageHeaderSize + 12 * n + 2 * i), c.levels[i]);
            EXPECT_EQ(bytes[kFrameMessageHeaderSize + 14 * n + i], c.returns[i]);
        }
    }
}

TEST(FrameMessage, FrameWithoutPointStorageEncodesNoPoints) {
    Frame frame;
    frame.n_points = 50;  // claims points but hands none
    std::vector<uint8_t> bytes;
    EXPECT_EQ(encode_frame_message(frame, 0, bytes), 0u);
    EXPECT_EQ(bytes.size(), kFrameMessageHeaderSize);
    EXPECT_EQ(read_at<uint32_t>(bytes, 40), 50u);
    EXPECT_TRUE(std::isnan(read_at<float>(bytes, 60)));  // live: no place in a capture
}

}  // namespace
}  // namespace vorlan_tool
