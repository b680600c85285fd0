#include "sim_scene.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vorlan_tool {
namespace {

// Slab test: the entry distance of the ray into the box and the axis it
// enters through; false when the ray misses or the box lies behind.
bool intersect(const Box& box, const Vec3& d, double& distance, int& axis) {
    const double origin[3] = {0.0, 0.0, 0.0};
    const double dir[3] = {d.x, d.y, d.z};
    const double lo[3] = {box.min.x, box.min.y, box.min.z};
    const double hi[3] = {box.max.x, box.max.y, box.max.z};
    double t_near = -std::numeric_limits<double>::infinity();
    double t_far = std::numeric_limits<double>::infinity();
    int near_axis = 0;
    for (int a = 0; a < 3; ++a) {
        if (std::fabs(dir[a]) < 1e-12) {
            if (origin[a] < lo[a] || origin[a] > hi[a]) {
                return false;
            }
            continue;
        }
        double t0 = (lo[a] - origin[a]) / dir[a];
        double t1 = (hi[a] - origin[a]) / dir[a];
        if (t0 > t1) {
            std::swap(t0, t1);
        }
        if (t0 > t_near) {
            t_near = t0;
            near_axis = a;
        }
        t_far = std::min(t_far, t1);
        if (t_near > t_far) {
            return false;
        }
    }
    if (t_near <= 0.0) {
        return false;  // the sensor is inside, or the box is behind it
    }
    distance = t_near;
    axis = near_axis;
    return true;
}

}  // namespace

Scene Scene::yard() {
    Scene scene;
    const double wall = 0.3;
    const double top = 4.0;
    // Side walls, back wall, a low kerb on the right.
    scene.boxes.push_back({{-12.0 - wall, -2.0, scene.ground_z}, {-12.0, 46.0, top}, 0.6});
    scene.boxes.push_back({{12.0, -2.0, scene.ground_z}, {12.0 + wall, 46.0, top}, 0.6});
    scene.boxes.push_back({{-12.3, 45.0, scene.ground_z}, {12.3, 45.0 + wall, top}, 0.7});
    scene.boxes.push_back({{4.0, 3.0, scene.ground_z}, {12.0, 40.0, scene.ground_z + 0.15}, 0.4});
    // Boxes: a car-sized block, a pillar, two crates and a bright sign.
    scene.boxes.push_back({{-6.0, 12.0, scene.ground_z}, {-2.0, 14.0, scene.ground_z + 1.6}, 0.35});
    scene.boxes.push_back({{3.0, 20.0, scene.ground_z}, {3.6, 20.6, top}, 0.5});
    scene.boxes.push_back({{-1.0, 7.0, scene.ground_z}, {0.0, 8.0, scene.ground_z + 1.0}, 0.3});
    scene.boxes.push_back({{6.0, 28.0, scene.ground_z}, {8.0, 30.0, scene.ground_z + 2.0}, 0.45});
    scene.boxes.push_back({{-9.0, 30.0, scene.ground_z + 1.8}, {-7.0, 30.1, scene.ground_z + 2.8}, 0.95});
    return scene;
}

bool Scene::cast(const Vec3& direction, double max_range, Hit& hit) const {
    double best = max_range;
    bool found = false;
    if (direction.z < -1e-9) {
        const double t = ground_z / direction.z;
        if (t > 0.0 && t < best) {
            best = t;
            hit.reflectivity = ground_reflectivity;
            hit.incidence = -direction.z;
            found = true;
        }
    }
    for (const Box& box : boxes) {
        double t = 0.0;
        int axis = 0;
        if (intersect(box, direction, t, axis) && t < best) {
            best = t;
            hit.reflectivity = box.reflectivity;
            const double components[3] = {direction.x, direction.y, direction.z};
            hit.incidence = std::fabs(components[axis]);
            found = true;
        }
    }
    if (found) {
        hit.distance = best;
    }
    return found;
}

}  // namespace vorlan_tool
