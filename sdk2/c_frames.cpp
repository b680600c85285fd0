// The exported frame listeners and frame FIFO.
#include "c_boundary.h"
#include "frames.h"
#include "vorlan_sdk2.h"

using namespace vorlan_sdk2;

namespace {

// What a FIFO read that waited answers: woken by VorlanDeinitialize, which
// empties the frame listeners (the FIFO's among them) before it marks the
// library uninitialised, it says the library is not initialised.
template <typename Answer>
Answer after_wait(Answer got) {
    return got < 0 && (!isInitialized() || isDeinitializing()) ? Answer(VORLAN_ERROR_NOT_INITIALIZED) : got;
}

}  // namespace

extern "C" {

VORLAN_SDK2_API int VorlanListenFrames(int aggregation_mode, VorlanFramesCallback callback, void* user_data) {
    return c_call_initialized([&] { return listenFrames(aggregation_mode, callback, user_data); });
}

VORLAN_SDK2_API int VorlanUnlistenFrames(VorlanFramesCallback callback, void* user_data) {
    return c_call_initialized([&] { return unlistenFrames(callback, user_data); });
}

VORLAN_SDK2_API int VorlanEnableFrameFifo(int aggregation_mode, uint32_t n_frames) {
    return c_call_initialized([&] { return enableFrameFifo(aggregation_mode, n_frames); });
}

VORLAN_SDK2_API int VorlanDisableFrameFifo(void) {
    return c_call_initialized([] { return disableFrameFifo(); });
}

VORLAN_SDK2_API int VorlanFrameFifoGet(VorlanFifoedFrame* out, uint32_t timeout_ms) {
    return c_call_initialized([&] {
        if (out == nullptr) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        return after_wait(frameFifo().get(*out, timeout_ms));
    });
}

VORLAN_SDK2_API int VorlanFrameFifoPutBack(void) {
    return c_call_initialized([] { return frameFifo().put_back(); });
}

VORLAN_SDK2_API int VorlanFrameFifoRelease(void) {
    return c_call_initialized([] { return frameFifo().release(); });
}

VORLAN_SDK2_API int VorlanFrameFifoEmpty(void) {
    return c_call_initialized([] { return frameFifo().empty(); });
}

VORLAN_SDK2_API int VorlanFrameFifoFull(void) {
    return c_call_initialized([] { return frameFifo().full(); });
}

VORLAN_SDK2_API int VorlanFrameFifoSize(void) {
    return c_call_initialized([] { return frameFifo().size(); });
}

VORLAN_SDK2_API int64_t VorlanFrameFifoPeekFrameNumPoints(uint32_t timeout_ms) {
    if (!isInitialized()) {
        return VORLAN_ERROR_NOT_INITIALIZED;
    }
    return after_wait(frameFifo().peek_point_count(timeout_ms));  // throws nothing
}

VORLAN_SDK2_API int VorlanFrameFifoFillArray(VorlanFrameArrays* arrays, uint32_t timeout_ms) {
    return c_call_initialized([&] {
        if (arrays == nullptr || arrays->handle == nullptr) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        const FrameColumns columns{arrays->x, arrays->y, arrays->z, arrays->reflectivities, arrays->timestamps,
                                   arrays->channel_ids, arrays->flags};
        VorlanFifoedFrame frame;
        const int filled = after_wait(frameFifo().fill(frame, columns, timeout_ms));
        if (filled == VORLAN_SUCCESS) {
            *arrays->handle = frame.handle;
        }
        return filled;
    });
}

VORLAN_SDK2_API int VorlanFrameFifoGetSOA(VorlanFifoedFrame* out, int16_t* x, int16_t* y, int16_t* z,
                                          uint8_t* reflectivities, int64_t* timestamps, uint8_t* channel_ids,
                                          uint8_t* flags, uint32_t timeout_ms) {
    return c_call_initialized([&] {
        if (out == nullptr) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        return after_wait(frameFifo().fill(
            *out, FrameColumns{x, y, z, reflectivities, timestamps, channel_ids, flags}, timeout_ms));
    });
}

}  // extern "C"
