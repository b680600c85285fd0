// Capture replay is not built yet: every function refuses with
// VORLAN_ERROR_NOT_SUPPORTED once the library is initialised, and the
// internal stop has nothing to stop.
#include "c_boundary.h"
#include "framework.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

void VorlanReplayStop() {}

}  // namespace vorlan_sdk2

using namespace vorlan_sdk2;

namespace {

int not_supported() {
    return c_call_initialized([] { return VORLAN_ERROR_NOT_SUPPORTED; });
}

}  // namespace

extern "C" {

VORLAN_SDK2_API int VorlanReplayLoadPcap(const char*, uint32_t, uint64_t*) { return not_supported(); }
VORLAN_SDK2_API int VorlanReplayUnloadPcap(uint64_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanReplayPlay(uint64_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanReplayPlayToFinish(uint64_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanReplayPause(uint64_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanReplayNextFrame(uint64_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanReplaySeek(uint64_t, int64_t) { return not_supported(); }
// Answers without the library being initialised, as its finished form will.
VORLAN_SDK2_API int64_t VorlanReplayGetSeekPosition(uint64_t) { return VORLAN_ERROR_NOT_SUPPORTED; }
VORLAN_SDK2_API int64_t VorlanReplayGetIndexPosition(uint64_t) { return not_supported(); }
VORLAN_SDK2_API int64_t VorlanReplayGetLength(uint64_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanReplaySetSpeed(uint64_t, int) { return not_supported(); }
VORLAN_SDK2_API int VorlanReplayGetSpeed(uint64_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanReplaySetAutoReplay(uint64_t, uint32_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanReplayIsFinished(uint64_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanReplayIsPaused(uint64_t) { return not_supported(); }

}  // extern "C"
