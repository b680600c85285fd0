#include "filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

namespace vorlan_sdk {
namespace {

// ---- Sparse grid ---------------------------------------------------------------------

SparseGrid filter_grid() { return SparseGrid(-175, 175, 0, 350, -175, 175, 1.0); }

TEST(SparseGrid, LabelsPackTheCellCoordinates) {
    const SparseGrid grid = filter_grid();
    EXPECT_EQ(grid.bits(), 9);  // 350 cells per axis
    struct Case {
        double x, y, z;
        uint64_t label;
    };
    const Case cases[] = {
        {-175, 0, -175, 0},
        {-174.5, 0.5, -174.5, 0},
        {-173.9, 3.2, -170.1, 1 + (3 << 9) + (4 << 18)},
        {0, 100, 0, 175 + (100 << 9) + (uint64_t{175} << 18)},
        {174.99, 349.99, 174.99, 349 + (349 << 9) + (uint64_t{349} << 18)},
        // Outside the box: pinned to the nearest cell, never spilling into
        // the next axis.
        {-500, -1, 1e9, 0 + (0 << 9) + (uint64_t{349} << 18)},
        {NAN, 400, -200, 0 + (349 << 9) + (0 << 18)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(grid.calculate_label(c.x, c.y, c.z), c.label) << c.x << " " << c.y << " " << c.z;
    }
}

TEST(SparseGrid, CellsCountTheirOccupants) {
    SparseGrid grid = filter_grid();
    const uint64_t label = grid.add_point(1.5, 20.5, -3.5, 7);
    EXPECT_EQ(grid.get_with_label(label), SparseGrid::Cell(7, 0));
    grid.add_with_label(label, 9);
    EXPECT_EQ(grid.get_with_label(label), SparseGrid::Cell(9, 1));  // last point, one extra occupant
    grid.delete_with_label(label);
    EXPECT_EQ(grid.get_with_label(label), SparseGrid::Cell(9, 0));
    grid.delete_with_label(label);
    EXPECT_EQ(grid.find_with_label(label), nullptr);
    EXPECT_THROW(grid.get_with_label(label), std::out_of_range);
    grid.delete_with_label(label);  // an empty cell is left alone
    EXPECT_EQ(grid.size(), 0u);
}

// Cells come and go in long probe chains; the grid must agree with a plain
// map at every step, also after it has grown beyond its first table.
TEST(SparseGrid, AgreesWithAPlainMapUnderChurn) {
    SparseGrid grid = filter_grid();
    std::map<uint64_t, SparseGrid::Cell> expected;
    std::mt19937_64 random(7);
    // Labels from a small box, so that chains collide and cells repeat.
    std::uniform_int_distribution<int32_t> coordinate(0, 49);
    for (int step = 0; step < 200'000; ++step) {
        const uint64_t label = grid.label_of_cell(coordinate(random), coordinate(random), coordinate(random) % 20);
        // Grow for the first half, then shrink.
        const bool add = (random() % 100) < (step < 100'000 ? 70u : 30u);
        if (add) {
            grid.add_with_label(label, step);
            auto found = expected.find(label);
            if (found == expected.end()) {
                expected[label] = SparseGrid::Cell(step, 0);
            } else {
                found->second = SparseGrid::Cell(step, found->second.second + 1);
            }
        } else {
            grid.delete_with_label(label);
            auto found = expected.find(label);
            if (found != expected.end()) {
                if (found->second.second > 0) {
                    --found->second.second;
                } else {
                    expected.erase(found);
                }
            }
        }
        if (step % 5000 == 0 || step == 199'999) {
            ASSERT_EQ(grid.size(), expected.size()) << step;
            for (const auto& cell : expected) {
                const SparseGrid::Cell* found = grid.find_with_label(cell.first);
                ASSERT_NE(found, nullptr) << step;
                ASSERT_EQ(*found, cell.second) << step;
            }
        }
    }
    EXPECT_GT(expected.size(), 0u);
    grid.clear();
    EXPECT_EQ(grid.size(), 0u);
    EXPECT_EQ(grid.find_with_label(expected.begin()->first), nullptr);
}

// ---- Spatial-temporal filter ---------------------------------------------------------------

VorlanSensorInformation one_return() {
    VorlanSensorInformation information{};
    information.return_count = 1;
    information.segment_count = 1;
    return information;
}

// The image point seen at (x, y, z) metres, y along the sensor's axis.
VorlanSensorImagePoint point_at(int64_t timestamp, double x, double y, double z) {
    VorlanSensorImagePoint point{};
    point.timestamp = timestamp;
    const double u = -x / y;
    const double w = -z / y;
    point.image_x = static_cast<float>(u);
    point.image_z = static_cast<float>(w);
    point.distance = static_cast<float>(y * std::sqrt(u * u + w * w + 1.0));
    point.flags = VORLAN_POINT_VALID;
    return point;
}

bool is_valid(const VorlanSensorImagePoint& point) { return (point.flags & VORLAN_POINT_VALID) != 0; }

constexpr int64_t kStart = 1'000'000'000;

// Feeds a wall at (0, 50, 0) seen once every millisecond from `from` to
// `to` (µs after kStart), in batches of 10 ms; returns how many points the
// filter rejected.
int feed_wall(SpatialTemporalFilter& filter, int64_t from, int64_t to) {
    int rejected = 0;
    for (int64_t batch = from; batch < to; batch += 10'000) {
        std::vector<VorlanSensorImagePoint> points;
        for (int64_t t = batch; t < batch + 10'000 && t < to; t += 1000) {
            points.push_back(point_at(kStart + t, 0.2, 50.2, 0.2));
        }
        filter.run(points.size(), 1, points.data());
        for (const VorlanSensorImagePoint& point : points) {
            rejected += is_valid(point) ? 0 : 1;
        }
    }
    return rejected;
}

// Runs one point at `t` µs after kStart through the filter; true when it stays valid.
bool survives(SpatialTemporalFilter& filter, int64_t t, double x, double y, double z) {
    VorlanSensorImagePoint point = point_at(kStart + t, x, y, z);
    filter.run(1, 1, &point);
    return is_valid(point);
}

TEST(SpatialTemporalFilter, NothingIsRejectedBeforeThereIsHistory) {
    SpatialTemporalFilter filter(one_return());
    // Every point alone in its own place.
    for (int i = 0; i < 150; ++i) {
        EXPECT_TRUE(survives(filter, 1000 * i, -100.0 + i, 20.0 + i, 30.0)) << i;
    }
}

TEST(SpatialTemporalFilter, NeighbourWithinReachOfOneFrameEarlier) {
    struct Case {
        const char* name;
        double dx;  // metres from the wall
        bool valid;
    };
    const Case cases[] = {
        {"same cell", 0.0, true},
        {"5 m away", 5.0, true},
        {"10 m away", 10.0, true},
        {"11 m away", 11.0, false},
        {"far away", 60.0, false},
    };
    for (const Case& c : cases) {
        SpatialTemporalFilter filter(one_return());
        ASSERT_EQ(feed_wall(filter, 0, 300'000), 0);
        EXPECT_EQ(survives(filter, 300'000, 0.2 + c.dx, 50.2, 0.2), c.valid) << c.name;
    }
}

TEST(SpatialTemporalFilter, ComparesOnlyWithPointsAFrameOld) {
    SpatialTemporalFilter filter(one_return());
    ASSERT_EQ(feed_wall(filter, 0, 300'000), 0);
    // A second object appears: for its first 100 ms nothing of it is old
    // enough to vouch for it.
    int rejected = 0;
    int accepted = 0;
    for (int64_t t = 300'000; t < 500'000; t += 1000) {
        VorlanSensorImagePoint points[2] = {point_at(kStart + t, 0.2, 50.2, 0.2),
                                            point_at(kStart + t, 40.5, 80.5, -20.5)};
        filter.run(2, 1, points);
        EXPECT_TRUE(is_valid(points[0]));
        (is_valid(points[1]) ? accepted : rejected) += 1;
        if (t <= 400'000) {
            EXPECT_FALSE(is_valid(points[1])) << t;
        } else if (t >= 402'000) {
            EXPECT_TRUE(is_valid(points[1])) << t;
        }
    }
    EXPECT_GT(rejected, 0);
    EXPECT_GT(accepted, 0);
}

TEST(SpatialTemporalFilter, PointsOutsideTheBoxAreNeitherFilteredNorKept) {
    struct Case {
        const char* name;
        double x, y, z;
    };
    const Case cases[] = {
        {"within a metre of the sensor", 0.0, 0.9, 0.0},
        {"beyond the box", 0.0, 400.0, 0.0},
        {"far to the side", 200.0, 50.0, 0.0},
    };
    for (const Case& c : cases) {
        SpatialTemporalFilter filter(one_return());
        ASSERT_EQ(feed_wall(filter, 0, 300'000), 0);
        EXPECT_TRUE(survives(filter, 300'000, c.x, c.y, c.z)) << c.name;
    }
}

TEST(SpatialTemporalFilter, GapsAndJumpsBackStartAfresh) {
    struct Case {
        const char* name;
        int64_t next_batch;  // µs after kStart; the wall ends at 299 ms
        bool valid;
    };
    const Case cases[] = {
        {"next batch 50 ms later", 349'000, false},
        {"next batch 150 ms later", 449'000, true},
        {"next batch 2 ms earlier", 297'000, false},
        {"next batch 20 ms earlier", 279'000, true},
    };
    for (const Case& c : cases) {
        SpatialTemporalFilter filter(one_return());
        ASSERT_EQ(feed_wall(filter, 0, 300'000), 0);
        EXPECT_EQ(survives(filter, c.next_batch, 80.5, 80.5, 80.5), c.valid) << c.name;
    }
}

TEST(SpatialTemporalFilter, FiltersEveryReturnOfTheBatch) {
    SpatialTemporalFilter filter(one_return());
    ASSERT_EQ(feed_wall(filter, 0, 300'000), 0);
    VorlanSensorImagePoint points[4] = {
        point_at(kStart + 300'000, 0.2, 50.2, 0.2), point_at(kStart + 300'000, 90.5, 90.5, 90.5),
        point_at(kStart + 300'100, 0.2, 50.2, 0.2), point_at(kStart + 300'100, -90.5, 90.5, 90.5)};
    filter.run(2, 2, points);
    EXPECT_TRUE(is_valid(points[0]));
    EXPECT_FALSE(is_valid(points[1]));
    EXPECT_TRUE(is_valid(points[2]));
    EXPECT_FALSE(is_valid(points[3]));
}

TEST(SpatialTemporalFilter, MoreHistoryThanTheRingHoldsStaysConsistent) {
    SpatialTemporalFilter filter(one_return());
    // Four points every 2 µs: 400,000 points within 200 ms, over five times
    // the ring. The oldest entries give way and the grid still ages out.
    for (int64_t batch = 0; batch < 200'000; batch += 1000) {
        std::vector<VorlanSensorImagePoint> points;
        for (int64_t t = batch; t < batch + 1000; t += 2) {
            for (double x : {0.5, 20.5, -20.5, 60.5}) {
                points.push_back(point_at(kStart + t, x, 50.5, 0.5));
            }
        }
        filter.run(points.size(), 1, points.data());
    }
    // The wall at x = 60.5 stops; 200 ms later it has left the grid.
    for (int64_t batch = 200'000; batch < 500'000; batch += 1000) {
        std::vector<VorlanSensorImagePoint> points;
        for (int64_t t = batch; t < batch + 1000; t += 100) {
            points.push_back(point_at(kStart + t, 0.5, 50.5, 0.5));
        }
        filter.run(points.size(), 1, points.data());
        for (const VorlanSensorImagePoint& point : points) {
            ASSERT_TRUE(is_valid(point)) << point.timestamp;
        }
    }
    EXPECT_FALSE(survives(filter, 500'000, 60.5, 50.5, 0.5));
    EXPECT_TRUE(survives(filter, 500'050, 0.5, 50.5, 0.5));
}

}  // namespace
}  // namespace vorlan_sdk
