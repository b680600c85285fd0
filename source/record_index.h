// Where the records of an open capture lie in time, held coarsely: one
// entry in every kStride, plus the first and the last record. A capture of
// a day holds tens of millions of records; keeping every one in memory would
// cost gigabytes, while a seek needs only to land near its record and step
// over at most kStride record headers from there.
#ifndef VORLAN_SOURCE_RECORD_INDEX_H
#define VORLAN_SOURCE_RECORD_INDEX_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlan_sdk {

// One record of a capture: its time relative to the capture's start time
// and its byte offset.
struct RecordPosition {
    int64_t timestamp = 0;
    int64_t pointer = 0;
};

class CoarseRecordIndex {
public:
    static constexpr std::size_t kStride = 256;

    void clear() {
        std::vector<RecordPosition>().swap(m_kept);
        m_size = 0;
        m_back = RecordPosition();
        m_latest = 0;
        m_earliest = 0;
        m_time_ordered = true;
    }
    // Records are added in file order.
    void push_back(const RecordPosition& record) {
        if (m_size % kStride == 0) {
            m_kept.push_back(record);
        }
        m_time_ordered = m_time_ordered && (m_size == 0 || record.timestamp >= m_back.timestamp);
        m_latest = m_size == 0 ? record.timestamp : std::max(m_latest, record.timestamp);
        m_earliest = m_size == 0 ? record.timestamp : std::min(m_earliest, record.timestamp);
        m_back = record;
        ++m_size;
    }
    // The time of the latest record: the last one's unless time goes
    // backwards somewhere in the capture.
    int64_t latest() const { return m_latest; }
    // From the earliest record to the latest: the span of time the capture's
    // data covers. Captures merged by appending put earlier records after
    // later ones, so this is more than the last record's time there.
    int64_t extent() const { return m_latest - std::min<int64_t>(m_earliest, 0); }
    // Whether every record is at or after the one before it.
    bool time_ordered() const { return m_time_ordered; }
    // Records indexed.
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const RecordPosition& front() const { return m_kept.front(); }
    const RecordPosition& back() const { return m_back; }

    // Where a walk to the first record at or after `position` starts, on
    // records in time order: `from` is a record at or before the one sought
    // (the first record when none is before), `records` the most record
    // headers to step over from it before giving up (the sought record is
    // past the last).
    struct Walk {
        RecordPosition from;
        std::size_t first = 0;  // the number of the record `from`
        std::size_t records = 0;
    };
    Walk walk_to(int64_t position) const {
        // The first kept entry at or after `position`; the search stays in
        // bounds when the entries are not in time order.
        std::size_t first = 0;
        std::size_t count = m_kept.size();
        while (count > 0) {
            const std::size_t half = count / 2;
            if (m_kept[first + half].timestamp < position) {
                first += half + 1;
                count -= half + 1;
            } else {
                count = half;
            }
        }
        if (first == 0) {
            return Walk{m_kept.empty() ? RecordPosition() : m_kept.front(), 0, m_kept.empty() ? 0u : 1u};
        }
        // Kept entry k is record k * kStride; the records after the last
        // kept one run to the end.
        const std::size_t start = (first - 1) * kStride;
        const std::size_t end = first < m_kept.size() ? first * kStride + 1 : m_size;
        return Walk{m_kept[first - 1], start, end - start};
    }

    // A walk over every record from the first, for captures whose records
    // are not in time order.
    Walk walk_all() const { return Walk{m_kept.empty() ? RecordPosition() : m_kept.front(), 0, m_size}; }

private:
    std::vector<RecordPosition> m_kept;
    std::size_t m_size = 0;
    RecordPosition m_back;
    int64_t m_latest = 0;
    int64_t m_earliest = 0;
    bool m_time_ordered = true;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_RECORD_INDEX_H
