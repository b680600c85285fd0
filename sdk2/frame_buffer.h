// One sensor's frame being filled. Point batches are appended as they come
// and, at each frame boundary, the buffered points are handed out as one
// frame straight from the buffer.
//
// Points are the 10-byte point record (possibly followed by bytes carried
// along) at a fixed stride; only `relative_timestamp` (offset 7) and `flags`
// (offset 9) are read here. Two ways to cut frames:
//  - natural (period 0): a frame ends where the sensor's frame-parity flag
//    changes. The last points of a frame (up to kCarryOverPoints) also begin
//    the next one, flagged as carried over, so consecutive frames overlap.
//  - timed (period >= 1000 us): frames end on a grid of `period`
//    microseconds; the phase carries the grid from frame to frame.
// A full buffer ends a frame in either mode.
//
// Times stay consistent: the absolute time of point k of a frame is the
// frame timestamp plus the first k+1 relative timestamps.
#ifndef VORLAN_SDK2_FRAME_BUFFER_H
#define VORLAN_SDK2_FRAME_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "frame_walk.h"

namespace vorlan_sdk2 {

// Where finished frames go. The points belong to the buffer and are valid
// only during the call.
struct FrameSink {
    void (*publish)(void* context, std::uint64_t handle, std::int64_t timestamp, std::size_t n_points,
                    std::size_t point_stride, const std::uint8_t* points) = nullptr;
    void* context = nullptr;
};

class FrameBuffer {
public:
    static constexpr std::size_t kCarryOverPoints = 2048;
    static constexpr std::uint8_t kParityFlag = 0x04;
    static constexpr std::uint8_t kCarriedOverFlag = 0x08;
    static constexpr std::size_t kRelativeTimestampOffset = 7;
    static constexpr std::size_t kFlagsOffset = 9;
    static constexpr std::size_t kMinimumStride = 10;
    // Room for 1.5 points of 12 bytes per microsecond of period; a natural
    // frame gets the room of a 100 ms timed one.
    static constexpr std::uint64_t kBytesPerMicrosecond = 18;
    static constexpr std::uint64_t kNaturalCapacityBytes = 100000 * kBytesPerMicrosecond;

    // `period` is 0 for natural frames, else the frame length in microseconds
    // (at least 1000). Storage is allocated with the first batch, once the
    // stride is known.
    FrameBuffer(std::uint64_t handle, std::int32_t period);
    FrameBuffer(const FrameBuffer&) = delete;
    FrameBuffer& operator=(const FrameBuffer&) = delete;

    // The bytes a frame buffer of `period` may hold: the largest frame it can
    // publish, whatever the stride.
    static std::uint64_t capacity_bytes(std::int32_t period);

    // Appends a batch stamped `timestamp` and publishes each frame it
    // completes to `sink`. The first batch fixes the stride; a batch with
    // another stride is dropped whole. Returns the points dropped: a batch
    // of another stride, or one that found no memory for the buffer. For a sensor whose clock is not
    // synchronised, the first point of a batch is re-timed against the
    // previous point, since its relative timestamp counts from the batch's
    // (host) timestamp.
    std::size_t add_points(std::int64_t timestamp, std::size_t n_points, std::size_t stride,
                           const std::uint8_t* points, bool time_synced, const FrameSink& sink);

    // Forgets the buffered points. The frame being filled now begins at the
    // last point's time, so the next points' relative times still add up to
    // their absolute times; timed frames keep their grid.
    void clear();

    std::int32_t period() const { return m_period; }
    std::size_t point_count() const { return m_count; }
    // Bytes of point storage held now.
    std::size_t allocated_bytes() const { return m_allocated * m_stride; }

    // Storage starts this small and doubles as frames need it, up to the
    // capacity: a sender of a few stray points costs little, and a sensor's
    // buffer stops growing once it holds the sensor's largest frame.
    static constexpr std::size_t kInitialPoints = 512;

private:
    bool start(std::int64_t timestamp, std::size_t stride, const std::uint8_t* first_point, std::size_t n_points);
    // Grows the storage, when it can, to hold `more` points beyond those
    // buffered, within the capacity.
    void make_room(std::size_t more);
    void publish_and_start_next(const FrameSink& sink);

    const std::uint64_t m_handle;
    const std::int32_t m_period;
    std::int64_t m_frame_timestamp = -1;
    std::int64_t m_last_timestamp = -1;  // time of the last buffered point
    std::size_t m_stride = 0;
    std::size_t m_count = 0;
    std::size_t m_capacity = 0;   // in points, fixed with the stride: a full buffer ends a frame
    std::size_t m_allocated = 0;  // in points, what m_points holds: at most m_capacity
    frame_walk::Walks m_walks{};  // chosen with the stride
    std::uint8_t m_parity = 0;
    std::int64_t m_phase = 0;
    std::unique_ptr<std::uint8_t[]> m_points;
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_FRAME_BUFFER_H
