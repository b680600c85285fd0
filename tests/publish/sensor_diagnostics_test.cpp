#include "sensor_diagnostics.h"

#include <gtest/gtest.h>

#include "fake_frame_source.h"

namespace vorlan_tool {
namespace {

using Clock = SensorDiagnostics::Clock;
using std::chrono::milliseconds;

std::string value_of(const DiagnosticReport& report, const std::string& key) {
    for (const auto& value : report.values) {
        if (value.first == key) {
            return value.second;
        }
    }
    return "<missing>";
}

Frame frame_at(const SensorFacts& facts, int64_t first_time, std::size_t points, uint64_t packets_lost = 0) {
    Frame frame;
    frame.sensor = &facts;
    frame.first_time = first_time;
    frame.n_points = points;
    frame.n_valid = points / 2;
    frame.losses.packets_lost = packets_lost;
    frame.losses.points_lost = packets_lost * 100;
    return frame;
}

// Each step: frames added (sensor time step 100 ms), then a report some
// time after the last frame, with what it must say.
TEST(SensorDiagnostics, LevelSaysWhatNeedsAttentionSinceThePreviousReport) {
    const SensorFacts facts = vorlan_test::fake_sensor(201, 900001);
    SensorDiagnostics diagnostics(facts, "/vorlan/ip192_168_1_201_sn900001/points");
    const Clock::time_point start = Clock::now();

    DiagnosticReport report = diagnostics.report(start);
    EXPECT_EQ(report.level, kDiagnosticStale);
    EXPECT_EQ(report.message, "no frames yet");

    const struct {
        std::size_t frames;
        uint64_t packets_lost_each;
        milliseconds report_after;
        uint8_t level;
        const char* message_has;
        const char* packets_lost_total;
    } steps[] = {
        {10, 0, milliseconds(10), kDiagnosticOk, "10.0 frames/s", "0"},
        {5, 2, milliseconds(10), kDiagnosticWarn, "10 packets lost, 1000 points lost", "10"},
        // The loss was reported once; the next period is clean again.
        {5, 0, milliseconds(10), kDiagnosticOk, "frames/s", "10"},
        {0, 0, milliseconds(5000), kDiagnosticStale, "no frames for", "10"},
        {1, 0, milliseconds(0), kDiagnosticOk, "frames/s", "10"},
    };
    int64_t sensor_time = 1700000000000000;
    Clock::time_point now = start;
    for (const auto& step : steps) {
        for (std::size_t i = 0; i < step.frames; ++i) {
            diagnostics.add_frame(frame_at(facts, sensor_time, 1000, step.packets_lost_each), true, now);
            sensor_time += 100000;
        }
        now += step.report_after;
        report = diagnostics.report(now);
        EXPECT_EQ(report.level, step.level) << report.message;
        EXPECT_NE(report.message.find(step.message_has), std::string::npos) << report.message;
        EXPECT_EQ(value_of(report, "Packets lost"), step.packets_lost_total);
    }
    EXPECT_EQ(value_of(report, "Frame rate (Hz)"), "10.00");
    EXPECT_EQ(value_of(report, "Points per frame"), "1000");
    EXPECT_EQ(value_of(report, "Valid points per frame"), "500");
    EXPECT_EQ(value_of(report, "Frames published"), "21");
    EXPECT_EQ(report.name, "vorlan: 192.168.1.201 serial 900001");
    EXPECT_EQ(report.hardware_id, "900001");
}

TEST(SensorDiagnostics, ReportsEveryFactAndWhatIsNotKnown) {
    SensorFacts facts = vorlan_test::fake_sensor(9, 0);
    facts.model.clear();
    facts.firmware.clear();
    facts.channels = 0;
    SensorDiagnostics diagnostics(facts, "/t");
    const Clock::time_point now = Clock::now();
    diagnostics.add_frame(frame_at(facts, 0, 10), false, now);
    DiagnosticReport report = diagnostics.report(now);
    EXPECT_EQ(report.level, kDiagnosticWarn);
    EXPECT_NE(report.message.find("1 frames not sent"), std::string::npos) << report.message;
    EXPECT_EQ(report.hardware_id, "192.168.1.9");
    for (const char* key : {"Model", "Serial number", "Firmware", "Channels", "Time sync", "Temperature (C)",
                            "Scan faults"}) {
        EXPECT_EQ(value_of(report, key), "unknown") << key;
    }

    SensorHealth health;
    health.time_sync = "GPS";
    health.has_temperature = true;
    health.temperature_celsius = 41.26;
    health.scan_faults = "mirror speed";
    diagnostics.update_health(health);
    diagnostics.add_frame(frame_at(facts, 100000, 10), true, now);
    report = diagnostics.report(now);
    EXPECT_EQ(report.level, kDiagnosticWarn);
    EXPECT_EQ(report.message, "scan faults: mirror speed");
    EXPECT_EQ(value_of(report, "Time sync"), "GPS");
    EXPECT_EQ(value_of(report, "Temperature (C)"), "41.3");
    // Without a client's word, the sensor's information tells of its clock.
    const struct {
        const char* sync;
        uint64_t serial;
        const char* said;
    } clocks[] = {{"PTP PPS", 7, "PTP PPS"}, {"", 7, "none"}, {"", 0, "unknown"}};
    for (const auto& clock : clocks) {
        SensorFacts told = facts;
        told.sync = clock.sync;
        told.serial_number = clock.serial;
        SensorDiagnostics plain(told, "/t");
        plain.add_frame(frame_at(told, 0, 10), true, now);
        EXPECT_EQ(value_of(plain.report(now), "Time sync"), clock.said) << clock.sync << " " << clock.serial;
    }
    EXPECT_EQ(value_of(report, "Frames not sent"), "1");
    EXPECT_EQ(value_of(report, "Topic"), "/t");
}

}  // namespace
}  // namespace vorlan_tool
