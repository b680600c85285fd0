#include "sensors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "info_data_parser.h"
#include "library_fixture.h"
#include "support/point_packet_builder.h"

namespace vorlan_sdk2_test {
namespace {

using vorlan_test::build_infz_packet;
using vorlan_test::InfzFields;

std::vector<uint8_t> ramp(size_t n, uint8_t start) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(start + i);
    }
    return bytes;
}

class SensorRegistryTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        ASSERT_EQ(VorlanListenSensorInfo(SensorRecords::record, &m_announced), VORLAN_SUCCESS);
    }
    SensorRecords m_announced;
};

// Both layouts carry the same fields at different offsets; each lands in
// its place in the record, and the trailing bytes follow offset 90.
TEST_F(SensorRegistryTest, DecodesBothInformationLayouts) {
    for (uint32_t layout : {76u, 2136u}) {
        SCOPED_TRACE(layout);
        const uint64_t handle = 0x0A000000u + layout;
        InfzFields fields;
        fields.layout = layout;
        fields.model = 25;
        fields.serial_number = 0x11223344;
        std::memcpy(fields.firmware_version, "\x01\x02\x03\x04", 4);
        fields.model_name = "Model Twenty-Five";
        fields.aux_info = 0xCAFEF00D;
        fields.ptp_time = -123456789;
        fields.time_extra = 0x0102030405060708ull;
        fields.sync_source = 1;
        fields.trailing = ramp(24, 0x40);
        const std::vector<uint8_t> packet = build_infz_packet(fields);
        ASSERT_EQ(packet.size(), (layout == 76 ? 76u : 88u) + 24u);
        ASSERT_EQ(receive(handle, packet), VORLAN_SUCCESS);

        // What the listener sees: the registry's own record, trailing bytes and all.
        ASSERT_FALSE(m_announced.records.empty());
        const std::vector<uint8_t>& announced = m_announced.records.back();
        ASSERT_EQ(announced.size(), 114u);
        EXPECT_EQ(std::vector<uint8_t>(announced.begin() + 90, announced.end()), fields.trailing);

        VorlanSensor copy;
        std::memset(&copy, 0xFF, sizeof(copy));
        ASSERT_EQ(VorlanGetSensorInformation(handle, &copy), VORLAN_SUCCESS);
        EXPECT_EQ(copy.info_size, 90u);
        EXPECT_EQ(copy.handle, handle);
        EXPECT_EQ(copy.serial_number, 0x11223344u);
        EXPECT_EQ(std::memcmp(copy.firmware_version, "\x01\x02\x03\x04", 4), 0);
        EXPECT_STREQ(copy.model_name, "Model Twenty-Five");
        EXPECT_EQ(copy.model, 25);
        EXPECT_EQ(copy.model_reserved, 0);
        EXPECT_EQ(copy.aux_info, 0xCAFEF00Du);
        EXPECT_EQ(copy.ptp_time, -123456789);
        EXPECT_EQ(copy.time_extra, 0x0102030405060708ull);
        EXPECT_EQ(copy.return_count, 0);
        EXPECT_EQ(copy.channel_count, 48);
        EXPECT_EQ(copy.flags, VORLAN_SENSOR_FLAG_PTP_CONNECTED);
        EXPECT_EQ(copy.temperature, 0);
        const uint8_t zeros[8] = {};
        EXPECT_EQ(std::memcmp(copy.reserved_0, zeros, 8), 0);
        EXPECT_EQ(std::memcmp(copy.reserved_1, zeros, 2), 0);
        // The copy is the announced record's first 90 bytes, info_size aside.
        EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(&copy) + 4, announced.data() + 4, 86), 0);
    }
    EXPECT_EQ(VorlanGetSensorCount(), 2);
}

