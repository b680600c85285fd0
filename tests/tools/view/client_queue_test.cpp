#include "client_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorlan_tool {
namespace {

FrameBytes frame_tagged(uint8_t tag) { return std::make_shared<const std::vector<uint8_t>>(1, tag); }

struct QueueCase {
    const char* name;
    std::vector<std::pair<uint16_t, uint8_t>> pushes;  // sensor slot, tag
    std::vector<uint8_t> popped;                        // tags, in order
    uint64_t dropped;
};

TEST(ClientQueue, KeepsNewestFramePerSensorInArrivalOrder) {
    const std::vector<QueueCase> cases = {
        {"nothing waits", {}, {}, 0},
        {"one per sensor", {{0, 1}, {1, 2}, {2, 3}}, {1, 2, 3}, 0},
        {"newer replaces older of the same sensor", {{0, 1}, {0, 2}, {0, 3}}, {3}, 2},
        {"a replaced frame keeps its sensor's place", {{1, 1}, {0, 2}, {1, 3}}, {3, 2}, 1},
        {"high slots grow the table", {{300, 7}, {2, 8}, {300, 9}}, {9, 8}, 1},
    };
    for (const QueueCase& c : cases) {
        SCOPED_TRACE(c.name);
        ClientQueue queue;
        for (const auto& [slot, tag] : c.pushes) {
            queue.push_frame(slot, frame_tagged(tag));
        }
        EXPECT_LE(queue.frames_waiting(), c.pushes.size());
        std::vector<uint8_t> popped;
        while (FrameBytes frame = queue.pop_frame()) {
            popped.push_back(frame->at(0));
        }
        EXPECT_EQ(popped, c.popped);
        EXPECT_EQ(queue.frames_dropped(), c.dropped);
        EXPECT_EQ(queue.frames_waiting(), 0u);
    }
}

TEST(ClientQueue, SlowReaderNeverHoldsMoreThanOneFramePerSensor) {
    ClientQueue queue;
    for (int i = 0; i < 10000; ++i) {
        queue.push_frame(static_cast<uint16_t>(i % 8), frame_tagged(static_cast<uint8_t>(i)));
        queue.push_text("status " + std::to_string(i));
    }
    EXPECT_EQ(queue.frames_waiting(), 8u);
    EXPECT_EQ(queue.frames_dropped(), 10000u - 8u);
    EXPECT_EQ(queue.texts_dropped(), 10000u - ClientQueue::kMaxTexts);
    std::string text;
    ASSERT_TRUE(queue.pop_text(text));
    EXPECT_EQ(text, "status " + std::to_string(10000 - ClientQueue::kMaxTexts));  // the oldest kept
}

TEST(ClientQueue, EmptyFrameIsIgnored) {
    ClientQueue queue;
    queue.push_frame(0, nullptr);
    EXPECT_EQ(queue.frames_waiting(), 0u);
    EXPECT_EQ(queue.pop_frame(), nullptr);
}

}  // namespace
}  // namespace vorlan_tool
