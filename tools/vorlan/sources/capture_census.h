// The sensors of a capture as one library reports them through the frame
// source: what each says of itself, and its frames. `vorlan check` takes
// the second-generation sensors from here (the first library cannot decode
// them). The capture is read as fast as possible on the calling thread.
#ifndef VORLAN_TOOLS_SOURCES_CAPTURE_CENSUS_H
#define VORLAN_TOOLS_SOURCES_CAPTURE_CENSUS_H

#include <cstdint>
#include <map>
#include <string>

#include "frame_source.h"

namespace vorlan_tool {

struct CensusSensor {
    SensorFacts facts;
    // Whole frames (cut at both ends by the frame rule) and their points.
    uint64_t frames = 0;
    uint64_t points = 0;
    int64_t first_frame_time = 0;  // of the first and last whole frame, µs
    int64_t last_frame_time = 0;
    // The channels its points name (the highest channel id, plus one): the
    // count for a sensor whose information gives none.
    unsigned channels_seen = 0;

    double frames_per_second() const;
    double points_per_frame() const { return frames != 0 ? double(points) / double(frames) : 0.0; }
};

struct CaptureCensus {
    // Why the library could not read the capture to its end; empty when it did.
    std::string error;
    std::map<uint32_t, CensusSensor> sensors;  // by IPv4 address
};

// `library` 1 or 2; the second library reads only its own generation here
// (no legacy translation).
CaptureCensus take_census(const std::string& path, int library);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SOURCES_CAPTURE_CENSUS_H
