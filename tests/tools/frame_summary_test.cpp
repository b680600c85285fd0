#include "frame_summary.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vorlan_tool {
namespace {

TEST(FrameSummary, CountsValidPointsAndTheirRange) {
    VorlanSensorImagePoint points[4] = {};
    const float distances[4] = {3.0f, 0.0f, 12.5f, 99.0f};
    const int64_t times[4] = {2000, 1000, 101000, 50000};
    const uint8_t flags[4] = {VORLAN_POINT_VALID, 0, VORLAN_POINT_VALID, VORLAN_POINT_SATURATED};
    for (int i = 0; i < 4; ++i) {
        points[i].distance = distances[i];
        points[i].timestamp = times[i];
        points[i].flags = flags[i];
    }
    const FrameSummary summary = summarise_frame(0x7F000001, points, 4);
    EXPECT_EQ(4u, summary.points);
    EXPECT_EQ(2u, summary.valid_points);
    EXPECT_EQ(1000, summary.first_time);
    EXPECT_EQ(101000, summary.last_time);
    EXPECT_EQ(3.0f, summary.min_distance);
    EXPECT_EQ(12.5f, summary.max_distance);
    EXPECT_EQ(
        "frame 7     sensor 127.0.0.1 serial 5  points      4  valid      2  span 0.100 s  range 3.00-12.50 m",
        format_frame(7, format_sensor_name(0x7F000001, 5), summary));
}

// A sensor has one name everywhere: its dotted address and serial number;
// the handle's capture bit is said in words, never as a ninth hex digit.
TEST(FrameSummary, SensorLineNamesStateAndSync) {
    const struct {
        VorlanSensorHandle handle;
        uint32_t flags;
        const char* line;
    } cases[] = {
        {0x17F000001ULL, VORLAN_SENSOR_INFO_IS_CALIBRATED | VORLAN_SENSOR_INFO_IS_PPS_CONNECTED |
                             VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED | VORLAN_SENSOR_INFO_IS_MOCKED,
         "sensor 127.0.0.1 serial 4098  Parvo-D40 (model 12)  firmware 1.2.3  calibrated  channels 24  returns 1  "
         "sync PPS NMEA  from a capture"},
        {0xC0A801C9ULL, VORLAN_SENSOR_INFO_IS_PTP_CONNECTED,
         "sensor 192.168.1.201 serial 4098  Parvo-D40 (model 12)  firmware 1.2.3  not calibrated  channels 24  "
         "returns 1  sync PTP"},
        {0x1FFFFFFFFULL, 0,
         "sensor 255.255.255.255 serial 4098  Parvo-D40 (model 12)  firmware 1.2.3  not calibrated  channels 24  "
         "returns 1  sync none  from a capture"},
    };
    for (const auto& c : cases) {
        VorlanSensorInformation information{};
        information.handle = c.handle;
        information.serial_number = 4098;
        std::strcpy(information.model_name, "Parvo-D40");
        information.model = 12;
        std::strcpy(information.firmware_version, "1.2.3");
        information.flags = c.flags;
        information.segment_count = 24;
        information.return_count = 1;
        EXPECT_EQ(c.line, format_sensor(information));
    }
    EXPECT_EQ("192.168.1.201", format_sensor_name(0x1C0A801C9ULL));
    EXPECT_EQ("192.168.1.201_900001", sensor_file_stem(0x1C0A801C9ULL, 900001));
}

}  // namespace
}  // namespace vorlan_tool
