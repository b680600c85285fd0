#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/calibration_block_builder.h"
#include "support/data_packet_builder.h"
#include "support/frame_recorder.h"
#include "support/info_packet_builder.h"
#include "support/sdk_fixture.h"

namespace {

using vorlan_test::DataPacketHeader;
using vorlan_test::DevicePoint;
using vorlan_test::PointFormat;

constexpr VorlanSensorHandle kHandle = 0x0C00A8C0;
constexpr int64_t kHost = 1'000'000'000;
constexpr int64_t kMicrosecondsPerHour = 3'600'000'000;

struct ErrorRecord {
    VorlanSensorErrorCode code;
    std::string message;
};

std::vector<ErrorRecord>& errors() {
    static std::vector<ErrorRecord> list;
    return list;
}

void record_error(VorlanSensorHandle, VorlanSensorErrorCode code, const char* message, const void*, size_t, void*) {
    errors().push_back({code, message != nullptr ? message : ""});
}

// `n` points whose distances count up from `first_distance`.
std::vector<DevicePoint> numbered(std::size_t n, uint32_t first_distance = 1) {
    std::vector<DevicePoint> points(n);
    for (std::size_t i = 0; i < n; ++i) {
        points[i].distance = first_distance + static_cast<uint32_t>(i);
        points[i].power_level = 1;
    }
    return points;
}

std::vector<uint8_t> data_packet(PointFormat format, std::size_t n, uint32_t time_us, uint32_t first_distance = 1) {
    DataPacketHeader header;
    header.time_us = time_us;
    return vorlan_test::build_data_packet(format, header, numbered(n, first_distance));
}

// The default mode streams: every decoded packet becomes one frame.
class DataPacketTest : public vorlan_test::OfflineSdkTest {
protected:
    void SetUp() override {
        errors().clear();
        OfflineSdkTest::SetUp();
        ASSERT_TRUE(m_recorder.listen());
    }
    VorlanSensorErrorCallback error_callback() const override { return record_error; }

    void attach(const vorlan_test::InfxPacketFields& fields) {
        send(vorlan_test::build_infx_packet(fields), kHost);
    }
    void attach_model(int16_t model) {
        vorlan_test::InfxPacketFields fields;
        fields.model = model;
        attach(fields);
    }
    void send(const std::vector<uint8_t>& packet, int64_t host_time) {
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(kHandle, host_time, packet.data(), packet.size()));
    }
    // Sends `n_packets` packets of `n` points, `spacing_us` apart in both
    // packet and host time.
    void stream(PointFormat format, std::size_t n, std::size_t n_packets, uint32_t first_time, uint32_t spacing_us) {
        for (std::size_t k = 0; k < n_packets; ++k) {
            const uint32_t offset = static_cast<uint32_t>(k) * spacing_us;
            send(data_packet(format, n, first_time + offset), kHost + offset);
        }
    }

    std::vector<VorlanSensorRawPointWithTime> raw_points() const {
        std::vector<VorlanSensorRawPointWithTime> all;
        for (const vorlan_test::RecordedFrame& frame : m_recorder.frames()) {
            all.insert(all.end(), frame.raw.begin(), frame.raw.end());
        }
        return all;
    }
    VorlanSensorInformation information() const {
        VorlanSensorInformation information{};
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_information(kHandle, &information));
        return information;
    }

    vorlan_test::FrameRecorder m_recorder;
};

// ---- Holding and sizes --------------------------------------------------------------

TEST_F(DataPacketTest, FirstPacketIsOnlyHeldAndTheSecondReleasesIt) {
    attach_model(12);  // 24 segments
    send(data_packet(PointFormat::v2, 24, 1000), kHost);
    EXPECT_EQ(0u, m_recorder.n_frames());
    send(data_packet(PointFormat::v2, 24, 1960, 100), kHost + 960);
    const std::vector<VorlanSensorRawPointWithTime> points = raw_points();
    ASSERT_EQ(24u, points.size());
    // 960 µs over 24 points: 40 µs each, the first one period after the base.
    for (std::size_t i = 0; i < points.size(); ++i) {
        EXPECT_EQ(1 + i, points[i].distance);
        EXPECT_EQ(i, points[i].segment_id);
        EXPECT_NEAR(static_cast<double>(kHost + 40 * static_cast<int64_t>(i + 1)),
                    static_cast<double>(points[i].timestamp), 1.0);
    }
}

