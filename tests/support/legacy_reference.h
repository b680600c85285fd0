// An independent, plain statement of how the second library is to present
// the first library's output: image points as 10-byte point records in
// batches of at most 288, sensor information as the 90-byte sensor record.
// Written from the rules alone, sharing no code with the library, so that a
// test comparing the two catches a fault in either.
#ifndef VORLAN_TESTS_SUPPORT_LEGACY_REFERENCE_H
#define VORLAN_TESTS_SUPPORT_LEGACY_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vorlan_sdk.h"

namespace vorlan_test {

struct ReferenceBatch {
    uint64_t handle = 0;
    int64_t timestamp = 0;
    std::vector<uint8_t> points;  // 10 bytes per point, little-endian
};

// The batches one image frame of `n` points becomes.
std::vector<ReferenceBatch> reference_legacy_batches(uint64_t handle, const VorlanSensorImagePoint* points,
                                                     std::size_t n);

// The reflectivity byte of an intensity (1.0 = 100 %).
uint8_t reference_legacy_reflectivity(float intensity);

// The 90 bytes of the sensor record the information stands for.
std::vector<uint8_t> reference_legacy_sensor_record(uint64_t handle, const VorlanSensorInformation& info);

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_LEGACY_REFERENCE_H
