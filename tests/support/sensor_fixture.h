// A library started offline that records what it tells the client about
// sensors: every information callback and every error, so that cases can feed
// packets through vorlan_sdk_mock_network_receive and look at the outcome.
#ifndef VORLAN_TESTS_SUPPORT_SENSOR_FIXTURE_H
#define VORLAN_TESTS_SUPPORT_SENSOR_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sdk_fixture.h"
#include "vorlan_sdk.h"

namespace vorlan_test {

class SensorSdkTest : public OfflineSdkTest {
protected:
    struct InfoEvent {
        VorlanSensorHandle handle;
        VorlanSensorInformation information;
        size_t n_sensors;  // attached sensors while the callback ran
    };
    struct ErrorEvent {
        VorlanSensorHandle handle;
        VorlanSensorErrorCode code;
        std::string message;
    };

    void SetUp() override {
        OfflineSdkTest::SetUp();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_info_packets(on_info, this));
    }
    VorlanSensorErrorCallback error_callback() const override { return on_error; }

    // Feeds one payload as if `handle` had sent it.
    VorlanSensorErrorCode receive(VorlanSensorHandle handle, const std::vector<uint8_t>& packet,
                                  int64_t timestamp = 0) {
        return vorlan_sdk_mock_network_receive(handle, timestamp, packet.data(), packet.size());
    }
    // Errors queued while decoding reach the error callback at the start of
    // the next payload; an empty one delivers them.
    void flush_errors() { ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(0, 0, nullptr, 0)); }

    // The information of an attached sensor (a failure when there is none).
    VorlanSensorInformation information(VorlanSensorHandle handle) {
        VorlanSensorInformation information{};
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_information(handle, &information));
        return information;
    }

    std::vector<InfoEvent> infos;
    std::vector<ErrorEvent> errors;

private:
    static void on_info(VorlanSensorHandle handle, const VorlanSensorInformation* information, void* self) {
        static_cast<SensorSdkTest*>(self)->infos.push_back({handle, *information, vorlan_sdk_get_n_sensors()});
    }
    static void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void*,
                         size_t, void* self) {
        static_cast<SensorSdkTest*>(self)->errors.push_back({handle, code, message});
    }
};

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_SENSOR_FIXTURE_H
