#include "point_data_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "framework.h"
#include "library_fixture.h"
#include "support/point_packet_builder.h"

namespace vorlan_sdk2_test {
namespace {

using vorlan_test::build_infz_packet;
using vorlan_test::build_sta0_packet;
using vorlan_test::build_stdv_packet;
using vorlan_test::PointRecord;
using vorlan_test::put_le;
using vorlan_test::StdvLayout;

std::vector<PointRecord> some_points(size_t n) {
    std::vector<PointRecord> points(n);
    for (size_t i = 0; i < n; ++i) {
        points[i].x = static_cast<int16_t>(-1000 + 7 * i);
        points[i].y = static_cast<int16_t>(2000 + i);
        points[i].z = static_cast<int16_t>(i);
        points[i].reflectivity = static_cast<uint8_t>(i * 3);
        points[i].relative_timestamp = 2;
        points[i].channel_id = static_cast<uint8_t>(i % 64);
        points[i].flags = static_cast<uint8_t>(i % 2 ? 0x04 : 0x21);
    }
    return points;
}

// The 10-byte records of `points`, back to back.
std::vector<uint8_t> records_of(const std::vector<PointRecord>& points) {
    auto packet = build_sta0_packet(0, 0, points);
    return std::vector<uint8_t>(packet.begin() + vorlan_test::kSta0HeaderSize, packet.end());
}

// Counts the payloads that reached the end of the chain: a parser behind
// every built-in one.
struct ChainEnd {
    static int note(uint64_t, int64_t, const uint8_t*, size_t, void* user_data) {
        ++*static_cast<int*>(user_data);
        return -1;
    }
};

class PointParserTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        ASSERT_EQ(VorlanListenPoints(PointBatches::record, &m_points), VORLAN_SUCCESS);
        ASSERT_TRUE(vorlan_sdk2::parsers().AddBack(ChainEnd::note, &m_reached_end));
    }
    void TearDown() override {
        vorlan_sdk2::parsers().Remove(ChainEnd::note, &m_reached_end);
        LibraryTest::TearDown();
    }
    PointBatches m_points;
    int m_reached_end = 0;
};

// Points reach the listener where they lie in the payload, at the sensor's
// stride and with the packet's own timestamp.
TEST_F(PointParserTest, StdvPointsArePublishedInPlace) {
    const auto points = some_points(5);
    struct Case {
        StdvLayout layout;
        bool published;
    };
    const Case cases[] = {{{24, 10}, true}, {{24, 12}, true}, {{20, 11}, true}, {{32, 10}, true}, {{24, 9}, false},
                          {{24, 0}, false}};
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << "header " << int(test.layout.header_length) << " stride "
                                        << int(test.layout.stride));
        m_points.batches.clear();
        m_reached_end = 0;
        const auto packet = build_stdv_packet(0x0102030405060708, points, test.layout);
        ASSERT_EQ(VorlanReceiveData(42, 99, packet.data(), packet.size()), VORLAN_SUCCESS);
        EXPECT_EQ(m_reached_end, 0);  // taken either way
        if (!test.published) {
            EXPECT_TRUE(m_points.batches.empty());
            continue;
        }
        ASSERT_EQ(m_points.batches.size(), 1u);
        const PointBatches::Batch& batch = m_points.batches[0];
        EXPECT_EQ(batch.handle, 42u);
        EXPECT_EQ(batch.timestamp, 0x0102030405060708);
        EXPECT_EQ(batch.n_points, 5u);
        EXPECT_EQ(batch.stride, test.layout.stride);
        EXPECT_EQ(batch.points, packet.data() + test.layout.header_length);
        EXPECT_EQ(batch.bytes, std::vector<uint8_t>(packet.begin() + test.layout.header_length, packet.end()));
    }
}

// Whatever the header claims, nothing past the payload is read, nothing is
// published from a payload cut short, and it goes on down the chain.
TEST_F(PointParserTest, StdvCutShortIsRefused) {
    const auto packet = build_stdv_packet(1, some_points(3), {24, 12});
    for (size_t size = 0; size < packet.size(); ++size) {
        const std::vector<uint8_t> cut(packet.begin(), packet.begin() + size);
        EXPECT_NE(vorlan_sdk2::pointDataParser(1, 0, cut.data(), cut.size(), nullptr), 0) << size;
    }
    struct Damage {
        const char* name;
        size_t offset;
        uint64_t value;
        size_t bytes;
    };
    const Damage damages[] = {
        {"count one too many", vorlan_test::kStdvCountOffset, 4, 2},
        {"count at its largest", vorlan_test::kStdvCountOffset, 0xFFFF, 2},
        {"header past the end", vorlan_test::kStdvHeaderLengthOffset, 255, 1},
        {"stride too wide", vorlan_test::kStdvStrideOffset, 13, 1},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        auto damaged = packet;
        put_le(damaged, damage.offset, damage.value, damage.bytes);
        m_reached_end = 0;
        ASSERT_EQ(receive(1, damaged), VORLAN_SUCCESS);
        EXPECT_EQ(m_reached_end, 1);
    }
    EXPECT_TRUE(m_points.batches.empty());
}

