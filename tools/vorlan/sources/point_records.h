// The second library's point records (VorlanPoint, 10 bytes at a stride of
// 10 to 12) read for the tool: positions in metres, reflectivity in percent
// and absolute times, and the one-line descriptions the tool prints.
#ifndef VORLAN_TOOLS_POINT_RECORDS_H
#define VORLAN_TOOLS_POINT_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame_summary.h"
#include "point_cloud.h"
#include "vorlan_sdk.h"
#include "vorlan_sdk2.h"

namespace vorlan_tool {

// The percentage a reflectivity byte stands for: 0-127 linear, above that
// logarithmic up to 5000 % at 255.
double reflectivity_percent(uint8_t code);

// Every point of a buffer, its time counted from `timestamp` by the running
// sum of the relative times.
std::vector<CloudPoint> read_point_records(int64_t timestamp, const uint8_t* points, std::size_t n_points,
                                           std::size_t stride);

// Points, points with a return, time span and range, as for the first
// library's frames.
FrameSummary summarise_point_records(uint64_t handle, int64_t timestamp, const uint8_t* points,
                                     std::size_t n_points, std::size_t stride);

// The points with a return in front of the sensor, as calibrated image
// points (image coordinates and distance) for the pictures: the ray
// (-image_x, 1, -image_z) through each point.
std::vector<VorlanSensorImagePoint> to_image_points(int64_t timestamp, const uint8_t* points, std::size_t n_points,
                                                    std::size_t stride);

// "sensor 0c0a801d3  serial 910001  Sweep 64 (model 22)  firmware 2.1.0.0  channels 64  returns 0  sync PTP"
std::string format_sensor_record(uint64_t handle, const VorlanSensor& sensor);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_POINT_RECORDS_H