struct SizeCase {
    PointFormat format;
    std::size_t n_points;
    std::size_t decoded;  // with 24 segments
};

class PacketSizeTest : public DataPacketTest, public ::testing::WithParamInterface<SizeCase> {};

// Only whole rows of 24 segments are decoded; a packet without one yields
// nothing and the stream goes on with the next.
TEST_P(PacketSizeTest, DecodesWholeRowsOfSegments) {
    const SizeCase& c = GetParam();
    attach_model(12);
    send(data_packet(c.format, c.n_points, 1000), kHost);
    send(data_packet(c.format, 48, 2000), kHost + 1000);
    send(data_packet(c.format, 48, 3000), kHost + 2000);
    const std::vector<vorlan_test::RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(c.decoded == 0 ? 1u : 2u, frames.size());
    EXPECT_EQ(c.decoded == 0 ? 48u : c.decoded, frames[0].raw.size());
}

INSTANTIATE_TEST_SUITE_P(Formats, PacketSizeTest,
                         ::testing::Values(SizeCase{PointFormat::v2, 24, 24}, SizeCase{PointFormat::v2, 23, 0},
                                           SizeCase{PointFormat::v2, 47, 24},
                                           SizeCase{PointFormat::v2_double, 25, 24},
                                           SizeCase{PointFormat::v3, 0, 0}, SizeCase{PointFormat::v3, 72, 72},
                                           SizeCase{PointFormat::v3_double, 48, 48}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) {
                             return std::string(vorlan_test::packet_type(info.param.format)) + "_" +
                                    std::to_string(info.param.n_points) + "_points";
                         });

// ---- Device point formats -----------------------------------------------------------

struct FormatCase {
    PointFormat format;
    DevicePoint sent;
    VorlanSensorRawPointWithTime expected;  // timestamp and segment ignored
};

VorlanSensorRawPointWithTime raw(int16_t x, int16_t z, uint32_t distance, uint32_t distance_2, uint8_t intensity,
                                 uint8_t intensity_2, uint8_t saturated, uint8_t saturated_2, uint8_t power_level,
                                 uint8_t frame_flag) {
    VorlanSensorRawPointWithTime point{};
    point.image_x = x;
    point.image_z = z;
    point.distance = distance;
    point.distance_2 = distance_2;
    point.intensity = intensity;
    point.intensity_2 = intensity_2;
    point.saturated = saturated;
    point.saturated_2 = saturated_2;
    point.power_level = power_level;
    point.frame_flag = frame_flag;
    return point;
}

DevicePoint device(int16_t x, int16_t z, uint32_t distance, uint32_t distance_2, uint8_t power_level) {
    DevicePoint point;
    point.image_x = x;
    point.image_z = z;
    point.distance = distance;
    point.distance_2 = distance_2;
    point.intensity = 200;
    point.intensity_2 = 77;
    point.power_level = power_level;
    point.saturated = true;
    point.saturated_2 = true;
    point.frame_flag = true;
    return point;
}

