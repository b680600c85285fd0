// Decoding of the information packet kinds: health, time sync and GPS date,
// the split INF1/INF2 pair, the time base, and what happens to packets cut
// short on the wire.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "packet.h"
#include "sensor.h"
#include "support/info_packet_builder.h"
#include "support/sensor_fixture.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::build_info_packet;
using vorlan_test::build_infx_packet;
using vorlan_test::build_infy_packet;
using vorlan_test::InfoPacketFields;
using vorlan_test::InfxPacketFields;
using vorlan_test::InfyPacketFields;
using vorlan_test::split_block_stub;
using vorlan_test::split_info_packet;
using vorlan_test::SplitInfoPacket;

constexpr uint32_t kPps = VORLAN_SENSOR_INFO_IS_PPS_CONNECTED;
constexpr uint32_t kNmea = VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED;
constexpr uint32_t kPtp = VORLAN_SENSOR_INFO_IS_PTP_CONNECTED;
constexpr uint32_t kSyncFlags = kPps | kNmea | kPtp;

// An INFO packet whose calibration block is too large for one datagram, and
// its two halves.
SplitInfoPacket split_packet(uint32_t serial_number, uint32_t block_id = 77) {
    InfoPacketFields fields;
    fields.serial_number = serial_number;
    return split_info_packet(build_info_packet(fields, split_block_stub(block_id, 24, 128 + 64 * 24, 0x5A)));
}

class InfoPacketTest : public vorlan_test::SensorSdkTest {};

TEST_F(InfoPacketTest, InfoTimeSyncStateSetsPpsAndNmeaFlags) {
    struct Case {
        std::vector<char> states;
        uint32_t flags;
    };
    const std::vector<Case> cases = {
        {{'A'}, kPps | kNmea},   {{'P', 'V'}, kNmea}, {{'V', 'P'}, kPps},
        {{'A', 0}, 0},           {{'A', 'x'}, kPps | kNmea}, {{0}, 0},
    };
    VorlanSensorHandle handle = 100;
    for (const Case& c : cases) {
        ++handle;
        for (char state : c.states) {
            InfoPacketFields fields;
            fields.serial_number = 1;
            fields.time_sync = state;
            ASSERT_EQ(VORLAN_SUCCESS, receive(handle, build_info_packet(fields)));
        }
        EXPECT_EQ(information(handle).flags & kSyncFlags, c.flags) << handle;
    }
}

TEST_F(InfoPacketTest, OnlyTheTq50GenerationReportsHumidity) {
    InfoPacketFields fields;
    fields.temperature = -12;
    fields.humidity = 45;
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_info_packet(fields)));  // a TQ50 (model 3)
    std::memcpy(fields.firmware, "V812", 4);
    ASSERT_EQ(VORLAN_SUCCESS, receive(2, build_info_packet(fields)));  // a Parvo 410 (model 7)
    EXPECT_EQ(information(1).last_reported_humidity, 45.0f);
    EXPECT_EQ(information(2).last_reported_humidity, 0.0f);
    EXPECT_EQ(information(2).last_reported_temperature, -12.0f);
}

TEST_F(InfoPacketTest, InfxFields) {
    InfxPacketFields extended;  // model 12: in the extended set, reports value 10 at 26
    extended.serial_number = 0;
    extended.model = 12;
    extended.status = 0x0002;
    extended.time_sync_bits = 0x07;
    extended.ptp_time = 1'700'000'000;
    extended.temperature_16ths = 400;
    extended.return_count = 2;
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_infx_packet(extended)));
    const VorlanSensorInformation parvo = information(1);
    EXPECT_EQ(parvo.serial_number, 0u);  // taken as sent, no derivation
    EXPECT_STREQ(parvo.model_name, "Parvo-D40");
    EXPECT_EQ(parvo.flags & (kSyncFlags | VORLAN_SENSOR_INFO_STATUS_BIT_5), kSyncFlags | VORLAN_SENSOR_INFO_STATUS_BIT_5);
    EXPECT_EQ(parvo.ptp_time, 1'700'000'000);
    EXPECT_EQ(parvo.last_reported_temperature, 25.0f);
    EXPECT_EQ(parvo.return_count, 1);  // multiple returns are not enabled
    EXPECT_EQ(parvo.segment_count, 24);

    InfxPacketFields plain;  // model 15: byte temperature and humidity, no status bit
    plain.serial_number = 5;
    plain.model = 15;
    plain.status = 0x0002;
    plain.time_sync_bits = 0x01;
    plain.gps = {23, 12, 31, 22, 0, 0};
    plain.temperature = -5;
    plain.humidity = 70;
    ASSERT_EQ(VORLAN_SUCCESS, receive(2, build_infx_packet(plain)));
    const VorlanSensorInformation kiru = information(2);
    EXPECT_EQ(kiru.flags & (kSyncFlags | VORLAN_SENSOR_INFO_STATUS_BIT_5), kNmea);
    EXPECT_EQ(kiru.ptp_time, 0);
    EXPECT_EQ(kiru.gps_day, 31);
    EXPECT_EQ(kiru.last_reported_temperature, -5.0f);
    EXPECT_EQ(kiru.last_reported_humidity, 70.0f);
    EXPECT_STREQ(kiru.firmware_version, "15.0.0");  // "V300": hex "00"
}