TEST_F(PointParserTest, Sta0IsPublishedWithItsOwnTimestamp) {
    struct Case {
        uint64_t seconds;  // 48 bits on the wire
        uint32_t nanoseconds;
        int64_t microseconds;
    };
    const Case cases[] = {
        {0, 0, 0},
        {1, 999, 1000000},
        {1700000000, 123456789, 1700000000123456},
        {0x123456789Aull, 1000, 0x123456789Aull * 1000000 + 1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.seconds);
        m_points.batches.clear();
        const auto points = some_points(3);
        const auto packet = build_sta0_packet(test.seconds, test.nanoseconds, points);
        ASSERT_EQ(packet.size(), 90u);
        EXPECT_EQ(vorlan_sdk2::trustedDataParser(3, 0, packet.data(), packet.size(), nullptr), 0);
        ASSERT_EQ(m_points.batches.size(), 1u);
        EXPECT_EQ(m_points.batches[0].timestamp, test.microseconds);
        EXPECT_EQ(m_points.batches[0].stride, 10u);
        EXPECT_EQ(m_points.batches[0].points, packet.data() + 60);
        EXPECT_EQ(m_points.batches[0].bytes, records_of(points));
    }
}

TEST_F(PointParserTest, Sta0OfSixtyToSixtySevenBytesIsOnlyReadUnprefixed) {
    auto packet = build_sta0_packet(2, 0, {});
    packet.resize(64, 0xAB);  // a 64-byte payload without points
    ASSERT_EQ(receive(3, packet), VORLAN_SUCCESS);
    ASSERT_EQ(m_points.batches.size(), 1u);
    EXPECT_EQ(m_points.batches[0].timestamp, 2000000);
    EXPECT_EQ(m_points.batches[0].n_points, 0u);
    EXPECT_EQ(m_reached_end, 0);

    packet.resize(59);
    EXPECT_EQ(vorlan_sdk2::trustedDataParser(3, 0, packet.data(), packet.size(), nullptr), -1);
}

// Behind the prefix, points are published and the payload still travels on.
TEST_F(PointParserTest, PrefixedSta0IsPublishedAndPassedOn) {
    const auto points = some_points(14);
    auto packet = build_sta0_packet(5, 5000, points, true);
    ASSERT_EQ(packet.size(), 208u);
    EXPECT_EQ(vorlan_sdk2::trustedDataParser(4, 0, packet.data(), packet.size(), nullptr), -1);
    ASSERT_EQ(receive(4, packet), VORLAN_SUCCESS);
    EXPECT_EQ(m_reached_end, 1);
    ASSERT_EQ(m_points.batches.size(), 2u);
    EXPECT_EQ(m_points.batches[1].timestamp, 5000005);
    EXPECT_EQ(m_points.batches[1].points, packet.data() + 68);
    EXPECT_EQ(m_points.batches[1].bytes, records_of(points));

    // One point more than it carries: nothing is published.
    m_points.batches.clear();
    put_le(packet, 8 + vorlan_test::kSta0CountOffset, points.size() + 1, 2);
    ASSERT_EQ(receive(4, packet), VORLAN_SUCCESS);
    EXPECT_TRUE(m_points.batches.empty());
    EXPECT_EQ(m_reached_end, 2);

    // Same for the unprefixed form.
    auto plain = build_sta0_packet(5, 0, points);
    put_le(plain, vorlan_test::kSta0CountOffset, points.size() + 1, 2);
    EXPECT_EQ(vorlan_sdk2::trustedDataParser(4, 0, plain.data(), plain.size(), nullptr), -1);
    EXPECT_TRUE(m_points.batches.empty());
}

TEST_F(PointParserTest, PrefixedInformationCreatesTheSensor) {
    vorlan_test::InfzFields fields;
    fields.serial_number = 77;
    fields.trailing.assign(16, 0x5A);
    const auto packet = build_infz_packet(fields, true);
    ASSERT_EQ(packet.size(), 100u);
    ASSERT_EQ(receive(0x0A000009, packet), VORLAN_SUCCESS);
    VorlanSensor copy;
    ASSERT_EQ(VorlanGetSensorInformation(0x0A000009, &copy), VORLAN_SUCCESS);
    EXPECT_EQ(copy.serial_number, 77u);
    EXPECT_EQ(m_reached_end, 1);  // passed on as well
}

TEST_F(PointParserTest, AddedPointsReachEveryListenerInOrder) {
    PointBatches second;
    ASSERT_EQ(VorlanListenPoints(PointBatches::record, &second), VORLAN_SUCCESS);
    const auto records = records_of(some_points(4));
    vorlan_sdk2::VorlanAddPoints(8, 1234, 4, 10, records.data());
    ASSERT_EQ(m_points.batches.size(), 1u);
    ASSERT_EQ(second.batches.size(), 1u);
    EXPECT_EQ(second.batches[0].points, records.data());
    EXPECT_EQ(second.batches[0].timestamp, 1234);
}

TEST_F(PointParserTest, ListenerRegistrationRefusesWithInvalidArguments) {
    int other = 0;
    EXPECT_EQ(VorlanListenPoints(PointBatches::record, &m_points), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanListenPoints(nullptr, &m_points), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanUnlistenPoints(nullptr, &m_points), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanUnlistenPoints(PointBatches::record, &other), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanUnlistenPoints(PointBatches::record, &m_points), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanUnlistenPoints(PointBatches::record, &m_points), VORLAN_ERROR_INVALID_ARGUMENTS);
    ASSERT_EQ(receive(1, build_stdv_packet(1, some_points(2))), VORLAN_SUCCESS);
    EXPECT_TRUE(m_points.batches.empty());
}

}  // namespace
}  // namespace vorlan_sdk2_test
