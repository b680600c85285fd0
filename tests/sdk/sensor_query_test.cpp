// Device values read back with vorlan_sdk_get, from each information packet
// kind that carries them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "support/info_packet_builder.h"
#include "support/sensor_fixture.h"

namespace {

using vorlan_test::build_info_packet;
using vorlan_test::build_infx_packet;
using vorlan_test::build_infy_packet;
using vorlan_test::InfoPacketFields;
using vorlan_test::InfxPacketFields;
using vorlan_test::InfyPacketFields;

class SensorQueryTest : public vorlan_test::SensorSdkTest {
protected:
    int16_t get_16(VorlanSensorHandle handle, int32_t field) {
        int16_t value = 0x5555;
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_get(handle, field, &value, sizeof(value))) << field;
        return value;
    }
    float get_32(VorlanSensorHandle handle, int32_t field) {
        float value = -12345.0f;
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_get(handle, field, &value, sizeof(value))) << field;
        return value;
    }
};

TEST_F(SensorQueryTest, InfoDeviceValuesAndTheClockConversion) {
    struct Case {
        const char* firmware;  // "V264": model 3, "V812": model 7
        uint16_t value_2;
        uint8_t multiplier_source;
        float value_8;
        float multiplier;
    };
    const std::vector<Case> cases = {
        {"V264", 1000, 10, 1562.5f, 266.0f},  {"V264", 1000, 200, 1562.5f, 200.0f},
        {"V264", 1000, 128, 1562.5f, 384.0f}, {"V812", 1000, 10, 781.25f, 3850.0f},
        {"V812", 1000, 65, 781.25f, 3649.0f}, {"V812", 1000, 64, 781.25f, 3904.0f},
    };
    VorlanSensorHandle handle = 0;
    for (const Case& c : cases) {
        InfoPacketFields fields;
        std::memcpy(fields.firmware, c.firmware, 4);
        fields.value_2 = c.value_2;
        fields.value_3 = 3;
        fields.value_4 = 250;
        fields.value_5 = -5;
        fields.value_6 = -6;
        fields.value_9_source = c.multiplier_source;
        ASSERT_EQ(VORLAN_SUCCESS, receive(++handle, build_info_packet(fields)));
        EXPECT_EQ(get_16(handle, 2), static_cast<int16_t>(c.value_2));
        EXPECT_EQ(get_16(handle, 3), 3);
        EXPECT_EQ(get_16(handle, 4), 250);
        EXPECT_EQ(get_16(handle, 5), -5);
        EXPECT_EQ(get_16(handle, 6), -6);
        EXPECT_EQ(get_32(handle, 8), c.value_8) << c.firmware;
        EXPECT_FLOAT_EQ(get_32(handle, 9), c.value_8 * c.multiplier / 4096.0f) << c.firmware;
        // INFO packets carry none of the newer values.
        EXPECT_EQ(get_32(handle, 10), 0.0f);
        EXPECT_EQ(get_32(handle, 13), 0.0f);
    }

    // A divisor of 0 is infinity, not a crash.
    ASSERT_EQ(VORLAN_SUCCESS, receive(100, build_info_packet({})));
    EXPECT_TRUE(std::isinf(get_32(100, 8)));
}

TEST_F(SensorQueryTest, InfxAndInfyValuesByModel) {
    InfxPacketFields l200;  // model 10: values 11, 12 and 13
    l200.model = 10;
    l200.value_2 = -2;
    l200.value_12_source = 100;
    l200.value_13_source = 300;  // × 128 leaves 16 bits: the sensors' own wrap
    l200.value_11_source = 4096;
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_infx_packet(l200)));
    EXPECT_EQ(get_16(1, 2), -2);
    EXPECT_EQ(get_32(1, 12), 50.0f);
    EXPECT_EQ(get_32(1, 13), -106.0f);
    EXPECT_NEAR(get_32(1, 11), 236.15f, 1e-3f);
    EXPECT_EQ(get_32(1, 10), 0.0f);
    EXPECT_EQ(get_32(1, 8), 0.0f);  // only INFO packets carry value 8

    InfxPacketFields d40;  // model 12: value 10 at bytes 26-27
    d40.model = 12;
    d40.value_10_source = -20;
    d40.value_11_source = 0;
    ASSERT_EQ(VORLAN_SUCCESS, receive(2, build_infx_packet(d40)));
    EXPECT_EQ(get_32(2, 10), -10.0f);
    EXPECT_NEAR(get_32(2, 11), 82.4f, 1e-5f);
    EXPECT_EQ(get_32(2, 12), 0.0f);

    InfxPacketFields d70;  // model 15: neither
    d70.model = 15;
    d70.value_11_source = 4096;
    ASSERT_EQ(VORLAN_SUCCESS, receive(3, build_infx_packet(d70)));
    EXPECT_EQ(get_32(3, 11), 0.0f);

    InfyPacketFields r20;  // model 21: values 12 and 13 from INFY
    r20.model = 21;
    r20.value_63_source = -256;
    r20.value_13_source = 2;
    r20.value_11_source = 4096;
    r20.value_5 = 1234;
    ASSERT_EQ(VORLAN_SUCCESS, receive(4, build_infy_packet(r20)));
    EXPECT_EQ(get_32(4, 12), -128.0f);
    EXPECT_EQ(get_32(4, 13), 1.0f);
    EXPECT_EQ(get_32(4, 10), 0.0f);
    EXPECT_NEAR(get_32(4, 11), 236.15f, 1e-3f);
    EXPECT_EQ(get_16(4, 5), 1234);

    InfyPacketFields other;  // any other model: value 10 from INFY
    other.model = 3;
    other.value_63_source = 6;
    ASSERT_EQ(VORLAN_SUCCESS, receive(5, build_infy_packet(other)));
    EXPECT_EQ(get_32(5, 10), 3.0f);
    EXPECT_EQ(get_32(5, 12), 0.0f);
}

TEST_F(SensorQueryTest, WrongFieldsAndSizesWriteNothing) {
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_info_packet({})));
    struct Case {
        int32_t field;
        int32_t size;
        const char* message;
    };
    const std::vector<Case> cases = {
        {2, 4, ""}, {6, 1, ""}, {8, 2, ""}, {13, 8, ""}, {8, 0, ""},
        {7, 4, "Invalid SDK value!"}, {7, 2, "Invalid SDK value!"}, {0, 2, "Invalid SDK value!"},
        {1, 2, "Invalid SDK value!"}, {14, 4, "Invalid SDK value!"}, {-1, 4, "Invalid SDK value!"},
    };
    for (const Case& c : cases) {
        uint8_t buffer[8];
        std::memset(buffer, 0xCD, sizeof(buffer));
        EXPECT_EQ(vorlan_sdk_get(1, c.field, buffer, c.size), VORLAN_ERROR_INVALID_ARGUMENTS) << c.field;
        const char* message = nullptr;
        EXPECT_EQ(vorlan_sdk_get_error(&message), VORLAN_ERROR_INVALID_ARGUMENTS);
        EXPECT_STREQ(message, c.message) << c.field;
        for (uint8_t byte : buffer) {
            ASSERT_EQ(byte, 0xCD) << c.field;
        }
    }
    int16_t value = 0;
    EXPECT_EQ(vorlan_sdk_get(2, 2, &value, sizeof(value)), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(vorlan_sdk_get(1, 2, nullptr, sizeof(value)), VORLAN_ERROR_INVALID_ARGUMENTS);
}

}  // namespace
