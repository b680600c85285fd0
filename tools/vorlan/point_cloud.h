// Frames written as point clouds: PLY (binary, little-endian) or CSV, one
// file per frame, positions in metres.
#ifndef VORLAN_TOOLS_POINT_CLOUD_H
#define VORLAN_TOOLS_POINT_CLOUD_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vorlan_sdk.h"

namespace vorlan_tool {

enum class CloudFormat { ply, csv };

// Parses "ply" or "csv"; false for anything else.
bool parse_cloud_format(const std::string& text, CloudFormat& format);

// The file name of frame `index` of a sensor: "<sensor>_<index>.<ext>" with
// the sensor's handle in hexadecimal and a zero-padded index.
std::string cloud_file_name(VorlanSensorHandle sensor, std::size_t index, CloudFormat format);

// Writes the points with a return (distance above 0) as x, y, z in metres,
// intensity, flags and timestamp (microseconds). Returns false and fills
// `error` when the file cannot be written.
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

// As above for points in metres: the points with a return, with the same
// properties in the same order.
bool write_point_cloud(const std::string& path, CloudFormat format, const CloudPoint* points, std::size_t n_points,
                       std::string& error);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_POINT_CLOUD_H
