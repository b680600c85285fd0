// The second-generation sensors the simulator brings up beside the first
// generation's: each information layout, both point packets, a GPS clock
// with its lines, and a model that always scans at 10 Hz.
#ifndef VORLAN_TOOLS_SIM_POINT_FLEET_H
#define VORLAN_TOOLS_SIM_POINT_FLEET_H

#include <vector>

#include "sim_point_sensor.h"

namespace vorlan_tool {

// In order, at 192.168.1.211 to 192.168.1.214:
// - Sweep 64 (model 22): "INFZ" of layout 76, "STDV" points 10 bytes apart,
//   64 channels; clock on the precision time protocol.
// - Sweep 64 LR (model 24): "INFZ" of layout 2136, "STDV" points 12 bytes
//   apart, 64 channels; GPS clock, with an "NMEA" line every second.
// - Sweep 48 (model 25): "STA0" points, every other packet behind the 8-byte
//   prefix, and every other "INFZ" (layout 76) prefixed too; 48 channels;
//   free-running clock.
// - Fixed 16 (model 5): "INFZ" of layout 76, "STDV" points, 16 channels; a
//   model that scans at a fixed 10 Hz, free-running clock.
// Each sweep left or right is one natural frame (the frame parity flag
// changes at the turn): 96 ms for the first three, 100 ms for Fixed 16.
std::vector<PointSensorSetup> default_point_fleet();

// The channel count a receiver reports for a sensor of `model`: "INFZ"
// packets carry none, so receivers look the model code up, and know codes
// 22 and 24 (64 channels) and 25 (48) only; 0 for any other.
int receiver_channel_count(uint16_t model);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SIM_POINT_FLEET_H