TEST_F(SensorRegistryTest, AnotherTrailingLengthReplacesTheRecordAtItsIndex) {
    InfzFields fields;
    fields.serial_number = 1;
    ASSERT_EQ(receive(0x0A000001, build_infz_packet(fields)), VORLAN_SUCCESS);  // index 0, no trailing bytes
    fields.trailing = ramp(24, 0);
    ASSERT_EQ(receive(0x0A000002, build_infz_packet(fields)), VORLAN_SUCCESS);  // index 1, 100 bytes
    fields.trailing = ramp(34, 0x80);
    fields.serial_number = 2;
    ASSERT_EQ(receive(0x0A000002, build_infz_packet(fields)), VORLAN_SUCCESS);  // 110 bytes: replaced
    ASSERT_EQ(receive(0x0A000002, build_infz_packet(fields)), VORLAN_SUCCESS);  // same again: announced again

    EXPECT_EQ(VorlanGetSensorCount(), 2);
    ASSERT_EQ(m_announced.records.size(), 4u);
    EXPECT_EQ(m_announced.records[0].size(), 90u);
    EXPECT_EQ(m_announced.records[1].size(), 114u);
    EXPECT_EQ(m_announced.records[2].size(), 124u);
    EXPECT_EQ(std::vector<uint8_t>(m_announced.records[2].begin() + 90, m_announced.records[2].end()),
              fields.trailing);
    VorlanSensor copy;
    ASSERT_EQ(VorlanGetSensorInformationByIndex(1, &copy), VORLAN_SUCCESS);
    EXPECT_EQ(copy.handle, 0x0A000002u);
    EXPECT_EQ(copy.serial_number, 2u);
    EXPECT_EQ(copy.info_size, 90u);
    ASSERT_EQ(VorlanGetSensorInformationByIndex(0, &copy), VORLAN_SUCCESS);
    EXPECT_EQ(copy.handle, 0x0A000001u);
}

