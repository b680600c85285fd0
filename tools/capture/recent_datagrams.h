// Recognises a datagram seen again within a short window: a capture taken
// on several interfaces at once holds each datagram once per interface, a
// few microseconds apart.
#ifndef VORLAN_TOOLS_RECENT_DATAGRAMS_H
#define VORLAN_TOOLS_RECENT_DATAGRAMS_H

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <utility>

namespace vorlan_tool {

// FNV-1a, 64 bits: an accidental match of two different datagrams within
// one window is out of reach.
class DatagramHash {
public:
    void add(uint8_t byte) {
        m_hash ^= byte;
        m_hash *= 1099511628211ull;
    }
    void add(const uint8_t* bytes, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            add(bytes[i]);
        }
    }
    void add_u32(uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            add(uint8_t(value >> shift));
        }
    }
    uint64_t value() const { return m_hash; }

private:
    uint64_t m_hash = 14695981039346656037ull;
};

class RecentDatagrams {
public:
    static constexpr int64_t kDefaultWindowUs = 20'000;

    explicit RecentDatagrams(int64_t window_us = kDefaultWindowUs) : m_window_us(window_us) {}

    // True when `hash` was seen less than the window before `time` (times
    // in µs, mostly rising); otherwise remembers it and returns false.
    bool seen_again(uint64_t hash, int64_t time) {
        // After a clock jump backwards (captures joined end to end) what
        // came before lies in another stretch of time: start afresh, or every
        // datagram until the clock catches up would be compared with it.
        if (time < m_newest - m_window_us) {
            m_order.clear();
            m_counts.clear();
        }
        m_newest = m_order.empty() ? time : std::max(m_newest, time);
        while (!m_order.empty() && m_order.front().first < time - m_window_us) {
            const auto found = m_counts.find(m_order.front().second);
            if (found != m_counts.end() && --found->second == 0) {
                m_counts.erase(found);
            }
            m_order.pop_front();
        }
        if (m_counts.count(hash) != 0) {
            return true;
        }
        m_order.emplace_back(time, hash);
        ++m_counts[hash];
        return false;
    }

private:
    int64_t m_window_us;
    int64_t m_newest = 0;
    std::deque<std::pair<int64_t, uint64_t>> m_order;
    std::unordered_map<uint64_t, uint32_t> m_counts;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_RECENT_DATAGRAMS_H
