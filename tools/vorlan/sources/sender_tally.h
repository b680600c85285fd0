// Distinct senders, counted up to a bound. Anyone can send datagrams from
// any address, so what the tool keeps per sender address must not grow
// with a flood of spoofed ones: past the bound the count says "at least".
#ifndef VORLAN_TOOLS_SOURCES_SENDER_TALLY_H
#define VORLAN_TOOLS_SOURCES_SENDER_TALLY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>

namespace vorlan_tool {

// Four times the most sensors either library tracks at once.
constexpr std::size_t kTrackedSenders = 4096;

class SenderTally {
public:
    void note(uint64_t sender) {
        if (m_senders.size() < kTrackedSenders) {
            m_senders.insert(sender);
        } else if (m_senders.count(sender) == 0) {
            m_more = true;
        }
    }
    bool empty() const { return m_senders.empty(); }
    void clear() {
        m_senders.clear();
        m_more = false;
    }
    // "1 sender", "12 senders", "at least 4096 senders".
    std::string text() const {
        const std::size_t n = m_senders.size();
        return (m_more ? "at least " : "") + std::to_string(n) + (n == 1 && !m_more ? " sender" : " senders");
    }

private:
    std::unordered_set<uint64_t> m_senders;
    bool m_more = false;  // senders beyond the bound were heard
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SOURCES_SENDER_TALLY_H
