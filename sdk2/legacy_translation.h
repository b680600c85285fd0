// How the first library's records become this library's: sensor information
// into a VorlanSensor, calibrated image points into 10-byte point records.
// Pure functions, no state: callers on any thread may use them at once.
#ifndef VORLAN_SDK2_LEGACY_TRANSLATION_H
#define VORLAN_SDK2_LEGACY_TRANSLATION_H

#include <cstddef>
#include <cstdint>

#include "legacy_positions.h"
#include "vorlan_sdk.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

using LegacySensorInformation = ::VorlanSensorInformation;
using LegacySensorImagePoint = ::VorlanSensorImagePoint;

// The longest run of image points translated into one point batch: the
// batch is built on the translating thread's stack, so a longer frame of
// the first library goes out as several batches of at most this many points.
constexpr size_t kLegacyBatchPoints = 288;

// The 90-byte record the first library's information stands for.
VorlanSensor translateSensorInformation(uint64_t handle, const LegacySensorInformation& info);

// Hundredths of a kelvin from degrees Celsius, truncated; 0 for a value that
// does not fit 16 bits (or is not a number).
uint16_t legacyTemperature(float celsius);

// The reflectivity byte of a fraction (1.0 = 100 %): linear percent up to
// 127, then the nearest entry of the logarithmic table up to 5000 %.
uint8_t legacyReflectivity(float fraction);

// The point records of `n` image points written to
// `out`. Returns the batch timestamp, the first point's time (0 for n = 0).
int64_t translateImagePoints(const LegacySensorImagePoint* points, size_t n, VorlanPoint* out);
// The same with positions worked out in `lanes`, and reflectivity four
// points at a time unless `lanes` is kOne (tests hold every width to the
// same bits).
int64_t translateImagePoints(const LegacySensorImagePoint* points, size_t n, VorlanPoint* out,
                             PositionLanes lanes);

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_LEGACY_TRANSLATION_H