TEST_F(InfoPacketTest, InfyBreaksGpsSecondsIntoADate) {
    struct Case {
        int64_t seconds;
        uint8_t year, month, day, hour, minute, second;
    };
    const std::vector<Case> cases = {
        {86'399, 70, 1, 1, 23, 59, 59},
        {1'700'000'000, 23, 11, 14, 22, 13, 20},
        {951'782'400, 0, 2, 29, 0, 0, 0},  // 2000-02-29
        {-1, 69, 12, 31, 23, 59, 59},
    };
    VorlanSensorHandle handle = 0;
    for (const Case& c : cases) {
        InfyPacketFields fields;
        fields.model = 10;
        fields.time_s = c.seconds;
        ASSERT_EQ(VORLAN_SUCCESS, receive(++handle, build_infy_packet(fields)));
        const VorlanSensorInformation info = information(handle);
        EXPECT_EQ(info.gps_year, c.year) << c.seconds;
        EXPECT_EQ(info.gps_month, c.month) << c.seconds;
        EXPECT_EQ(info.gps_day, c.day) << c.seconds;
        EXPECT_EQ(info.gps_hour, c.hour) << c.seconds;
        EXPECT_EQ(info.gps_minute, c.minute) << c.seconds;
        EXPECT_EQ(info.gps_second, c.second) << c.seconds;
        EXPECT_EQ(info.ptp_time, 0);
    }

    // With the PTP bit the time is PTP time and the date stays as it was.
    InfyPacketFields ptp;
    ptp.model = 10;
    ptp.time_sync_bits = 0x04;
    ptp.time_s = 12345;
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_infy_packet(ptp)));
    EXPECT_EQ(information(1).ptp_time, 12345);
    EXPECT_EQ(information(1).gps_hour, 23);
    EXPECT_EQ(information(1).flags & kSyncFlags, kPtp);
}

TEST_F(InfoPacketTest, InfyNamesVersionsAndStatus) {
    struct Case {
        const char* sent_name;
        uint8_t force;
        uint8_t variants;
        const char* model_name;
    };
    const std::vector<Case> cases = {
        {"", 0, 0x03, "Parvo-L200LE"},
        {"", 0, 0x02, "Parvo-L200E"},
        {"\xff", 0, 0x01, "Parvo-L200L"},
        {"Custom 1", 0, 0x01, "Custom 1"},
        {"Custom 1", 1, 0x00, "Parvo-L200"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0", 0, 0, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0"},  // 27 characters, no NUL sent
    };
    VorlanSensorHandle handle = 0;
    for (const Case& c : cases) {
        InfyPacketFields fields;
        fields.model = 10;
        fields.firmware_major = 2;
        fields.firmware_minor = 7;
        fields.firmware_build = 9;
        fields.status = 0x0A;
        fields.temperature_16ths = -328;
        fields.age = 123456;
        fields.variant_bits = c.variants;
        fields.force_generated_name = c.force;
        std::memcpy(fields.model_name, c.sent_name, std::strlen(c.sent_name));
        ASSERT_EQ(VORLAN_SUCCESS, receive(++handle, build_infy_packet(fields)));
        const VorlanSensorInformation info = information(handle);
        EXPECT_STREQ(info.model_name, c.model_name);
        EXPECT_STREQ(info.firmware_version, "10.2.7");
        EXPECT_EQ(info.firmware_build, 9);
        EXPECT_EQ(info.flags & (VORLAN_SENSOR_INFO_STATUS_BIT_5 | VORLAN_SENSOR_INFO_STATUS_BIT_6),
                  static_cast<uint32_t>(VORLAN_SENSOR_INFO_STATUS_BIT_5 | VORLAN_SENSOR_INFO_STATUS_BIT_6));
        EXPECT_EQ(info.last_reported_temperature, -20.5f);
        EXPECT_EQ(info.last_reported_age, 123456.0f);
        EXPECT_EQ(info.segment_count, 96);
    }
}

