#include "frame_aggregator.h"

#include <cinttypes>
#include <cstdio>
#include <new>
#include <thread>
#include <utility>

namespace vorlan_sdk2 {

FrameAggregator::FrameAggregator(SensorQuestions questions, FrameSink sink, Clock clock)
    : m_questions(questions), m_sink(sink), m_clock(clock) {}

inline bool FrameAggregator::time_synced(std::uint64_t handle, Entry& entry) {
    if (m_questions.generation == nullptr) {
        return m_questions.is_time_synced(handle);
    }
    // The generation is read before the question, so a record replaced in
    // between moves it past the one kept, and the next batch asks again.
    const std::uint64_t generation = m_questions.generation->load(std::memory_order_acquire);
    if (generation != entry.time_synced_generation) {
        entry.time_synced = m_questions.is_time_synced(handle);
        entry.time_synced_generation = generation;
    }
    return entry.time_synced;
}

void FrameAggregator::add_points(std::uint64_t handle, std::int64_t timestamp, std::size_t n_points,
                                 std::size_t stride, const std::uint8_t* points) {
    claim();
    if (requested()) {
        apply_requests();
    }
    if (++m_batches_unclocked >= kBatchesPerClockReading) {
        read_clock();
    }
    Entry* entry = m_last_entry;
    if (entry != nullptr && m_last_handle == handle) {
        entry->heard = true;
    } else {
        entry = find_entry(handle);
    }
    if (entry != nullptr) {
        const std::size_t dropped =
            entry->buffer->add_points(timestamp, n_points, stride, points, time_synced(handle, *entry), m_sink);
        if (dropped != 0) {
            count_drop(dropped, false);
        }
    } else if (n_points != 0) {
        count_drop(n_points, true);
    }
    // A frame listener's request, or one that came while the buffers were held.
    if (requested()) {
        apply_requests();
    }
    unclaim();
    // One that came between the last look and the unclaim: the client thread
    // that made it may have found the buffers still held.
    if (requested()) {
        drain_requests();
    }
}

void FrameAggregator::claim() {
    while (!try_claim()) {
        std::this_thread::yield();  // a client thread is clearing or destroying buffers
    }
}

FrameAggregator::Entry* FrameAggregator::find_entry(std::uint64_t handle) {
    auto found = m_buffers.find(handle);
    Entry* entry = nullptr;
    if (found != m_buffers.end()) {
        entry = &found->second;
        entry->heard = true;
    } else {
        entry = new_entry(handle);  // stamped with the clock just read
    }
    if (entry != nullptr) {
        m_last_handle = handle;
        m_last_entry = entry;
    }
    return entry;
}

void FrameAggregator::purge_silent(std::int64_t now) {
    for (auto it = m_buffers.begin(); it != m_buffers.end();) {
        it = now - it->second.last_heard > kStaleAfter ? m_buffers.erase(it) : std::next(it);
    }
    m_last_entry = nullptr;
}

void FrameAggregator::count_drop(std::size_t n_points, bool no_buffer) {
    ++m_drops.batches;
    m_drops.points += n_points;
    m_untold_points += n_points;
    std::uint64_t batches = 0;
    if (!m_drop_report.add(1, m_clock(), batches)) {
        return;
    }
    std::fprintf(stderr,
                 "vorlan_sdk2: frame aggregation: %" PRIu64 " point batches (%" PRIu64
                 " points) dropped since the last report%s\n",
                 batches, m_untold_points,
                 no_buffer ? ": every frame buffer is held by a sensor heard in the last 2 s, or memory ran out"
                           : ": a sensor changed its point stride, or memory ran out");
    m_untold_points = 0;
}

FrameAggregator::Entry* FrameAggregator::new_entry(std::uint64_t handle) {
    const std::int64_t now = read_clock();
    if (m_buffers.size() > kBuffersBeforePurge) {
        purge_silent(now);
    }
    if (m_buffers.size() >= kMaxBuffers) {
        return nullptr;
    }
    const std::int32_t period = m_questions.is_fixed_10hz_scan(handle) ? kFixedScanPeriod : m_mode.load();
    try {
        Entry entry;
        entry.buffer = std::make_unique<FrameBuffer>(handle, period);
        entry.last_heard = now;
        return &m_buffers.emplace(handle, std::move(entry)).first->second;
    } catch (const std::bad_alloc&) {
        return nullptr;  // the batch is dropped; the next one tries again
    }
}

std::int64_t FrameAggregator::read_clock() {
    m_batches_unclocked = 0;
    const std::int64_t now = m_clock();
    bool silent = false;
    for (auto& buffer : m_buffers) {
        Entry& entry = buffer.second;
        if (entry.heard) {
            entry.last_heard = now;
            entry.heard = false;
        } else if (now - entry.last_heard > kStaleAfter) {
            silent = true;
        }
    }
    // Memory held for senders that went away is given back; a few sensors
    // keep their partial frames however long they pause.
    if (silent && m_buffers.size() > kBuffersBeforePurge) {
        purge_silent(now);
    }
    return now;
}

void FrameAggregator::request(unsigned what) {
    m_requests.fetch_or(what);
    drain_requests();
}

void FrameAggregator::drain_requests() {
    // When the buffers are held, by add_points() or by a frame listener's own
    // thread, the holder carries the request out before it lets go, or the
    // next add_points() does before it touches a buffer: nobody can see a
    // buffer that should have been cleared.
    while (requested() && try_claim()) {
        apply_requests();
        unclaim();
    }
}

void FrameAggregator::apply_requests() {
    if (!requested()) {
        return;
    }
    const unsigned requests = m_requests.exchange(0);
    if ((requests & kDestroy) != 0) {
        m_buffers.clear();
        m_last_entry = nullptr;
    } else if ((requests & kClear) != 0) {
        for (auto& entry : m_buffers) {
            entry.second.buffer->clear();
        }
    }
}

std::size_t FrameAggregator::buffer_count() {
    claim();
    apply_requests();
    const std::size_t count = m_buffers.size();
    unclaim();
    return count;
}

std::size_t FrameAggregator::allocated_bytes() {
    claim();
    apply_requests();
    std::size_t bytes = 0;
    for (const auto& buffer : m_buffers) {
        bytes += buffer.second.buffer->allocated_bytes();
    }
    unclaim();
    return bytes;
}

FrameAggregator::Drops FrameAggregator::drops() {
    claim();
    const Drops drops = m_drops;
    unclaim();
    return drops;
}

}  // namespace vorlan_sdk2
