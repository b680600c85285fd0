// Sensors of every scan family streaming through the C interface: an
// information packet, then data packets drawn from a scan pattern, and the
// frames that come out in each frame mode.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/calibration_block_builder.h"
#include "support/data_packet_builder.h"
#include "support/frame_recorder.h"
#include "support/info_packet_builder.h"
#include "support/scan_patterns.h"
#include "support/sdk_fixture.h"
#include "support/udp_socket.h"
#include "wire_bytes.h"

namespace {

using vorlan_test::DataPacketHeader;
using vorlan_test::DevicePoint;
using vorlan_test::FrameRecorder;
using vorlan_test::PointFormat;
using vorlan_test::RecordedFrame;
using vorlan_test::ScanSample;

constexpr VorlanSensorHandle kHandle = 0x1500A8C0;
constexpr int64_t kHost = 1'600'000'000'000'000;
constexpr uint32_t kFirstPacketTime = 1'000'000;
// Each point 2 µs after the one before.
constexpr uint32_t kPointPeriodUs = 2;
// Raw image counts per unit of the scan patterns: small enough for the
// default lens model to keep image x and z monotonic in them.
constexpr float kCountsPerUnit = 3000.0f;
constexpr uint32_t kFirstDistance = 1000;

// One sample of a pattern per row: every segment of a row sees the same
// position, and the rows are numbered by their distance.
struct Row {
    ScanSample sample;
    bool frame_flag = false;
};

std::vector<Row> rows_of(const std::vector<ScanSample>& samples) {
    std::vector<Row> rows;
    for (const ScanSample& sample : samples) {
        rows.push_back({sample, false});
    }
    return rows;
}

// Rows at the image centre whose frame flag turns every `run` rows.
std::vector<Row> flag_rows(std::size_t n, std::size_t run) {
    std::vector<Row> rows(n);
    for (std::size_t r = 0; r < n; ++r) {
        rows[r].frame_flag = (r / run) % 2 == 1;
    }
    return rows;
}

// Splits rows into data packets of `rows_per_packet` rows of `segments`
// points, timed kPointPeriodUs per point.
class Stream {
public:
    Stream(PointFormat format, std::size_t segments, std::size_t rows_per_packet)
        : m_format(format), m_segments(segments), m_rows_per_packet(rows_per_packet) {}

    // Rows that fit one packet of at most 2048 bytes, at most `limit`.
    static std::size_t rows_per_packet(PointFormat format, std::size_t segments, std::size_t limit = 6) {
        const std::size_t fit = (2048 - 22) / (vorlan_test::point_size(format) * segments);
        return std::max<std::size_t>(1, std::min(fit, limit));
    }

    std::size_t points_per_packet() const { return m_segments * m_rows_per_packet; }
    uint32_t packet_spacing_us() const { return static_cast<uint32_t>(points_per_packet()) * kPointPeriodUs; }

    std::vector<std::vector<uint8_t>> packets(const std::vector<Row>& rows) const {
        std::vector<std::vector<uint8_t>> out;
        for (std::size_t first = 0; first + m_rows_per_packet <= rows.size(); first += m_rows_per_packet) {
            std::vector<DevicePoint> points;
            for (std::size_t r = first; r < first + m_rows_per_packet; ++r) {
                for (std::size_t s = 0; s < m_segments; ++s) {
                    DevicePoint point;
                    point.image_x = static_cast<int16_t>(std::lround(rows[r].sample.x * kCountsPerUnit));
                    point.image_z = static_cast<int16_t>(std::lround(rows[r].sample.z * kCountsPerUnit));
                    point.distance = kFirstDistance + static_cast<uint32_t>(r);
                    point.distance_2 = point.distance + 40000;
                    point.intensity = 100;
                    point.intensity_2 = 50;
                    point.power_level = 1;
                    point.frame_flag = rows[r].frame_flag;
                    points.push_back(point);
                }
            }
            DataPacketHeader header;
            header.time_us = kFirstPacketTime + static_cast<uint32_t>(out.size()) * packet_spacing_us();
            out.push_back(vorlan_test::build_data_packet(m_format, header, points));
        }
        return out;
    }

