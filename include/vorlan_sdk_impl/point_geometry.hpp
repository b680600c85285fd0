// Metric positions of calibrated image points: a C++ helper for clients,
// installed beside the C headers (the other headers here are internal).
#ifndef VORLAN_SDK_IMPL_POINT_GEOMETRY_HPP
#define VORLAN_SDK_IMPL_POINT_GEOMETRY_HPP

#include "vorlan_sdk.h"

namespace vorlan_sdk {

// A point in the sensor's frame, in metres: y along the sensor's axis, x to
// the right, z up.
struct MetricPoint {
    double x;
    double y;
    double z;
};

// The public header's conversion, so that C and C++ clients get the same
// numbers.
inline MetricPoint image_point_to_metres(double image_x, double image_z, double distance) {
    const VorlanPointMetres p = vorlan_image_point_to_metres(image_x, image_z, distance);
    return MetricPoint{p.x, p.y, p.z};
}

inline MetricPoint image_point_to_metres(const VorlanSensorImagePoint& point) {
    return image_point_to_metres(point.image_x, point.image_z, point.distance);
}

}  // namespace vorlan_sdk

#endif  // VORLAN_SDK_IMPL_POINT_GEOMETRY_HPP
