// The exported replay functions and the sixteen replay slots.
//
// A slot holds its reader through a shared pointer: every per-handle
// function takes its own reference under the slots' mutex for the length of
// the call, so a concurrent unload empties the slot and stops the reader but
// never destroys it under a caller.
#include <array>
#include <memory>
#include <mutex>

#include "c_boundary.h"
#include "frames.h"
#include "framework.h"
#include "pcap_source.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

namespace {

constexpr uint64_t kSlots = 16;

struct Slot {
    std::shared_ptr<PcapReader> reader;
    // Changes with every load, so that a single-step listener left over
    // from an earlier reader of the slot finds no reader to pause.
    uintptr_t generation = 0;
};

std::mutex& loadedPcapMutex() {
    static std::mutex mutex;
    return mutex;
}

// Guarded by loadedPcapMutex().
std::array<Slot, kSlots>& loadedPcaps() {
    static std::array<Slot, kSlots> slots;
    return slots;
}

uintptr_t g_next_generation = 1;  // guarded by loadedPcapMutex()

// The single-step listener's user pointer names the slot and its load.
void* step_id(uint64_t slot, uintptr_t generation) {
    return reinterpret_cast<void*>(generation * kSlots + uintptr_t(slot));
}

// The reader of `handle`, or null for a handle outside 1..16 or an empty slot.
std::shared_ptr<PcapReader> reader_of(uint64_t handle, void** step = nullptr) {
    if (handle < 1 || handle > kSlots) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(loadedPcapMutex());
    const Slot& slot = loadedPcaps()[handle - 1];
    if (step != nullptr) {
        *step = step_id(handle - 1, slot.generation);
    }
    return slot.reader;
}

// Runs `operation` on the reader of `handle` once the library is initialised.
template <class Operation>
int with_reader(uint64_t handle, Operation&& operation) {
    return c_call_initialized([&] {
        std::shared_ptr<PcapReader> reader = reader_of(handle);
        return reader ? operation(*reader) : VORLAN_ERROR_INVALID_ARGUMENTS;
    });
}

}  // namespace

void singleStepFrameListener(uint64_t, int64_t, size_t, size_t, const uint8_t*, void* user_data) {
    const uintptr_t id = reinterpret_cast<uintptr_t>(user_data);
    std::shared_ptr<PcapReader> reader;
    {
        std::lock_guard<std::mutex> lock(loadedPcapMutex());
        const Slot& slot = loadedPcaps()[id % kSlots];
        if (slot.generation == id / kSlots) {
            reader = slot.reader;
        }
    }
    // A frame from before this reader moved on (the publication that ended
    // the previous step, reaching the listener registered again) does not
    // end the step.
    if (reader && !reader->StepCounts()) {
        return;
    }
    // Out of the list before the pause: once paused, the client may start
    // the next step, whose registration this must not remove. Only out of
    // the list: this runs inside the aggregator's publication, which must
    // not see its buffers go.
    (void)frameCallbacks().Remove(singleStepFrameListener, user_data);
    if (reader) {
        reader->StepDone();
    }
}

void VorlanReplayStop() {
    std::array<Slot, kSlots> taken;
    {
        std::lock_guard<std::mutex> lock(loadedPcapMutex());
        taken.swap(loadedPcaps());
    }
    for (uint64_t i = 0; i < kSlots; ++i) {
        if (taken[i].reader) {
            (void)unlistenFrames(singleStepFrameListener, step_id(i, taken[i].generation));
            taken[i].reader->Unload();
        }
    }
}

std::shared_ptr<PcapReader> replayReader(uint64_t handle) { return reader_of(handle); }

}  // namespace vorlan_sdk2

using namespace vorlan_sdk2;

