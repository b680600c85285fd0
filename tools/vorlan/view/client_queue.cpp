#include "client_queue.h"

#include <utility>

namespace vorlan_tool {

void ClientQueue::push_frame(uint16_t sensor_slot, FrameBytes frame) {
    if (!frame) {
        return;
    }
    if (sensor_slot >= m_slots.size()) {
        m_slots.resize(static_cast<std::size_t>(sensor_slot) + 1);
    }
    FrameBytes& slot = m_slots[sensor_slot];
    if (slot) {
        ++m_frames_dropped;
    } else {
        m_order.push_back(sensor_slot);
    }
    slot = std::move(frame);
}

void ClientQueue::push_text(std::string text) {
    if (m_texts.size() >= kMaxTexts) {
        m_texts.pop_front();
        ++m_texts_dropped;
    }
    m_texts.push_back(std::move(text));
}

bool ClientQueue::pop_text(std::string& text) {
    if (m_texts.empty()) {
        return false;
    }
    text = std::move(m_texts.front());
    m_texts.pop_front();
    return true;
}

FrameBytes ClientQueue::pop_frame() {
    if (m_order.empty()) {
        return nullptr;
    }
    const uint16_t slot = m_order.front();
    m_order.pop_front();
    return std::move(m_slots[slot]);
}

}  // namespace vorlan_tool
