#include <gtest/gtest.h>

#include "vorlan_sdk.h"

TEST(Smoke, Version) { EXPECT_STREQ(vorlan_sdk_get_version_string(), "1.18.2"); }