extern "C" {

VORLAN_SDK2_API int VorlanReplayLoadPcap(const char* path, uint32_t flags, uint64_t* replay_handle_out) {
    return c_call_initialized([&] {
        if (path == nullptr || replay_handle_out == nullptr) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        auto reader = std::make_shared<PcapReader>();
        if (!reader->Load(path, flags)) {
            return VORLAN_ERROR_FILE_IO;
        }
        {
            std::lock_guard<std::mutex> lock(loadedPcapMutex());
            for (uint64_t i = 0; i < kSlots; ++i) {
                Slot& slot = loadedPcaps()[i];
                if (!slot.reader) {
                    slot.reader = reader;
                    slot.generation = g_next_generation++;
                    *replay_handle_out = i + 1;
                    return VORLAN_SUCCESS;
                }
            }
        }
        reader->Unload();
        return VORLAN_ERROR_INVALID_STATE;
    });
}

VORLAN_SDK2_API int VorlanReplayUnloadPcap(uint64_t replay_handle) {
    return c_call_initialized([&] {
        if (replay_handle < 1 || replay_handle > kSlots) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        Slot taken;
        {
            std::lock_guard<std::mutex> lock(loadedPcapMutex());
            Slot& slot = loadedPcaps()[replay_handle - 1];
            if (!slot.reader) {
                return VORLAN_ERROR_INVALID_ARGUMENTS;
            }
            // A reader cannot join its worker from a thread the worker may
            // wait for: a listener that unloads the capture feeding it is
            // refused.
            if (slot.reader->CannotWaitForWorker()) {
                return VORLAN_ERROR_INVALID_STATE;
            }
            std::swap(taken, slot);
        }
        (void)unlistenFrames(singleStepFrameListener, step_id(replay_handle - 1, taken.generation));
        taken.reader->Unload();
        return VORLAN_SUCCESS;
    });
}

VORLAN_SDK2_API int VorlanReplayPlay(uint64_t replay_handle) {
    return with_reader(replay_handle, [](PcapReader& reader) {
        reader.Play(true);
        return VORLAN_SUCCESS;
    });
}

VORLAN_SDK2_API int VorlanReplayPlayToFinish(uint64_t replay_handle) {
    return with_reader(replay_handle, [](PcapReader& reader) {
        bool damaged = false;
        if (!reader.Play(false, &damaged)) {
            return VORLAN_ERROR_INVALID_STATE;
        }
        // Everything before the damage has played; the rest of the file
        // could not be.
        return damaged ? VORLAN_ERROR_FILE_IO : VORLAN_SUCCESS;
    });
}

VORLAN_SDK2_API int VorlanReplayPause(uint64_t replay_handle) {
    return with_reader(replay_handle, [](PcapReader& reader) {
        reader.Pause(false);
        return VORLAN_SUCCESS;
    });
}

VORLAN_SDK2_API int VorlanReplayNextFrame(uint64_t replay_handle) {
    return c_call_initialized([&] {
        void* step = nullptr;
        std::shared_ptr<PcapReader> reader = reader_of(replay_handle, &step);
        if (!reader) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        return reader->NextFrame(false, step) ? VORLAN_SUCCESS : VORLAN_ERROR_INVALID_STATE;
    });
}

VORLAN_SDK2_API int VorlanReplaySeek(uint64_t replay_handle, int64_t position_us) {
    return with_reader(replay_handle, [&](PcapReader& reader) {
        reader.Seek(position_us, false);
        return VORLAN_SUCCESS;
    });
}

VORLAN_SDK2_API int64_t VorlanReplayGetSeekPosition(uint64_t replay_handle) {
    try {
        std::shared_ptr<PcapReader> reader = reader_of(replay_handle);
        return reader ? reader->GetSeekPosition() : VORLAN_ERROR_INVALID_ARGUMENTS;
    } catch (...) {
        return VORLAN_ERROR_GENERIC;
    }
}

VORLAN_SDK2_API int64_t VorlanReplayGetIndexPosition(uint64_t replay_handle) {
    if (!isInitialized()) {
        return VORLAN_ERROR_NOT_INITIALIZED;
    }
    std::shared_ptr<PcapReader> reader = reader_of(replay_handle);
    return reader ? reader->GetIndexPosition() : VORLAN_ERROR_INVALID_ARGUMENTS;
}

VORLAN_SDK2_API int64_t VorlanReplayGetLength(uint64_t replay_handle) {
    if (!isInitialized()) {
        return VORLAN_ERROR_NOT_INITIALIZED;
    }
    try {
        std::shared_ptr<PcapReader> reader = reader_of(replay_handle);
        if (!reader) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        const int64_t length = reader->GetLength();
        return length < 0 ? VORLAN_ERROR_INVALID_STATE : length;
    } catch (...) {
        return VORLAN_ERROR_GENERIC;
    }
}

VORLAN_SDK2_API int VorlanReplaySetSpeed(uint64_t replay_handle, int speed_percent) {
    return with_reader(replay_handle, [&](PcapReader& reader) {
        if (speed_percent < 0) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        reader.SetSpeed(speed_percent);
        return VORLAN_SUCCESS;
    });
}

VORLAN_SDK2_API int VorlanReplayGetSpeed(uint64_t replay_handle) {
    return with_reader(replay_handle, [](PcapReader& reader) { return reader.GetSpeed(); });
}

VORLAN_SDK2_API int VorlanReplaySetAutoReplay(uint64_t replay_handle, uint32_t enable) {
    return with_reader(replay_handle, [&](PcapReader& reader) {
        if (enable > 1) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        reader.SetAutoReplay(enable == 1);
        return VORLAN_SUCCESS;
    });
}

VORLAN_SDK2_API int VorlanReplayIsFinished(uint64_t replay_handle) {
    return with_reader(replay_handle, [](PcapReader& reader) { return reader.IsFinished() ? 1 : 0; });
}

VORLAN_SDK2_API int VorlanReplayIsPaused(uint64_t replay_handle) {
    return with_reader(replay_handle, [](PcapReader& reader) { return reader.IsPaused() ? 1 : 0; });
}

}  // extern "C"

extern "C" VORLAN_SDK2_API int64_t VorlanReplayGetCount(uint64_t replay_handle, uint32_t which) {
    int64_t count = 0;
    const int code = with_reader(replay_handle, [&](PcapReader& reader) {
        const vorlan_capture::SkipCounters skipped = reader.Counters();
        const vorlan_capture::Traffic traffic = reader.Traffic();
        switch (which) {
            case VORLAN_REPLAY_COUNT_DATAGRAMS: count = int64_t(traffic.datagrams); break;
            case VORLAN_REPLAY_COUNT_SENSOR_DATAGRAMS: count = int64_t(traffic.sensor_datagrams); break;
            case VORLAN_REPLAY_COUNT_DUPLICATES: count = int64_t(skipped.duplicates); break;
            case VORLAN_REPLAY_COUNT_SNAPSHOT_CUT: count = int64_t(skipped.snapshot_cut); break;
            case VORLAN_REPLAY_COUNT_INCOMPLETE: count = int64_t(skipped.incomplete); break;
            case VORLAN_REPLAY_COUNT_BROKEN: count = int64_t(skipped.broken_header); break;
            case VORLAN_REPLAY_COUNT_NOT_UDP: count = int64_t(skipped.not_udp); break;
            case VORLAN_REPLAY_COUNT_OTHER_LINK: count = int64_t(skipped.other_link); break;
            default: return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        return VORLAN_SUCCESS;
    });
    return code == VORLAN_SUCCESS ? count : int64_t(code);
}
