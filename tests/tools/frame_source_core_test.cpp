#include "frame_source_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "console.h"
#include "sender_tally.h"

namespace vorlan_tool {
namespace {

// The shared part of a frame source alone: the test plays the library,
// telling of sensors and handing on frames as an adaptor would.
class SensorFeed : public FrameSourceCore {
public:
    explicit SensorFeed(Console& console) : FrameSourceCore(console) {}

    void sensor(uint64_t handle, uint64_t serial) {
        SensorFacts facts;
        facts.handle = handle;
        facts.serial_number = serial;
        note_sensor(facts);
    }
    void frame(uint64_t handle) {
        LibraryFrame frame;
        frame.handle = handle;
        deliver(frame);
    }

protected:
    bool start_library() override { return true; }
    bool open_capture(const std::string&) override { return true; }
    bool open_port() override { return true; }
    int feed() override { return 0; }
    void stop_library() override {}
    double wait_for_length() override { return 0.0; }
    void seek_library(double) override {}
    void set_library_speed(float) override {}
    bool look_up_sensor(uint64_t, SensorFacts&) override { return false; }
    bool capture_counts(vorlan_capture::SkipCounters&) override { return false; }
    int library() const override { return 1; }
    std::string frame_mode_text() const override { return "sweep"; }
};

// A flood of spoofed sensors that each say who they are once and are never
// heard again, while a real sensor keeps sending frames: the table stays
// bounded, the quiet ones give their place (and the summary counts them),
// and the sensor that sends stays known throughout.
TEST(FrameSourceCoreTest, SpoofedSensorsThatGoQuietGiveTheirPlaceToNewOnes) {
    struct Case {
        const char* name;
        std::size_t spoofed;
    };
    const Case cases[] = {
        {"fewer than the table holds", kTrackedSenders / 2},
        {"a long flood", kTrackedSenders * 40},
    };
    constexpr uint64_t kReal = 0xc0a801c9;  // 192.168.1.201
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ostringstream out;
        std::ostringstream err;
        Console console(out, err, false);
        SensorFeed feed(console);
        feed.sensor(kReal, 900001);
        std::size_t most = 0;
        for (std::size_t i = 0; i < c.spoofed; ++i) {
            feed.sensor(0x0a000000 + i, 1000000 + i);
            if (i % 512 == 0) {
                feed.frame(kReal);
                most = std::max(most, feed.sensors().size());
            }
        }
        const std::vector<SensorFacts> kept = feed.sensors();
        EXPECT_LE(std::max(most, kept.size()), kTrackedSenders);
        const bool real_kept = std::any_of(kept.begin(), kept.end(), [](const SensorFacts& sensor) {
            return sensor.handle == kReal && sensor.serial_number == 900001;
        });
        EXPECT_TRUE(real_kept);
        const std::size_t forgotten = c.spoofed + 1 - kept.size();
        const std::string summary = feed.summary();
        EXPECT_EQ(summary.find("sensors " + std::to_string(kept.size()) + "  frames"), 0u) << summary;
        if (forgotten == 0) {
            EXPECT_EQ(summary.find("forgotten"), std::string::npos) << summary;
        } else {
            EXPECT_NE(summary.find("(" + std::to_string(forgotten) + " more were forgotten when they went quiet"),
                      std::string::npos)
                << summary;
        }
    }
}

}  // namespace
}  // namespace vorlan_tool
