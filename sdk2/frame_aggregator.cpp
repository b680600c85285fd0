#include "frame_aggregator.h"

#include <new>
#include <utility>

namespace vorlan_sdk2 {

FrameAggregator::FrameAggregator(SensorQuestions questions, FrameSink sink, Clock clock)
    : m_questions(questions), m_sink(sink), m_clock(clock) {}

void FrameAggregator::add_points(std::uint64_t handle, std::int64_t timestamp, std::size_t n_points,
                                 std::size_t stride, const std::uint8_t* points) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Only this thread compares the value with its own id, so the
        // stores need no ordering.
        m_aggregating_thread.store(std::this_thread::get_id(), std::memory_order_relaxed);
        apply_requests();
        const std::int64_t now = m_clock();
        Entry* entry = entry_for(handle, now);
        if (entry != nullptr) {
            entry->buffer->add_points(timestamp, n_points, stride, points, time_synced(handle, *entry), m_sink);
        }
        apply_requests();
        m_aggregating_thread.store(std::thread::id(), std::memory_order_relaxed);
    }
    // A request that came while the lock was held may have found it taken.
    drain_requests();
}

bool FrameAggregator::time_synced(std::uint64_t handle, Entry& entry) {
    if (m_questions.generation == nullptr) {
        return m_questions.is_time_synced(handle);
    }
    // The generation is read before the question, so a record replaced in
    // between moves it past the one kept, and the next batch asks again.
    const std::uint64_t generation = m_questions.generation();
    if (generation != entry.time_synced_generation) {
        entry.time_synced = m_questions.is_time_synced(handle);
        entry.time_synced_generation = generation;
    }
    return entry.time_synced;
}

FrameAggregator::Entry* FrameAggregator::entry_for(std::uint64_t handle, std::int64_t now) {
    auto found = m_buffers.find(handle);
    if (found != m_buffers.end()) {
        found->second.last_batch = now;
        return &found->second;
    }
    if (m_buffers.size() > kBuffersBeforePurge) {
        for (auto it = m_buffers.begin(); it != m_buffers.end();) {
            it = now - it->second.last_batch > kStaleAfter ? m_buffers.erase(it) : std::next(it);
        }
    }
    if (m_buffers.size() >= kMaxBuffers) {
        return nullptr;
    }
    const std::int32_t period = m_questions.is_fixed_10hz_scan(handle) ? kFixedScanPeriod : m_mode.load();
    try {
        Entry entry;
        entry.buffer = std::make_unique<FrameBuffer>(handle, period);
        entry.last_batch = now;
        return &m_buffers.emplace(handle, std::move(entry)).first->second;
    } catch (const std::bad_alloc&) {
        return nullptr;  // the batch is dropped; the next one tries again
    }
}

void FrameAggregator::request(unsigned what) {
    m_requests.fetch_or(what);
    drain_requests();
}

void FrameAggregator::drain_requests() {
    if (m_aggregating_thread.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        return;  // asked by a frame listener; add_points() applies it on its way out
    }
    // try_lock may fail spuriously or because add_points() holds the lock;
    // either way the request stays pending and the next add_points() applies
    // it before it touches a buffer, so nobody can see a stale buffer.
    while (m_requests.load() != 0 && m_mutex.try_lock()) {
        apply_requests();
        m_mutex.unlock();
    }
}

void FrameAggregator::apply_requests() {
    if (m_requests.load(std::memory_order_acquire) == 0) {
        return;  // the common case, without a locked instruction
    }
    const unsigned requests = m_requests.exchange(0);
    if ((requests & kDestroy) != 0) {
        m_buffers.clear();
    } else if ((requests & kClear) != 0) {
        for (auto& entry : m_buffers) {
            entry.second.buffer->clear();
        }
    }
}

std::size_t FrameAggregator::buffer_count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    apply_requests();
    return m_buffers.size();
}

}  // namespace vorlan_sdk2
