// Cuts every sensor's point batches into frames: one FrameBuffer per sensor
// handle, created with the sensor's first batch.
//
// add_points() runs on the thread delivering points and publishes frames
// from that thread. Frame listeners may block it (a full frame FIFO waits for
// its reader), so clear() and destroy_all(), which client threads call, never
// wait for a running add_points(): when it is busy they leave a request that
// it carries out before it returns, or at the latest before it next touches a
// buffer.
#ifndef VORLAN_SDK2_FRAME_AGGREGATOR_H
#define VORLAN_SDK2_FRAME_AGGREGATOR_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "frame_buffer.h"

namespace vorlan_sdk2 {

class FrameAggregator {
public:
    // What the aggregator needs to know about a sensor. is_fixed_10hz_scan is
    // asked when a sensor's buffer is made. is_time_synced is asked per batch,
    // unless `generation` is given: the answer is then kept per sensor and
    // asked again only once the generation has moved (the registry's answers
    // change only when a record does), which saves the registry's lock on
    // every batch.
    struct SensorQuestions {
        bool (*is_fixed_10hz_scan)(std::uint64_t handle) = nullptr;
        bool (*is_time_synced)(std::uint64_t handle) = nullptr;
        std::uint64_t (*generation)() = nullptr;
    };
    using Clock = std::int64_t (*)();  // microseconds, never going back

    // Sensors that scan at a fixed 10 Hz are cut into 100 ms frames, whatever
    // the mode.
    static constexpr std::int32_t kFixedScanPeriod = 100000;
    // Past this many buffers, a new sensor first clears out the buffers of
    // sensors silent for kStaleAfter microseconds.
    static constexpr std::size_t kBuffersBeforePurge = 16;
    static constexpr std::int64_t kStaleAfter = 2000000;
    // Buffers kept at most. When that many sensors have all sent points
    // within kStaleAfter, the batches of a further sensor are dropped until
    // one falls silent: senders of stray points from many addresses cannot
    // make memory grow, nor take the buffers of the sensors already heard.
    static constexpr std::size_t kMaxBuffers = 64;

    FrameAggregator(SensorQuestions questions, FrameSink sink, Clock clock);
    FrameAggregator(const FrameAggregator&) = delete;
    FrameAggregator& operator=(const FrameAggregator&) = delete;

    // 0 for natural frames, else the frame period in microseconds. Applies to
    // buffers created afterwards.
    void set_mode(std::int32_t mode) { m_mode.store(mode); }
    std::int32_t mode() const { return m_mode.load(); }

    // Data source thread. Calls to it must not overlap (the point listener
    // list runs one batch at a time).
    void add_points(std::uint64_t handle, std::int64_t timestamp, std::size_t n_points, std::size_t stride,
                    const std::uint8_t* points);

    // Any thread, frame listeners included. Empties every buffer, keeping each sensor's time base.
    void clear() { request(kClear); }
    // Any thread. Destroys every buffer.
    void destroy_all() { request(kDestroy); }

    // Buffers alive, after carrying out pending requests.
    std::size_t buffer_count();

private:
    enum : unsigned { kClear = 1, kDestroy = 2 };

    void request(unsigned what);
    // Carries out pending requests; m_mutex held.
    void apply_requests();
    // Carries out pending requests if nobody else is aggregating.
    void drain_requests();
    struct Entry;
    Entry* entry_for(std::uint64_t handle, std::int64_t now);
    bool time_synced(std::uint64_t handle, Entry& entry);

    const SensorQuestions m_questions;
    const FrameSink m_sink;
    const Clock m_clock;
    std::atomic<std::int32_t> m_mode{0};
    std::atomic<unsigned> m_requests{0};

    struct Entry {
        std::unique_ptr<FrameBuffer> buffer;
        std::int64_t last_batch = 0;  // m_clock at the latest batch
        bool time_synced = false;
        std::uint64_t time_synced_generation = kNoGeneration;  // when time_synced was asked
    };
    static constexpr std::uint64_t kNoGeneration = ~std::uint64_t{0};
    std::mutex m_mutex;
    // The thread inside add_points(), so that a frame listener asking for a
    // clear does not try to lock what its own thread holds.
    std::atomic<std::thread::id> m_aggregating_thread{};
    std::map<std::uint64_t, Entry> m_buffers;  // guarded by m_mutex
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_FRAME_AGGREGATOR_H