    int64_t host_time(std::size_t packet) const {
        return kHost + static_cast<int64_t>(packet) * packet_spacing_us();
    }

private:
    PointFormat m_format;
    std::size_t m_segments;
    std::size_t m_rows_per_packet;
};

// The row a raw point belongs to.
uint32_t row_of(const VorlanSensorRawPointWithTime& point) { return point.distance - kFirstDistance; }

class EndToEndTest : public vorlan_test::OfflineSdkTest {
protected:
    void SetUp() override {
        OfflineSdkTest::SetUp();
        ASSERT_TRUE(m_recorder.listen());
    }

    // Sends the information packet; returns the sensor's information.
    VorlanSensorInformation attach(int16_t model, uint8_t return_count) {
        vorlan_test::InfxPacketFields fields;
        fields.model = model;
        fields.return_count = return_count;
        const std::vector<uint8_t> packet = vorlan_test::build_infx_packet(fields);
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(kHandle, kHost, packet.data(), packet.size()));
        return information();
    }

    VorlanSensorInformation information() const {
        VorlanSensorInformation information{};
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_information(kHandle, &information));
        return information;
    }

    void send(const Stream& stream, const std::vector<std::vector<uint8_t>>& packets, std::size_t first,
              std::size_t last) {
        for (std::size_t k = first; k < last && k < packets.size(); ++k) {
            ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(kHandle, stream.host_time(k), packets[k].data(),
                                                                      packets[k].size()));
        }
    }

    static void set_mode(VorlanSDKFrameMode mode, float length = 0.0f) {
        VorlanSDKFrameOptions options = vorlan_sdk_create_frame_options();
        options.mode = mode;
        options.length = length;
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_frame_options(&options));
    }

    // Every frame came as a raw frame followed by its image frame with
    // `return_count` image points per raw point, the first return at the
    // raw point's time.
    void expect_well_formed(uint8_t return_count) const {
        EXPECT_EQ(0u, m_recorder.unpaired_images());
        for (const RecordedFrame& frame : m_recorder.frames()) {
            EXPECT_EQ(kHandle, frame.handle);
            ASSERT_TRUE(frame.has_image);
            ASSERT_EQ(frame.raw.size() * return_count, frame.image.size());
            for (std::size_t i = 0; i < frame.raw.size(); ++i) {
                ASSERT_EQ(frame.raw[i].timestamp, frame.image[i * return_count].timestamp);
                ASSERT_EQ(frame.raw[i].segment_id, frame.image[i * return_count].segment_id);
            }
        }
    }

    FrameRecorder m_recorder;
};

// ---- Streaming: every family and point format -----------------------------------------

struct SensorCase {
    const char* name;
    int16_t model;
    PointFormat format;
    uint8_t return_count;
};

class StreamingTest : public EndToEndTest, public ::testing::WithParamInterface<SensorCase> {
protected:
    VorlanSDKControl extra_control_flags() const override { return VORLAN_SDK_CONTROL_ENABLE_MULTIPLE_RETURNS; }
};

