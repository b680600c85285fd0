// Recognises copies of datagrams: a mirror port that sees both directions,
// two interfaces merged into one capture, or a routed copy microseconds
// later all record one datagram twice. A datagram whose source and payload
// equal one seen within the last kWindowUs is a copy.
#ifndef VORLAN_COMMON_DUPLICATE_FILTER_H
#define VORLAN_COMMON_DUPLICATE_FILTER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlan_capture {

class DuplicateFilter {
public:
    static constexpr int64_t kWindowUs = 20000;

    // True when a datagram equal to this one was seen at most kWindowUs
    // before or after `time`; otherwise it is remembered. Payloads are
    // compared by a 64-bit hash with their size and source. Allocates only
    // while the busiest window seen so far grows.
    bool seen(uint32_t source, const uint8_t* payload, std::size_t size, int64_t time);
    // Forgets everything (after a seek: what comes next follows nothing).
    void reset();

private:
    struct Entry {
        uint64_t hash = 0;  // 0: empty
        int64_t time = 0;
        uint32_t source = 0;
        uint32_t size = 0;
    };
    // Open addressing; entries of one window of time at most.
    struct Generation {
        std::vector<Entry> slots;
        std::size_t used = 0;
        int64_t start = 0;
        bool started = false;
    };

    static bool find(const Generation& generation, const Entry& wanted);
    static void insert(Generation& generation, const Entry& entry);
    static void clear(Generation& generation);

    Generation m_generations[2];
    int m_current = 0;
};

// The 64-bit hash the filter compares payloads by.
uint64_t payload_hash(const uint8_t* bytes, std::size_t size);

}  // namespace vorlan_capture

#endif  // VORLAN_COMMON_DUPLICATE_FILTER_H