class MultipleReturnsTest : public vorlan_test::SensorSdkTest {
protected:
    VorlanSDKControl extra_control_flags() const override { return VORLAN_SDK_CONTROL_ENABLE_MULTIPLE_RETURNS; }
};

TEST_F(MultipleReturnsTest, ReturnCountsAreWhatAPointCanCarry) {
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_info_packet({})));
    EXPECT_EQ(information(1).return_count, 2);

    const std::vector<std::pair<uint8_t, uint8_t>> infx_counts = {{0, 1}, {1, 1}, {2, 2}, {5, 2}, {255, 2}};
    VorlanSensorHandle handle = 10;
    for (const auto& [sent, reported] : infx_counts) {
        InfxPacketFields fields;
        fields.model = 12;
        fields.return_count = sent;
        ASSERT_EQ(VORLAN_SUCCESS, receive(++handle, build_infx_packet(fields)));
        EXPECT_EQ(information(handle).return_count, reported) << int(sent);
    }

    InfyPacketFields infy;
    infy.model = 10;
    ASSERT_EQ(VORLAN_SUCCESS, receive(20, build_infy_packet(infy)));
    infy.status = 0x01;
    ASSERT_EQ(VORLAN_SUCCESS, receive(21, build_infy_packet(infy)));
    EXPECT_EQ(information(20).return_count, 1);
    EXPECT_EQ(information(21).return_count, 2);
}

TEST_F(InfoPacketTest, SplitInf1AndInf2AttachTheSensorOnlyWhenJoined) {
    const SplitInfoPacket halves = split_packet(4242);
    ASSERT_EQ(halves.inf1.size(), 952u);
    ASSERT_EQ(halves.inf2.size(), 832u);

    ASSERT_EQ(VORLAN_SUCCESS, receive(9, halves.inf1));
    ASSERT_EQ(infos.size(), 1u);  // reported, though nothing is decoded yet
    EXPECT_EQ(infos[0].handle, 9u);
    EXPECT_EQ(infos[0].information.serial_number, 0u);
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), 0u);

    ASSERT_EQ(VORLAN_SUCCESS, receive(9, halves.inf2));
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(infos[1].information.serial_number, 4242u);
    EXPECT_EQ(infos[1].n_sensors, 0u);  // moved to the attached sensors after the callback
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), 1u);
    EXPECT_EQ(information(9).serial_number, 4242u);

    // The pair is used up: a repeated second half changes nothing.
    ASSERT_EQ(VORLAN_SUCCESS, receive(9, halves.inf2));
    flush_errors();
    EXPECT_TRUE(errors.empty());
}

TEST_F(InfoPacketTest, Inf1WithFewSegmentsIsAWholePacket) {
    InfoPacketFields fields;
    fields.type[3] = '1';
    fields.serial_number = 31;
    ASSERT_EQ(VORLAN_SUCCESS, receive(3, build_info_packet(fields, split_block_stub(1, 12, 128 + 64 * 12))));
    EXPECT_EQ(information(3).serial_number, 31u);
}

TEST_F(InfoPacketTest, Inf2WithoutFirstHalfIsIgnoredSilently) {
    ASSERT_EQ(VORLAN_SUCCESS, receive(4, split_packet(1).inf2));
    flush_errors();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), 0u);
    EXPECT_EQ(infos.size(), 1u);
}

