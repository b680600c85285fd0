// Who a sensor is: the model table, and the identity rules older sensors
// depend on (serial number from the address, model from the firmware text).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "packet.h"
#include "sensor.h"
#include "support/info_packet_builder.h"
#include "support/sensor_fixture.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::build_info_packet;
using vorlan_test::InfoPacketFields;

uint32_t bits_of(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

TEST(ModelTableTest, NamesFamiliesAndSegmentCounts) {
    struct Case {
        uint32_t code;
        const char* name;
        int tq50, parvo, kiru;
        int segments;
    };
    const std::vector<Case> cases = {
        {0, "", 0, 0, 0, 8},           {3, "TQ50-S", 1, 0, 0, 8},      {6, "TQ50-M Mk2", 0, 0, 0, 8},
        {7, "Parvo 410", 0, 1, 0, 24}, {10, "Parvo-L200", 0, 1, 0, 96}, {11, "Kiru-D40", 0, 0, 1, 24},
        {12, "Parvo-D40", 0, 1, 0, 24}, {13, "Parvo-L25", 0, 1, 0, 32}, {14, "Parvo-D70", 0, 1, 0, 24},
        {15, "Kiru-D70", 0, 0, 0, 8},  {16, "Parvo-D41", 0, 1, 0, 24},  {17, "Kiru-D41", 0, 0, 1, 8},
        {18, "", 0, 0, 0, 8},          {21, "Parvo-R20", 0, 1, 0, 32},  {22, "", 0, 0, 0, 8},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(get_sensor_model_name(static_cast<int32_t>(c.code)), c.name) << c.code;
        EXPECT_EQ(default_segment_count(static_cast<int32_t>(c.code)), c.segments) << c.code;
        EXPECT_EQ(vorlan_is_tq50(static_cast<VorlanSensorModel>(c.code)), c.tq50) << c.code;
        EXPECT_EQ(vorlan_is_parvo(static_cast<VorlanSensorModel>(c.code)), c.parvo) << c.code;
        EXPECT_EQ(vorlan_is_kiru(static_cast<VorlanSensorModel>(c.code)), c.kiru) << c.code;
    }
    // The family tests look at the low 16 bits only; names do not.
    EXPECT_EQ(is_kiru_model(0x1000B), true);
    EXPECT_EQ(is_parvo_model(0x10010), true);
    EXPECT_EQ(get_sensor_model_name(0x1000B), "");
}

TEST(IdentityRulesTest, FirmwareTextToNumbers) {
    struct Case {
        const char* text;
        uint8_t major, minor;
    };
    const std::vector<Case> cases = {
        {"V240", 64, 0},  {"V8A1", 0xA1, 0}, {"V3zz", 0, 0},     {"V", 0, 0},
        {"1234", '3', '4'}, {"12", 0, 0},     {"", 0, 0},
    };
    for (const Case& c : cases) {
        uint8_t major = 99;
        uint8_t minor = 99;
        Sensor::firmware_version_transform(c.text, major, minor);
        EXPECT_EQ(major, c.major) << c.text;
        EXPECT_EQ(minor, c.minor) << c.text;
    }
}

TEST(IdentityRulesTest, SerialNumberFromAddressAndModelFromFirmware) {
    EXPECT_EQ(serial_number_from_handle(0x0041), 33u);
    EXPECT_EQ(serial_number_from_handle(0x1234), 4098u);
    EXPECT_EQ(serial_number_from_handle(0x3021), 0x1001u);
    EXPECT_EQ(serial_number_from_handle(0x2020), 4098u);
    EXPECT_EQ(serial_number_from_handle(0x2021), 1u);
    EXPECT_EQ(serial_number_from_handle(0xC0A80141), 4098u);  // only the low 16 bits count
    EXPECT_EQ(serial_number_from_handle(0x0010), static_cast<uint64_t>(0) - 16);  // wraps below 32

    EXPECT_EQ(model_from_firmware("V812"), 7);
    EXPECT_EQ(model_from_firmware("V36x"), 6);
    EXPECT_EQ(model_from_firmware("V31x"), 0);
    EXPECT_EQ(model_from_firmware("V240"), 3);
    EXPECT_EQ(model_from_firmware("1234"), 3);
}

class SensorIdentityTest : public vorlan_test::SensorSdkTest {};

TEST_F(SensorIdentityTest, OlderSensorsAreNamedByAddressAndFirmware) {
    struct Case {
        VorlanSensorHandle handle;
        const char* firmware;
        uint64_t serial_number;
        uint16_t model;
        const char* model_name;
        const char* version;
    };
    const std::vector<Case> cases = {
        {0x0041, "V812", 33, 7, "Parvo 410", "7.18.0"},
        {0x1234, "V36A", 4098, 6, "TQ50-M Mk2", "6.106.0"},
        {0x3021, "V31A", 0x1001, 0, "", "0.26.0"},
        {0x0042, "V240", 34, 3, "TQ50-S", "3.64.0"},
    };
    for (const Case& c : cases) {
        InfoPacketFields fields;
        std::memcpy(fields.firmware, c.firmware, 4);
        ASSERT_EQ(VORLAN_SUCCESS, receive(c.handle, build_info_packet(fields)));
        const VorlanSensorInformation info = information(c.handle);
        EXPECT_EQ(info.serial_number, c.serial_number) << c.firmware;
        EXPECT_EQ(info.model, c.model) << c.firmware;
        EXPECT_STREQ(info.model_name, c.model_name) << c.firmware;
        EXPECT_STREQ(info.firmware_version, c.version) << c.firmware;
    }
}

TEST_F(SensorIdentityTest, IdentityIsSettledByTheFirstPacketOnly) {
    InfoPacketFields fields;
    fields.serial_number = 1111;
    fields.temperature = 20;
    ASSERT_EQ(VORLAN_SUCCESS, receive(0x0A000001, build_info_packet(fields)));
    fields.serial_number = 2222;
    std::memcpy(fields.firmware, "V812", 4);  // would make a model 7
    fields.temperature = 30;
    ASSERT_EQ(VORLAN_SUCCESS, receive(0x0A000001, build_info_packet(fields)));

    const VorlanSensorInformation info = information(0x0A000001);
    EXPECT_EQ(info.serial_number, 1111u);
    EXPECT_EQ(info.model, 3);
    EXPECT_STREQ(info.model_name, "TQ50-S");
    EXPECT_EQ(info.last_reported_temperature, 30.0f);
    EXPECT_STREQ(info.firmware_version, "3.18.0");  // firmware itself follows the sensor
}

TEST_F(SensorIdentityTest, InfoOverridesSeedTheDefaultCalibration) {
    InfoPacketFields fields;
    std::memcpy(fields.firmware, "V812", 4);  // model 7
    fields.image_z_scale = 3e-6f;
    fields.distance_offset = -0.5f;
    ASSERT_EQ(VORLAN_SUCCESS, receive(7, build_info_packet(fields)));

    VorlanCalibration calibration{};
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_calibration(7, &calibration));
    EXPECT_EQ(calibration.model, 7);
    EXPECT_EQ(calibration.segment_count, 24);
    EXPECT_EQ(calibration.id, 0u);
    EXPECT_EQ(bits_of(calibration.distance_scale), 0x3A82FB39u);  // model default kept
    EXPECT_EQ(calibration.distance_offset, -0.5f);
    for (const VorlanLaserCalibration& laser : calibration.lasers) {
        ASSERT_EQ(bits_of(laser.image_x_scale), 0x360637BDu);
        ASSERT_EQ(laser.image_z_scale, 3e-6f);
    }
    EXPECT_EQ(information(7).flags & VORLAN_SENSOR_INFO_IS_CALIBRATED, 0u);
    EXPECT_EQ(information(7).segment_count, 24);
}

}  // namespace
}  // namespace vorlan_sdk