class PointFormatTest : public DataPacketTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(PointFormatTest, DecodesEveryFieldTheFormatCarries) {
    const FormatCase& c = GetParam();
    attach_model(12);
    std::vector<DevicePoint> points = numbered(24);
    points[5] = c.sent;
    DataPacketHeader header;
    header.time_us = 1000;
    send(vorlan_test::build_data_packet(c.format, header, points), kHost);
    send(data_packet(c.format, 24, 2000), kHost + 1000);
    const std::vector<VorlanSensorRawPointWithTime> decoded = raw_points();
    ASSERT_EQ(24u, decoded.size());
    const VorlanSensorRawPointWithTime& got = decoded[5];
    const VorlanSensorRawPointWithTime& want = c.expected;
    EXPECT_EQ(want.image_x, got.image_x);
    EXPECT_EQ(want.image_z, got.image_z);
    EXPECT_EQ(want.distance, got.distance);
    EXPECT_EQ(want.distance_2, got.distance_2);
    EXPECT_EQ(want.intensity, got.intensity);
    EXPECT_EQ(want.intensity_2, got.intensity_2);
    EXPECT_EQ(want.saturated, got.saturated);
    EXPECT_EQ(want.saturated_2, got.saturated_2);
    EXPECT_EQ(want.power_level, got.power_level);
    EXPECT_EQ(want.frame_flag, got.frame_flag);
    EXPECT_EQ(0, got.reserved);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PointFormatTest,
    ::testing::Values(
        // V2 keeps 16 distance bits and the low 4 bits of the power level.
        FormatCase{PointFormat::v2, device(-1234, 567, 0xFFFF, 9, 0x1F), raw(-1234, 567, 0xFFFF, 0, 200, 0, 0, 0, 0xF, 0)},
        FormatCase{PointFormat::v2_double, device(32767, -32768, 4000, 0xABCD, 3),
                   raw(32767, -32768, 4000, 0xABCD, 200, 77, 0, 0, 3, 0)},
        // V3: 19-bit distance, frame flag and saturation in the status byte.
        FormatCase{PointFormat::v3, device(-5, 6, 0x7FFFF, 9, 200), raw(-5, 6, 0x7FFFF, 0, 200, 0, 1, 0, 200, 1)},
        // V3 double: a 20-bit second distance.
        FormatCase{PointFormat::v3_double, device(7, -8, 0x5A5A5, 0xFFFFF, 31),
                   raw(7, -8, 0x5A5A5, 0xFFFFF, 200, 77, 1, 1, 31, 1)}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return vorlan_test::packet_type(info.param.format); });

// ---- Measurement period -------------------------------------------------------------

// 96 points every 960 µs: 1e-5 s per point. The first decoded packet only
// proposes the estimate; the second confirms it.
TEST_F(DataPacketTest, PeriodIsStatedOnceTwoPacketsAgreeOnIt) {
    attach_model(12);
    stream(PointFormat::v2, 96, 2, 1000, 960);
    EXPECT_EQ(0.0f, information().measurement_period);
    stream(PointFormat::v2, 96, 1, 1000 + 2 * 960, 960);
    EXPECT_NEAR(1e-5, information().measurement_period, 1e-9);
}

