// Image points as the first library hands them over, for tests of what
// consumes them.
#ifndef VORLAN_TEST_SUPPORT_IMAGE_POINT_H
#define VORLAN_TEST_SUPPORT_IMAGE_POINT_H

#include <cstdint>
#include <cstring>

#include "vorlan_sdk.h"

namespace vorlan_test {

// One image point as the first library hands it over; the rest is zero.
inline VorlanSensorImagePoint image_point(float image_x, float image_z, float distance,
                                          uint8_t flags = VORLAN_POINT_VALID, int64_t timestamp = 1000,
                                          float intensity = 0.5f, uint8_t segment = 0) {
    VorlanSensorImagePoint point;
    std::memset(&point, 0, sizeof point);
    point.timestamp = timestamp;
    point.image_x = image_x;
    point.image_z = image_z;
    point.distance = distance;
    point.intensity = intensity;
    point.flags = flags;
    point.segment_id = segment;
    return point;
}

}  // namespace vorlan_test

#endif  // VORLAN_TEST_SUPPORT_IMAGE_POINT_H
