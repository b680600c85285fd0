// The frame source over either library, on the simulator's capture: the
// same selection, numbering, whole-frame rule, interruption and playback
// control whichever library decodes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "console.h"
#include "frame_source.h"
#include "stop_signal.h"
#include "support/capture_builder.h"
#include "tool_run.h"
#include "yard_capture_suite.h"

namespace vorlan_tool {
namespace {

using vorlan_test::TemporaryDirectory;

struct Handed {
    std::string sensor;
    std::size_t index = 0;
    std::size_t sensor_index = 0;
    bool whole = false;
    std::size_t points = 0;
    std::size_t valid = 0;
};

struct SourceRun {
    int code = -1;
    bool opened = false;
    std::vector<Handed> frames;
    std::string err;
};

class FrameSourceTest : public YardCaptureSuite<int> {
protected:


    FrameSourceSettings settings() const {
        FrameSourceSettings settings;
        settings.library = GetParam();
        settings.capture = capture();
        return settings;
    }

    // Runs a source to its end; `on_frame` may end the run or act on it.
    SourceRun run_source(const FrameSourceSettings& settings,
            const std::function<bool(const Frame&, FrameSource&)>& on_frame = {}) {
        std::ostringstream out;
        std::ostringstream err;
        Console console(out, err, false);
        std::unique_ptr<FrameSource> source = make_frame_source(settings.library, console);
        SourceRun result;
        result.opened = source->open(settings);
        if (result.opened) {
            result.code = source->run([&](const Frame& frame) {
                result.frames.push_back({frame.sensor->name, frame.index, frame.sensor_index, frame.whole,
                                         frame.n_points, frame.n_valid});
                return on_frame ? on_frame(frame, *source) : true;
            });
        }
        result.err = err.str();
        return result;
    }

};


TEST_P(FrameSourceTest, NumbersFramesOverallAndPerSensorFromZero) {
    const SourceRun all = run_source(settings());
    ASSERT_TRUE(all.opened) << all.err;
    EXPECT_EQ(all.code, 0) << all.err;
    ASSERT_GT(all.frames.size(), 4u);
    std::map<std::string, std::size_t> next;
    for (std::size_t i = 0; i < all.frames.size(); ++i) {
        const Handed& frame = all.frames[i];
        EXPECT_EQ(frame.index, i);
        EXPECT_EQ(frame.sensor_index, next[frame.sensor]++) << frame.sensor;
        // A sensor's first frame starts wherever its traffic starts.
        if (frame.sensor_index == 0) {
            EXPECT_FALSE(frame.whole) << frame.sensor;
        }
        EXPECT_LE(frame.valid, frame.points);
    }
}

TEST_P(FrameSourceTest, SelectsAsAsked) {
    const SourceRun all = run_source(settings());
    ASSERT_FALSE(all.frames.empty());
    const std::string first_sensor = all.frames.front().sensor;
    const std::string first_address = first_sensor.substr(0, first_sensor.find(' '));

    struct Case {
        const char* name;
        std::function<void(FrameSourceSettings&)> set;
        std::function<void(const SourceRun&)> check;
    };
    const Case cases[] = {
        {"frame limit", [](FrameSourceSettings& s) { s.frame_limit = 3; },
         [](const SourceRun& r) { EXPECT_EQ(r.frames.size(), 3u); }},
        {"one sensor by address",
         [&](FrameSourceSettings& s) { s.sensor = first_address; },
         [&](const SourceRun& r) {
             ASSERT_FALSE(r.frames.empty());
             for (const Handed& f : r.frames) EXPECT_EQ(f.sensor, first_sensor);
             EXPECT_EQ(r.frames.front().sensor_index, 0u);
         }},
        {"whole frames only",
         [](FrameSourceSettings& s) { s.whole_frames_only = true; },
         [&](const SourceRun& r) {
             ASSERT_FALSE(r.frames.empty());
             for (const Handed& f : r.frames) EXPECT_TRUE(f.whole);
             // Numbering counts what is handed out.
             EXPECT_EQ(r.frames.front().index, 0u);
             EXPECT_EQ(r.frames.front().sensor_index, 0u);
         }},
        {"from half a second on",
         [](FrameSourceSettings& s) { s.start = 0.5; },
         [&](const SourceRun& r) {
             EXPECT_FALSE(r.frames.empty());
             EXPECT_LT(r.frames.size(), all.frames.size());
         }},
        {"up to half a second",
         [](FrameSourceSettings& s) { s.end = 0.5; },
         [&](const SourceRun& r) {
             EXPECT_FALSE(r.frames.empty());
             EXPECT_LT(r.frames.size(), all.frames.size());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameSourceSettings s = settings();
        c.set(s);
        const SourceRun r = run_source(s);
        ASSERT_TRUE(r.opened) << r.err;
        EXPECT_EQ(r.code, 0) << r.err;
        c.check(r);
    }
}

TEST_P(FrameSourceTest, AStopRequestEndsTheRunWith130KeepingWhatWasHandedOut) {
    const SourceRun r = run_source(settings(), [](const Frame& frame, FrameSource&) {
        if (frame.index == 1) {
            request_stop();
        }
        return true;
    });
    EXPECT_EQ(r.code, 130);
    EXPECT_EQ(r.frames.size(), 2u);
}

TEST_P(FrameSourceTest, RefusesWhatCannotBeReplayed) {
    const std::string pipe = s_folder->file("pipe" + std::to_string(GetParam()));
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::function<void(FrameSourceSettings&)> set;
        const char* said;
    };
    const Case cases[] = {
        {"a named pipe", [&](FrameSourceSettings& s) { s.capture = pipe; }, "not a regular file"},
        {"a folder", [&](FrameSourceSettings& s) { s.capture = s_folder->path(); }, "is a directory"},
        {"a missing file", [&](FrameSourceSettings& s) { s.capture = s_folder->file("none.pcap"); },
         "No such file"},
        {"a start beyond the end", [](FrameSourceSettings& s) { s.start = 20.0; }, "beyond the capture's end"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameSourceSettings s = settings();
        c.set(s);
        const SourceRun r = run_source(s);
        EXPECT_FALSE(r.opened);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
}

TEST_P(FrameSourceTest, PausedPlaybackStepsOneFrameAtATime) {
    std::atomic<std::size_t> handed{0};
    std::ostringstream out;
    std::ostringstream err;
    Console console(out, err, false);
    std::unique_ptr<FrameSource> source = make_frame_source(GetParam(), console);
    ASSERT_TRUE(source->open(settings())) << err.str();
    PlaybackControl* playback = source->playback();
    ASSERT_NE(playback, nullptr);
    EXPECT_GT(playback->length(), 0.5);
    playback->set_paused(true);
    std::thread runner([&] {
        source->run([&](const Frame&) {
            ++handed;
            return true;
        });
    });
    const auto wait_for = [&](std::size_t count) {
        for (int i = 0; i < 1000 && handed.load() < count; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(handed.load(), 0u);
    playback->step();
    wait_for(1);
    EXPECT_GE(handed.load(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::size_t after_step = handed.load();
    EXPECT_LE(after_step, 2u);  // a step may end inside a packet that closes two frames
    playback->seek(0.2);
    playback->set_speed(0.0f);
    playback->set_paused(false);
    wait_for(after_step + 3);
    request_stop();
    runner.join();
    EXPECT_GT(handed.load(), after_step);
}

INSTANTIATE_TEST_SUITE_P(BothLibraries, FrameSourceTest, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& info) { return "sdk" + std::to_string(info.param); });

}  // namespace
}  // namespace vorlan_tool
