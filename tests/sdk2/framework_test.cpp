#include <gtest/gtest.h>

#include "vorlan_sdk2.h"

namespace {

TEST(Framework, InitialisesOnlyWithItsInterfaceVersion) {
    EXPECT_EQ(VorlanInitialize(202), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanInitialize(203), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanInitialize(203), VORLAN_ERROR_ALREADY_INITIALIZED);
    EXPECT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanDeinitialize(), VORLAN_ERROR_NOT_INITIALIZED);
}

}  // namespace