// Information from more addresses than the registry holds: the sensors
// already there keep their records, indices and updates; only new ones are
// refused, and nothing is announced for them.
TEST_F(SensorRegistryTest, FullRegistryRefusesOnlyNewSensors) {
    InfzFields fields;
    for (uint64_t handle = 1; handle <= vorlan_sdk2::kMaxSensors; ++handle) {
        fields.serial_number = static_cast<uint32_t>(handle);
        ASSERT_EQ(vorlan_sdk2::infoDataParser(handle, 0, build_infz_packet(fields).data(),
                                             build_infz_packet(fields).size(), nullptr),
                  VORLAN_SUCCESS);
    }
    const size_t announced = m_announced.records.size();
    fields.serial_number = 9999;
    const std::vector<uint8_t> newcomer = build_infz_packet(fields);
    EXPECT_EQ(vorlan_sdk2::infoDataParser(0xFFFF, 0, newcomer.data(), newcomer.size(), nullptr),
              VORLAN_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(VorlanGetSensorCount(), static_cast<int64_t>(vorlan_sdk2::kMaxSensors));
    EXPECT_EQ(m_announced.records.size(), announced);
    VorlanSensor copy;
    EXPECT_EQ(VorlanGetSensorInformation(0xFFFF, &copy), VORLAN_ERROR_SENSOR_NOT_FOUND);

    // A known sensor still updates in place.
    fields.serial_number = 4242;
    fields.trailing = ramp(10, 0);
    ASSERT_EQ(receive(7, build_infz_packet(fields)), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanGetSensorInformationByIndex(6, &copy), VORLAN_SUCCESS);
    EXPECT_EQ(copy.handle, 7u);
    EXPECT_EQ(copy.serial_number, 4242u);
    EXPECT_EQ(m_announced.records.size(), announced + 1);
}

int64_t g_registry_now = 0;
int64_t registry_clock() { return g_registry_now; }

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// A flood of information from spoofed addresses fills the registry; the
// refusals are told once a second with their count, not per packet. Sensors
// heard all along keep their places; once the spoofed ones have been silent
// for the documented time, new sensors take their places, a real fleet that
// starts after the flood among them.
TEST_F(SensorRegistryTest, FloodOfSpoofedSensorsLocksNewOnesOutOnlyWhileItLasts) {
    vorlan_sdk2::setSensorRegistryClock(&registry_clock);
    g_registry_now = 1000000;
    const auto send = [](uint64_t handle) {
        InfzFields fields;
        fields.serial_number = static_cast<uint32_t>(handle);
        const std::vector<uint8_t> packet = build_infz_packet(fields);
        return vorlan_sdk2::infoDataParser(handle, 0, packet.data(), packet.size(), nullptr);
    };
    for (uint64_t handle = 1; handle <= vorlan_sdk2::kMaxSensors; ++handle) {
        ASSERT_EQ(send(handle), VORLAN_SUCCESS);
    }
    struct Step {
        int64_t at_ms;           // since the flood began
        uint64_t first, count;   // handles sent
        int expected;            // what each gets
        size_t reports;          // lines on standard error
    };
    constexpr uint64_t kSpoofed = 100000;
    constexpr uint64_t kFleet = 500000;
    const Step steps[] = {
        {0, kSpoofed, 100, VORLAN_ERROR_OUT_OF_MEMORY, 1},       // the first refusal is told at once
        {500, kSpoofed + 100, 100, VORLAN_ERROR_OUT_OF_MEMORY, 0},
        {1000, 7, 1, VORLAN_SUCCESS, 0},                          // a sensor heard all along
        {1000, kSpoofed + 200, 1, VORLAN_ERROR_OUT_OF_MEMORY, 1}, // a second later: the 200 since
        {3000, 7, 1, VORLAN_SUCCESS, 0},
        {4999, kFleet, 1, VORLAN_ERROR_OUT_OF_MEMORY, 1},
        {5000, kFleet, 20, VORLAN_SUCCESS, 0},                    // the flood has been silent for 5 s
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.at_ms);
        g_registry_now = 1000000 + step.at_ms * 1000;
        testing::internal::CaptureStderr();
        for (uint64_t handle = step.first; handle < step.first + step.count; ++handle) {
            EXPECT_EQ(send(handle), step.expected) << handle;
        }
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(count_of(said, "sensor registry full"), step.reports) << said;
        if (step.first == kSpoofed + 200) {
            EXPECT_EQ(count_of(said, " 200 information packets"), 1u) << said;
        }
    }
    EXPECT_EQ(VorlanGetSensorCount(), static_cast<int64_t>(vorlan_sdk2::kMaxSensors));
    VorlanSensor copy;
    ASSERT_EQ(VorlanGetSensorInformationByIndex(6, &copy), VORLAN_SUCCESS);
    EXPECT_EQ(copy.handle, 7u);
    for (uint64_t handle = kFleet; handle < kFleet + 20; ++handle) {
        EXPECT_EQ(VorlanGetSensorInformation(handle, &copy), VORLAN_SUCCESS) << handle;
    }
    // The places given up were the silent sensors'; their handles are gone.
    ASSERT_EQ(VorlanGetSensorInformationByIndex(0, &copy), VORLAN_SUCCESS);
    EXPECT_EQ(copy.handle, kFleet);
    EXPECT_EQ(VorlanGetSensorInformation(1, &copy), VORLAN_ERROR_SENSOR_NOT_FOUND);
    vorlan_sdk2::setSensorRegistryClock(nullptr);
}

TEST_F(SensorRegistryTest, ModelAndTimeSourceDecideChannelsScanRateAndSync) {
    struct Case {
        uint16_t model;
        uint8_t sync_source;
        uint8_t channels;
        bool fixed_10hz;
        uint32_t flags;
        bool synced;
    };
    const Case cases[] = {
        {22, 0, 64, false, 0, false}, {24, 1, 64, false, 1, true}, {25, 2, 48, false, 6, true},
        {23, 3, 0, false, 0, false},  {9, 2, 0, true, 6, true},    {10, 0, 0, false, 0, false},
        {0, 0, 0, true, 0, false},    {15, 0, 0, true, 0, false},  {16, 255, 0, false, 0, false},
    };
    uint64_t handle = 100;
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << "model " << test.model << " sync " << int(test.sync_source));
        InfzFields fields;
        fields.model = test.model;
        fields.sync_source = test.sync_source;
        ++handle;
        ASSERT_EQ(receive(handle, build_infz_packet(fields)), VORLAN_SUCCESS);
        VorlanSensor copy;
        ASSERT_EQ(VorlanGetSensorInformation(handle, &copy), VORLAN_SUCCESS);
        EXPECT_EQ(copy.channel_count, test.channels);
        EXPECT_EQ(copy.flags, test.flags);
        EXPECT_EQ(vorlan_sdk2::isFixed10HzScan(handle), test.fixed_10hz);
        EXPECT_EQ(vorlan_sdk2::isTimeSynced(handle), test.synced);
    }
    // A sensor the registry has not heard of is neither.
    EXPECT_FALSE(vorlan_sdk2::isFixed10HzScan(99));
    EXPECT_FALSE(vorlan_sdk2::isTimeSynced(99));
}

