// The bounded table of sensors waiting for the rest of their information:
// entries leave by age, by count (oldest first), by completion and by clear,
// and a lookup never returns an entry past its age.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "pending_sensors.h"
#include "sensor.h"

namespace vorlan_sdk {
namespace {

constexpr int64_t kAge = PendingSensors::kMaxAge;
constexpr std::size_t kCount = PendingSensors::kMaxCount;

TEST(PendingSensorsTest, EntriesLeaveByAgeAndCountOldestFirst) {
    struct Step {
        const char* name;
        VorlanSensorHandle added_handle;  // 0: no addition at this step
        int64_t now;
        std::vector<VorlanSensorHandle> present;
        std::vector<VorlanSensorHandle> absent;
    };
    const std::vector<Step> steps = {
        {"first entry", 1, 0, {1}, {}},
        {"second entry, later", 2, kAge / 2, {1, 2}, {}},
        {"at exactly its age an entry is kept", 0, kAge, {1, 2}, {}},
        {"past its age it is gone, the younger stays", 0, kAge + 1, {2}, {1}},
        {"a new entry also clears out the old ones", 3, kAge / 2 + kAge + 1, {3}, {1, 2}},
    };
    PendingSensors table;
    for (const Step& step : steps) {
        if (step.added_handle != 0) {
            table.add(std::make_shared<Sensor>(step.added_handle), step.added_handle, step.now);
        }
        for (VorlanSensorHandle handle : step.present) {
            EXPECT_NE(table.find(handle, step.now), nullptr) << step.name << ", handle " << handle;
        }
        for (VorlanSensorHandle handle : step.absent) {
            EXPECT_EQ(table.find(handle, step.now), nullptr) << step.name << ", handle " << handle;
        }
    }
    EXPECT_EQ(table.size(), 1u);

    // Filling past the count bound forgets the oldest entries, one per addition.
    table.clear();
    for (VorlanSensorHandle handle = 1; handle <= kCount + 5; ++handle) {
        table.add(std::make_shared<Sensor>(handle), handle, static_cast<int64_t>(handle));
        ASSERT_LE(table.size(), kCount);
    }
    const int64_t now = kCount + 5;
    for (VorlanSensorHandle handle = 1; handle <= 5; ++handle) {
        EXPECT_EQ(table.find(handle, now), nullptr) << handle;
    }
    for (VorlanSensorHandle handle = 6; handle <= kCount + 5; ++handle) {
        EXPECT_NE(table.find(handle, now), nullptr) << handle;
    }
}

TEST(PendingSensorsTest, RemoveTakesOnlyTheSameSensorOut) {
    PendingSensors table;
    const auto first = std::make_shared<Sensor>(7);
    const auto second = std::make_shared<Sensor>(7);
    table.add(first, 7, 0);
    // A new first packet of the same handle replaces the entry.
    table.add(second, 7, 1);
    EXPECT_EQ(table.size(), 1u);
    EXPECT_FALSE(table.remove(first, 7));
    EXPECT_EQ(table.find(7, 1), second);
    EXPECT_TRUE(table.remove(second, 7));
    EXPECT_EQ(table.size(), 0u);
    EXPECT_FALSE(table.remove(second, 7));
}

}  // namespace
}  // namespace vorlan_sdk
