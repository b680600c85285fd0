// The exported replay functions, over the replay slots of ReplayManager.
#include "c_boundary.h"
#include "replay_manager.h"
#include "vorlan_sdk2.h"

using vorlan_sdk2::c_call;
using vorlan_sdk2::c_call_initialized;
using vorlan_sdk2::ReplayManager;

namespace {

ReplayManager& replays() { return ReplayManager::instance(); }

}  // namespace

extern "C" {

VORLAN_SDK2_API int VorlanReplayLoadPcap(const char* path, uint32_t flags, uint64_t* replay_handle_out) {
    return c_call_initialized([&] { return replays().load(path, flags, replay_handle_out); });
}

VORLAN_SDK2_API int VorlanReplayUnloadPcap(uint64_t replay_handle) {
    return c_call_initialized([&] { return replays().unload(replay_handle); });
}

VORLAN_SDK2_API int VorlanReplayPlay(uint64_t replay_handle) {
    return c_call_initialized([&] { return replays().play(replay_handle); });
}

VORLAN_SDK2_API int VorlanReplayPlayToFinish(uint64_t replay_handle) {
    return c_call_initialized([&] { return replays().playToFinish(replay_handle); });
}

VORLAN_SDK2_API int VorlanReplayPause(uint64_t replay_handle) {
    return c_call_initialized([&] { return replays().pause(replay_handle); });
}

VORLAN_SDK2_API int VorlanReplayNextFrame(uint64_t replay_handle) {
    return c_call_initialized([&] { return replays().nextFrame(replay_handle); });
}

VORLAN_SDK2_API int VorlanReplaySeek(uint64_t replay_handle, int64_t position_us) {
    return c_call_initialized([&] { return replays().seek(replay_handle, position_us); });
}

// Answers also before initialisation.
VORLAN_SDK2_API int64_t VorlanReplayGetSeekPosition(uint64_t replay_handle) {
    return c_call([&] { return replays().seekPosition(replay_handle); });
}

VORLAN_SDK2_API int64_t VorlanReplayGetIndexPosition(uint64_t replay_handle) {
    return c_call_initialized([&] { return replays().indexPosition(replay_handle); });
}

VORLAN_SDK2_API int64_t VorlanReplayGetLength(uint64_t replay_handle) {
    return c_call_initialized([&] { return replays().length(replay_handle); });
}

VORLAN_SDK2_API int VorlanReplaySetSpeed(uint64_t replay_handle, int speed_percent) {
    return c_call_initialized([&] { return replays().setSpeed(replay_handle, speed_percent); });
}

VORLAN_SDK2_API int VorlanReplayGetSpeed(uint64_t replay_handle) {
    return c_call_initialized([&] { return replays().speed(replay_handle); });
}

VORLAN_SDK2_API int VorlanReplaySetAutoReplay(uint64_t replay_handle, uint32_t enable) {
    return c_call_initialized([&] { return replays().setAutoReplay(replay_handle, enable); });
}

VORLAN_SDK2_API int VorlanReplayIsFinished(uint64_t replay_handle) {
    return c_call_initialized([&] { return replays().isFinished(replay_handle); });
}

VORLAN_SDK2_API int VorlanReplayIsPaused(uint64_t replay_handle) {
    return c_call_initialized([&] { return replays().isPaused(replay_handle); });
}

VORLAN_SDK2_API int64_t VorlanReplayGetCount(uint64_t replay_handle, uint32_t which) {
    return c_call_initialized([&] { return replays().count(replay_handle, which); });
}

}  // extern "C"
