// The sensors the simulator brings up: one of each scanning family, and one
// that marks its frames itself, each with another kind of information packet,
// calibration block and point format.
#ifndef VORLAN_TOOLS_SIM_FLEET_H
#define VORLAN_TOOLS_SIM_FLEET_H

#include <vector>

#include "sim_sensor.h"

namespace vorlan_tool {

// In order, at 192.168.1.201 to 192.168.1.204:
// - TQ50-S (model 3): "INFO" with a "VRN8" block, "STDT" points, 8 segments;
//   a fast vertical sweep inside a slow horizontal one (frames at the
//   horizontal turnarounds, every 0.1 s).
// - Kiru-D40 (model 11): "INFX" with a "VRNA" block, "STDR" points (two
//   returns), 24 segments; a horizontal triangle sweep (turnarounds every 50 ms).
// - Parvo-D40 (model 12): "INFY" with a "VRNB" block, "STDP" points, 24
//   segments; a rosette-like pattern whose sweeps pass the centre at varying
//   distances (a frame every five sweeps, about 0.1 s).
// - Parvo-D41 (model 16): "INFX" with a "VRND" block, "STDQ" points (two
//   returns), 24 segments; the frame flag toggles every 200 rows (96 ms).
std::vector<SensorSetup> default_fleet();

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SIM_FLEET_H
