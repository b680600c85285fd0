// Frames written as point clouds, one file per frame, positions in metres:
// PLY (binary, little-endian), CSV, and PCD (binary or ASCII).
#ifndef VORLAN_TOOLS_POINT_CLOUD_H
#define VORLAN_TOOLS_POINT_CLOUD_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vorlan_sdk.h"

namespace vorlan_tool {

enum class CloudFormat { ply, csv, pcd, pcd_ascii };

// The names the command line takes: "ply", "csv", "pcd", "pcd-ascii".
const std::vector<std::string>& cloud_format_names();

// Parses one of cloud_format_names(); false for anything else.
bool parse_cloud_format(const std::string& text, CloudFormat& format);

// "PLY", "CSV", "PCD" or "PCD (ASCII)", for messages.
const char* cloud_format_label(CloudFormat format);

// The file name of a sensor's frame: "<sensor stem>_<index>.<ext>" with a
// zero-padded index; the stem comes from sensor_file_stem().
std::string cloud_file_name(const std::string& sensor_stem, std::size_t index, CloudFormat format);

// Writes the points with a return (distance above 0): x, y, z and distance
// in metres, intensity, segment, return bits, point flags and time in
// microseconds. Returns false and fills `error` when the file cannot be
// written.
bool write_point_cloud(const std::string& path, CloudFormat format, const VorlanSensorImagePoint* points,
                       std::size_t n_points, std::string& error);

// A point already in metres, as the second library's sensors send them.
struct CloudPoint {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    float intensity = 0.0f;  // reflectivity in percent
    uint8_t channel = 0;
    uint8_t flags = 0;
    bool has_return = false;
    int64_t timestamp = 0;   // microseconds
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_POINT_CLOUD_H