// Every information packet cut short, or a pair that does not belong
// together, is refused with one queued communication error for its sensor;
// nothing is read beyond the payload (each case's bytes are exactly its
// length on the heap).
TEST_F(InfoPacketTest, UnusablePacketsAreRefusedWithACommunicationError) {
    const auto cut = [](std::vector<uint8_t> packet, std::size_t size) {
        packet.resize(size);
        packet.shrink_to_fit();
        return packet;
    };
    const SplitInfoPacket halves = split_packet(1);
    std::vector<uint8_t> other_block = split_packet(1, 78).inf2;
    std::vector<uint8_t> oversized_first_half = halves.inf1;
    oversized_first_half.resize(2001, 0);
    InfoPacketFields inf1_fields;
    inf1_fields.type[3] = '1';

    struct Case {
        const char* name;
        bool first_half_before;
        std::vector<uint8_t> packet;
    };
    const std::vector<Case> cases = {
        {"INFO of 183 bytes", false, cut(build_info_packet({}), 183)},
        {"INFO of 4 bytes", false, cut(build_info_packet({}), 4)},
        {"INF1 of 183 bytes", false, cut(build_info_packet(inf1_fields), 183)},
        {"INF1 too short for the first-half test", false, cut(halves.inf1, 99)},
        {"INF1 first half over 2000 bytes", false, oversized_first_half},
        {"INFX of 183 bytes", false, cut(build_infx_packet({}), 183)},
        {"INFY of 255 bytes", false, cut(build_infy_packet({}), 255)},
        {"INFY of 130 bytes", false, cut(build_infy_packet({}), 130)},
        {"INF2 of 831 bytes", true, cut(halves.inf2, 831)},
        {"INF2 of 768 bytes", true, cut(halves.inf2, 768)},
        {"INF2 of 60 bytes", true, cut(halves.inf2, 60)},
        {"INF2 of another calibration", true, other_block},
    };
    VorlanSensorHandle handle = 0x1000;
    for (const Case& c : cases) {
        ++handle;
        if (c.first_half_before) {
            ASSERT_EQ(VORLAN_SUCCESS, receive(handle, halves.inf1));
        }
        infos.clear();
        errors.clear();
        ASSERT_EQ(VORLAN_SUCCESS, receive(handle, c.packet)) << c.name;
        flush_errors();
        ASSERT_EQ(errors.size(), 1u) << c.name;
        EXPECT_EQ(errors[0].handle, handle) << c.name;
        EXPECT_EQ(errors[0].code, VORLAN_ERROR_COMMUNICATION) << c.name;
        EXPECT_EQ(errors[0].message, "") << c.name;
        // Reported to the client all the same, with nothing decoded.
        ASSERT_EQ(infos.size(), 1u) << c.name;
        EXPECT_EQ(infos[0].information.serial_number, 0u) << c.name;
        EXPECT_EQ(vorlan_sdk_get_n_sensors(), 0u) << c.name;
    }

    // The smallest whole packets are decoded.
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, build_info_packet({})));
    ASSERT_EQ(VORLAN_SUCCESS, receive(2, build_infx_packet({})));
    ASSERT_EQ(VORLAN_SUCCESS, receive(3, build_infy_packet({})));
    ASSERT_EQ(VORLAN_SUCCESS, receive(4, halves.inf1));
    ASSERT_EQ(VORLAN_SUCCESS, receive(4, halves.inf2));
    errors.clear();
    flush_errors();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), 4u);
}

TEST_F(InfoPacketTest, ArbitraryBytesUnderEveryInformationTypeAreHarmless) {
    std::mt19937 random(7);
    const char* types[] = {"INFO", "INF1", "INF2", "INFX", "INFY"};
    const std::size_t sizes[] = {4, 5, 55, 56, 57, 99, 100, 183, 184, 255, 256, 767, 768, 831, 832, 951, 952, 2000, 2001};
    for (int round = 0; round < 3; ++round) {
        for (const char* type : types) {
            for (std::size_t size : sizes) {
                std::vector<uint8_t> packet(size);
                for (uint8_t& byte : packet) {
                    byte = static_cast<uint8_t>(random());
                }
                std::memcpy(packet.data(), type, 4);
                ASSERT_EQ(VORLAN_SUCCESS, receive(static_cast<VorlanSensorHandle>(round), packet));
            }
        }
    }
    flush_errors();
    EXPECT_FALSE(errors.empty());
}

// ---- Time base ----------------------------------------------------------------------

constexpr int64_t kHour = 3'600'000'000;
constexpr int64_t kHost = 1'700'000'000'000'000;

