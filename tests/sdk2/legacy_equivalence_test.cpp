// For the simulator's first-generation sensors, what the second library
// delivers with legacy translation equals what the first library itself
// makes of the same traffic, converted by the plain statement of the rules
// in the test support.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "loaded_library.h"
#include "simulator.h"
#include "support/legacy_reference.h"
#include "vorlan_sdk.h"

namespace vorlan_sdk2_test {
namespace {

struct Payload {
    uint64_t handle;
    int64_t timestamp;
    std::vector<uint8_t> bytes;
};

struct Collector : vorlan_tool::PacketSink {
    std::vector<Payload> payloads;
    bool deliver(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, std::size_t size) override {
        payloads.push_back({handle, timestamp, std::vector<uint8_t>(data, data + size)});
        return true;
    }
};

// What the first library, linked into this test, reports for the payloads.
struct FirstLibraryOutput {
    std::vector<vorlan_test::ReferenceBatch> batches;   // its image frames, converted
    std::map<uint64_t, std::vector<uint8_t>> records;  // the last information of each sensor, converted
    size_t information_reports = 0;

    static void on_frame(VorlanSensorHandle handle, size_t n, const VorlanSensorImagePoint* points, void* user_data) {
        auto* self = static_cast<FirstLibraryOutput*>(user_data);
        for (auto& batch : vorlan_test::reference_legacy_batches(handle, points, n)) {
            self->batches.push_back(std::move(batch));
        }
    }
    static void on_information(VorlanSensorHandle handle, const VorlanSensorInformation* info, void* user_data) {
        auto* self = static_cast<FirstLibraryOutput*>(user_data);
        self->records[handle] = vorlan_test::reference_legacy_sensor_record(handle, *info);
        ++self->information_reports;
    }
};

struct SecondLibraryOutput {
    std::vector<vorlan_test::ReferenceBatch> batches;
    std::map<uint64_t, std::vector<uint8_t>> records;
    std::vector<uint64_t> information_reports;  // the handle of each

    static void on_points(uint64_t handle, int64_t timestamp, size_t n, size_t stride, const uint8_t* points,
                          void* user_data) {
        auto* self = static_cast<SecondLibraryOutput*>(user_data);
        vorlan_test::ReferenceBatch batch;
        batch.handle = handle;
        batch.timestamp = timestamp;
        for (size_t i = 0; i < n; ++i) {
            batch.points.insert(batch.points.end(), points + i * stride, points + i * stride + 10);
        }
        self->batches.push_back(std::move(batch));
    }
    static void on_information(uint64_t handle, const VorlanSensor* info, void* user_data) {
        auto* self = static_cast<SecondLibraryOutput*>(user_data);
        const auto* bytes = reinterpret_cast<const uint8_t*>(info);
        self->records[handle].assign(bytes, bytes + 90);
        self->information_reports.push_back(handle);
    }
};

TEST(LegacyEquivalence, SimulatedSensorsComeOutAsTheFirstLibrarySeesThem) {
    Collector capture;
    vorlan_tool::SimulatorOptions options;
    options.seconds = 2.0;
    ASSERT_TRUE(vorlan_tool::run_simulation(options, capture).completed);

    FirstLibraryOutput first;
    VorlanSDKOptions first_options = vorlan_sdk_create_options();
    first_options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    first_options.frame.mode = VORLAN_SDK_FRAME_STREAMING;
    ASSERT_EQ(vorlan_sdk_initialize(VORLAN_SDK_VERSION, &first_options, nullptr, nullptr), VORLAN_SUCCESS);
    ASSERT_EQ(vorlan_sdk_listen_image_frames(&FirstLibraryOutput::on_frame, &first), VORLAN_SUCCESS);
    ASSERT_EQ(vorlan_sdk_listen_info_packets(&FirstLibraryOutput::on_information, &first), VORLAN_SUCCESS);
    for (const Payload& payload : capture.payloads) {
        vorlan_sdk_mock_network_receive(payload.handle, payload.timestamp, payload.bytes.data(), payload.bytes.size());
    }
    ASSERT_EQ(vorlan_sdk_deinitialize(), VORLAN_SUCCESS);
    ASSERT_FALSE(first.batches.empty());

    // The built library, beside the built first library.
    SecondLibraryOutput second;
    {
        LoadedLibrary library(VORLAN_SDK2_LIBRARY);
        ASSERT_TRUE(library.ok()) << library.error();
        ASSERT_EQ(library.Initialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
        ASSERT_EQ(library.ListenPoints(&SecondLibraryOutput::on_points, &second), VORLAN_SUCCESS);
        ASSERT_EQ(library.ListenSensorInfo(&SecondLibraryOutput::on_information, &second), VORLAN_SUCCESS);
        ASSERT_EQ(library.EnableLegacyTranslation(), VORLAN_SUCCESS);
        for (const Payload& payload : capture.payloads) {
            library.ReceiveData(payload.handle, payload.timestamp, payload.bytes.data(), payload.bytes.size());
        }
        EXPECT_GE(library.GetSensorCount(), static_cast<int64_t>(first.records.size()));
        ASSERT_EQ(library.Deinitialize(), VORLAN_SUCCESS);
    }

    // Only the sensors the first library knows: newer ones come out as they are.
    std::vector<vorlan_test::ReferenceBatch> translated;
    for (auto& batch : second.batches) {
        if (first.records.count(batch.handle) != 0) {
            translated.push_back(std::move(batch));
        }
    }
    ASSERT_EQ(translated.size(), first.batches.size());
    size_t points = 0;
    for (size_t i = 0; i < translated.size(); ++i) {
        ASSERT_EQ(translated[i].handle, first.batches[i].handle) << "batch " << i;
        ASSERT_EQ(translated[i].timestamp, first.batches[i].timestamp) << "batch " << i;
        ASSERT_EQ(translated[i].points, first.batches[i].points) << "batch " << i;
        points += translated[i].points.size() / 10;
    }
    EXPECT_GT(points, 10000u);
    size_t translated_reports = 0;
    for (uint64_t handle : second.information_reports) {
        translated_reports += first.records.count(handle);
    }
    EXPECT_EQ(translated_reports, first.information_reports);
    for (const auto& [handle, record] : first.records) {
        EXPECT_EQ(second.records[handle], record) << "sensor " << std::hex << handle;
    }
}

}  // namespace
}  // namespace vorlan_sdk2_test
