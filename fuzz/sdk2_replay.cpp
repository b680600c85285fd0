// Replays an arbitrary file as a capture with the second library, as a
// user's damaged or hostile capture could make it: loaded paused with its
// indexer running, played to the end through points and frames listeners,
// its length asked (which waits for the whole index), then a seek into the
// middle and a second play. The first input byte picks the load flags (keep
// copies of datagrams, no indexing); the rest is the capture.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "scratch_file.h"
#include "sdk2_parser_harness.h"
#include "vorlan_sdk2.h"

namespace {

using vorlan_fuzz::touch;

void on_points(uint64_t, int64_t, size_t n_points, size_t stride, const uint8_t* points, void*) {
    touch(points, n_points * stride);
}

void on_frame(uint64_t, int64_t, size_t n_points, size_t stride, const uint8_t* points, void*) {
    touch(points, n_points * stride);
}

const std::string& scratch_path() {
    static const std::string path = "/tmp/vorlan_fuzz_sdk2_replay_" + std::to_string(getpid()) + ".pcap";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint32_t flags = VORLAN_REPLAY_LOAD_PAUSED | VORLAN_REPLAY_LOAD_NO_END_REPORT |
                           ((data[0] & 1) != 0 ? VORLAN_REPLAY_LOAD_KEEP_DUPLICATES : 0u) |
                           ((data[0] & 2) != 0 ? VORLAN_REPLAY_LOAD_NO_INDEXING : 0u);
    if (!vorlan_fuzz::write_scratch_file(scratch_path(), data + 1, size - 1)) {
        return 0;
    }
    // Each input starts from an empty registry.
    if (VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION) != VORLAN_SUCCESS) {
        return 0;
    }
    VorlanListenPoints(on_points, nullptr);
    VorlanListenFrames(VORLAN_FRAME_AGGREGATION_NATURAL, on_frame, nullptr);
    uint64_t replay = 0;
    if (VorlanReplayLoadPcap(scratch_path().c_str(), flags, &replay) == VORLAN_SUCCESS) {
        (void)VorlanReplaySetSpeed(replay, 0);
        (void)VorlanReplayPlay(replay);
        (void)VorlanReplayPlayToFinish(replay);
        const int64_t length = VorlanReplayGetLength(replay);
        for (uint32_t which = 0; which <= VORLAN_REPLAY_COUNT_OTHER_LINK; ++which) {
            (void)VorlanReplayGetCount(replay, which);
        }
        (void)VorlanReplaySeek(replay, length > 0 ? length / 2 : 0);
        (void)VorlanReplayPlay(replay);
        (void)VorlanReplayPlayToFinish(replay);
        (void)VorlanReplayUnloadPcap(replay);
    }
    VorlanDeinitialize();
    std::remove(scratch_path().c_str());
    return 0;
}
