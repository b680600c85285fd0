#include "frames.h"

#include <chrono>
#include <mutex>

#include "frame_aggregator.h"
#include "framework.h"
#include "point_data_parser.h"
#include "sensors.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {
namespace {

std::int64_t wall_clock_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void publishFrame(void*, std::uint64_t handle, std::int64_t timestamp, std::size_t n_points, std::size_t stride,
                  const std::uint8_t* points) {
    frameCallbacks().Invoke(handle, timestamp, n_points, stride, points);
}

FrameAggregator& aggregator() {
    static FrameAggregator instance({&isFixed10HzScan, &isTimeSynced}, FrameSink{&publishFrame, nullptr},
                                    &wall_clock_us);
    return instance;
}

// Guards frame-listener registration together with the mode.
std::mutex& aggregatorMutex() {
    static std::mutex mutex;
    return mutex;
}

// The point listener that feeds the aggregator, on the data source thread.
void frameAggregator(std::uint64_t handle, std::int64_t timestamp, std::size_t n_points, std::size_t stride,
                     const std::uint8_t* points, void*) {
    aggregator().add_points(handle, timestamp, n_points, stride, points);
}

// The FIFO's producer, a frame listener.
void fifoCb(std::uint64_t handle, std::int64_t timestamp, std::size_t n_points, std::size_t stride,
            const std::uint8_t* points, void*) {
    frameFifo().on_frame(handle, timestamp, n_points, stride, points);
}

bool isValidMode(std::int32_t mode) { return mode == 0 || mode >= 1000; }

}  // namespace

FramesList& frameCallbacks() {
    static FramesList list;
    return list;
}

FrameFifo& frameFifo() {
    static FrameFifo fifo;
    return fifo;
}

void frameCallbacksClear() {
    frameCallbacks().Clear();
    // Nobody produces for the FIFO now; a producer waiting for room would
    // hold its data source thread for as long as the client does not read.
    frameFifo().release_waiting_producer();
}

int listenFrames(std::int32_t mode, FramesList::Callback callback, void* user_data) {
    if (!isValidMode(mode)) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    std::lock_guard<std::mutex> lock(aggregatorMutex());
    if (frameCallbacks().Empty()) {
        // Buffers left from before a deinitialisation were cut for the old
        // mode.
        if (mode != aggregator().mode()) {
            aggregator().destroy_all();
        }
        aggregator().set_mode(mode);
    } else if (mode != aggregator().mode()) {
        return VORLAN_ERROR_INVALID_STATE;
    }
    if (!frameCallbacks().AddBack(callback, user_data)) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    addPointListener(&frameAggregator, nullptr);  // already there after the first listener
    return VORLAN_SUCCESS;
}

int unlistenFrames(FramesList::Callback callback, void* user_data) {
    std::lock_guard<std::mutex> lock(aggregatorMutex());
    if (callback == nullptr || !frameCallbacks().Remove(callback, user_data)) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    if (frameCallbacks().Empty()) {
        removePointListener(&frameAggregator, nullptr);
        aggregator().destroy_all();
    }
    return VORLAN_SUCCESS;
}

std::int32_t getFrameAggregationMode() { return aggregator().mode(); }

void clearFrameAggregator() { aggregator().clear(); }

int enableFrameFifo(std::int32_t mode, std::uint32_t n_frames) {
    const int enabled = frameFifo().enable(mode, n_frames);
    if (enabled != VORLAN_SUCCESS) {
        return enabled;
    }
    return listenFrames(mode, &fifoCb, nullptr);
}

int disableFrameFifo() {
    if (!frameFifo().enabled()) {
        return VORLAN_ERROR_NOT_ENABLED;
    }
    const int removed = unlistenFrames(&fifoCb, nullptr);
    frameFifo().disable();
    return removed;
}

}  // namespace vorlan_sdk2
