#include "sim_scene.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vorlan_tool {
namespace {

Vec3 unit(double x, double y, double z) {
    const double n = std::sqrt(x * x + y * y + z * z);
    return {x / n, y / n, z / n};
}

TEST(SimScene, RaysMeetGroundWallsAndBoxes) {
    const Scene scene = Scene::yard();
    Hit hit;
    // Straight down the middle, slightly raised: the back wall at 45 m.
    ASSERT_TRUE(scene.cast(unit(0.0, 1.0, 0.02), 100.0, hit));
    EXPECT_NEAR(45.0 / unit(0.0, 1.0, 0.02).y, hit.distance, 1e-6);
    EXPECT_NEAR(0.7, hit.reflectivity, 1e-12);
    // 45 degrees down reaches the ground 1.5 m below at 1.5 * sqrt(2).
    ASSERT_TRUE(scene.cast(unit(0.0, 1.0, -1.0), 100.0, hit));
    EXPECT_NEAR(1.5 * std::sqrt(2.0), hit.distance, 1e-9);
    // The crate straight ahead at 7 m, low.
    ASSERT_TRUE(scene.cast(unit(-0.05, 1.0, -0.1), 100.0, hit));
    EXPECT_NEAR(7.0 / unit(-0.05, 1.0, -0.1).y, hit.distance, 1e-6);
    // Up into the sky: nothing; and nothing within a short range.
    EXPECT_FALSE(scene.cast(unit(0.0, 1.0, 1.0), 100.0, hit));
    EXPECT_FALSE(scene.cast(unit(0.0, 1.0, 0.02), 10.0, hit));
    // Backwards hits nothing but the ground behind.
    EXPECT_FALSE(scene.cast(unit(0.0, -1.0, 0.5), 100.0, hit));
}

}  // namespace
}  // namespace vorlan_tool