TEST_F(DataPacketTest, TimeRunningBackwardsUsesTheNominalPeriodAndKeepsTheCandidate) {
    attach_model(12);
    // Confirms 1e-5 s, which becomes the nominal period.
    stream(PointFormat::v2, 96, 3, 1000, 960);
    ASSERT_NEAR(1e-5, information().measurement_period, 1e-9);
    // 1800 µs per packet proposes 1.875e-5 s.
    send(data_packet(PointFormat::v2, 96, 1000 + 2 * 960 + 1800), kHost + 10'000);
    // Time goes back: the packet before is spread at the nominal 10 µs.
    send(data_packet(PointFormat::v2, 96, 500), kHost + 20'000);
    std::vector<VorlanSensorRawPointWithTime> points = raw_points();
    ASSERT_EQ(4u * 96, points.size());
    EXPECT_NEAR(950.0, static_cast<double>(points.back().timestamp - points[3 * 96].timestamp), 1.0);
    // The next 1800 µs step confirms the candidate proposed before the jump.
    send(data_packet(PointFormat::v2, 96, 500 + 1800), kHost + 30'000);
    EXPECT_NEAR(1.875e-5, information().measurement_period, 1e-9);
}

TEST_F(DataPacketTest, RepeatedPacketTimesProduceNoPointsUntilTimeMoves) {
    attach_model(12);
    stream(PointFormat::v2, 24, 3, 1000, 0);
    EXPECT_EQ(0u, m_recorder.n_frames());
    send(data_packet(PointFormat::v2, 24, 1960), kHost + 960);
    EXPECT_EQ(1u, m_recorder.n_frames());
}

// The model that measures in 48-point slots repeats its times every 48
// points, at twice the period.
TEST_F(DataPacketTest, ModelTenV3PointsRepeatTheirTimesEvery48Points) {
    attach_model(10);  // 96 segments
    stream(PointFormat::v3, 96, 2, 1000, 960);
    const std::vector<VorlanSensorRawPointWithTime> points = raw_points();
    ASSERT_EQ(96u, points.size());
    EXPECT_EQ(points[0].timestamp, points[48].timestamp);
    EXPECT_EQ(points[47].timestamp, points[95].timestamp);
    EXPECT_NEAR(20.0, static_cast<double>(points[1].timestamp - points[0].timestamp), 1.0);
    EXPECT_EQ(95, points[95].segment_id);
}

// Points far apart: offsets from the packet's time beyond 2^31 µs (about 36
// minutes) are truncated from the same single-precision product as short
// ones, not wrapped. Packets 3000 s apart give 24 points 125 s apart.
TEST_F(DataPacketTest, PointTimesBeyondThirtyTwoBitsOfMicrosecondsAreExact) {
    attach_model(12);
    stream(PointFormat::v3, 24, 2, 1000, 3'000'000'000u);
    const std::vector<VorlanSensorRawPointWithTime> points = raw_points();
    ASSERT_EQ(24u, points.size());
    const float period = 3'000'000'000.0f * 1e-6f / 24.0f;
    const auto offset = [period](int step) { return static_cast<int64_t>(static_cast<float>(step) * 1e6f * period); };
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(offset(i + 1) - offset(1), points[static_cast<std::size_t>(i)].timestamp - points[0].timestamp)
            << "point " << i;
    }
    EXPECT_GT(offset(24), int64_t{1} << 31);
}

// ---- Time bases ---------------------------------------------------------------------

struct TimeCase {
    const char* name;
    VorlanSDKControl flags;
    bool host_based;
    bool every_point_at_base;
};

class TimeBaseTest : public DataPacketTest, public ::testing::WithParamInterface<TimeCase> {
protected:
    VorlanSDKControl extra_control_flags() const override { return GetParam().flags; }
};

// A PTP-synchronised sensor: the packet's microseconds within the hour of
// the PTP time, far from the host's clock.
TEST_P(TimeBaseTest, PointsFollowTheChosenClock) {
    const TimeCase& c = GetParam();
    vorlan_test::InfxPacketFields fields;
    fields.model = 12;
    fields.time_sync_bits = 0x04;
    fields.ptp_time = 1'700'000'000;
    attach(fields);
    stream(PointFormat::v3, 24, 2, 1234, 960);
    const std::vector<VorlanSensorRawPointWithTime> points = raw_points();
    ASSERT_EQ(24u, points.size());
    const int64_t packet_time = 1'700'000'000 / 3600 * kMicrosecondsPerHour + 1234;
    const int64_t base = c.host_based ? kHost : packet_time;
    if (c.every_point_at_base) {
        EXPECT_EQ(base, points.front().timestamp);
        EXPECT_EQ(base, points.back().timestamp);
    } else {
        EXPECT_NEAR(static_cast<double>(base + 40), static_cast<double>(points.front().timestamp), 1.0);
        EXPECT_NEAR(static_cast<double>(base + 960), static_cast<double>(points.back().timestamp), 1.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Flags, TimeBaseTest,
                         ::testing::Values(TimeCase{"SensorTime", 0, false, false},
                                           TimeCase{"HostTimestamps", VORLAN_SDK_CONTROL_HOST_TIMESTAMPS, true, false},
                                           TimeCase{"RawPacketTime", VORLAN_SDK_CONTROL_RAW_PACKET_TIME, false, true}),
                         [](const ::testing::TestParamInfo<TimeCase>& info) { return info.param.name; });

// The hour in the header wins over every other time source; with raw packet
// time the points carry it unchanged, even while the packets repeat one time.
class HeaderHourTest : public DataPacketTest {
protected:
    VorlanSDKControl extra_control_flags() const override { return VORLAN_SDK_CONTROL_RAW_PACKET_TIME; }
};

TEST_F(HeaderHourTest, HeaderHourGivesTheAbsoluteTime) {
    attach_model(12);
    DataPacketHeader header;
    header.has_hour = true;
    header.hour = 480'000;
    header.time_us = 1'234'567;
    const std::vector<uint8_t> packet = vorlan_test::build_data_packet(PointFormat::v2, header, numbered(24));
    send(packet, kHost);
    send(packet, kHost);
    const std::vector<VorlanSensorRawPointWithTime> points = raw_points();
    ASSERT_EQ(24u, points.size());
    for (const VorlanSensorRawPointWithTime& point : points) {
        EXPECT_EQ(480'000 * kMicrosecondsPerHour + 1'234'567, point.timestamp);
    }
}

// ---- Bad input ------------------------------------------------------------------------

TEST_F(DataPacketTest, OversizedPacketIsRefusedAndTheHeldOneStays) {
    attach_model(12);
    send(data_packet(PointFormat::v2, 24, 1000), kHost);
    std::vector<uint8_t> oversized = data_packet(PointFormat::v2, 24, 1500, 500);
    oversized.resize(2049);
    send(oversized, kHost + 500);
    send(data_packet(PointFormat::v2, 24, 1960), kHost + 960);
    ASSERT_EQ(1u, errors().size());
    EXPECT_EQ(VORLAN_ERROR_INVALID_ARGUMENTS, errors()[0].code);
    EXPECT_EQ("Packet size is too large", errors()[0].message);
    const std::vector<VorlanSensorRawPointWithTime> points = raw_points();
    ASSERT_EQ(24u, points.size());
    EXPECT_EQ(1u, points[0].distance);  // the first packet, spread over 960 µs
    EXPECT_NEAR(static_cast<double>(kHost + 960), static_cast<double>(points.back().timestamp), 1.0);
}

TEST_F(DataPacketTest, PacketWithoutAWholeHeaderIsRefused) {
    attach_model(12);
    send(data_packet(PointFormat::v2, 24, 1000), kHost);
    // Sized exactly, so that a read past the end is caught by the sanitizers.
    const std::vector<uint8_t> whole = data_packet(PointFormat::v2, 0, 1500);
    for (std::size_t size : {4, 21}) {
        const std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        send(cut, kHost + 500);
    }
    send(data_packet(PointFormat::v2, 24, 1960), kHost + 960);
    ASSERT_EQ(2u, errors().size());
    EXPECT_EQ(VORLAN_ERROR_COMMUNICATION, errors()[0].code);
    EXPECT_EQ(VORLAN_ERROR_COMMUNICATION, errors()[1].code);
    ASSERT_EQ(24u, raw_points().size());
    EXPECT_EQ(1u, raw_points()[0].distance);
}

// A calibration without segments cannot assign points to segments.
TEST_F(DataPacketTest, CalibrationWithoutSegmentsYieldsNoPoints) {
    attach_model(12);
    VorlanCalibration calibration{};
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_calibration(kHandle, &calibration));
    calibration.segment_count = 0;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_calibration(kHandle, &calibration));
    stream(PointFormat::v2, 24, 3, 1000, 960);
    EXPECT_EQ(0u, m_recorder.n_frames());
    EXPECT_TRUE(errors().empty());
}


// ---- Calibration in force ---------------------------------------------------

// A calibration whose segments all differ, `variant` telling calibrations apart.
std::unique_ptr<VorlanCalibration> varied_calibration(const VorlanCalibration& base, int variant,
                                                      uint16_t segment_count) {
    auto calibration = std::make_unique<VorlanCalibration>(base);
    calibration->id = 100 + static_cast<uint32_t>(variant);
    calibration->segment_count = segment_count;
    for (int s = 0; s < 192; ++s) {
        VorlanLaserCalibration& laser = calibration->lasers[s];
        laser.image_x_center = static_cast<int16_t>(3 * s + 11 * variant);
        laser.image_z_center = static_cast<int16_t>(-2 * s - 5 * variant);
        laser.image_x_offset = static_cast<int16_t>(s % 5 - variant);
        laser.image_x_scale = 1e-4f * static_cast<float>(1 + s + variant);
        laser.image_z_scale = 2e-4f * static_cast<float>(1 + variant);
        laser.image_z_to_x = 1e-6f * static_cast<float>(s - variant);
        laser.intensity_range_offset = 0.01f * static_cast<float>(s);
        laser.power_level_intensity[1] = 10.0f + static_cast<float>(s + variant);
        laser.intensity_falloff[1] = 1e-4f * static_cast<float>(variant - s);
    }
    return calibration;
}

// Every packet is calibrated with the calibration in force when it is
// decoded: after a client's set_calibration and after an information packet
// that brings a new block, with as many segments as before or fewer.
TEST_F(DataPacketTest, PointsAreCalibratedWithTheCalibrationInForce) {
    attach_model(12);  // 24 segments
    VorlanCalibration base{};
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_calibration(kHandle, &base));
    const auto block = [](uint32_t id) {
        vorlan_test::CalibrationHeaderFields header;
        header.id = id;
        header.model = 12;
        vorlan_test::VrnASegment segment;
        segment.intensity_base = 20.0f;
        return vorlan_test::build_vrna_block(
            header, vorlan_test::make_segments<vorlan_test::VrnASegment>(
                        24, segment, [id](vorlan_test::VrnASegment& s, std::size_t i) {
                            s.geometry.image_x_center = static_cast<int16_t>(7 * i + id);
                            s.geometry.image_x_scale = 3e-5f * static_cast<float>(i + 1);
                            s.image_z_to_x = 1e-5f * static_cast<float>(i);
                        }));
    };
    struct Step {
        const char* change;
        std::function<void()> apply;
    };
    const std::vector<Step> steps = {
        {"first set", [&] { vorlan_sdk_set_calibration(kHandle, varied_calibration(base, 1, 24).get()); }},
        {"set again", [&] { vorlan_sdk_set_calibration(kHandle, varied_calibration(base, 2, 24).get()); }},
        {"new block", [&] {
             vorlan_test::InfxPacketFields fields;
             fields.model = 12;
             send(vorlan_test::build_infx_packet(fields, block(41)), kHost);
         }},
        {"fewer segments", [&] { vorlan_sdk_set_calibration(kHandle, varied_calibration(base, 3, 12).get()); }},
        {"another block", [&] {
             vorlan_test::InfxPacketFields fields;
             fields.model = 12;
             send(vorlan_test::build_infx_packet(fields, block(42)), kHost);
         }},
    };
    uint32_t time_us = 1000;
    send(data_packet(PointFormat::v2, 96, time_us), kHost + time_us);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.change);
        step.apply();
        m_recorder.reset();
        for (int k = 0; k < 3; ++k) {
            time_us += 960;
            send(data_packet(PointFormat::v2, 96, time_us, 200 + 100 * k), kHost + time_us);
        }
        auto in_force = std::make_unique<VorlanCalibration>();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_calibration(kHandle, in_force.get()));
        const std::vector<vorlan_test::RecordedFrame> frames = m_recorder.frames();
        ASSERT_EQ(3u, frames.size());
        for (const vorlan_test::RecordedFrame& frame : frames) {
            ASSERT_EQ(frame.raw.size(), frame.image.size());
            std::vector<VorlanSensorImagePoint> expected(frame.raw.size());
            ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_calibrate_points_with_calibration(
                                          in_force.get(), frame.raw.size(), frame.raw.data(), 1, expected.data()));
            EXPECT_EQ(0, std::memcmp(expected.data(), frame.image.data(),
                                     expected.size() * sizeof(VorlanSensorImagePoint)));
        }
    }
}

}  // namespace
