#include "frames.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "frame_aggregator.h"
#include "framework.h"
#include "point_data_parser.h"
#include "sensors.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {
namespace {

// Only tells how long a sensor has been silent: a clock that is cheap to read
// and never jumps is what is wanted, and a few milliseconds of resolution are
// plenty.
std::int64_t coarse_clock_us() {
#if defined(CLOCK_MONOTONIC_COARSE)
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) == 0) {
        return std::int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
    }
#endif
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Frames are numbered as they are published. A listener added while a frame
// is being handed out is reached by that same pass; the FIFO's producer uses
// the numbers to take only frames published after it was registered, so a
// FIFO disabled and enabled again never gets a frame the old one had.
std::atomic<std::uint64_t> g_frames_published{0};
std::atomic<std::uint64_t> g_frame_being_published{0};
std::atomic<std::uint64_t> g_first_frame_for_fifo{0};

void publishFrameOfBuffer(void*, std::uint64_t handle, std::int64_t timestamp, std::size_t n_points,
                          std::size_t stride, const std::uint8_t* points) {
    publishFrame(handle, timestamp, n_points, stride, points);
}

FrameAggregator& aggregator() {
    static FrameAggregator instance({&isFixed10HzScan, &isTimeSynced, &sensorRegistryGeneration()},
                                    FrameSink{&publishFrameOfBuffer, nullptr},
                                    &coarse_clock_us);
    return instance;
}

// Guards frame-listener registration together with the mode.
std::mutex& aggregatorMutex() {
    static std::mutex mutex;
    return mutex;
}

// The point listener that feeds the aggregator, on the data source thread.
// Its user pointer is the aggregator.
void frameAggregator(std::uint64_t handle, std::int64_t timestamp, std::size_t n_points, std::size_t stride,
                     const std::uint8_t* points, void* self) {
    static_cast<FrameAggregator*>(self)->add_points(handle, timestamp, n_points, stride, points);
}

// The FIFO's producer, a frame listener. Its user pointer carries the token
// of the storage it was registered for.
void fifoCb(std::uint64_t handle, std::int64_t timestamp, std::size_t n_points, std::size_t stride,
            const std::uint8_t* points, void* token) {
    if (g_frame_being_published.load() < g_first_frame_for_fifo.load()) {
        return;
    }
    frameFifo().on_frame(reinterpret_cast<std::uintptr_t>(token), handle, timestamp, n_points, stride, points);
}

void* fifoCbToken() { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(frameFifo().producer_token())); }

bool isValidMode(std::int32_t mode) { return mode == 0 || mode >= 1000; }

}  // namespace

void publishFrame(std::uint64_t handle, std::int64_t timestamp, std::size_t n_points, std::size_t stride,
                  const std::uint8_t* points) {
    g_frame_being_published.store(g_frames_published.fetch_add(1) + 1);
    frameCallbacks().Invoke(handle, timestamp, n_points, stride, points);
}

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
    // Nobody produces for the FIFO now; a producer call still under way,
    // waiting for room or about to, would hold its data source thread (and
    // the deinitialisation that joins it) for as long as the client does not
    // read.
    frameFifo().detach_producer();
    // A client thread waiting for a frame would wait for ever.
    frameFifo().interrupt_readers();
}

bool frameFifoHoldsFramesUp() {
    return frameFifo().full() == 1 && frameCallbacks().Contains(&fifoCb, fifoCbToken());
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
    addPointListener(&frameAggregator, &aggregator());  // already there after the first listener
    return VORLAN_SUCCESS;
}

int unlistenFrames(FramesList::Callback callback, void* user_data) {
    std::lock_guard<std::mutex> lock(aggregatorMutex());
    if (callback == nullptr || !frameCallbacks().Remove(callback, user_data)) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    if (frameCallbacks().Empty()) {
        removePointListener(&frameAggregator, &aggregator());
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
    g_first_frame_for_fifo.store(g_frames_published.load() + 1);
    return listenFrames(mode, &fifoCb, fifoCbToken());
}

int disableFrameFifo() {
    if (!frameFifo().enabled()) {
        return VORLAN_ERROR_NOT_ENABLED;
    }
    const int removed = unlistenFrames(&fifoCb, fifoCbToken());
    frameFifo().disable();
    return removed;
}

}  // namespace vorlan_sdk2
