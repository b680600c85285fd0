#include "byte_order.h"

#include <gtest/gtest.h>

namespace vorlan_sdk::util {
namespace {

TEST(ByteOrder, LittleEndianRoundTrips) {
    uint8_t bytes[8] = {};
    store_u32le(bytes, 0x4F464E49);
    EXPECT_EQ(0, std::memcmp(bytes, "INFO", 4));
    EXPECT_EQ(type_word("INFO"), load_u32le(bytes));
    store_u64le(bytes, 0x0102030405060708ULL);
    EXPECT_EQ(0x08, bytes[0]);
    EXPECT_EQ(0x0102030405060708ULL, load_u64le(bytes));
    store_f32le(bytes, -1.5f);
    EXPECT_EQ(-1.5f, load_f32le(bytes));
    store_u16be(bytes, 0x0800);
    EXPECT_EQ(0x08, bytes[0]);
    EXPECT_EQ(0x0800, load_u16be(bytes));
}

TEST(ByteOrder, ViewBoundsAreExact) {
    const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
    ByteView view(bytes, sizeof(bytes));
    EXPECT_TRUE(view.has(2, 4));
    EXPECT_FALSE(view.has(3, 4));
    EXPECT_FALSE(view.has(7, 0));
    EXPECT_FALSE(view.has(1, SIZE_MAX));  // no wrap-around in the check
    EXPECT_EQ(0x06050403u, view.u32(2));
    EXPECT_EQ(2u, view.tail(4).size());
    EXPECT_EQ(0u, view.tail(9).size());
    EXPECT_EQ(0u, ByteView(nullptr, 10).size());
}

}  // namespace
}  // namespace vorlan_sdk::util
