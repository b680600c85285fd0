#include "point_records.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/point_packet_builder.h"
#include "vorlan_sdk_impl/point_geometry.hpp"

namespace vorlan_tool {
namespace {

TEST(PointRecords, ReflectivityCodesAreLinearThenLogarithmic) {
    const struct {
        uint8_t code;
        double percent;
    } cases[] = {{0, 0.0}, {50, 50.0}, {127, 127.0}, {128, 130.7}, {191, 796.9}, {255, 5000.0}};
    for (const auto& c : cases) {
        EXPECT_NEAR(c.percent, reflectivity_percent(c.code), 0.05 + 1e-4 * c.percent) << int(c.code);
    }
}

// Three points 12 bytes apart (the bytes past the record are not read):
// times run on from the buffer's timestamp, metres are 5 mm units, and the
// point without a return counts towards the points but not the range.
TEST(PointRecords, BuffersReadAsMetresTimesAndSummaries) {
    vorlan_test::PointRecord a, b, c;
    a.y = 2000;  // 10 m ahead
    a.relative_timestamp = 3;
    b.x = -600;  // 3 m left, 4 m ahead, 0 up
    b.y = 800;
    b.reflectivity = 200;
    b.relative_timestamp = 10;
    b.channel_id = 7;
    b.flags = VORLAN_POINT_FLAG_FRAME_PARITY;
    c.y = 20000;
    c.relative_timestamp = 255;
    c.flags = VORLAN_POINT_FLAG_NO_RETURN;
    vorlan_test::StdvLayout layout;
    layout.stride = 12;
    const std::vector<uint8_t> packet = vorlan_test::build_stdv_packet(0, {a, b, c}, layout);
    const uint8_t* points = packet.data() + layout.header_length;

    const std::vector<CloudPoint> read = read_point_records(1000, points, 3, 12);
    ASSERT_EQ(3u, read.size());
    EXPECT_DOUBLE_EQ(10.0, read[0].y);
    EXPECT_EQ(1003, read[0].timestamp);
    EXPECT_DOUBLE_EQ(-3.0, read[1].x);
    EXPECT_DOUBLE_EQ(4.0, read[1].y);
    EXPECT_EQ(1013, read[1].timestamp);
    EXPECT_EQ(7, read[1].channel);
    EXPECT_EQ(VORLAN_POINT_FLAG_FRAME_PARITY, read[1].flags);
    EXPECT_NEAR(reflectivity_percent(200), read[1].intensity, 1e-3);
    EXPECT_TRUE(read[1].has_return);
    EXPECT_FALSE(read[2].has_return);
    EXPECT_EQ(1268, read[2].timestamp);

    const FrameSummary summary = summarise_point_records(42, 1000, points, 3, 12);
    EXPECT_EQ(3u, summary.points);
    EXPECT_EQ(2u, summary.valid_points);
    EXPECT_EQ(1003, summary.first_time);
    EXPECT_EQ(1268, summary.last_time);
    EXPECT_FLOAT_EQ(5.0f, summary.min_distance);
    EXPECT_FLOAT_EQ(10.0f, summary.max_distance);

    // The pictures' image points lie on the same rays at the same distances.
    const std::vector<VorlanSensorImagePoint> image = to_image_points(1000, points, 3, 12);
    ASSERT_EQ(2u, image.size());
    for (std::size_t i = 0; i < image.size(); ++i) {
        const vorlan_sdk::MetricPoint p = vorlan_sdk::image_point_to_metres(image[i]);
        EXPECT_NEAR(read[i].x, p.x, 1e-5);
        EXPECT_NEAR(read[i].y, p.y, 1e-5);
        EXPECT_NEAR(read[i].z, p.z, 1e-5);
        EXPECT_EQ(VORLAN_POINT_VALID, image[i].flags);
    }
}

}  // namespace
}  // namespace vorlan_tool
