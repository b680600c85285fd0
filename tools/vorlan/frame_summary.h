// One-line descriptions of sensors and frames, as the tool prints them.
#ifndef VORLAN_TOOLS_FRAME_SUMMARY_H
#define VORLAN_TOOLS_FRAME_SUMMARY_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "vorlan_sdk.h"

namespace vorlan_tool {

struct FrameSummary {
    VorlanSensorHandle sensor = 0;
    std::size_t points = 0;
    std::size_t valid_points = 0;
    int64_t first_time = 0;  // microseconds
    int64_t last_time = 0;
    float min_distance = 0.0f;  // metres, over valid points
    float max_distance = 0.0f;
};

FrameSummary summarise_frame(VorlanSensorHandle sensor, const VorlanSensorImagePoint* points, std::size_t n_points);

// "frame 12  sensor 7f000001  points 9216  valid 8800  span 0.100 s  range 0.52-48.10 m"
std::string format_frame(std::size_t index, const FrameSummary& summary);

// "sensor 7f000001  serial 1234  Parvo-D40  firmware 1.2.3  calibrated  sync PPS NMEA"
std::string format_sensor(const VorlanSensorInformation& information);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_FRAME_SUMMARY_H
