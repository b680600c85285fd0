// Frame listeners and the frame FIFO are not built yet: every function
// refuses with VORLAN_ERROR_NOT_SUPPORTED once the library is initialised.
#include "c_boundary.h"
#include "framework.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

void frameCallbacksClear() {}
void clearFrameAggregator() {}
int32_t getFrameAggregationMode() { return 0; }

}  // namespace vorlan_sdk2

using namespace vorlan_sdk2;

namespace {

int not_supported() {
    return c_call_initialized([] { return VORLAN_ERROR_NOT_SUPPORTED; });
}

}  // namespace

extern "C" {

VORLAN_SDK2_API int VorlanListenFrames(int, VorlanFramesCallback, void*) { return not_supported(); }
VORLAN_SDK2_API int VorlanUnlistenFrames(VorlanFramesCallback, void*) { return not_supported(); }
VORLAN_SDK2_API int VorlanEnableFrameFifo(int, uint32_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanDisableFrameFifo(void) { return not_supported(); }
VORLAN_SDK2_API int VorlanFrameFifoGet(VorlanFifoedFrame*, uint32_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanFrameFifoPutBack(void) { return not_supported(); }
VORLAN_SDK2_API int VorlanFrameFifoRelease(void) { return not_supported(); }
VORLAN_SDK2_API int VorlanFrameFifoEmpty(void) { return not_supported(); }
VORLAN_SDK2_API int VorlanFrameFifoFull(void) { return not_supported(); }
VORLAN_SDK2_API int VorlanFrameFifoSize(void) { return not_supported(); }
VORLAN_SDK2_API int64_t VorlanFrameFifoPeekFrameNumPoints(uint32_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanFrameFifoFillArray(VorlanFrameArrays*, uint32_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanFrameFifoGetSOA(VorlanFifoedFrame*, int16_t*, int16_t*, int16_t*, uint8_t*, int64_t*,
                                          uint8_t*, uint8_t*, uint32_t) {
    return not_supported();
}

}  // extern "C"
