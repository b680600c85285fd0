// The sensors of a capture as the library decodes them: identity,
// calibration, natural frames and faults. The whole capture is replayed as
// fast as possible on the calling thread, with frames cut at each sensor's
// own sweeps, as replay cuts them by default. Starts and stops the library: no other session may
// run meanwhile.
#ifndef VORLAN_TOOLS_CAPTURE_SENSORS_H
#define VORLAN_TOOLS_CAPTURE_SENSORS_H

#include <cstdint>
#include <map>
#include <string>

#include "vorlan_sdk.h"

namespace vorlan_tool {

struct DecodedSensor {
    VorlanSensorInformation information{};
    bool informed = false;
    uint64_t frames = 0;
    uint64_t points = 0;
    int64_t first_frame_time = 0;  // of each frame's first point, µs
    int64_t last_frame_time = 0;
    // Faults and other library errors about this sensor, by code name.
    std::map<std::string, uint64_t> faults;
    std::map<std::string, uint64_t> errors;

    double frames_per_second() const;
    double points_per_frame() const { return frames != 0 ? double(points) / double(frames) : 0.0; }
};

struct DecodedCapture {
    // Why the library could not replay the capture; empty when it did.
    std::string error;
    std::map<uint32_t, DecodedSensor> sensors;  // by IPv4 address
    // Errors that name no sensor.
    std::map<std::string, uint64_t> errors;
};

DecodedCapture decode_capture(const std::string& path);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_CAPTURE_SENSORS_H
