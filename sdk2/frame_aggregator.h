// Cuts every sensor's point batches into frames: one FrameBuffer per sensor
// handle, created with the sensor's first batch.
//
// add_points() runs on the thread delivering points and publishes frames
// from that thread. Frame listeners may block it (a full frame FIFO waits for
// its reader), so clear() and destroy_all(), which client threads call, never
// wait for a running add_points(): when it is busy they leave a request that
// it carries out before it returns, or at the latest before it next touches a
// buffer.
//
// Every batch passes through here, so the steady path is kept short: one
// atomic exchange claims the buffers (no mutex), the sensor of the previous
// batch is found without a map lookup, and the clock is read once every
// kBatchesPerClockReading batches rather than per batch.
#ifndef VORLAN_SDK2_FRAME_AGGREGATOR_H
#define VORLAN_SDK2_FRAME_AGGREGATOR_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "drop_report.h"
#include "frame_buffer.h"

namespace vorlan_sdk2 {

class FrameAggregator {
public:
    // What the aggregator needs to know about a sensor. is_fixed_10hz_scan is
    // asked when a sensor's buffer is made. is_time_synced is asked per batch,
    // unless `generation` is given: the answer is then kept per sensor and
    // asked again only once the counter has moved (the registry's answers
    // change only when a record does), which saves the registry's lock on
    // every batch.
    struct SensorQuestions {
        bool (*is_fixed_10hz_scan)(std::uint64_t handle) = nullptr;
        bool (*is_time_synced)(std::uint64_t handle) = nullptr;
        const std::atomic<std::uint64_t>* generation = nullptr;
    };
    using Clock = std::int64_t (*)();  // microseconds, never going back

    // Sensors that scan at a fixed 10 Hz are cut into 100 ms frames, whatever
    // the mode.
    static constexpr std::int32_t kFixedScanPeriod = 100000;
    // Past this many buffers, a new sensor first clears out the buffers of
    // sensors silent for kStaleAfter microseconds.
    static constexpr std::size_t kBuffersBeforePurge = 16;
    static constexpr std::int64_t kStaleAfter = 2000000;
    // A batch only marks its sensor as heard; every this many batches, and
    // whenever a new sensor arrives, the clock is read and the sensors heard
    // since the last reading are stamped with it. A stamp is therefore never
    // earlier than a sensor's last batch, so a buffer judged silent for
    // kStaleAfter really was; at low rates one may be kept a little longer.
    static constexpr std::uint32_t kBatchesPerClockReading = 64;
    // Buffers kept at most: as many sensors as the sensor registry holds
    // (sixteen replays of eight sensors fit many times over). When that many
    // sensors have all sent points within kStaleAfter, the batches of a
    // further sensor are dropped, and counted, until one falls silent:
    // senders of stray points from many addresses cannot make memory grow
    // without end, nor take the buffers of the sensors already heard. Past
    // kBuffersBeforePurge buffers, those of sensors silent for kStaleAfter
    // are given back as the clock is read, and a buffer's storage grows only
    // as its frames need (FrameBuffer::kInitialPoints).
    static constexpr std::size_t kMaxBuffers = 1024;

    // What could not be aggregated: batches of a sensor that found no
    // buffer (all in use, or no memory) or a batch the sensor's buffer
    // refused (another stride), with their points. Told on standard error
    // at most once a second as well.
    struct Drops {
        std::uint64_t batches = 0;
        std::uint64_t points = 0;
    };

    FrameAggregator(SensorQuestions questions, FrameSink sink, Clock clock);
    FrameAggregator(const FrameAggregator&) = delete;
    FrameAggregator& operator=(const FrameAggregator&) = delete;

    // 0 for natural frames, else the frame period in microseconds. Applies to
    // buffers created afterwards.
    void set_mode(std::int32_t mode) { m_mode.store(mode); }
    std::int32_t mode() const { return m_mode.load(); }

    // Data source thread. Calls to it must not overlap (the point listener
    // list runs one batch at a time). Waits only while a client thread is
    // carrying out a clear or destroy request, which takes moments.
    void add_points(std::uint64_t handle, std::int64_t timestamp, std::size_t n_points, std::size_t stride,
                    const std::uint8_t* points);

    // Any thread, frame listeners included. Empties every buffer, keeping each sensor's time base.
    void clear() { request(kClear); }
    // Any thread. Destroys every buffer.
    void destroy_all() { request(kDestroy); }

    // Buffers alive, after carrying out pending requests. Waits for a
    // running add_points(); not for frame listeners.
    std::size_t buffer_count();
    // Bytes of point storage held by all buffers; waits as buffer_count().
    std::size_t allocated_bytes();
    // Since the aggregator was made; waits as buffer_count().
    Drops drops();

private:
    enum : unsigned { kClear = 1, kDestroy = 2 };

    void request(unsigned what);
    // Takes the buffers, waiting while a client thread holds them.
    void claim();
    // Takes the buffers if nobody holds them.
    bool try_claim() { return !m_busy.exchange(true, std::memory_order_acquire); }
    void unclaim() { m_busy.store(false, std::memory_order_release); }
    // The common case, without a locked instruction: nothing asked.
    bool requested() const { return m_requests.load(std::memory_order_acquire) != 0; }
    // Carries out pending requests; the buffers claimed.
    void apply_requests();
    // Carries out pending requests if nobody holds the buffers.
    void drain_requests();
    struct Entry;
    // The entry of a sensor other than the previous batch's, made with its
    // first batch; null when its batch is to be dropped.
    Entry* find_entry(std::uint64_t handle);
    Entry* new_entry(std::uint64_t handle);
    // Reads the clock and stamps the sensors heard since the last reading.
    std::int64_t read_clock();
    bool time_synced(std::uint64_t handle, Entry& entry);
    // Buffers of sensors silent for kStaleAfter at `now` go.
    void purge_silent(std::int64_t now);
    // Counts a dropped batch and tells of the drops once a second.
    void count_drop(std::size_t n_points, bool no_buffer);

    const SensorQuestions m_questions;
    const FrameSink m_sink;
    const Clock m_clock;
    std::atomic<std::int32_t> m_mode{0};
    std::atomic<unsigned> m_requests{0};

    struct Entry {
        std::unique_ptr<FrameBuffer> buffer;
        std::int64_t last_heard = 0;  // m_clock at or after the latest batch
        bool heard = false;           // a batch came since last_heard was stamped
        bool time_synced = false;
        std::uint64_t time_synced_generation = kNoGeneration;  // when time_synced was asked
    };
    static constexpr std::uint64_t kNoGeneration = ~std::uint64_t{0};

    // Whoever holds the buffers: add_points(), or a client thread carrying
    // out requests. A frame listener's own request finds its thread holding
    // them and is carried out when add_points() returns.
    std::atomic<bool> m_busy{false};
    // Everything below is guarded by m_busy.
    std::map<std::uint64_t, Entry> m_buffers;
    // The entry of the previous batch: a sensor's batches usually come in runs.
    std::uint64_t m_last_handle = 0;
    Entry* m_last_entry = nullptr;
    std::uint32_t m_batches_unclocked = 0;  // batches since the clock was read
    Drops m_drops;
    DropReport m_drop_report;  // counts batches
    std::uint64_t m_untold_points = 0;
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_FRAME_AGGREGATOR_H
