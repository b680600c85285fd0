// Losses of one kind (datagrams, point batches, sensors refused), told on
// standard error at most once per interval with the count since the last
// telling, so that a flood makes one line a second rather than one per
// datagram. Used by one thread at a time (its owner's lock or thread).
#ifndef VORLAN_SDK2_DROP_REPORT_H
#define VORLAN_SDK2_DROP_REPORT_H

#include <cstdint>

namespace vorlan_sdk2 {

class DropReport {
public:
    static constexpr std::int64_t kIntervalUs = 1000000;

    // Counts `n` losses at `now_us` (a clock that never goes back). True
    // when they are to be told now: the first loss at once, later ones once
    // an interval has passed since the last telling. `to_tell` is then the
    // count since the last telling, this one included.
    bool add(std::uint64_t n, std::int64_t now_us, std::uint64_t& to_tell) {
        m_total += n;
        m_untold += n;
        if (m_told_once && now_us - m_last_told < kIntervalUs) {
            return false;
        }
        m_told_once = true;
        m_last_told = now_us;
        to_tell = m_untold;
        m_untold = 0;
        return true;
    }

    std::uint64_t total() const { return m_total; }

private:
    std::uint64_t m_total = 0;
    std::uint64_t m_untold = 0;
    std::int64_t m_last_told = 0;
    bool m_told_once = false;
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_DROP_REPORT_H