// A sensor object fed one packet directly.
class TimestampTest : public vorlan_test::OfflineSdkTest {};

TEST_F(TimestampTest, PacketTimesAnHourOffAreMovedByThatHour) {
    InfxPacketFields ptp;
    ptp.model = 12;
    ptp.time_sync_bits = 0x04;
    Sensor sensor(1);
    const std::vector<uint8_t> packet = build_infx_packet(ptp);
    sensor.handle_infx_packet(static_cast<int32_t>(packet.size()), packet.data());

    struct Case {
        int64_t packet_time;
        int64_t expected;
    };
    const std::vector<Case> cases = {
        {kHost - 3'600'050'000, kHost - 50'000},
        {kHost - kHour - 99'999, kHost - 99'999},
        {kHost - kHour - 100'000, kHost - kHour - 100'000},
        {kHost + kHour + 99'999, kHost + 99'999},
        {kHost + kHour + 100'000, kHost + kHour + 100'000},
        {kHost + 5, kHost + 5},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sensor.get_timestamp(kHost, c.packet_time), c.expected) << c.packet_time - kHost;
    }
    // Times off the wire at the ends of the range do not overflow.
    const int64_t lowest = std::numeric_limits<int64_t>::min();
    const int64_t highest = std::numeric_limits<int64_t>::max();
    EXPECT_EQ(sensor.get_timestamp(highest, lowest), lowest);
    EXPECT_EQ(sensor.get_timestamp(lowest, highest), highest);
}

TEST_F(TimestampTest, WithoutATimeSourceTheHostClockCounts) {
    struct Case {
        char state;
        bool corrected;
    };
    const std::vector<Case> cases = {{'A', true}, {'P', false}, {'V', false}, {0, false}};
    for (const Case& c : cases) {
        InfoPacketFields fields;
        fields.time_sync = c.state;
        Sensor sensor(2);
        const std::vector<uint8_t> packet = build_info_packet(fields);
        sensor.handle_info_packet(static_cast<int32_t>(packet.size()), packet.data());
        const int64_t expected = c.corrected ? kHost - 10 : kHost;
        EXPECT_EQ(sensor.get_timestamp(kHost, kHost - kHour - 10), expected) << c.state;
    }
}

class HostTimestampTest : public TimestampTest {
protected:
    VorlanSDKControl extra_control_flags() const override { return VORLAN_SDK_CONTROL_HOST_TIMESTAMPS; }
};

TEST_F(HostTimestampTest, HostTimeEvenWithPtp) {
    InfxPacketFields ptp;
    ptp.time_sync_bits = 0x04;
    Sensor sensor(1);
    const std::vector<uint8_t> packet = build_infx_packet(ptp);
    sensor.handle_infx_packet(static_cast<int32_t>(packet.size()), packet.data());
    EXPECT_EQ(sensor.get_timestamp(kHost, kHost + 7), kHost);
}

class RawPacketTimeStampTest : public TimestampTest {
protected:
    VorlanSDKControl extra_control_flags() const override {
        return VORLAN_SDK_CONTROL_RAW_PACKET_TIME | VORLAN_SDK_CONTROL_HOST_TIMESTAMPS;
    }
};

TEST_F(RawPacketTimeStampTest, PacketTimeUnchanged) {
    Sensor sensor(1);
    EXPECT_EQ(sensor.get_timestamp(kHost, kHost - kHour - 10), kHost - kHour - 10);
}

TEST(CalendarTest, UtcSecondsIsTheInverseOfCivilTime) {
    const std::vector<int64_t> seconds = {0, 86'399, 951'782'400, 4'102'444'800, -86'401, 1'700'000'000};
    for (int64_t s : seconds) {
        const CivilTime t = civil_time(s);
        EXPECT_EQ(utc_seconds(t.year, t.month, t.day, t.hour, t.minute, t.second), s) << s;
    }
    // Out-of-range fields carry over as calendar arithmetic does.
    EXPECT_EQ(utc_seconds(2023, 13, 1, 0, 0, 0), utc_seconds(2024, 1, 1, 0, 0, 0));
    EXPECT_EQ(utc_seconds(2024, 3, 0, 0, 0, 0), utc_seconds(2024, 2, 29, 0, 0, 0));
}

}  // namespace
}  // namespace vorlan_sdk
