// Positions of the first library's image points: every lane width the code
// has gives the bits of the plain statement of the rules, for whole scans,
// points a hair from a half unit, points past 16 bits of reach, groups cut
// short at the end of a batch, and points whose position is not a number.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "legacy_positions.h"
#include "support/image_point.h"
#include "support/legacy_reference.h"

namespace vorlan_sdk2 {
namespace {

constexpr PositionLanes kEveryWidth[] = {PositionLanes::kOne, PositionLanes::kTwo, PositionLanes::kFour};

using vorlan_test::image_point;

// The position bytes the reference gives each point.
struct Expected {
    uint8_t position[6];
};

std::vector<Expected> reference_positions(const std::vector<VorlanSensorImagePoint>& points) {
    std::vector<Expected> expected;
    for (const VorlanSensorImagePoint& point : points) {
        const auto batch = vorlan_test::reference_legacy_batches(0, &point, 1);
        Expected e;
        std::memcpy(e.position, batch[0].points.data(), sizeof e.position);
        expected.push_back(e);
    }
    return expected;
}

// Runs of `n` points from `first` at every width, each point held to
// `expected`; a position that is a number is not flagged (a point without a
// return is flagged by the translation of the first library's flags).
void expect_positions(const std::vector<VorlanSensorImagePoint>& points, const std::vector<Expected>& expected,
                      size_t first, size_t n) {
    for (PositionLanes lanes : kEveryWidth) {
        SCOPED_TRACE(static_cast<int>(lanes));
        std::vector<VorlanPoint> out(n);
        writeLegacyPositions(points.data() + first, n, out.data(), lanes);
        for (size_t i = 0; i < n; ++i) {
            const Expected& e = expected[first + i];
            ASSERT_EQ(0, std::memcmp(&out[i], e.position, sizeof e.position)) << "point " << first + i;
            ASSERT_EQ(out[i].flags, 0) << "point " << first + i;
        }
    }
}

TEST(LegacyPositions, EveryLaneWidthGivesTheReferenceBits) {
    std::mt19937 random(16);
    std::uniform_real_distribution<float> angle(-1.5f, 1.5f);
    std::uniform_real_distribution<float> range(0.0f, 400.0f);
    std::uniform_int_distribution<int> flags(0, 255);

    struct Case {
        const char* what;
        std::vector<VorlanSensorImagePoint> points;
    };
    std::vector<Case> cases;

    Case scan{"a scan: any direction, 0-400 m, with and without returns", {}};
    for (int i = 0; i < 100000; ++i) {
        scan.points.push_back(image_point(angle(random), angle(random), range(random), uint8_t(flags(random))));
    }
    cases.push_back(std::move(scan));

    // The single-precision distance nearest k + 1/2 units lies a hair to one
    // side: only the exact arithmetic rounds it the way the rules do.
    Case halves{"a hair from half a unit, on the axis and off it", {}};
    for (int k : {0, 1, 7, 99, 2000, 12345, 19999, 32765, 32766}) {
        const float nearest = float((k + 0.5) / 200.0);
        for (float distance : {nearest, std::nextafter(nearest, 0.0f), std::nextafter(nearest, 1e9f)}) {
            halves.points.push_back(image_point(0.0f, 0.0f, distance));
            halves.points.push_back(image_point(0.0f, 0.0f, -distance));
            halves.points.push_back(image_point(0.75f, 0.0f, distance * 1.25f));  // the ray is 1.25 long
            halves.points.push_back(image_point(0.0f, -0.75f, distance * 1.25f));
        }
    }
    cases.push_back(std::move(halves));

    Case far{"past 16 bits of 5 mm, pulled in along the ray", {}};
    for (float distance : {163.8375f, 163.83749f, 163.8376f, 200.0f, 1e6f, 3e38f}) {
        far.points.push_back(image_point(0.0f, 0.0f, distance));
        far.points.push_back(image_point(-1.0f, 0.25f, distance));
        far.points.push_back(image_point(3.0f, -2.0f, distance));
    }
    far.points.push_back(image_point(1e30f, 0.0f, 10.0f, 0));  // no return along a ray nearly sideways
    cases.push_back(std::move(far));

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<Expected> expected = reference_positions(c.points);
        expect_positions(c.points, expected, 0, c.points.size());
        // Runs that end inside a group of lanes, from every start in a group.
        for (size_t first = 0; first < 4; ++first) {
            for (size_t n = 1; n <= 9 && first + n <= c.points.size(); ++n) {
                expect_positions(c.points, expected, first, n);
            }
        }
    }
}

TEST(LegacyPositions, PositionsThatAreNotNumbersGoToTheOrigin) {
    const float kNaN = std::numeric_limits<float>::quiet_NaN();
    const float kInfinity = std::numeric_limits<float>::infinity();
    const VorlanSensorImagePoint good = image_point(0.5f, -0.25f, 10.0f);
    for (const VorlanSensorImagePoint& bad :
         {image_point(0, 0, kNaN), image_point(0, 0, kInfinity), image_point(0, 0, -kInfinity),
          image_point(kNaN, 0, 1), image_point(0, kNaN, 1), image_point(kInfinity, 0, 1, 0)}) {
        // Among good points, in every lane of a group.
        for (size_t at = 0; at < 5; ++at) {
            std::vector<VorlanSensorImagePoint> points(5, good);
            points[at] = bad;
            for (PositionLanes lanes : kEveryWidth) {
                std::vector<VorlanPoint> out(points.size());
                writeLegacyPositions(points.data(), points.size(), out.data(), lanes);
                for (size_t i = 0; i < points.size(); ++i) {
                    SCOPED_TRACE(testing::Message() << "lanes " << static_cast<int>(lanes) << ", bad at " << at
                                                    << ", point " << i);
                    const int16_t x = i == at ? 0 : -873;
                    const int16_t y = i == at ? 0 : 1746;
                    const int16_t z = i == at ? 0 : 436;
                    EXPECT_EQ(out[i].x, x);
                    EXPECT_EQ(out[i].y, y);
                    EXPECT_EQ(out[i].z, z);
                    EXPECT_EQ(out[i].flags, i == at ? VORLAN_POINT_FLAG_NO_RETURN : 0);
                }
            }
        }
    }
}

}  // namespace
}  // namespace vorlan_sdk2
