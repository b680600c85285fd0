// Faults seen from a sensor's reports and points: extreme temperature and
// humidity, and a scan that no longer covers the model's field of view.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core.h"
#include "sensor_fault.h"

namespace vorlan_sdk {
namespace {

constexpr VorlanSensorHandle kHandle = 0xC0A80102;
constexpr int64_t kSecond = 1'000'000;

struct Fault {
    VorlanSensorHandle handle;
    VorlanSensorErrorCode code;
    float value;
};

class FaultTrackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CallbackManager::instance().error_cb.set(on_error, this).ok());
    }
    void TearDown() override { CallbackManager::instance().clear(); }

    static void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message,
                         const void* data, size_t size, void* self) {
        EXPECT_STREQ(message, "");
        Fault fault{handle, code, 0.0f};
        EXPECT_EQ(size, sizeof(float));
        if (size == sizeof(float)) {
            std::memcpy(&fault.value, data, sizeof(float));
        }
        static_cast<FaultTrackerTest*>(self)->m_faults.push_back(fault);
    }

    // `count` points at time `t` spread evenly over the given spans, centred on 0.
    void feed(int64_t t, std::size_t count, float span_x, float span_z) {
        std::vector<VorlanSensorImagePoint> points(count);
        for (std::size_t i = 0; i < count; ++i) {
            const float f = count > 1 ? static_cast<float>(i) / static_cast<float>(count - 1) : 0.5f;
            points[i].timestamp = t;
            points[i].image_x = (f - 0.5f) * span_x;
            points[i].image_z = (0.5f - f) * span_z;
        }
        m_tracker.check_points(points.size(), points.data());
    }

    // Warm-up, then one full window of points with the given spans, then the
    // batch that has it judged.
    void run_one_window(float span_x, float span_z) {
        const int64_t t0 = 1'700'000'000 * kSecond;
        feed(t0, 1, span_x, span_z);
        feed(t0 + 60 * kSecond, 130'000, span_x, span_z);  // the last moment of the warm-up
        feed(t0 + 60 * kSecond + 1, 130'000, span_x, span_z);
        feed(t0 + 62 * kSecond, 1, 0.0f, 0.0f);
    }

    VorlanSensorInformation m_info{};
    FaultTracker m_tracker{kHandle, [this] { return m_info; }};
    std::vector<Fault> m_faults;
};

TEST_F(FaultTrackerTest, ExtremeTemperatureAndHumidityAreReportedAtOnce) {
    struct Case {
        float temperature;
        float humidity;
        std::vector<VorlanSensorErrorCode> codes;
    };
    const std::vector<Case> cases = {
        {-41.0f, 50.0f, {VORLAN_FAULT_EXTREME_TEMPERATURE}},
        {-40.0f, 50.0f, {}},
        {80.0f, 50.0f, {}},
        {80.5f, 50.0f, {VORLAN_FAULT_EXTREME_TEMPERATURE}},
        {20.0f, 99.0f, {}},
        {20.0f, 99.5f, {VORLAN_FAULT_EXTREME_HUMIDITY}},
        {95.0f, 100.0f, {VORLAN_FAULT_EXTREME_TEMPERATURE, VORLAN_FAULT_EXTREME_HUMIDITY}},
    };
    for (const Case& c : cases) {
        m_faults.clear();
        m_info.last_reported_temperature = c.temperature;
        m_info.last_reported_humidity = c.humidity;
        m_tracker.check_info_fault();
        ASSERT_EQ(m_faults.size(), c.codes.size()) << c.temperature << " " << c.humidity;
        for (std::size_t i = 0; i < c.codes.size(); ++i) {
            EXPECT_EQ(m_faults[i].handle, kHandle);
            EXPECT_EQ(m_faults[i].code, c.codes[i]);
            EXPECT_EQ(m_faults[i].value,
                      c.codes[i] == VORLAN_FAULT_EXTREME_TEMPERATURE ? c.temperature : c.humidity);
        }
    }
}

TEST_F(FaultTrackerTest, LastingConditionIsReportedOnEveryInformationPacket) {
    m_info.last_reported_temperature = 85.0f;
    m_tracker.check_info_fault();
    m_tracker.check_info_fault();
    EXPECT_EQ(m_faults.size(), 2u);
}

struct CoverageCase {
    VorlanSensorModel model;
    float span_x;
    float span_z;
    bool fault;
};

class CoverageTest : public FaultTrackerTest, public ::testing::WithParamInterface<CoverageCase> {};

TEST_P(CoverageTest, WindowIsJudgedAgainstTheModelsFieldOfView) {
    const CoverageCase c = GetParam();
    m_info.model = c.model;
    run_one_window(c.span_x, c.span_z);
    if (c.fault) {
        ASSERT_EQ(m_faults.size(), 1u);
        EXPECT_EQ(m_faults[0].code, VORLAN_FAULT_SCAN_COVERAGE);
        EXPECT_EQ(m_faults[0].handle, kHandle);
        EXPECT_FLOAT_EQ(m_faults[0].value, c.span_x);
    } else {
        EXPECT_TRUE(m_faults.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, CoverageTest,
    ::testing::Values(CoverageCase{15, 1.5f, 0.0f, true},    // 90°: 2.0 expected
                      CoverageCase{15, 2.1f, 0.0f, false},
                      CoverageCase{11, 1.2f, 0.0f, false},   // 60° × unchecked vertical
                      CoverageCase{11, 1.1f, 0.0f, true},
                      CoverageCase{3, 1.2f, 0.3f, true},     // 24° vertical needs 0.425
                      CoverageCase{3, 1.2f, 0.5f, false},
                      CoverageCase{6, 0.27f, 0.27f, false},  // 15 × 15
                      CoverageCase{0, 0.0f, 0.0f, false},    // no field of view known
                      CoverageCase{22, 0.0f, 0.0f, false},
                      CoverageCase{23, 0.0f, 0.0f, false},   // beyond the table
                      CoverageCase{0xFFFF, 0.0f, 0.0f, false}),
    [](const ::testing::TestParamInfo<CoverageCase>& info) {
        return "Model" + std::to_string(info.param.model) + "Case" + std::to_string(info.index);
    });

// The horizontal extent a window reports takes in every point of a batch,
// wherever its extremes lie, and passes over coordinates that are NaN.
TEST_F(FaultTrackerTest, ExtentTakesInEveryPointAndPassesOverNaN) {
    constexpr std::size_t kPoints = 130'000;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        std::vector<std::pair<std::size_t, float>> x_at;  // every other point is at 0
        float extent;
    };
    const std::vector<Case> cases = {
        {"extremes at the ends", {{0, -0.4f}, {kPoints - 1, 0.5f}}, 0.9f},
        {"extremes inside", {{7, 0.3f}, {64'001, -0.6f}}, 0.9f},
        {"later extremes replace earlier ones", {{10, 0.1f}, {20, 0.7f}, {30, -0.1f}, {40, -0.2f}}, 0.9f},
        {"NaN between", {{1, nan}, {2, -0.25f}, {3, nan}, {kPoints - 2, 0.25f}, {kPoints - 1, nan}}, 0.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_faults.clear();
        m_info.model = 15;  // 90°: a span below 2.0 is reported
        FaultTracker tracker(kHandle, [this] { return m_info; });
        std::vector<VorlanSensorImagePoint> points(kPoints);
        const int64_t t0 = 1'700'000'000 * kSecond;
        points[0].timestamp = t0;
        tracker.check_points(1, points.data());
        for (VorlanSensorImagePoint& point : points) {
            point.timestamp = t0 + 61 * kSecond;  // opens the window
        }
        for (const auto& [index, x] : c.x_at) {
            points[index].image_x = x;
        }
        tracker.check_points(points.size(), points.data());
        points[0].timestamp = t0 + 63 * kSecond;
        tracker.check_points(1, points.data());
        ASSERT_EQ(m_faults.size(), 1u);
        EXPECT_FLOAT_EQ(m_faults[0].value, c.extent);
    }
}

TEST_F(FaultTrackerTest, NothingIsJudgedDuringTheFirstMinute) {
    m_info.model = 15;
    const int64_t t0 = 5 * kSecond;
    for (int64_t t = t0; t <= t0 + 60 * kSecond; t += 2 * kSecond) {
        feed(t, 130'000, 0.1f, 0.0f);
    }
    EXPECT_TRUE(m_faults.empty());
}

TEST_F(FaultTrackerTest, WindowWaitsForEnoughPoints) {
    m_info.model = 15;
    const int64_t t0 = 1'000 * kSecond;
    feed(t0, 1, 0.1f, 0.0f);
    int64_t t = t0 + 61 * kSecond;
    // 100 batches of 1,250 points reach 125,000 with the last one.
    for (int i = 0; i < 100; ++i, t += kSecond) {
        feed(t, 1'250, 0.1f, 0.0f);
        ASSERT_TRUE(m_faults.empty()) << i;
    }
    feed(t, 1, 0.1f, 0.0f);
    ASSERT_EQ(m_faults.size(), 1u);
    EXPECT_FLOAT_EQ(m_faults[0].value, 0.1f);
}

TEST_F(FaultTrackerTest, WindowsOpenAndCloseForModelsThatAreNeverJudged) {
    m_info.model = 23;
    run_one_window(0.1f, 0.0f);
    EXPECT_TRUE(m_faults.empty());

    // The window above was closed: the next one opens and is judged at once
    // against the model the sensor now reports.
    m_info.model = 15;
    const int64_t t = 1'700'000'000 * kSecond + 63 * kSecond;
    feed(t, 130'000, 0.2f, 0.0f);
    feed(t + 2 * kSecond, 1, 0.0f, 0.0f);
    ASSERT_EQ(m_faults.size(), 1u);
    EXPECT_FLOAT_EQ(m_faults[0].value, 0.2f);
}

TEST_F(FaultTrackerTest, TimesAtTheEndsOfTheClockDoNotOverflow) {
    m_info.model = 15;
    const int64_t lowest = std::numeric_limits<int64_t>::min();
    const int64_t highest = std::numeric_limits<int64_t>::max();
    feed(highest - 30 * kSecond, 1, 0.1f, 0.0f);
    feed(highest, 130'000, 0.1f, 0.0f);  // still inside the warm-up
    feed(lowest, 130'000, 0.1f, 0.0f);   // time ran backwards: not judged
    EXPECT_TRUE(m_faults.empty());

    FaultTracker tracker(kHandle, [this] { return m_info; });
    std::vector<VorlanSensorImagePoint> points(130'000);
    points[0].timestamp = lowest;
    tracker.check_points(1, points.data());
    points[0].timestamp = highest;  // opens the window
    tracker.check_points(points.size(), points.data());
    tracker.check_points(0, nullptr);
    EXPECT_TRUE(m_faults.empty());
}

}  // namespace
}  // namespace vorlan_sdk
