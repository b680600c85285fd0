// What waits to go to one browser: the newest frame of each sensor and a few
// text messages. A browser that reads slowly (or not at all) never makes it
// grow: a newer frame of the same sensor replaces the waiting one, and the
// replaced frame is counted as dropped.
#ifndef VORLAN_TOOLS_VIEW_CLIENT_QUEUE_H
#define VORLAN_TOOLS_VIEW_CLIENT_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace vorlan_tool {

using FrameBytes = std::shared_ptr<const std::vector<uint8_t>>;

// Not thread-safe: one session owns it and touches it from one thread.
class ClientQueue {
public:
    // At most this many text messages wait; the oldest give way.
    static constexpr std::size_t kMaxTexts = 32;

    // Keeps `frame` as the one waiting for `sensor_slot`.
    void push_frame(uint16_t sensor_slot, FrameBytes frame);
    void push_text(std::string text);

    // Texts first (they are small and say what the frames mean), then frames
    // in the order their sensors first had one waiting.
    bool pop_text(std::string& text);
    FrameBytes pop_frame();

    std::size_t frames_waiting() const { return m_order.size(); }
    uint64_t frames_dropped() const { return m_frames_dropped; }
    uint64_t texts_dropped() const { return m_texts_dropped; }

private:
    std::vector<FrameBytes> m_slots;  // by sensor slot
    std::deque<uint16_t> m_order;     // slots with a frame waiting, oldest first
    std::deque<std::string> m_texts;
    uint64_t m_frames_dropped = 0;
    uint64_t m_texts_dropped = 0;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_VIEW_CLIENT_QUEUE_H