// Each packet after the first releases its predecessor as one frame; the
// points arrive once each, in order, one period apart.
TEST_P(StreamingTest, EveryPacketBecomesAFrameWithEveryPointTimed) {
    const SensorCase& c = GetParam();
    const VorlanSensorInformation info = attach(c.model, c.return_count);
    ASSERT_EQ(c.return_count, info.return_count);
    const std::size_t segments = info.segment_count;
    const Stream stream(c.format, segments, Stream::rows_per_packet(c.format, segments));
    const auto packets = stream.packets(rows_of(vorlan_test::triangle_scan(240, 20)));
    send(stream, packets, 0, packets.size());

    const std::vector<RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(packets.size() - 1, frames.size());
    expect_well_formed(c.return_count);
    std::size_t index = 0;
    int64_t previous = 0;
    for (const RecordedFrame& frame : frames) {
        ASSERT_EQ(stream.points_per_packet(), frame.raw.size());
        for (const VorlanSensorRawPointWithTime& point : frame.raw) {
            ASSERT_EQ(index / segments, row_of(point)) << index;
            ASSERT_EQ(index % segments, point.segment_id) << index;
            // The model measuring in 48-point slots repeats its times.
            if (index > 0 && !(c.model == 10 && c.format == PointFormat::v3)) {
                ASSERT_NEAR(static_cast<double>(kPointPeriodUs), static_cast<double>(point.timestamp - previous), 1.0)
                    << index;
            }
            previous = point.timestamp;
            ++index;
        }
    }
    EXPECT_NEAR(kPointPeriodUs * 1e-6, information().measurement_period, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Families, StreamingTest,
    ::testing::Values(SensorCase{"TQ50_STDT", 3, PointFormat::v2, 1},
                      SensorCase{"TQ50_STDR", 3, PointFormat::v2_double, 2},
                      SensorCase{"KiruD40_STDP", 11, PointFormat::v3, 1},
                      SensorCase{"KiruD41_STDQ", 17, PointFormat::v3_double, 2},
                      SensorCase{"Parvo410_STDT", 7, PointFormat::v2, 1},
                      SensorCase{"ParvoL200_STDP", 10, PointFormat::v3, 1},
                      SensorCase{"ParvoD40_STDQ", 12, PointFormat::v3_double, 1},
                      SensorCase{"ParvoD41_STDP", 16, PointFormat::v3, 1}),
    [](const ::testing::TestParamInfo<SensorCase>& info) { return info.param.name; });

// ---- Scan modes -----------------------------------------------------------------------------

struct ScanCase {
    const char* name;
    int16_t model;
    PointFormat format;
    VorlanSDKFrameMode mode;
    std::vector<ScanSample> (*pattern)();
    std::size_t frame_rows;  // rows per frame once the detector has settled
};

std::vector<ScanSample> sweeps_of_50_rows() { return vorlan_test::triangle_scan(1200, 50); }
// Vertical sweeps of 12 rows inside horizontal ones of 120. (A vertical
// turnaround counts only 5 rows after the last one was confirmed, 5 rows
// after it happened: sweeps of 10 rows or less are never seen.)
std::vector<ScanSample> raster_of_120_rows() { return vorlan_test::raster_scan(1800, 12, 120); }
// Sweeps of 20 rows, passing the centre farthest every 6 sweeps.
std::vector<ScanSample> rosette_of_120_rows() { return vorlan_test::rosette_scan(2400, 20, 6, 3); }

class ScanModeTest : public EndToEndTest, public ::testing::WithParamInterface<ScanCase> {};

// The mode is chosen once the sensor's frame exists (a new frame would turn
// the scan modes into frames of 0.1 s). Each frame then ends at the segment-0
// point that confirmed a turnaround: a whole number of rows, shifted by one
// point.
TEST_P(ScanModeTest, FramesFollowTheScanPattern) {
    const ScanCase& c = GetParam();
    const VorlanSensorInformation info = attach(c.model, 1);
    const std::size_t segments = info.segment_count;
    const Stream stream(c.format, segments, Stream::rows_per_packet(c.format, segments, 2));
    const auto packets = stream.packets(rows_of(c.pattern()));
    send(stream, packets, 0, 2);
    set_mode(c.mode);
    m_recorder.reset();
    send(stream, packets, 2, packets.size());

    const std::vector<RecordedFrame> frames = m_recorder.frames();
    const std::size_t expected = packets.size() * stream.points_per_packet() / segments / c.frame_rows;
    ASSERT_GE(frames.size() + 3, expected);
    ASSERT_LE(frames.size(), expected);
    expect_well_formed(1);
    // The first frames hold what came before the detector settled.
    for (std::size_t f = 2; f < frames.size(); ++f) {
        const std::vector<VorlanSensorRawPointWithTime>& raw = frames[f].raw;
        EXPECT_EQ(c.frame_rows * segments, raw.size()) << "frame " << f;
        EXPECT_EQ(0, raw.back().segment_id) << "frame " << f;
        EXPECT_EQ(row_of(frames[f - 1].raw.back()) + c.frame_rows, row_of(raw.back())) << "frame " << f;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Families, ScanModeTest,
    ::testing::Values(
        ScanCase{"KiruD40_Sweep", 11, PointFormat::v3, VORLAN_SDK_FRAME_SWEEP, sweeps_of_50_rows, 50},
        ScanCase{"KiruD40_FullScan", 11, PointFormat::v2, VORLAN_SDK_FRAME_FULL_SCAN, sweeps_of_50_rows, 100},
        ScanCase{"KiruD41_Sweep", 17, PointFormat::v3_double, VORLAN_SDK_FRAME_SWEEP, sweeps_of_50_rows, 50},
        ScanCase{"TQ50_Sweep", 3, PointFormat::v2, VORLAN_SDK_FRAME_SWEEP, raster_of_120_rows, 120},
        ScanCase{"TQ50_FullScan", 3, PointFormat::v2_double, VORLAN_SDK_FRAME_FULL_SCAN, raster_of_120_rows, 240},
        ScanCase{"Parvo410_Sweep", 7, PointFormat::v3, VORLAN_SDK_FRAME_SWEEP, rosette_of_120_rows, 120},
        ScanCase{"ParvoD40_FullScan", 12, PointFormat::v2_double, VORLAN_SDK_FRAME_FULL_SCAN, rosette_of_120_rows,
                 240}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return info.param.name; });

// ---- Frame flags ----------------------------------------------------------------------------

// The frame-flag model in sweep mode: a frame ends with the packet holding
// the row after 37 rows of a new flag, and repeats the last 72 rows of the
// frame before. Its flag turns every 100 rows, and packets hold 5 rows.
TEST_F(EndToEndTest, FrameFlagModelSharesRowsBetweenFrames) {
    set_mode(VORLAN_SDK_FRAME_SWEEP);
    const VorlanSensorInformation info = attach(16, 1);
    const std::size_t segments = info.segment_count;
    const Stream stream(PointFormat::v3, segments, 5);
    const auto packets = stream.packets(flag_rows(1000, 100));
    send(stream, packets, 0, packets.size());
    const std::vector<RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(9u, frames.size());
    expect_well_formed(1);
    EXPECT_EQ(139u, row_of(frames[0].raw.back()));
    for (std::size_t f = 1; f < frames.size(); ++f) {
        EXPECT_EQ(172u * segments, frames[f].raw.size()) << "frame " << f;
        EXPECT_EQ(row_of(frames[f - 1].raw.back()) - 71, row_of(frames[f].raw.front())) << "frame " << f;
        EXPECT_EQ(row_of(frames[f - 1].raw.back()) + 100, row_of(frames[f].raw.back())) << "frame " << f;
    }
}

// Full scan set later follows the flag itself: a frame per flag change,
// ending at its first segment-0 point.
TEST_F(EndToEndTest, FrameFlagModelInFullScanCutsAtEveryFlagChange) {
    const VorlanSensorInformation info = attach(16, 1);
    const std::size_t segments = info.segment_count;
    const Stream stream(PointFormat::v3, segments, 5);
    const auto packets = stream.packets(flag_rows(1000, 100));
    send(stream, packets, 0, 2);
    set_mode(VORLAN_SDK_FRAME_FULL_SCAN);
    m_recorder.reset();
    send(stream, packets, 2, packets.size());
    const std::vector<RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(9u, frames.size());
    for (std::size_t f = 1; f < frames.size(); ++f) {
        EXPECT_EQ(100u * segments, frames[f].raw.size()) << "frame " << f;
        EXPECT_EQ(100u * (f + 1), row_of(frames[f].raw.back())) << "frame " << f;
        EXPECT_EQ(0, frames[f].raw.back().segment_id);
    }
}

// ---- Timed and rule-less modes ------------------------------------------------------------

struct TimedCase {
    const char* name;
    int16_t model;
    PointFormat format;
    VorlanSDKFrameMode mode_at_creation;  // converted when a scan mode
    float length;                         // the frames' length in seconds
};

class TimedModeTest : public EndToEndTest, public ::testing::WithParamInterface<TimedCase> {};

// A frame opens at a segment-0 point and closes at the first segment-0 point
// `length` later; both lie one row period within their frame's ends.
TEST_P(TimedModeTest, FramesSpanTheLength) {
    const TimedCase& c = GetParam();
    set_mode(c.mode_at_creation, c.length);
    const VorlanSensorInformation info = attach(c.model, 1);
    const std::size_t segments = info.segment_count;
    const Stream stream(c.format, segments, Stream::rows_per_packet(c.format, segments));
    const std::size_t n_rows = static_cast<std::size_t>(3.5 * c.length * 1e6 / (kPointPeriodUs * segments));
    const auto packets = stream.packets(rows_of(vorlan_test::triangle_scan(n_rows, 50)));
    send(stream, packets, 0, packets.size());
    const std::vector<RecordedFrame> frames = m_recorder.frames();
    ASSERT_EQ(3u, frames.size());
    expect_well_formed(1);
    const int64_t length_us = static_cast<int64_t>(std::lround(c.length * 1e6));
    const int64_t row_us = static_cast<int64_t>(kPointPeriodUs * segments);
    for (std::size_t f = 1; f < frames.size(); ++f) {
        const std::vector<VorlanSensorRawPointWithTime>& raw = frames[f].raw;
        EXPECT_EQ(0, raw.back().segment_id);
        const int64_t span = raw.back().timestamp - raw.front().timestamp;
        EXPECT_GE(span, length_us) << "frame " << f;
        EXPECT_LT(span, length_us + 2 * row_us) << "frame " << f;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, TimedModeTest,
    ::testing::Values(TimedCase{"KiruD40_Timed", 11, PointFormat::v3, VORLAN_SDK_FRAME_TIMED, 0.01f},
                      TimedCase{"TQ50_Timed", 3, PointFormat::v2, VORLAN_SDK_FRAME_TIMED, 0.005f},
                      TimedCase{"ParvoL200_Timed", 10, PointFormat::v3_double, VORLAN_SDK_FRAME_TIMED, 0.01f},
                      TimedCase{"KiruD40_SweepAtCreation", 11, PointFormat::v3, VORLAN_SDK_FRAME_SWEEP, 0.1f},
                      TimedCase{"TQ50_FullScanAtCreation", 3, PointFormat::v2, VORLAN_SDK_FRAME_FULL_SCAN, 0.1f}),
    [](const ::testing::TestParamInfo<TimedCase>& info) { return info.param.name; });

TEST_F(EndToEndTest, ModeWithoutARuleKeepsEveryPointUntilTheModeChanges) {
    set_mode(VORLAN_SDK_FRAME_BY_MODEL);
    const VorlanSensorInformation info = attach(11, 1);
    const Stream stream(PointFormat::v3, info.segment_count, 2);
    const auto packets = stream.packets(rows_of(vorlan_test::triangle_scan(600, 50)));
    send(stream, packets, 0, packets.size() - 1);
    EXPECT_EQ(0u, m_recorder.n_frames());
    // Streaming hands everything over with the next packet.
    set_mode(VORLAN_SDK_FRAME_STREAMING);
    send(stream, packets, packets.size() - 1, packets.size());
    ASSERT_EQ(1u, m_recorder.n_frames());
    EXPECT_EQ((packets.size() - 1) * stream.points_per_packet(), m_recorder.frames()[0].raw.size());
}

// ---- Scan coverage ----------------------------------------------------------------------------

struct Fault {
    VorlanSensorHandle handle;
    VorlanSensorErrorCode code;
};

void record_fault(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char*, const void*, size_t,
                  void* faults) {
    static_cast<std::vector<Fault>*>(faults)->push_back({handle, code});
}

// A mirror stuck at the centre: after the first minute, a second of points
// covering none of the field of view is reported for a calibrated sensor
// (its frames are judged as they are published) and never for one without
// calibration.
TEST(EndToEndCoverageTest, StuckScanOfACalibratedSensorIsReported) {
    for (bool calibrated : {true, false}) {
        SCOPED_TRACE(calibrated);
        std::vector<Fault> faults;
        VorlanSDKOptions options = vorlan_test::offline_options();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, record_fault, &faults));
        vorlan_test::InfxPacketFields fields;
        fields.model = 11;
        std::vector<uint8_t> block;
        if (calibrated) {
            vorlan_test::CalibrationHeaderFields header;
            header.model = 11;
            block = vorlan_test::build_vrna_block(header, vorlan_test::make_segments<vorlan_test::VrnASegment>(24));
        }
        const std::vector<uint8_t> info = vorlan_test::build_infx_packet(fields, block);
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(kHandle, kHost, info.data(), info.size()));

        // 144 points a millisecond for 63 seconds, all at the image centre.
        const Stream stream(PointFormat::v3, 24, 6);
        std::vector<uint8_t> packet = stream.packets(std::vector<Row>(6))[0];
        for (uint32_t k = 0; k < 63'000; ++k) {
            vorlan_common::store_u32le(packet.data() + 4, kFirstPacketTime + k * 1000);
            ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(kHandle, kHost + int64_t{k} * 1000,
                                                                      packet.data(), packet.size()));
        }
        if (calibrated) {
            ASSERT_FALSE(faults.empty());
            EXPECT_EQ(kHandle, faults[0].handle);
            EXPECT_EQ(VORLAN_FAULT_SCAN_COVERAGE, faults[0].code);
        } else {
            EXPECT_TRUE(faults.empty());
        }
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    }
}

