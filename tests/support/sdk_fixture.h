// Test fixtures that start the library the way a client does and always stop
// it again, so no case leaks state or threads into the next.
#ifndef VORLAN_TESTS_SUPPORT_SDK_FIXTURE_H
#define VORLAN_TESTS_SUPPORT_SDK_FIXTURE_H

#include <gtest/gtest.h>

#include "vorlan_sdk.h"

namespace vorlan_test {

// Options with the network disabled: packets enter through
// vorlan_sdk_mock_network_receive only.
inline VorlanSDKOptions offline_options(VorlanSDKControl extra_flags = 0) {
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK | extra_flags;
    return options;
}

// Initialises the library offline before each case and deinitialises after.
class OfflineSdkTest : public ::testing::Test {
protected:
    void SetUp() override {
        VorlanSDKOptions options = offline_options(extra_control_flags());
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, error_callback(), this));
    }
    void TearDown() override { EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize()); }

    virtual VorlanSDKControl extra_control_flags() const { return 0; }
    virtual VorlanSensorErrorCallback error_callback() const { return nullptr; }
};

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_SDK_FIXTURE_H
