// The simulator's world: flat ground, walls around a yard and a few boxes,
// seen by a sensor standing at the origin. Sensor coordinates: y forward
// along the sensor's axis, x to the right, z up, metres.
#ifndef VORLAN_TOOLS_SIM_SCENE_H
#define VORLAN_TOOLS_SIM_SCENE_H

#include <vector>

namespace vorlan_tool {

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

// An axis-aligned box with the reflectivity of its surfaces (0..1).
struct Box {
    Vec3 min;
    Vec3 max;
    double reflectivity = 0.5;
};

struct Hit {
    double distance = 0.0;      // metres along the ray
    double reflectivity = 0.0;  // 0..1
    double incidence = 1.0;     // cosine between the ray and the surface normal
};

class Scene {
public:
    // The default yard: ground 1.5 m below the sensor, walls 12 m to either
    // side and 45 m ahead, and five boxes of different sizes and materials.
    static Scene yard();

    // The nearest surface along the unit direction `direction` from the
    // sensor, within `max_range`; false when the ray escapes.
    bool cast(const Vec3& direction, double max_range, Hit& hit) const;

    double ground_z = -1.5;
    double ground_reflectivity = 0.25;
    std::vector<Box> boxes;  // walls are boxes too
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SIM_SCENE_H