// ---- Live network ---------------------------------------------------------------------------

// The same stream sent over UDP to 127.0.0.1 yields the same frames as
// through the mock receive path: the sensor keeps PTP time, so the points'
// times come from the packets and not from the host clock.
TEST(EndToEndNetworkTest, UdpStreamGivesTheSameFramesAsMockReceive) {
    vorlan_test::InfxPacketFields fields;
    fields.model = 11;
    fields.time_sync_bits = 0x04;
    fields.ptp_time = 1'000'000'000;
    const std::vector<uint8_t> info_packet = vorlan_test::build_infx_packet(fields);
    const Stream stream(PointFormat::v3, 24, 3);
    const auto packets = stream.packets(rows_of(vorlan_test::triangle_scan(300, 50)));
    VorlanSDKFrameOptions timed = vorlan_sdk_create_frame_options();
    timed.mode = VORLAN_SDK_FRAME_TIMED;
    timed.length = 0.002f;

    // Reference: through the mock receive path.
    std::vector<RecordedFrame> expected;
    {
        VorlanSDKOptions options = vorlan_test::offline_options();
        options.frame = timed;
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr));
        FrameRecorder recorder;
        ASSERT_TRUE(recorder.listen());
        const VorlanSensorHandle handle = 0x7F000001;  // 127.0.0.1
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(handle, 0, info_packet.data(), info_packet.size()));
        for (const auto& packet : packets) {
            ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(handle, 0, packet.data(), packet.size()));
        }
        expected = recorder.frames();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    }
    ASSERT_GE(expected.size(), 5u);

    const uint16_t port = vorlan_test::free_udp_port();
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.port = port;
    options.frame = timed;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr));
    FrameRecorder recorder;
    ASSERT_TRUE(recorder.listen());
    vorlan_test::UdpSender sender(port);
    ASSERT_TRUE(sender.send(info_packet.data(), info_packet.size()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (vorlan_sdk_get_n_sensors() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(1u, vorlan_sdk_get_n_sensors());
    // One frame at a time, so that a slow receiver never drops a datagram.
    std::size_t sent = 0;
    for (std::size_t f = 0; f < expected.size(); ++f) {
        while (recorder.n_frames() <= f && sent < packets.size()) {
            ASSERT_TRUE(sender.send(packets[sent].data(), packets[sent].size()));
            ++sent;
            recorder.wait_for_frames(f + 1, std::chrono::milliseconds(sent == packets.size() ? 5000 : 20));
        }
    }
    ASSERT_TRUE(recorder.wait_for_frames(expected.size(), std::chrono::seconds(5)));
    EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());

    const std::vector<RecordedFrame> received = recorder.frames();
    ASSERT_EQ(expected.size(), received.size());
    for (std::size_t f = 0; f < expected.size(); ++f) {
        ASSERT_EQ(expected[f].raw.size(), received[f].raw.size()) << "frame " << f;
        for (std::size_t i = 0; i < expected[f].raw.size(); ++i) {
            ASSERT_EQ(expected[f].raw[i].timestamp, received[f].raw[i].timestamp) << "frame " << f << " point " << i;
            ASSERT_EQ(expected[f].raw[i].distance, received[f].raw[i].distance);
        }
    }
}

}  // namespace
