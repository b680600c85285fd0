// A sensor's calibration and pose as the client reads, replaces and uses them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "sensor.h"
#include "support/info_packet_builder.h"
#include "support/sensor_fixture.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::build_infx_packet;
using vorlan_test::InfxPacketFields;

constexpr VorlanSensorHandle kSensor = 0x0A000002;

class SensorCalibrationTest : public vorlan_test::SensorSdkTest {
protected:
    void SetUp() override {
        vorlan_test::SensorSdkTest::SetUp();
        InfxPacketFields fields;
        fields.model = 12;
        fields.serial_number = 12;
        ASSERT_EQ(VORLAN_SUCCESS, receive(kSensor, build_infx_packet(fields)));
    }

    std::unique_ptr<VorlanCalibration> calibration() {
        auto calibration = std::make_unique<VorlanCalibration>();
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_calibration(kSensor, calibration.get()));
        return calibration;
    }
};

std::vector<VorlanSensorRawPointWithTime> raw_points() {
    std::vector<VorlanSensorRawPointWithTime> points(4);
    for (std::size_t i = 0; i < points.size(); ++i) {
        points[i].timestamp = static_cast<int64_t>(i);
        points[i].image_x = static_cast<int16_t>(1000 * i);
        points[i].image_z = static_cast<int16_t>(-500 * i);
        points[i].distance = static_cast<uint32_t>(5000 + i);
        points[i].distance_2 = static_cast<uint32_t>(9000 + i);
        points[i].intensity = 50;
        points[i].segment_id = static_cast<uint8_t>(i);
        points[i].power_level = 3;
    }
    return points;
}

TEST_F(SensorCalibrationTest, SetCalibrationReplacesWhatCalibrationUses) {
    std::unique_ptr<VorlanCalibration> replaced = calibration();
    EXPECT_EQ(replaced->segment_count, 24);
    replaced->id = 99;
    replaced->distance_scale = 0.01f;
    replaced->distance_offset = 1.0f;
    replaced->segment_count = 192;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_calibration(kSensor, replaced.get()));
    EXPECT_EQ(std::memcmp(calibration().get(), replaced.get(), sizeof(VorlanCalibration)), 0);
    // Information flags stay as the sensor's packets set them.
    EXPECT_EQ(information(kSensor).flags & VORLAN_SENSOR_INFO_IS_CALIBRATED, 0u);

    // The sensor calibrates with it exactly as a client-supplied calibration would.
    const std::vector<VorlanSensorRawPointWithTime> raw = raw_points();
    std::vector<VorlanSensorImagePoint> by_sensor(raw.size() * 2);
    std::vector<VorlanSensorImagePoint> by_client(raw.size() * 2);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_calibrate_points(kSensor, raw.size(), raw.data(), 2, by_sensor.data()));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_calibrate_points_with_calibration(replaced.get(), raw.size(), raw.data(), 2,
                                                                          by_client.data()));
    EXPECT_EQ(std::memcmp(by_sensor.data(), by_client.data(), by_sensor.size() * sizeof(VorlanSensorImagePoint)), 0);
    EXPECT_FLOAT_EQ(by_sensor[0].distance, 5000 * 0.01f - 1.0f);
}

