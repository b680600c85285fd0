#include "sim_calibration.h"

#include <cmath>

namespace vorlan_tool {

using vorlan_test::CalibrationHeaderFields;

namespace {

// Distance steps of the older blocks count in this unit, whatever the
// block's own distance scale.
constexpr double kDistanceStepMetres = 0.00399723;
// VRN8 blocks leave their distortion to the family's fixed lens model.
constexpr std::array<double, 4> kVrn8Distortion{0.0, 0.061603989, -0.077997081, 0.39371279};
// VRNB blocks carry no intensity range offset of their own.
constexpr double kVrnbIntensityRangeOffset = 0.5;
// Flag bit of VRNA, VRND and VRNB headers that selects the rational model;
// VRNB sensors always use it.
constexpr uint16_t kRationalDistortionFlag = 0x10;

SensorOptics header_optics(const CalibrationHeaderFields& header) {
    SensorOptics optics;
    optics.distance_offset = header.distance_offset;
    optics.distance_scale = header.distance_scale;
    optics.center_x = header.image_center_x;
    optics.center_z = header.image_center_z;
    return optics;
}

SegmentOptics segment_geometry(const vorlan_test::SegmentGeometry& geometry) {
    SegmentOptics segment;
    segment.x_center = geometry.image_x_center;
    segment.z_center = geometry.image_z_center;
    segment.x_offset = geometry.image_x_offset;
    segment.z_offset = geometry.image_z_offset;
    segment.x_scale = geometry.image_x_scale;
    segment.z_scale = geometry.image_z_scale;
    return segment;
}

// A distance step of the older blocks in raw units of `scale`, added to the
// segment's base offset and rounded half up (truncated toward zero).
int32_t stepped_offset(int step, int base, double scale) {
    return static_cast<int32_t>(std::trunc(step * kDistanceStepMetres / scale + base + 0.5));
}

// VRNA and VRND records: one distance offset for every level, intensity
// references as a running product of steps in 64ths.
SegmentOptics vrna_segment(const vorlan_test::VrnASegment& record) {
    SegmentOptics segment = segment_geometry(record.geometry);
    segment.z_to_x = record.image_z_to_x;
    segment.x_to_z = record.image_x_to_z;
    segment.intensity_range_offset = record.intensity_range_offset_cm / 100.0;
    double reference = record.intensity_base;
    for (int level = 0; level < kPowerLevels; ++level) {
        reference *= 1.0 + record.intensity_steps[static_cast<std::size_t>(level)] / 64.0;
        segment.intensity_reference[static_cast<std::size_t>(level)] = reference;
        segment.distance_offset[static_cast<std::size_t>(level)] = record.distance_offset;
    }
    return segment;
}

SensorOptics vrna_header_optics(const CalibrationHeaderFields& header) {
    SensorOptics optics = header_optics(header);
    optics.rational = (header.flags & kRationalDistortionFlag) != 0;
    for (std::size_t i = 0; i < header.distortion.size(); ++i) {
        optics.distortion_x[i + 1] = header.distortion[i];
    }
    return optics;
}

// The VRNB intensity references: levels 1 and 2 at the low-power return o,
// a linear ramp from o at L0 towards h at L1, then an exponential rise from
// h at L1 to 100 (h - o)(1 + m / 4096) at level 31.
void vrnb_intensity(const vorlan_test::VrnbHeaderFields& header, const vorlan_test::VrnbSegment& record,
                    SegmentOptics& segment) {
    const double h = record.full_power_intensity;
    const int l = record.low_power_fraction;
    const int m = record.high_power_gain;
    if (!(h > 0.0) || l == 0 || m <= 0) {
        return;
    }
    auto& levels = segment.intensity_reference;
    const double o = l * h / 65536.0;
    levels[1] = o;
    levels[2] = o;
    const int first = header.ramp_start;
    const int last = header.ramp_end;
    for (int j = first; j < last && j < kPowerLevels; ++j) {
        levels[static_cast<std::size_t>(j)] = (h - o) / (last - first) * (j - first) + o;
    }
    if (last > kPowerLevels - 1) {
        return;
    }
    if (last == kPowerLevels - 1) {
        levels[kPowerLevels - 1] = h;  // the rise has no length: its start
        return;
    }
    const double w = std::log(((h - o) * 100.0 * (m / 4096.0 + 1.0) - o) / (h - o));
    for (int j = last; j < kPowerLevels; ++j) {
        levels[static_cast<std::size_t>(j)] = std::exp((j - last) * w / (kPowerLevels - 1 - last)) * (h - o) + o;
    }
}

}  // namespace

ImagePosition SensorOptics::image_position(int segment, int raw_x, int raw_z) const {
    const SegmentOptics& s = segments[static_cast<std::size_t>(segment)];
    const double dx = raw_x - s.x_center;
    const double dz = raw_z - s.z_center;
    const double e = dz * s.z_to_x + s.x_scale * (dx - s.x_offset);
    const double f = dx * s.x_to_z + (dz - s.z_offset) * s.z_scale;
    const double F = distance_offset;
    const auto& a = distortion_x;
    const auto& b = distortion_z;
    if (rational) {
        const double ep = e / F - center_x;
        const double fp = f / F - center_z;
        const double r2 = ep * ep + fp * fp;
        return {ep / (a[0] + r2 * (a[1] + r2 * (a[2] + r2 * a[3]))) + center_x,
                fp / (b[0] + r2 * (b[1] + r2 * (b[2] + r2 * b[3]))) + center_z};
    }
    const double u = e - center_x;
    const double v = f - center_z;
    const double r2 = (u * u + v * v) / (F * F);
    const double g = r2 * (a[1] + r2 * (a[2] + r2 * a[3]));
    return {(e + u * g) / F, (f + v * g) / F};
}

double SensorOptics::raw_distance(int segment, int level, double metres) const {
    const SegmentOptics& s = segments[static_cast<std::size_t>(segment)];
    return (metres + distance_offset) / distance_scale + s.distance_offset[static_cast<std::size_t>(level)];
}

double SensorOptics::metres(int segment, int level, uint32_t raw) const {
    const SegmentOptics& s = segments[static_cast<std::size_t>(segment)];
    return (static_cast<double>(raw) - s.distance_offset[static_cast<std::size_t>(level)]) * distance_scale -
           distance_offset;
}

double SensorOptics::intensity_per_unit(int segment, int level, double metres, int raw_x, int raw_z) const {
    const SegmentOptics& s = segments[static_cast<std::size_t>(segment)];
    const double reference = s.intensity_reference[static_cast<std::size_t>(level)];
    if (reference == 0.0) {
        return 0.0;
    }
    const double dx = raw_x - s.x_center;
    const double dz = raw_z - s.z_center;
    const auto& k = s.intensity_falloff;
    const double falloff = std::exp(k[0] + k[1] * dx + k[2] * dz + k[3] * dx * dx + k[4] * dx * dz + k[5] * dz * dz);
    const double t = metres + s.intensity_range_offset;
    return t * t / reference / falloff;
}

SensorOptics vrn8_optics(const CalibrationHeaderFields& header, const std::vector<vorlan_test::Vrn8Segment>& segments) {
    SensorOptics optics = header_optics(header);
    optics.distortion_x = kVrn8Distortion;
    for (const vorlan_test::Vrn8Segment& record : segments) {
        SegmentOptics segment = segment_geometry(record.geometry);
        segment.z_to_x = static_cast<double>(record.geometry.image_z_scale) * record.cross_factor;
        segment.intensity_range_offset = record.intensity_range_offset;
        // Sixteen levels; the rest have neither offset nor intensity data.
        for (std::size_t level = 0; level < record.intensity_steps.size(); ++level) {
            segment.intensity_reference[level] = record.intensity_steps[level] * static_cast<double>(record.intensity_base);
            segment.distance_offset[level] =
                stepped_offset(record.distance_steps[level], record.distance_offset, header.distance_scale);
        }
        optics.segments.push_back(segment);
    }
    return optics;
}

SensorOptics vrna_optics(const CalibrationHeaderFields& header, const std::vector<vorlan_test::VrnASegment>& segments) {
    SensorOptics optics = vrna_header_optics(header);
    for (const vorlan_test::VrnASegment& record : segments) {
        optics.segments.push_back(vrna_segment(record));
    }
    return optics;
}

SensorOptics vrnd_optics(const CalibrationHeaderFields& header, const std::vector<vorlan_test::VrnDSegment>& segments) {
    SensorOptics optics = vrna_header_optics(header);
    for (const vorlan_test::VrnDSegment& record : segments) {
        SegmentOptics segment = vrna_segment(record);
        for (std::size_t i = 0; i < segment.intensity_falloff.size(); ++i) {
            segment.intensity_falloff[i] = record.intensity_falloff[i];
        }
        optics.segments.push_back(segment);
    }
    return optics;
}

SensorOptics vrnb_optics(const vorlan_test::VrnbHeaderFields& header,
                         const std::vector<vorlan_test::VrnbSegment>& segments) {
    SensorOptics optics;
    optics.distance_offset = header.distance_offset;
    optics.distance_scale = header.distance_scale;
    optics.center_x = header.image_center_x;
    optics.center_z = header.image_center_z;
    optics.rational = true;
    for (std::size_t i = 0; i < 4; ++i) {
        optics.distortion_x[i] = header.distortion_x[i];
        optics.distortion_z[i] = header.distortion_z[i];
    }
    for (const vorlan_test::VrnbSegment& record : segments) {
        // Each segment scales the block's base geometry by 1 + q / 512.
        const double g = 1.0 + record.scale_step / 512.0;
        SegmentOptics segment;
        segment.x_offset = record.image_x_offset;
        segment.z_offset = record.image_z_offset;
        segment.x_scale = header.base_scale * g;
        segment.z_scale = header.base_scale * g;
        segment.z_to_x = header.base_z_to_x * g;
        segment.x_to_z = header.base_x_to_z * g;
        segment.intensity_range_offset = kVrnbIntensityRangeOffset;
        vrnb_intensity(header, record, segment);
        optics.segments.push_back(segment);
    }
    return optics;
}

}  // namespace vorlan_tool
