// What a simulated sensor's calibration block says about its optics and its
// range and intensity measurement, worked out by the simulator itself from
// the fields it writes into the block. The simulator measures the scene
// through it, so a receiver that reads the block differently, or calibrates
// raw points differently, sees points off the scene.
//
// A raw point (x, z) of segment s maps to image coordinates by the segment's
// geometry and the block's distortion model; a raw distance r at power level
// p is (r - offset[p]) * distance_scale - distance_offset metres; a raw
// intensity i at d metres normalises to i * (d + range_offset)^2 /
// (reference[p] * falloff(x, z)).
#ifndef VORLAN_TOOLS_SIM_CALIBRATION_H
#define VORLAN_TOOLS_SIM_CALIBRATION_H

#include <array>
#include <cstdint>
#include <vector>

#include "support/calibration_block_builder.h"

namespace vorlan_tool {

constexpr int kPowerLevels = 32;

struct SegmentOptics {
    int x_center = 0;
    int z_center = 0;
    int x_offset = 0;
    int z_offset = 0;
    double x_scale = 0.0;
    double z_scale = 0.0;
    double z_to_x = 0.0;  // horizontal image shift per vertical count
    double x_to_z = 0.0;  // vertical image shift per horizontal count
    double intensity_range_offset = 0.0;       // metres
    std::array<double, 6> intensity_falloff{};  // exponent terms 1, dx, dz, dx², dx·dz, dz²
    std::array<int32_t, kPowerLevels> distance_offset{};  // raw units
    std::array<double, kPowerLevels> intensity_reference{};  // 0: no intensity data for the level
};

struct ImagePosition {
    double x = 0.0;
    double z = 0.0;
};

class SensorOptics {
public:
    // Every geometry, range and intensity rule applies to segments
    // 0..segments.size()-1 only; callers pass segment and level within range.
    double distance_offset = 1.0;  // metres; also the image plane's distance
    double distance_scale = 0.001;  // metres per raw unit
    double center_x = 0.0;
    double center_z = 0.0;
    // The rational model divides by a polynomial in the squared radius; the
    // polynomial one adds a radial term (distortion_x[1..3] only).
    bool rational = false;
    std::array<double, 4> distortion_x{};
    std::array<double, 4> distortion_z{};
    std::vector<SegmentOptics> segments;

    ImagePosition image_position(int segment, int raw_x, int raw_z) const;
    // The raw distance, unrounded, that reads as `metres` at `level`.
    double raw_distance(int segment, int level, double metres) const;
    // Metres a raw distance reads as at `level`.
    double metres(int segment, int level, uint32_t raw) const;
    // The normalised intensity one raw intensity unit reads as, for a return
    // read as `metres` at (raw_x, raw_z); 0 when the level has no intensity
    // data.
    double intensity_per_unit(int segment, int level, double metres, int raw_x, int raw_z) const;
};

// The optics of each block kind the fleet carries, from the fields written
// into the block.
SensorOptics vrn8_optics(const vorlan_test::CalibrationHeaderFields& header,
                         const std::vector<vorlan_test::Vrn8Segment>& segments);
SensorOptics vrna_optics(const vorlan_test::CalibrationHeaderFields& header,
                         const std::vector<vorlan_test::VrnASegment>& segments);
SensorOptics vrnd_optics(const vorlan_test::CalibrationHeaderFields& header,
                         const std::vector<vorlan_test::VrnDSegment>& segments);
SensorOptics vrnb_optics(const vorlan_test::VrnbHeaderFields& header,
                         const std::vector<vorlan_test::VrnbSegment>& segments);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SIM_CALIBRATION_H
