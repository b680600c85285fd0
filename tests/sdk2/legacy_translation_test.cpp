// The first library's image points and sensor information as this library
// presents them: position, reflectivity, times, flags, and whole batches,
// long ones and ones built on several threads at once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "legacy_sdk_connector.h"
#include "legacy_translation.h"
#include "library_fixture.h"
#include "support/image_point.h"
#include "support/legacy_reference.h"

namespace vorlan_sdk2 {
namespace {

using vorlan_test::image_point;

VorlanPoint translate_one(const VorlanSensorImagePoint& point) {
    VorlanPoint out;
    translateImagePoints(&point, 1, &out);
    return out;
}

TEST(LegacyTranslation, ImagePointsBecomePointRecords) {
    constexpr uint8_t kValid = VORLAN_POINT_VALID;
    const float kNaN = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        VorlanSensorImagePoint point;
        int16_t x, y, z;
        uint8_t flags;
    } cases[] = {
        {"no return: 100 m along the ray", image_point(0, 0, 0, 0), 0, 20000, 0, 0x20},
        {"no return off the axis", image_point(1, 0, 5, 0), -14142, 14142, 0, 0x20},
        {"10 m on the axis", image_point(0, 0, 10, kValid), 0, 2000, 0, 0},
        {"off the axis, signs mirrored", image_point(0.5f, -0.25f, 10, kValid), -873, 1746, 436, 0},
        {"saturated, second scan half", image_point(0, 0, 1, kValid | VORLAN_POINT_SATURATED | VORLAN_POINT_FRAME_FLAG),
         0, 200, 0, 0x05},
        {"other first-library bits are not carried", image_point(0, 0, 1, kValid | 0x7C), 0, 200, 0, 0},
        // Past 163.8 m a coordinate does not fit 16 bits of 5 mm: the point
        // is pulled in along its ray, never wrapped to the other side.
        {"200 m on the axis", image_point(0, 0, 200, kValid), 0, 32767, 0, 0},
        {"300 m off the axis keeps its direction", image_point(-1, 0.25f, 300, kValid), 32767, 32767, -8192, 0},
        {"163.83 m still fits", image_point(0, 0, 163.83f, kValid), 0, 32766, 0, 0},
        {"distance not a number", image_point(0, 0, kNaN, kValid), 0, 0, 0, 0x20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const VorlanPoint point = translate_one(c.point);
        EXPECT_EQ(point.x, c.x);
        EXPECT_EQ(point.y, c.y);
        EXPECT_EQ(point.z, c.z);
        EXPECT_EQ(point.flags, c.flags);
    }
    const VorlanPoint channel = translate_one(image_point(0, 0, 1, kValid, 0, 0.5f, 37));
    EXPECT_EQ(channel.channel_id, 37);
}

TEST(LegacyTranslation, ReflectivityCode) {
    struct Case {
        float intensity;
        uint8_t code;
    } cases[] = {
        {0.0f, 0},    {0.004f, 0},   {0.006f, 1},     {0.5f, 50},   {1.27f, 127},
        {1.271f, 127},  // 127.0 is nearer than 130.7
        {1.30f, 128}, {2.0f, 143},   // 201.0 (entry 16) is nearer than 195.3
        {49.99f, 255}, {50.0f, 255}, {1e30f, 255},    {-0.1f, 0},   {std::numeric_limits<float>::quiet_NaN(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.intensity);
        EXPECT_EQ(legacyReflectivity(c.intensity), c.code);
        EXPECT_EQ(vorlan_test::reference_legacy_reflectivity(c.intensity), c.code);
    }
    // Every code the table can give agrees with the plain nearest-entry search.
    for (float percent = 127.0f; percent <= 5001.0f; percent += 0.37f) {
        ASSERT_EQ(legacyReflectivity(percent / 100.0f), vorlan_test::reference_legacy_reflectivity(percent / 100.0f))
            << percent;
    }
}

// Where a wrong comparison would show: a few floats either side of each
// point halfway between neighbouring table entries, and of the edges of the
// table and of each whole percent.
TEST(LegacyTranslation, ReflectivityAtEveryBoundaryAgreesWithTheNearestEntrySearch) {
    std::vector<double> boundaries = {127.1, 4999.0};
    double previous = 127.0;
    for (int i = 1; i <= 128; ++i) {
        const double entry = std::round(127.0 * std::pow(5000.0 / 127.0, i / 128.0) * 10.0) / 10.0;
        boundaries.push_back((previous + entry) / 2.0);
        boundaries.push_back(std::floor(entry));
        previous = entry;
    }
    std::vector<VorlanSensorImagePoint> points;
    for (double boundary : boundaries) {
        float fraction = float(boundary / 100.0);
        for (int step = 0; step < 24; ++step) {
            fraction = std::nextafter(fraction, 0.0f);
        }
        for (int step = 0; step < 48; ++step, fraction = std::nextafter(fraction, 100.0f)) {
            ASSERT_EQ(legacyReflectivity(fraction), vorlan_test::reference_legacy_reflectivity(fraction))
                << "intensity " << fraction << " near " << boundary << " %";
            points.push_back(image_point(0, 0, 1, VORLAN_POINT_VALID, 0, fraction));
        }
    }
    // The same intensities through whole batches, four points at a time,
    // with ones outside the table among them.
    for (float odd : {-0.1f, 0.0f, 49.99f, 1e30f, std::numeric_limits<float>::infinity(),
                      std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()}) {
        points.insert(points.begin() + 1 + points.size() / 2, image_point(0, 0, 1, VORLAN_POINT_VALID, 0, odd));
    }
    for (PositionLanes lanes : {PositionLanes::kOne, PositionLanes::kTwo, PositionLanes::kFour}) {
        std::vector<VorlanPoint> out(points.size());
        translateImagePoints(points.data(), points.size(), out.data(), lanes);
        for (size_t i = 0; i < points.size(); ++i) {
            ASSERT_EQ(out[i].reflectivity, vorlan_test::reference_legacy_reflectivity(points[i].intensity))
                << "intensity " << points[i].intensity << ", lanes " << static_cast<int>(lanes);
        }
    }
}

TEST(LegacyTranslation, RelativeTimesFollowTheRunningClock) {
    struct Case {
        std::vector<int64_t> times;
        std::vector<uint8_t> relative;
    } cases[] = {
        {{1000, 1010, 1400, 1390}, {0, 10, 255, 125}},
        {{1000, 1010, 1005}, {0, 10, 0}},
        {{0, 600, 600, 600}, {0, 255, 255, 90}},
        {{5, 5, 5}, {0, 0, 0}},
        {{std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), 0}, {0, 255, 255}},
    };
    for (const Case& c : cases) {
        std::vector<VorlanSensorImagePoint> points;
        for (int64_t time : c.times) {
            points.push_back(image_point(0, 0, 1, VORLAN_POINT_VALID, time));
        }
        std::vector<VorlanPoint> out(points.size());
        EXPECT_EQ(translateImagePoints(points.data(), points.size(), out.data()), c.times.front());
        std::vector<uint8_t> relative;
        for (const VorlanPoint& point : out) {
            relative.push_back(point.relative_timestamp);
        }
        EXPECT_EQ(relative, c.relative) << "from " << c.times.front();
    }
}

TEST(LegacyTranslation, SensorInformationBecomesTheSensorRecord) {
    VorlanSensorInformation info;
    std::memset(&info, 0, sizeof info);
    info.serial_number = 0x1122334455667788ull;
    std::strcpy(info.model_name, "Kiru 2");
    info.model = 12;
    info.reserved = 0xBEEF;
    info.firmware_major = 4;
    info.firmware_minor = 5;
    info.firmware_build = 6;
    info.firmware_reserved = 7;
    info.ptp_time = -42;
    info.return_count = 2;
    info.segment_count = 16;
    info.measurement_period = 1e-5f;

    struct Case {
        uint32_t legacy_flags;
        float celsius;
        uint32_t flags;
        uint16_t temperature;
    } cases[] = {
        {VORLAN_SENSOR_INFO_IS_PTP_CONNECTED, 25.0f, 0x1, 29815},
        {VORLAN_SENSOR_INFO_IS_PPS_CONNECTED | VORLAN_SENSOR_INFO_IS_MOCKED, -40.0f, 0x2, 23315},
        {VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED | VORLAN_SENSOR_INFO_IS_CALIBRATED, 262.0f, 0x4, 53515},
        {0x7F, -273.15f, 0x7, 0},
        {0, -300.0f, 0, 0},
        {0, 500.0f, 0, 0},
        {0, std::numeric_limits<float>::quiet_NaN(), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.celsius);
        info.flags = c.legacy_flags;
        info.last_reported_temperature = c.celsius;
        const VorlanSensor sensor = translateSensorInformation(0x0A00000B, info);
        EXPECT_EQ(sensor.flags, c.flags);
        EXPECT_EQ(sensor.temperature, c.temperature);
        // Every other field as the plain statement of the rules has it.
        const std::vector<uint8_t> expected = vorlan_test::reference_legacy_sensor_record(0x0A00000B, info);
        ASSERT_EQ(expected.size(), sizeof sensor);
        EXPECT_EQ(0, std::memcmp(expected.data(), &sensor, sizeof sensor));
    }
}

// ---- Whole batches, through the image-frame listener ----

class LegacyBatchTest : public vorlan_sdk2_test::LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        ASSERT_EQ(VorlanListenPoints(&vorlan_sdk2_test::PointBatches::record, &m_batches), VORLAN_SUCCESS);
    }

