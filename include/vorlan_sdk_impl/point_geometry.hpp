// Metric positions of calibrated image points.
#ifndef VORLAN_SDK_IMPL_POINT_GEOMETRY_HPP
#define VORLAN_SDK_IMPL_POINT_GEOMETRY_HPP

#include <cmath>

#include "vorlan_sdk.h"

namespace vorlan_sdk {

// A point in the sensor's frame, in metres: y along the sensor's axis, x to
// the right, z up.
struct MetricPoint {
    double x;
    double y;
    double z;
};

// An image point (u, w) at range r lies on the ray (-u, 1, -w) at distance r
// from the sensor: y = r / sqrt(u^2 + w^2 + 1), x = -u y, z = -w y.
inline MetricPoint image_point_to_metres(double image_x, double image_z, double distance) {
    const double y = distance / std::sqrt(image_x * image_x + image_z * image_z + 1.0);
    return MetricPoint{-image_x * y, y, -image_z * y};
}

inline MetricPoint image_point_to_metres(const VorlanSensorImagePoint& point) {
    return image_point_to_metres(point.image_x, point.image_z, point.distance);
}

}  // namespace vorlan_sdk

#endif  // VORLAN_SDK_IMPL_POINT_GEOMETRY_HPP
