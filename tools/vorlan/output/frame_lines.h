// The lines every command prints for sensors and frames, whichever library
// decoded them.
#ifndef VORLAN_TOOLS_OUTPUT_FRAME_LINES_H
#define VORLAN_TOOLS_OUTPUT_FRAME_LINES_H

#include <string>
#include <vector>

#include "frame_source.h"
#include "frame_summary.h"

namespace vorlan_tool {

// "sensor 192.168.1.201 serial 900001  TQ50-S (model 3)  firmware 3.100.0  channels 8  returns 1  sync PPS"
// with "  from a capture" for a replay.
std::string format_sensor_line(const SensorFacts& sensor, bool from_capture);

// Points, valid points, time span and range of valid points.
FrameSummary summarise(const Frame& frame);

// "frame 12    sensor 192.168.1.201 serial 900001  points   9216  valid   8800  span 0.100 s  range 0.52-48.10 m"
std::string format_frame_line(const Frame& frame);

// The valid points in front of the sensor as image points (image
// coordinates and distance), for the picture and the point-cloud writers.
void image_points_of(const Frame& frame, std::vector<VorlanSensorImagePoint>& out);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_OUTPUT_FRAME_LINES_H
