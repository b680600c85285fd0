// A bounded queue of whole frames that a client thread pulls at its own pace.
// The producer is a frame listener (on_frame) running on the data source
// thread: each frame is copied once, into a slot of a preallocated ring, and
// handed to the client in place. A full FIFO makes the producer wait, and
// with it the aggregator and the data source, rather than drop frames.
#ifndef VORLAN_SDK2_FRAME_FIFO_H
#define VORLAN_SDK2_FRAME_FIFO_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "single_circular_buffer_list.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

// The head of every slot, as the client gets it; the frame's points follow
// it in the same slot.
using FifoedFrame = VorlanFifoedFrame;

// Where FillArray and GetSOA write a frame, one element per point.
struct FrameColumns {
    std::int16_t* x;
    std::int16_t* y;
    std::int16_t* z;
    std::uint8_t* reflectivities;
    std::int64_t* timestamps;  // absolute, microseconds
    std::uint8_t* channel_ids;
    std::uint8_t* flags;
};

class FrameFifo {
public:
    // Frames with wider points are not queued.
    static constexpr std::size_t kMaxStride = 12;

    // The largest frame payload, in bytes, that the aggregator can hand the
    // FIFO in `mode`: 100 ms sensors are cut at 100 ms in every mode.
    static std::uint64_t frame_bytes_for_mode(std::int32_t mode);
    // Bytes per slot: the head, room to align the points, the largest
    // frame, rounded up to cache lines.
    static std::uint64_t slot_size_for(std::uint64_t frame_bytes);

    // Allocates `n_frames` empty slots for frames of `mode`. -18 when already
    // enabled, -8 for a mode other than 0 or >= 1000, for no slots, or for
    // storage too large to represent; -2 when it cannot be allocated.
    int enable(std::int32_t mode, std::uint32_t n_frames);
    // Frees the slots. A producer waiting for room drops its frame and
    // returns; a frame the client holds is gone with its slot.
    void disable();
    bool enabled() const { return m_ring.capacity() != 0; }
    // For when the producer is no longer registered, without disabling the
    // FIFO: a producer call still under way (one waiting for room included)
    // drops its frame and returns, rather than hold its data source thread
    // until a client that may have stopped reading makes room. The next
    // enable() takes frames again.
    void detach_producer() { m_ring.refuse_writers(); }

    // Wakes a producer waiting for room, so that one whose delivery was
    // called off (delivery_cancel.h) drops its frame and returns.
    void wake_producer() { m_ring.wake_writers(); }
    // A client waiting in get() now returns VORLAN_ERROR_INVALID_STATE.
    void interrupt_readers() { m_ring.interrupt_readers(); }
    // Whether the producer waits for room, and how many frames the client
    // has consumed so far: a producer still waiting while that count stays
    // put is held up by a client that does not read.
    struct Progress {
        bool producer_waiting = false;
        std::uint64_t consumed = 0;
    };
    Progress progress() const { return Progress{m_ring.writer_waiting(), m_ring.consumed_count()}; }

    // Names the storage enable() allocated. The producer registered for it
    // carries the token, so that a producer call still under way from before
    // a disable cannot fill the slots of a later enable.
    std::uint64_t producer_token() const { return m_ring.generation(); }

    // The producer: a frame listener. Frames with a stride over kMaxStride or
    // larger than the FIFO's mode allows are dropped, and so are frames
    // offered with the token of an earlier storage.
    void on_frame(std::uint64_t token, std::uint64_t handle, std::int64_t timestamp, std::size_t n_points, std::size_t stride,
                  const std::uint8_t* points);

    // The consumer. A `timeout_ms` of 0 waits without limit. After get(),
    // fill() or peek the client ends the checkout with release() (consume) or
    // put_back() (keep); until then every further get() answers -18.
    int get(FifoedFrame& out, std::uint32_t timeout_ms);
    int put_back();
    int release();
    // The point count of the oldest frame, left in the FIFO; or an error.
    std::int64_t peek_point_count(std::uint32_t timeout_ms);
    // get(), then the points as columns with absolute times. Every column
    // must be given.
    int fill(FifoedFrame& out, const FrameColumns& columns, std::uint32_t timeout_ms);

    int empty() const;
    int full() const;
    int size() const;

private:
    std::mutex m_control;  // one enable or disable at a time
    SingleCircularBufferList m_ring;
    // Read by the producer without the control mutex.
    std::atomic<std::uint64_t> m_frame_bytes{0};
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_FRAME_FIFO_H
