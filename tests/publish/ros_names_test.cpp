#include "ros_names.h"

#include <gtest/gtest.h>

namespace vorlan_tool {
namespace {

struct TokenCase {
    const char* address;
    uint64_t serial;
    const char* token;
};

// Whatever the address looks like, the token is one a ROS 2 node accepts.
TEST(RosNames, SensorTokensAreValidRosNamesFromAddressAndSerial) {
    const TokenCase cases[] = {
        {"192.168.1.201", 900001, "ip192_168_1_201_sn900001"},
        {"192.168.1.201", 0, "ip192_168_1_201"},
        {"10.0.0.1", 18446744073709551615ull, "ip10_0_0_1_sn18446744073709551615"},
        {"", 5, "ip_sn5"},
        {"", 0, "ip"},
        {"fe80::1%lo", 7, "ipfe80_1_lo_sn7"},
        {"..1..", 0, "ip_1"},
        {"192.168.1.201 ", 3, "ip192_168_1_201_sn3"},
    };
    for (const TokenCase& c : cases) {
        const std::string token = ros_sensor_token(c.address, c.serial);
        EXPECT_EQ(token, c.token) << c.address;
        EXPECT_TRUE(is_ros_name_token(token)) << token;
    }
}

TEST(RosNames, TokenCheckRefusesWhatRosRefuses) {
    const std::pair<const char*, bool> cases[] = {
        {"ip1", true},  {"a_b", true},  {"", false},   {"1ip", false},   {"a__b", false},
        {"a_", false},  {"a.b", false}, {"a/b", false}, {"_a", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_ros_name_token(c.first), c.second) << c.first;
    }
}

TEST(RosNames, TopicsAndFrameIds) {
    EXPECT_EQ(ros_points_topic("ip1_sn2"), "/vorlan/ip1_sn2/points");
    EXPECT_EQ(dds_topic_name("/vorlan/ip1_sn2/points"), "rt/vorlan/ip1_sn2/points");
    EXPECT_EQ(dds_topic_name("/diagnostics"), "rt/diagnostics");
    EXPECT_EQ(dds_topic_name("diagnostics"), "rt/diagnostics");

    const std::pair<const char*, const char*> frame_ids[] = {
        {"{sensor}", "ip1"},
        {"lidar_{sensor}_link", "lidar_ip1_link"},
        {"base_link", "base_link"},
        {"{sensor}/{sensor}", "ip1/ip1"},
        {"{sensor", "{sensor"},
        {"", ""},
    };
    for (const auto& c : frame_ids) {
        EXPECT_EQ(sensor_frame_id(c.first, "ip1"), c.second) << c.first;
    }
}

}  // namespace
}  // namespace vorlan_tool
