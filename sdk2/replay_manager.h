// The sixteen replay slots behind the exported replay functions: a capture
// loaded into the first free slot answers to handle slot + 1 (1 to 16) until
// it is unloaded.
//
// A slot holds its reader through a shared pointer: every per-handle
// operation takes its own reference under the slots' mutex for the length of
// the operation, so a concurrent unload empties the slot and stops the reader
// but never destroys it under a caller. The mutex is held only to look at or
// change a slot, never while a reader works, waits or joins a thread.
#ifndef VORLAN_SDK2_REPLAY_MANAGER_H
#define VORLAN_SDK2_REPLAY_MANAGER_H

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "pcap_source.h"

namespace vorlan_sdk2 {

class ReplayManager {
public:
    static constexpr uint64_t kSlots = 16;

    static ReplayManager& instance();

    // Each returns what the exported function of the same name returns
    // (VorlanReplayLoadPcap, VorlanReplayPlay, ...), the library being
    // initialised; a handle outside 1..16 or of an empty slot gives
    // VORLAN_ERROR_INVALID_ARGUMENTS. They may throw std::bad_alloc.
    int load(const char* path, uint32_t flags, uint64_t* handle_out);
    // Refused with VORLAN_ERROR_INVALID_STATE on a thread the reader's worker
    // may wait for (a parser or listener fed by that capture).
    int unload(uint64_t handle);
    int play(uint64_t handle);
    int playToFinish(uint64_t handle);
    int pause(uint64_t handle);
    int nextFrame(uint64_t handle);
    int seek(uint64_t handle, int64_t position_us);
    int64_t seekPosition(uint64_t handle);
    int64_t indexPosition(uint64_t handle);
    int64_t length(uint64_t handle);
    int setSpeed(uint64_t handle, int speed_percent);
    int speed(uint64_t handle);
    int setAutoReplay(uint64_t handle, uint32_t enable);
    int isFinished(uint64_t handle);
    int isPaused(uint64_t handle);
    int64_t count(uint64_t handle, uint32_t which);

    // Empties every slot and unloads every reader (VorlanReplayStop).
    void stopAll();
    // The single-step listener's work (singleStepFrameListener).
    void stepFrame(void* step_id);
    // The reader of `handle`, or null for a handle outside 1..16 or an empty
    // slot. With `step`, also the user pointer of the slot's single-step
    // listener for its current load.
    std::shared_ptr<PcapReader> reader(uint64_t handle, void** step = nullptr);

private:
    struct Slot {
        std::shared_ptr<PcapReader> reader;
        // Changes with every load, so that a single-step listener left over
        // from an earlier reader of the slot finds no reader to pause.
        uintptr_t generation = 0;
    };

    ReplayManager() = default;

    // Runs `operation` on the reader of `handle`.
    template <class Operation>
    auto withReader(uint64_t handle, Operation&& operation) -> decltype(operation(std::declval<PcapReader&>()));

    std::mutex m_mutex;
    std::array<Slot, kSlots> m_slots;   // guarded by m_mutex
    uintptr_t m_next_generation = 1;    // guarded by m_mutex
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_REPLAY_MANAGER_H
