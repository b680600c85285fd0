#include "ros_names.h"

namespace vorlan_tool {
namespace {

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Appends `text` with every run of characters a ROS name cannot hold turned
// into one underscore, never doubling one already there.
void append_sanitised(std::string& token, const std::string& text) {
    for (char c : text) {
        const char kept = is_name_char(c) ? c : '_';
        if (kept == '_' && (token.empty() || token.back() == '_')) {
            continue;
        }
        token += kept;
    }
}

}  // namespace

std::string ros_sensor_token(const std::string& address, uint64_t serial_number) {
    // A leading letter pair keeps the token from starting with a digit.
    std::string token = "ip";
    append_sanitised(token, address);
    while (token.back() == '_') {
        token.pop_back();
    }
    if (serial_number != 0) {
        token += "_sn" + std::to_string(serial_number);
    }
    return token;
}

bool is_ros_name_token(const std::string& token) {
    if (token.empty() || (token[0] >= '0' && token[0] <= '9') || token.back() == '_') {
        return false;
    }
    for (std::size_t i = 0; i < token.size(); ++i) {
        if (!is_name_char(token[i]) || (token[i] == '_' && i > 0 && token[i - 1] == '_')) {
            return false;
        }
    }
    return true;
}

std::string ros_points_topic(const std::string& sensor_token) {
    return "/vorlan/" + sensor_token + "/points";
}

std::string dds_topic_name(const std::string& ros_topic) {
    return "rt" + (ros_topic.empty() || ros_topic[0] != '/' ? "/" + ros_topic : ros_topic);
}

std::string sensor_frame_id(const std::string& pattern, const std::string& sensor_token) {
    static const std::string kPlaceholder = "{sensor}";
    std::string id;
    std::size_t from = 0;
    for (std::size_t at = pattern.find(kPlaceholder); at != std::string::npos;
         at = pattern.find(kPlaceholder, from)) {
        id.append(pattern, from, at - from);
        id += sensor_token;
        from = at + kPlaceholder.size();
    }
    id.append(pattern, from, std::string::npos);
    return id;
}

}  // namespace vorlan_tool
