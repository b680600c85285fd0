#include "frame_fifo.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "delivery_cancel.h"
#include "frame_buffer.h"

namespace vorlan_sdk2 {

namespace {

constexpr std::uint64_t kSlotAlignment = 64;
// The head, then the points at the offset within a cache line that the
// frame's points have where they come from: a copy between addresses that
// share their alignment runs at the copy's full speed.
constexpr std::uint64_t kSlotSpare = sizeof(FifoedFrame) + kSlotAlignment - 1;

std::uint8_t* points_area(std::uint8_t* slot, const std::uint8_t* source) {
    const std::uintptr_t after_head = reinterpret_cast<std::uintptr_t>(slot) + sizeof(FifoedFrame);
    const std::uintptr_t shift = (reinterpret_cast<std::uintptr_t>(source) - after_head) & (kSlotAlignment - 1);
    return slot + sizeof(FifoedFrame) + shift;
}

using Checkout = SingleCircularBufferList::Checkout;

int checkout_error(Checkout checkout) {
    return checkout == Checkout::kTimedOut ? VORLAN_ERROR_TIMEOUT : VORLAN_ERROR_INVALID_STATE;
}

}  // namespace

std::uint64_t FrameFifo::frame_bytes_for_mode(std::int32_t mode) {
    return std::max(FrameBuffer::capacity_bytes(mode), FrameBuffer::capacity_bytes(100000));
}

std::uint64_t FrameFifo::slot_size_for(std::uint64_t frame_bytes) {
    return (frame_bytes + kSlotSpare + kSlotAlignment - 1) & ~(kSlotAlignment - 1);
}

int FrameFifo::enable(std::int32_t mode, std::uint32_t n_frames) {
    std::lock_guard<std::mutex> lock(m_control);
    if (enabled()) {
        return VORLAN_ERROR_INVALID_STATE;
    }
    if ((mode != 0 && mode < 1000) || n_frames == 0) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    const std::uint64_t frame_bytes = frame_bytes_for_mode(mode);
    m_frame_bytes.store(frame_bytes);
    switch (m_ring.reset(n_frames, slot_size_for(frame_bytes))) {
        case SingleCircularBufferList::Setup::kReady:
            return VORLAN_SUCCESS;
        case SingleCircularBufferList::Setup::kTooLarge:
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        case SingleCircularBufferList::Setup::kOutOfMemory:
            break;
    }
    return VORLAN_ERROR_OUT_OF_MEMORY;
}

void FrameFifo::disable() {
    std::lock_guard<std::mutex> lock(m_control);
    m_ring.disable();
}

void FrameFifo::on_frame(std::uint64_t token, std::uint64_t handle, std::int64_t timestamp, std::size_t n_points, std::size_t stride,
                         const std::uint8_t* points) {
    if (stride > kMaxStride || stride == 0 || n_points > m_frame_bytes.load() / stride) {
        return;
    }
    SingleCircularBufferList::Slot slot;
    if (m_ring.checkout_for_write(slot, token, SingleCircularBufferList::Hold::kStorage, &currentDelivery()) !=
        Checkout::kTaken) {
        return;  // disabled, or disabled or called off while waiting for room
    }
    // The slot was sized when its storage was; a frame sized for a later
    // mode may not fit it, and is then refused by the commit anyway.
    std::uint8_t* const area = points_area(slot.data, points);
    if (n_points * stride + static_cast<std::uint64_t>(area - slot.data) > m_ring.slot_size()) {
        m_ring.abandon_write(slot);
        return;
    }
    FifoedFrame head{handle, timestamp, n_points, stride, area};
    std::memcpy(slot.data, &head, sizeof head);
    if (n_points != 0) {
        std::memcpy(head.points, points, n_points * stride);
    }
    m_ring.commit_write(slot);
}

int FrameFifo::get(FifoedFrame& out, std::uint32_t timeout_ms) {
    if (!enabled()) {
        return VORLAN_ERROR_NOT_ENABLED;
    }
    SingleCircularBufferList::Slot slot;
    const Checkout checkout = m_ring.checkout_for_read(slot, timeout_ms);
    if (checkout != Checkout::kTaken) {
        return checkout_error(checkout);
    }
    std::memcpy(&out, slot.data, sizeof out);
    return VORLAN_SUCCESS;
}

int FrameFifo::put_back() {
    if (!enabled()) {
        return VORLAN_ERROR_NOT_ENABLED;
    }
    return m_ring.put_back() ? VORLAN_SUCCESS : VORLAN_ERROR_INVALID_STATE;
}

int FrameFifo::release() {
    if (!enabled()) {
        return VORLAN_ERROR_NOT_ENABLED;
    }
    return m_ring.release_read() ? VORLAN_SUCCESS : VORLAN_ERROR_INVALID_STATE;
}

std::int64_t FrameFifo::peek_point_count(std::uint32_t timeout_ms) {
    FifoedFrame frame;
    const int got = get(frame, timeout_ms);
    if (got != VORLAN_SUCCESS) {
        return got;
    }
    const int put = put_back();
    if (put != VORLAN_SUCCESS) {
        return put;
    }
    return static_cast<std::int64_t>(frame.n_points);
}

int FrameFifo::fill(FifoedFrame& out, const FrameColumns& columns, std::uint32_t timeout_ms) {
    if (columns.x == nullptr || columns.y == nullptr || columns.z == nullptr || columns.reflectivities == nullptr ||
        columns.timestamps == nullptr || columns.channel_ids == nullptr || columns.flags == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    if (!enabled()) {
        return VORLAN_ERROR_NOT_ENABLED;
    }
    SingleCircularBufferList::Slot slot;  // keeps the points alive while they are read
    const Checkout checkout = m_ring.checkout_for_read(slot, timeout_ms);
    if (checkout != Checkout::kTaken) {
        return checkout_error(checkout);
    }
    std::memcpy(&out, slot.data, sizeof out);
    const std::uint8_t* point = out.points;
    std::int64_t time = out.timestamp;
    for (std::uint64_t i = 0; i < out.n_points; ++i, point += out.point_stride) {
        std::int16_t xyz[3];
        std::memcpy(xyz, point, sizeof xyz);
        columns.x[i] = xyz[0];
        columns.y[i] = xyz[1];
        columns.z[i] = xyz[2];
        columns.reflectivities[i] = point[6];
        time += point[FrameBuffer::kRelativeTimestampOffset];
        columns.timestamps[i] = time;
        columns.channel_ids[i] = point[8];
        columns.flags[i] = point[FrameBuffer::kFlagsOffset];
    }
    return VORLAN_SUCCESS;
}

int FrameFifo::empty() const {
    if (!enabled()) {
        return VORLAN_ERROR_NOT_ENABLED;
    }
    return m_ring.empty() ? 1 : 0;
}

int FrameFifo::full() const {
    if (!enabled()) {
        return VORLAN_ERROR_NOT_ENABLED;
    }
    return m_ring.full() ? 1 : 0;
}

int FrameFifo::size() const {
    if (!enabled()) {
        return VORLAN_ERROR_NOT_ENABLED;
    }
    return static_cast<int>(m_ring.size());
}

}  // namespace vorlan_sdk2
