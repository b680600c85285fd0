// A sensor's calibration and pose as the client reads, replaces and uses them.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "sensor.h"
#include "support/calibration_block_builder.h"
#include "support/info_packet_builder.h"
#include "support/sensor_fixture.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::build_info_packet;
using vorlan_test::build_infx_packet;
using vorlan_test::build_infy_packet;
using vorlan_test::build_vrn8_block;
using vorlan_test::build_vrna_block;
using vorlan_test::CalibrationHeaderFields;
using vorlan_test::InfoPacketFields;
using vorlan_test::InfxPacketFields;
using vorlan_test::InfyPacketFields;
using vorlan_test::make_segments;
using vorlan_test::VrnASegment;

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

// ---- Calibration carried in information packets ------------------------------------

uint32_t bits_of(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

std::vector<uint8_t> vrna_block(uint32_t id, int16_t model = 12, float distance_scale = 0.002f,
                                std::array<float, 3> distortion = {0.5f, 0.25f, 0.125f}, uint16_t flags = 0) {
    CalibrationHeaderFields header;
    header.id = id;
    header.model = model;
    header.model_name = "Block name";
    header.distance_scale = distance_scale;
    header.distortion = distortion;
    header.flags = flags;
    VrnASegment segment;
    segment.geometry.image_x_scale = 3e-4f;
    return build_vrna_block(header, make_segments<VrnASegment>(10, segment));
}

std::unique_ptr<VorlanCalibration> calibration_of(VorlanSensorHandle handle) {
    auto calibration = std::make_unique<VorlanCalibration>();
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_calibration(handle, calibration.get()));
    return calibration;
}

bool is_calibrated(VorlanSensorHandle handle) {
    VorlanSensorInformation info{};
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_information(handle, &info));
    return (info.flags & VORLAN_SENSOR_INFO_IS_CALIBRATED) != 0;
}

class PacketCalibrationTest : public vorlan_test::SensorSdkTest {};

TEST_F(PacketCalibrationTest, ABlockWithANewIdentityReplacesTheCalibration) {
    InfoPacketFields fields;
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_info_packet(fields, vrna_block(5))));
    VorlanSensorInformation info = information(1);
    EXPECT_EQ(info.model, 12);  // named by the block
    EXPECT_STREQ(info.model_name, "Block name");
    EXPECT_TRUE(is_calibrated(1));
    std::unique_ptr<VorlanCalibration> first = calibration_of(1);
    EXPECT_EQ(first->id, 5u);
    EXPECT_EQ(first->model, 12);
    EXPECT_EQ(first->segment_count, 10);
    EXPECT_EQ(first->distance_scale, 0.002f);
    EXPECT_EQ(first->lasers[9].image_x_scale, 3e-4f);

    // The same identity again changes nothing; a new one replaces it.
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_info_packet(fields, vrna_block(5, 12, 0.004f))));
    EXPECT_EQ(calibration_of(1)->distance_scale, 0.002f);
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_info_packet(fields, vrna_block(6, 3, 0.004f))));
    std::unique_ptr<VorlanCalibration> second = calibration_of(1);
    EXPECT_EQ(second->distance_scale, 0.004f);
    EXPECT_EQ(second->model, 12);  // the sensor's model, whatever the block says
}

TEST_F(PacketCalibrationTest, MissingDistortionTakesTheModelsDefaults) {
    struct Case {
        int16_t model;
        uint16_t flags;
        std::array<uint32_t, 3> bits;
    };
    const std::vector<Case> cases = {
        {12, 0, {0x3EFBA9EE, 0x3E6C65BE, 0x3E2ACBEF}},
        {7, 0, {0x3E348D0F, 0x3CFD8A44, 0x3BC9F440}},
        {6, 0, {0x3F6C99AC, 0x3E3E83D7, 0x40E6D926}},
        {15, 0, {0x3E76AE7D, 0x3EC94467, 0xBF17DBF5}},
        // The rational model keeps what the block says (nothing).
        {12, VORLAN_CALIBRATION_RATIONAL_DISTORTION, {0, 0, 0}},
    };
    VorlanSensorHandle handle = 10;
    for (const Case& c : cases) {
        InfxPacketFields fields;
        fields.model = c.model;
        ASSERT_EQ(VORLAN_SUCCESS, receive(++handle, build_infx_packet(fields, vrna_block(1, 0, 0.002f, {}, c.flags))));
        std::unique_ptr<VorlanCalibration> calibration = calibration_of(handle);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(bits_of(calibration->distortion_x[i + 1]), c.bits[i]) << c.model << " coefficient " << i + 1;
        }
    }
    // Coefficients the block carries are kept.
    InfxPacketFields fields;
    fields.model = 12;
    ASSERT_EQ(VORLAN_SUCCESS, receive(20, build_infx_packet(fields, vrna_block(1))));
    EXPECT_EQ(calibration_of(20)->distortion_x[1], 0.5f);
}

