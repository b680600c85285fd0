#include "duplicate_filter.h"

#include <algorithm>
#include <cstring>

namespace vorlan_capture {

namespace {

constexpr std::size_t kInitialSlots = 1024;
constexpr uint64_t kPrime1 = 0x9e3779b185ebca87ULL;
constexpr uint64_t kPrime2 = 0xc2b2ae3d27d4eb4fULL;

uint64_t rotate_left(uint64_t v, int bits) { return (v << bits) | (v >> (64 - bits)); }

uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime1;
    h ^= h >> 32;
    return h;
}

}  // namespace

uint64_t payload_hash(const uint8_t* bytes, std::size_t size) {
    uint64_t h = kPrime1 ^ (uint64_t(size) * kPrime2);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes + i, 8);
        h = rotate_left(h ^ (word * kPrime2), 31) * kPrime1;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, bytes + i, size - i);
    h = rotate_left(h ^ (tail * kPrime2), 31) * kPrime1;
    const uint64_t mixed = mix(h);
    return mixed != 0 ? mixed : 1;
}

bool DuplicateFilter::find(const Generation& generation, const Entry& wanted) {
    if (generation.used == 0) {
        return false;
    }
    const std::size_t mask = generation.slots.size() - 1;
    for (std::size_t i = wanted.hash & mask;; i = (i + 1) & mask) {
        const Entry& entry = generation.slots[i];
        if (entry.hash == 0) {
            return false;
        }
        const int64_t apart = entry.time > wanted.time ? entry.time - wanted.time : wanted.time - entry.time;
        if (entry.hash == wanted.hash && entry.source == wanted.source && entry.size == wanted.size &&
            apart <= kWindowUs) {
            return true;
        }
    }
}

void DuplicateFilter::insert(Generation& generation, const Entry& entry) {
    if (generation.slots.empty() || (generation.used + 1) * 2 > generation.slots.size()) {
        std::vector<Entry> old;
        old.swap(generation.slots);
        generation.slots.assign(std::max(kInitialSlots, old.size() * 2), Entry());
        generation.used = 0;
        for (const Entry& kept : old) {
            if (kept.hash != 0) {
                insert(generation, kept);
            }
        }
    }
    const std::size_t mask = generation.slots.size() - 1;
    std::size_t i = entry.hash & mask;
    while (generation.slots[i].hash != 0) {
        i = (i + 1) & mask;
    }
    generation.slots[i] = entry;
    ++generation.used;
}

void DuplicateFilter::clear(Generation& generation) {
    if (generation.used != 0) {
        std::fill(generation.slots.begin(), generation.slots.end(), Entry());
    }
    generation.used = 0;
    generation.started = false;
}

bool DuplicateFilter::seen(uint32_t source, const uint8_t* payload, std::size_t size, int64_t time) {
    Entry entry;
    entry.hash = payload_hash(payload, size);
    entry.time = time;
    entry.source = source;
    entry.size = uint32_t(size);
    if (find(m_generations[0], entry) || find(m_generations[1], entry)) {
        return true;
    }
    // Two generations, each begun at least a window after the one before:
    // everything within a window of `time` is in one of them.
    Generation* current = &m_generations[m_current];
    const int64_t age = current->started ? (time > current->start ? time - current->start : current->start - time) : 0;
    if (current->started && age >= kWindowUs) {
        m_current ^= 1;
        current = &m_generations[m_current];
        clear(*current);
    }
    if (!current->started) {
        current->start = time;
        current->started = true;
    }
    insert(*current, entry);
    return false;
}

void DuplicateFilter::reset() {
    clear(m_generations[0]);
    clear(m_generations[1]);
    m_current = 0;
}

}  // namespace vorlan_capture
