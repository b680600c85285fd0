// The library initialised for one test, and recorders for what its listeners
// receive. Each test runs in a process of its own, but the fixture also
// leaves the library clean for the next test of the same process.
#ifndef VORLAN_TESTS_SDK2_LIBRARY_FIXTURE_H
#define VORLAN_TESTS_SDK2_LIBRARY_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vorlan_sdk2.h"

namespace vorlan_sdk2_test {

// Every point batch a point listener was given, with a copy of its bytes.
struct PointBatches {
    struct Batch {
        uint64_t handle;
        int64_t timestamp;
        size_t n_points;
        size_t stride;
        const uint8_t* points;  // as handed over: valid only during the call
        std::vector<uint8_t> bytes;
    };
    std::vector<Batch> batches;

    static void record(uint64_t handle, int64_t timestamp, size_t n_points, size_t stride, const uint8_t* points,
                       void* user_data) {
        auto* self = static_cast<PointBatches*>(user_data);
        self->batches.push_back({handle, timestamp, n_points, stride, points,
                                 std::vector<uint8_t>(points, points + n_points * stride)});
    }
};

// Every sensor record a sensor-information listener was given, whole.
struct SensorRecords {
    std::vector<std::vector<uint8_t>> records;

    static void record(uint64_t, const VorlanSensor* info, void* user_data) {
        auto* bytes = reinterpret_cast<const uint8_t*>(info);
        static_cast<SensorRecords*>(user_data)->records.emplace_back(bytes, bytes + info->info_size);
    }
    const VorlanSensor& last() const { return *reinterpret_cast<const VorlanSensor*>(records.back().data()); }
};

struct SerialLines {
    std::vector<std::string> lines;

    static void record(uint64_t, const char* line, void* user_data) {
        static_cast<SerialLines*>(user_data)->lines.emplace_back(line);
    }
};

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS); }
    void TearDown() override {
        if (VorlanIsInitialized() == 1) {
            EXPECT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
        }
    }

    static int receive(uint64_t handle, const std::vector<uint8_t>& payload, int64_t timestamp = 0) {
        return VorlanReceiveData(handle, timestamp, payload.data(), payload.size());
    }
};

}  // namespace vorlan_sdk2_test

#endif  // VORLAN_TESTS_SDK2_LIBRARY_FIXTURE_H
