// The library's frame state: the frame listeners, the one aggregator that
// feeds them from the point listeners, and the one frame FIFO.
#ifndef VORLAN_SDK2_FRAMES_H
#define VORLAN_SDK2_FRAMES_H

#include <cstddef>
#include <cstdint>

#include "callback_list.h"
#include "frame_fifo.h"

namespace vorlan_sdk2 {

using FramesList = CallbackList<void, uint64_t, int64_t, size_t, size_t, const uint8_t*>;

FramesList& frameCallbacks();
// Hands one frame to every frame listener, on the calling thread, as the
// aggregator does; frame listeners are only called through here.
void publishFrame(uint64_t handle, int64_t timestamp, size_t n_points, size_t stride, const uint8_t* points);
FrameFifo& frameFifo();

// Adds a frame listener. The first listener fixes the aggregation mode (0
// natural, >= 1000 timed); while listeners exist, another mode is refused
// with VORLAN_ERROR_INVALID_STATE. Null or duplicate pairs and modes below
// 1000 other than 0 are refused with VORLAN_ERROR_INVALID_ARGUMENTS.
// May throw std::bad_alloc.
int listenFrames(int32_t mode, FramesList::Callback callback, void* user_data);
// Removes a frame listener; with the last one goes the aggregation, every
// sensor's buffer with it.
int unlistenFrames(FramesList::Callback callback, void* user_data);

int32_t getFrameAggregationMode();
// Empties every sensor's frame buffer (replay seeks and unloads, and the
// library's deinitialisation); safe from any thread, frame listeners included.
void clearFrameAggregator();

// True when the frame FIFO is full and its producer registered: no frame can
// be published until the client reads.
bool frameFifoHoldsFramesUp();

// Allocates the FIFO and registers its producer as a frame listener.
int enableFrameFifo(int32_t mode, uint32_t n_frames);
// Unregisters the producer and frees the FIFO; returns the unregistration's
// result.
int disableFrameFifo();

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_FRAMES_H