TEST_F(PacketCalibrationTest, Tq50FirmwareFromV264CorrectsSaturatedRanges) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"V264", true}, {"V270", true}, {"V2A0", true}, {"V263", false}, {"V259", false}, {"V164", false}};
    VorlanSensorHandle handle = 0;
    for (const auto& [firmware, corrected] : cases) {
        InfoPacketFields fields;
        std::memcpy(fields.firmware, firmware, 4);
        ASSERT_EQ(VORLAN_SUCCESS, receive(++handle, build_info_packet(fields, vrna_block(1, 3))));
        EXPECT_EQ((calibration_of(handle)->flags & VORLAN_CALIBRATION_SATURATION_CORRECTION) != 0, corrected)
            << firmware;
    }
}

TEST_F(PacketCalibrationTest, InfxFallsBackToTheDefaultWhenTheBlockStopsConverting) {
    InfxPacketFields fields;
    fields.model = 12;
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_infx_packet(fields, vrna_block(9))));
    EXPECT_TRUE(is_calibrated(1));
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_infx_packet(fields)));
    EXPECT_FALSE(is_calibrated(1));
    std::unique_ptr<VorlanCalibration> fallback = calibration_of(1);
    EXPECT_EQ(fallback->id, 0u);
    EXPECT_EQ(fallback->segment_count, 24);
    EXPECT_EQ(bits_of(fallback->distance_offset), 0x3CA4A8C1u);
}

TEST_F(PacketCalibrationTest, InfyBlockFollowsTheHeader) {
    InfyPacketFields fields;
    fields.model = 10;
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_infy_packet(fields, vrna_block(3))));
    EXPECT_TRUE(is_calibrated(1));
    EXPECT_EQ(calibration_of(1)->id, 3u);
    EXPECT_STREQ(information(1).model_name, "Parvo-L200");  // INFY names come from the packet
}

TEST_F(PacketCalibrationTest, JoinedHalvesCarryEverySegment) {
    CalibrationHeaderFields header;
    header.id = 44;
    std::vector<vorlan_test::Vrn8Segment> segments = make_segments<vorlan_test::Vrn8Segment>(
        24, {}, [](vorlan_test::Vrn8Segment& segment, std::size_t i) {
            segment.geometry.image_x_center = static_cast<int16_t>(100 + i);
        });
    InfoPacketFields fields;
    fields.type[3] = '1';
    const vorlan_test::SplitInfoPacket halves =
        vorlan_test::split_info_packet(build_info_packet(fields, build_vrn8_block(header, segments)));
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, halves.inf1));
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, halves.inf2));
    std::unique_ptr<VorlanCalibration> joined = calibration_of(1);
    EXPECT_EQ(joined->id, 44u);
    ASSERT_EQ(joined->segment_count, 24);
    for (std::size_t i = 0; i < 24; ++i) {
        EXPECT_EQ(joined->lasers[i].image_x_center, static_cast<int16_t>(100 + i)) << i;
    }
}

class FixedCalibrationTest : public vorlan_test::SensorSdkTest {
protected:
    VorlanSDKControl extra_control_flags() const override { return VORLAN_SDK_CONTROL_DISABLE_CALIBRATION_UPDATE; }
};

TEST_F(FixedCalibrationTest, BlocksAreIgnored) {
    InfoPacketFields fields;
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_info_packet(fields, vrna_block(5))));
    EXPECT_EQ(information(1).model, 12);  // the block still names the sensor
    EXPECT_FALSE(is_calibrated(1));
    EXPECT_EQ(calibration_of(1)->id, 0u);
    EXPECT_EQ(calibration_of(1)->distance_scale, 0.0009993083f);
}

}  // namespace
}  // namespace vorlan_sdk
