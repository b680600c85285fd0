#include "viewer.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "page_client.h"
#include "stop_signal.h"
#include "synthetic_frame_source.h"

namespace vorlan_tool {
namespace {

TEST(Viewer, PageCommandsSteerPlaybackAndBadOnesChangeNothing) {
    struct Case {
        std::vector<std::string> commands;
        bool paused;
        double position;
        float speed;
        int steps;
    };
    const std::vector<Case> cases = {
        {{"pause"}, true, 0.0, 1.0f, 0},
        {{"pause", "play"}, false, 0.0, 1.0f, 0},
        {{"step"}, true, 0.0, 1.0f, 1},
        {{"seek 5"}, false, 5.0, 1.0f, 0},
        // A paused page still sees the frame at the time it sought.
        {{"pause", "seek 5"}, true, 5.0, 1.0f, 1},
        {{"seek 1e9"}, false, 20.0, 1.0f, 0},
        {{"seek -3"}, false, 0.0, 1.0f, 0},
        {{"speed 2"}, false, 0.0, 2.0f, 0},
        {{"speed 0"}, false, 0.0, 0.0f, 0},
        {{"seek nan", "seek inf", "seek 5x", "seek ", "seek", "speed 9", "speed -1", "speed abc", "resume",
          std::string(5000, 'x'), "pause\n", "SEEK 4"},
         false,
         0.0,
         1.0f,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commands.front());
        SyntheticFrameSource source(SyntheticSourceSettings{});
        Viewer viewer(source);
        for (const std::string& command : c.commands) {
            viewer.handle_command(command);
        }
        EXPECT_EQ(source.paused(), c.paused);
        EXPECT_DOUBLE_EQ(source.position(), c.position);
        EXPECT_EQ(source.speed(), c.speed);
        EXPECT_EQ(source.steps_pending(), c.steps);
    }
}

TEST(Viewer, LiveSourceIgnoresPlaybackCommands) {
    SyntheticSourceSettings settings;
    settings.live = true;
    SyntheticFrameSource source(settings);
    Viewer viewer(source);
    for (const char* command : {"pause", "step", "seek 3", "speed 2"}) {
        viewer.handle_command(command);
    }
    EXPECT_FALSE(source.paused());
    EXPECT_EQ(source.steps_pending(), 0);
    EXPECT_NE(viewer.hello_text().find("\"live\":true"), std::string::npos);
}

// The whole path: the source's frames reach a page, a paused capture still
// shows a frame to a page that opens later, and a stop ends the run.
TEST(Viewer, StreamsFramesToPagesUntilStopped) {
    clear_stop_request();
    SyntheticSourceSettings settings;
    settings.sensors = 3;
    settings.points = 500;
    settings.seconds = 1.0;
    settings.speed = 0.0f;
    SyntheticFrameSource source(settings);
    Viewer viewer(source, 0.0, 0.0f, true);
    std::string error;
    ASSERT_TRUE(viewer.start_server(ViewServerSettings{}, error)) << error;
    PageClient page(viewer.port());
    ASSERT_TRUE(page.wait_for([&] { return !page.texts().empty(); }));
    std::thread run([&] { EXPECT_EQ(viewer.run(), 0); });
    // The capture runs to its end; its last frames stay for later pages.
    ASSERT_TRUE(page.wait_for([&] { return viewer.stats().frames_published == 30; }));
    PageClient late(viewer.port());
    EXPECT_TRUE(late.wait_for([&] { return late.frames().size() >= 3; }));
    // A seek after the end replays from there.
    late.send("seek 0.5");
    EXPECT_TRUE(late.wait_for([&] { return viewer.stats().frames_published >= 45; }));
    request_stop();
    run.join();
    clear_stop_request();
    const std::string hello = viewer.hello_text();
    EXPECT_NE(hello.find("\"name\":\"10.0.0.12 serial 900003\""), std::string::npos) << hello;
    EXPECT_NE(hello.find("\"length\":1"), std::string::npos) << hello;
}

}  // namespace
}  // namespace vorlan_tool
