#include "wire_bytes.h"

#include <gtest/gtest.h>

namespace vorlan_common {
namespace {

TEST(WireBytes, LittleEndianRoundTrips) {
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

// Network headers in captures are big-endian, everything else little-endian:
// the same bytes read both ways, signed fields keep their sign.
TEST(WireBytes, EachOrderReadsTheSameBytesItsOwnWay) {
    const uint8_t bytes[8] = {0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0x02, 0x03, 0x80};
    EXPECT_EQ(0xFFFEu, load_u16le(bytes));
    EXPECT_EQ(0xFEFFu, load_u16be(bytes));
    EXPECT_EQ(-2, load_i16le(bytes));
    EXPECT_EQ(-2, load_i32le(bytes));
    EXPECT_EQ(0xFEFFFFFFu, load_u32be(bytes));
    EXPECT_EQ(0x80030201FFFFFFFEull, load_u64le(bytes));
    EXPECT_EQ(static_cast<int64_t>(0x80030201FFFFFFFEull), load_i64le(bytes));
    uint8_t out[4] = {};
    store_u32be(out, 0xC0A80001u);
    EXPECT_EQ(0xC0A80001u, load_u32be(out));
    EXPECT_EQ(0xC0, out[0]);
}

TEST(WireBytes, ViewBoundsAreExact) {
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

// A packet behind a sender's prefix is read through the tail: its offsets
// count from the tail's start, and its bounds are the packet's end.
TEST(WireBytes, TailReadsFromItsOwnStart) {
    const uint8_t bytes[12] = {0, 0, 0, 0, 'S', 'T', 'A', '0', 0x34, 0x12, 0x78, 0x56};
    const ByteView inner = ByteView(bytes, sizeof(bytes)).tail(4);
    EXPECT_EQ(type_word("STA0"), inner.u32(0));
    EXPECT_EQ(0x1234u, inner.u16(4));
    EXPECT_EQ(0x56781234u, inner.u32(4));
    EXPECT_TRUE(inner.has(0, 8));
    EXPECT_FALSE(inner.has(0, 9));
    EXPECT_EQ(bytes + 12, inner.tail(8).data());
    EXPECT_EQ(0u, inner.tail(8).size());
}

// A decoder that forgot a size check reads zeros, never the bytes after the
// packet; debug builds stop at the read instead.
TEST(WireBytes, ReadsOutsideTheViewYieldZero) {
    const uint8_t bytes[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const ByteView view(bytes, 3);  // the last five bytes are not the packet's
    EXPECT_DEBUG_DEATH(EXPECT_EQ(0u, view.u8(3)), "read outside");
    EXPECT_DEBUG_DEATH(EXPECT_EQ(0u, view.u16(2)), "read outside");
    EXPECT_DEBUG_DEATH(EXPECT_EQ(0u, view.u32(0)), "read outside");
    EXPECT_DEBUG_DEATH(EXPECT_EQ(0u, view.u64(0)), "read outside");
    EXPECT_DEBUG_DEATH(EXPECT_EQ(0.0f, view.f32(0)), "read outside");
    EXPECT_DEBUG_DEATH(EXPECT_EQ(0u, view.u32(SIZE_MAX - 1)), "read outside");
    uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_DEBUG_DEATH(
        {
            view.copy(1, out, sizeof(out));
            EXPECT_EQ(0, out[0] | out[1] | out[2] | out[3]);
        },
        "read outside");
}

}  // namespace
}  // namespace vorlan_common