TEST_F(SensorCalibrationTest, ACalibrationWithMoreSegmentsThanLasersIsRefused) {
    std::unique_ptr<VorlanCalibration> before = calibration();
    std::unique_ptr<VorlanCalibration> bad = calibration();
    bad->segment_count = 193;
    bad->id = 5;
    EXPECT_EQ(vorlan_sdk_set_calibration(kSensor, bad.get()), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(std::memcmp(calibration().get(), before.get(), sizeof(VorlanCalibration)), 0);
}

TEST_F(SensorCalibrationTest, TransformSetReadAndCleared) {
    int32_t has = -1;
    VorlanSensorTransform transform;
    std::memset(&transform, 0x7F, sizeof(transform));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_has_transform(kSensor, &has));
    EXPECT_EQ(has, 0);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_transform(kSensor, &transform));
    const VorlanSensorTransform zero{};
    EXPECT_EQ(std::memcmp(&transform, &zero, sizeof(transform)), 0);

    // A quarter turn about z, one metre up.
    const float s = 0.70710678f;
    const VorlanSensorTransform pose = {{0.0f, 0.0f, s, s}, {0.0f, 0.0f, 1.0f}};
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_transform(kSensor, &pose));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_has_transform(kSensor, &has));
    EXPECT_EQ(has, 1);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_transform(kSensor, &transform));
    EXPECT_EQ(std::memcmp(&transform, &pose, sizeof(transform)), 0);
    const std::shared_ptr<Sensor> sensor = SensorManager::instance().get_sensor_by_handle(kSensor);
    ASSERT_TRUE(sensor);
    const VorlanSensorCompiledTransform compiled = sensor->get_compiled_transform();
    EXPECT_NEAR(compiled.rotation[1], -1.0f, 1e-6f);
    EXPECT_NEAR(compiled.rotation[3], 1.0f, 1e-6f);
    EXPECT_EQ(compiled.translation[2], 1.0f);

    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_clear_transform(kSensor));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_has_transform(kSensor, &has));
    EXPECT_EQ(has, 0);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_transform(kSensor, &transform));
    EXPECT_EQ(std::memcmp(&transform, &zero, sizeof(transform)), 0);
    const VorlanSensorCompiledTransform identity;
    const VorlanSensorCompiledTransform cleared = sensor->get_compiled_transform();
    EXPECT_EQ(std::memcmp(&identity, &cleared, sizeof(identity)), 0);
}

TEST_F(SensorCalibrationTest, UnknownSensorsAndNullPointers) {
    constexpr VorlanSensorHandle kUnknown = 0x0A000003;
    auto calibration = std::make_unique<VorlanCalibration>();
    VorlanSensorTransform transform{};
    int32_t has = 0;
    const std::vector<VorlanSensorRawPointWithTime> raw = raw_points();
    std::vector<VorlanSensorImagePoint> image(raw.size());

    EXPECT_EQ(vorlan_sdk_calibrate_points(kUnknown, raw.size(), raw.data(), 1, image.data()),
              VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(vorlan_sdk_get_calibration(kUnknown, calibration.get()), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(vorlan_sdk_set_calibration(kUnknown, calibration.get()), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(vorlan_sdk_get_transform(kUnknown, &transform), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(vorlan_sdk_set_transform(kUnknown, &transform), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(vorlan_sdk_clear_transform(kUnknown), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(vorlan_sdk_has_transform(kUnknown, &has), VORLAN_ERROR_SENSOR_NOT_FOUND);

    EXPECT_EQ(vorlan_sdk_calibrate_points(kSensor, raw.size(), nullptr, 1, image.data()),
              VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(vorlan_sdk_calibrate_points(kSensor, raw.size(), raw.data(), 1, nullptr),
              VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(vorlan_sdk_calibrate_points(kSensor, raw.size(), raw.data(), 3, image.data()),
              VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(vorlan_sdk_calibrate_points(kSensor, 0, nullptr, 1, nullptr), VORLAN_SUCCESS);
    EXPECT_EQ(vorlan_sdk_get_calibration(kSensor, nullptr), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(vorlan_sdk_set_calibration(kSensor, nullptr), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(vorlan_sdk_get_transform(kSensor, nullptr), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(vorlan_sdk_set_transform(kSensor, nullptr), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(vorlan_sdk_has_transform(kSensor, nullptr), VORLAN_ERROR_INVALID_ARGUMENTS);
}

TEST(SensorCalibrationLifecycleTest, RefusedBeforeInitialisation) {
    VorlanSensorTransform transform{};
    int32_t has = 0;
    EXPECT_EQ(vorlan_sdk_get_transform(1, &transform), VORLAN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(vorlan_sdk_clear_transform(1), VORLAN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(vorlan_sdk_has_transform(1, &has), VORLAN_ERROR_NOT_INITIALIZED);
}

}  // namespace
}  // namespace vorlan_sdk
