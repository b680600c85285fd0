#include "frame_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "frame_walk.h"

namespace vorlan_sdk2 {

namespace {

// Storage is sized for 12-byte points; wider points get proportionally fewer
// slots, so a sensor announcing a large stride cannot make a buffer outgrow
// its byte capacity.
constexpr std::size_t kNominalStride = 12;

// Timestamps come from the wire and may sit anywhere in the int64 range, so
// time arithmetic wraps instead of overflowing; the differences that matter
// (within a frame, between a batch and the previous point) are small.
std::int64_t wrapping_add(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

std::int64_t wrapping_difference(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

// The relative timestamp of a batch's first point re-counted from the
// previous point instead of from the batch's timestamp, within one byte.
std::uint8_t retime(std::int64_t batch_timestamp, std::uint8_t sent, std::int64_t previous_point) {
    if (batch_timestamp >= previous_point) {
        const std::uint64_t ahead = static_cast<std::uint64_t>(batch_timestamp) - static_cast<std::uint64_t>(previous_point);
        return ahead >= 255u - sent ? 255 : static_cast<std::uint8_t>(sent + ahead);
    }
    const std::uint64_t behind = static_cast<std::uint64_t>(previous_point) - static_cast<std::uint64_t>(batch_timestamp);
    return behind >= sent ? 0 : static_cast<std::uint8_t>(sent - behind);
}

static_assert(frame_walk::kRelativeTimestampOffset == FrameBuffer::kRelativeTimestampOffset &&
                  frame_walk::kFlagsOffset == FrameBuffer::kFlagsOffset &&
                  frame_walk::kParityFlag == FrameBuffer::kParityFlag,
              "the walks read the point record as the buffer does");

}  // namespace

FrameBuffer::FrameBuffer(std::uint64_t handle, std::int32_t period) : m_handle(handle), m_period(period) {}

std::uint64_t FrameBuffer::capacity_bytes(std::int32_t period) {
    return period > 0 ? static_cast<std::uint64_t>(period) * kBytesPerMicrosecond : kNaturalCapacityBytes;
}

bool FrameBuffer::start(std::int64_t timestamp, std::size_t stride, const std::uint8_t* first_point,
                        std::size_t n_points) {
    const std::size_t capacity = static_cast<std::size_t>(capacity_bytes(m_period) / std::max(stride, kNominalStride));
    const std::size_t allocated = std::min(capacity, std::max(n_points, kInitialPoints));
    m_points.reset(new (std::nothrow) std::uint8_t[allocated * stride]);
    if (!m_points) {
        return false;  // retried with the next batch
    }
    m_capacity = capacity;
    m_allocated = allocated;
    m_stride = stride;
    m_walks = frame_walk::walks_for(stride);
    m_frame_timestamp = m_last_timestamp = timestamp;
    m_parity = first_point[kFlagsOffset] & kParityFlag;
    return true;
}

void FrameBuffer::make_room(std::size_t more) {
    const std::size_t wanted = std::min(m_capacity, m_count + more);
    if (wanted <= m_allocated) {
        return;
    }
    const std::size_t grown = std::min(m_capacity, std::max(wanted, 2 * m_allocated));
    std::unique_ptr<std::uint8_t[]> points(new (std::nothrow) std::uint8_t[grown * m_stride]);
    if (!points) {
        return;  // frames are cut where the storage ends until memory comes back
    }
    std::memcpy(points.get(), m_points.get(), m_count * m_stride);
    m_points = std::move(points);
    m_allocated = grown;
}

std::size_t FrameBuffer::add_points(std::int64_t timestamp, std::size_t n_points, std::size_t stride,
                                    const std::uint8_t* points, bool time_synced, const FrameSink& sink) {
    if (n_points == 0 || points == nullptr || stride < kMinimumStride) {
        return 0;  // nothing to take: no points, or none that can be read
    }
    if (!m_points) {
        if (!start(timestamp, stride, points, n_points)) {
            return n_points;
        }
    } else if (stride != m_stride) {
        return n_points;
    }

    // Frames cut since a point was last taken. A point may start two frames
    // in a row (a full buffer, then the parity that cut toggled); a third
    // time it can never be taken.
    int cuts_since_progress = 0;
    while (n_points > 0) {
        if (m_allocated - m_count < n_points) {
            make_room(n_points);
        }
        // A buffer that could not grow cuts its frame where its storage ends.
        const std::size_t room = (m_allocated > m_count ? m_allocated : m_count) - m_count;
        const std::size_t limit = std::min(n_points, room);
        std::size_t taken = 0;
        std::int64_t sum = 0;  // relative timestamps of the points taken, as sent
        std::uint8_t* appended = m_points.get() + m_count * stride;  // room for `limit` points
        if (m_period == 0) {
            taken = m_walks.natural(points, appended, stride, limit, m_parity, sum);
        } else {
            // A point starts the next frame when it lies at or past the end
            // of this frame: last + sum + its relative time - frame start >=
            // phase + period.
            const std::int64_t end = m_phase + m_period + wrapping_difference(m_frame_timestamp, m_last_timestamp);
            taken = m_walks.timed(points, appended, stride, limit, end, sum);
        }
        // A point that starts a frame, or a buffer full before the batch ends.
        const bool boundary = taken < limit || limit < n_points;

        if (taken > 0) {
            if (!time_synced) {
                const std::uint8_t sent = appended[kRelativeTimestampOffset];
                const std::uint8_t retimed = retime(timestamp, sent, m_last_timestamp);
                appended[kRelativeTimestampOffset] = retimed;
                sum += std::int64_t{retimed} - sent;
            }
            m_count += taken;
            m_last_timestamp = wrapping_add(m_last_timestamp, sum);
        }
        if (!boundary) {
            return 0;
        }
        cuts_since_progress = taken == 0 ? cuts_since_progress + 1 : 1;
        if (cuts_since_progress > 2) {
            return n_points - taken;
        }
        publish_and_start_next(sink);
        points += taken * stride;
        n_points -= taken;
        if (taken > 0) {
            // The rest of the batch follows the last point taken.
            timestamp = m_last_timestamp;
        }
    }
    return 0;
}

void FrameBuffer::clear() {
    m_count = 0;
    if (m_points) {
        // The frame ends where it would have: frame start + phase + period.
        m_phase += wrapping_difference(m_frame_timestamp, m_last_timestamp);
        m_frame_timestamp = m_last_timestamp;
    }
}

void FrameBuffer::publish_and_start_next(const FrameSink& sink) {
    if (m_period != 0) {
        m_phase = (m_phase + m_period + wrapping_difference(m_frame_timestamp, m_last_timestamp)) % m_period;
    }
    if (m_count != 0) {  // a frame emptied by clear() is not worth a call
        sink.publish(sink.context, m_handle, m_frame_timestamp, m_count, m_stride, m_points.get());
    }
    m_parity ^= kParityFlag;

    if (m_period != 0) {
        m_count = 0;
        m_frame_timestamp = m_last_timestamp;
        return;
    }
    if (m_count > kCarryOverPoints) {
        std::memmove(m_points.get(), m_points.get() + (m_count - kCarryOverPoints) * m_stride,
                     kCarryOverPoints * m_stride);
        m_count = kCarryOverPoints;
    }
    std::int64_t kept_time = 0;
    std::uint8_t* point = m_points.get();
    for (std::size_t i = 0; i < m_count; ++i, point += m_stride) {
        point[kFlagsOffset] |= kCarriedOverFlag;
        kept_time += point[kRelativeTimestampOffset];
    }
    m_frame_timestamp = wrapping_difference(m_last_timestamp, kept_time);
}

}  // namespace vorlan_sdk2
