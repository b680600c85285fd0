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

// A sensor's dotted IPv4 address, from the low 32 bits of its handle.
std::string dotted_address(VorlanSensorHandle handle);

// The name the tool gives a sensor everywhere: "192.168.1.201 serial 900001",
// or the address alone while the serial number is not known.
std::string format_sensor_name(VorlanSensorHandle handle);
std::string format_sensor_name(VorlanSensorHandle handle, uint64_t serial_number);

// The same name for file names: "192.168.1.201_900001".
std::string sensor_file_stem(VorlanSensorHandle handle, uint64_t serial_number);

// "frame 12    sensor 192.168.1.201 serial 900001  points   9216  valid   8800  span 0.100 s  range 0.52-48.10 m"
std::string format_frame(std::size_t index, const std::string& sensor_name, const FrameSummary& summary);

// "sensor 192.168.1.201 serial 900001  TQ50-S (model 3)  firmware 3.100.0  calibrated  channels 8  returns 1
//  sync PPS NMEA  from a capture"
std::string format_sensor(const VorlanSensorInformation& information);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_FRAME_SUMMARY_H
