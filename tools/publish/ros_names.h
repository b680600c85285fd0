// Names that ROS 2 accepts for the sensors' topics and frames. A ROS 2 name
// is made of tokens of letters, digits and underscores, none starting with a
// digit, with no double or trailing underscore; DDS carries a topic
// /a/b as "rt/a/b".
#ifndef VORLAN_TOOLS_PUBLISH_ROS_NAMES_H
#define VORLAN_TOOLS_PUBLISH_ROS_NAMES_H

#include <cstdint>
#include <string>

namespace vorlan_tool {

// One token naming a sensor by its address and serial number:
// "ip192_168_1_201_sn900001", or "ip192_168_1_201" while the serial number
// is unknown (0).
std::string ros_sensor_token(const std::string& address, uint64_t serial_number);

// Whether `token` is one valid token of a ROS 2 name.
bool is_ros_name_token(const std::string& token);

// "/vorlan/<token>/points", the topic ROS 2 nodes subscribe to.
std::string ros_points_topic(const std::string& sensor_token);

// The DDS topic under which ROS 2 carries the ROS topic `ros_topic`
// ("/diagnostics" -> "rt/diagnostics").
std::string dds_topic_name(const std::string& ros_topic);

// The frame id of a sensor's messages: `pattern` with every "{sensor}"
// replaced by the sensor's token.
std::string sensor_frame_id(const std::string& pattern, const std::string& sensor_token);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_PUBLISH_ROS_NAMES_H