// Unknown layouts and payloads cut short store nothing and announce nothing.
TEST_F(SensorRegistryTest, RefusesUnknownLayoutsAndShortPayloads) {
    InfzFields fields;
    fields.layout = 77;
    std::vector<uint8_t> packet = build_infz_packet(fields);
    EXPECT_EQ(vorlan_sdk2::infoDataParser(1, 0, packet.data(), packet.size(), nullptr), VORLAN_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(receive(1, packet), VORLAN_SUCCESS);

    for (uint32_t layout : {76u, 2136u}) {
        fields.layout = layout;
        packet = build_infz_packet(fields);
        for (size_t size = 0; size < packet.size(); ++size) {
            // An exact-size copy, so that a read past the end is caught by the sanitizers.
            const std::vector<uint8_t> cut(packet.begin(), packet.begin() + size);
            EXPECT_NE(vorlan_sdk2::infoDataParser(2, 0, cut.data(), cut.size(), nullptr), 0) << size;
            EXPECT_EQ(receive(2, cut), VORLAN_SUCCESS);
        }
    }
    EXPECT_EQ(VorlanGetSensorCount(), 0);
    EXPECT_TRUE(m_announced.records.empty());
    packet[0] = 'X';
    EXPECT_EQ(vorlan_sdk2::infoDataParser(2, 0, packet.data(), packet.size(), nullptr), -1);
}

TEST_F(SensorRegistryTest, QueriesReportUnknownSensorsAndBadArguments) {
    InfzFields fields;
    ASSERT_EQ(receive(0, build_infz_packet(fields)), VORLAN_SUCCESS);  // a record without a handle
    ASSERT_EQ(receive(5, build_infz_packet(fields)), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanGetSensorCount(), 2);
    VorlanSensor copy;
    EXPECT_EQ(VorlanGetSensorInformation(0, &copy), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(VorlanGetSensorInformationByIndex(0, &copy), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(VorlanGetSensorInformation(6, &copy), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(VorlanGetSensorInformationByIndex(2, &copy), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(VorlanGetSensorInformationByIndex(SIZE_MAX, &copy), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(VorlanGetSensorInformationByIndex(1, &copy), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanGetSensorInformation(5, nullptr), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanGetSensorInformationByIndex(1, nullptr), VORLAN_ERROR_INVALID_ARGUMENTS);
}

TEST_F(SensorRegistryTest, ListenerRegistrationRefusesWithInvalidArguments) {
    int other = 0;
    EXPECT_EQ(VorlanListenSensorInfo(SensorRecords::record, &m_announced), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanListenSensorInfo(nullptr, &m_announced), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanUnlistenSensorInfo(nullptr, &m_announced), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanUnlistenSensorInfo(SensorRecords::record, &other), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(VorlanUnlistenSensorInfo(SensorRecords::record, &m_announced), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanUnlistenSensorInfo(SensorRecords::record, &m_announced), VORLAN_ERROR_INVALID_ARGUMENTS);
    ASSERT_EQ(receive(5, build_infz_packet(InfzFields{})), VORLAN_SUCCESS);
    EXPECT_TRUE(m_announced.records.empty());
    EXPECT_EQ(VorlanGetSensorCount(), 1);
}

}  // namespace
}  // namespace vorlan_sdk2_test