    static std::vector<VorlanSensorImagePoint> frame(size_t n, uint8_t segment, int64_t start) {
        std::vector<VorlanSensorImagePoint> points;
        for (size_t i = 0; i < n; ++i) {
            const uint8_t flags = i % 7 == 0 ? 0 : VORLAN_POINT_VALID;
            points.push_back(image_point(-0.4f + 0.001f * float(i), 0.1f * float(segment % 5), 2.0f + 0.05f * float(i),
                                         flags, start + int64_t(i) * 3, 0.01f * float(i % 300), segment));
        }
        return points;
    }

    vorlan_sdk2_test::PointBatches m_batches;
};

TEST_F(LegacyBatchTest, LongFramesGoOutInBatchesThatFit) {
    for (size_t n : {size_t(0), size_t(1), size_t(288), size_t(289), size_t(1000)}) {
        SCOPED_TRACE(n);
        m_batches.batches.clear();
        const auto points = frame(n, 3, 5000);
        LegacySensorImageDataCallback(77, n, points.data(), nullptr);
        const auto expected = vorlan_test::reference_legacy_batches(77, points.data(), n);
        ASSERT_EQ(m_batches.batches.size(), expected.size());
        for (size_t b = 0; b < expected.size(); ++b) {
            EXPECT_EQ(m_batches.batches[b].handle, 77u);
            EXPECT_EQ(m_batches.batches[b].timestamp, expected[b].timestamp);
            EXPECT_EQ(m_batches.batches[b].stride, sizeof(VorlanPoint));
            EXPECT_EQ(m_batches.batches[b].bytes, expected[b].points) << "batch " << b;
        }
    }
}

TEST_F(LegacyBatchTest, FramesTranslatedOnSeveralThreadsNeverMix) {
    constexpr int kThreads = 4;
    constexpr int kFrames = 100;
    std::vector<std::vector<VorlanSensorImagePoint>> frames;
    for (int t = 0; t < kThreads; ++t) {
        frames.push_back(frame(300, uint8_t(t), 1000 * t));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kFrames; ++i) {
                LegacySensorImageDataCallback(uint64_t(t), frames[t].size(), frames[t].data(), nullptr);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    ASSERT_EQ(m_batches.batches.size(), size_t(kThreads * kFrames * 2));
    for (const auto& batch : m_batches.batches) {
        const auto& source = frames.at(batch.handle);
        const auto expected = vorlan_test::reference_legacy_batches(batch.handle, source.data(), source.size());
        const auto& part = batch.n_points == 288 ? expected[0] : expected[1];
        ASSERT_EQ(batch.bytes, part.points) << "sensor " << batch.handle;
    }
}

}  // namespace
}  // namespace vorlan_sdk2
