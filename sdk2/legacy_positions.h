// Where the first library's image points lie in this library's point
// records: x, y, z in 5 mm units from image coordinates and distance.
//
// The arithmetic is in double precision, each step the IEEE operation of the
// plain formula, so every path gives the same bits: single precision would
// move a coordinate to the next 5 mm step now and then, where the exact
// value lies near a half unit. Several points go through vector registers
// at once: two lanes of SSE2 on every x86-64 processor, four lanes of AVX2
// where the processor has it.
#ifndef VORLAN_SDK2_LEGACY_POSITIONS_H
#define VORLAN_SDK2_LEGACY_POSITIONS_H

#include <cstddef>
#include <cstdint>

#include "vorlan_sdk.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

// Rounds to the nearest integer, halves away from zero, for |value| < 2^31:
// the truncation and the fraction it leaves are exact. Plain instructions
// without branches, where std::round is a library call and a branch on the
// fraction would be mispredicted for every other point.
template <class Real>
inline int32_t roundHalfAway(Real value) {
    const int32_t whole = static_cast<int32_t>(value);
    const Real fraction = value - static_cast<Real>(whole);
    return whole + static_cast<int32_t>(fraction >= Real(0.5)) - static_cast<int32_t>(fraction <= Real(-0.5));
}

enum class PositionLanes {
    kOne,   // plain scalar code, on any processor
    kTwo,   // SSE2
    kFour,  // AVX2
};

// The widest the processor running this code can use.
PositionLanes widestPositionLanes();

// Writes x, y and z of out[i] from points[i], and sets out[i].flags to
// VORLAN_POINT_FLAG_NO_RETURN for a point whose position is not a number
// (placed at the origin) and to 0 otherwise; other fields are left as they
// are. A point without a return lies 100 m along its ray; one farther out
// than 16 bits of 5 mm units reach is pulled in along its ray until its
// largest coordinate is the largest that can be stored. `lanes` wider than
// the processor has are narrowed to what it has.
void writeLegacyPositions(const VorlanSensorImagePoint* points, size_t n, VorlanPoint* out,
                          PositionLanes lanes = widestPositionLanes());

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_LEGACY_POSITIONS_H
