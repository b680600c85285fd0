#include "replay_manager.h"

#include "frames.h"
#include "framework.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

namespace {

// The single-step listener's user pointer names the slot and its load.
void* step_id(uint64_t slot, uintptr_t generation) {
    return reinterpret_cast<void*>(generation * ReplayManager::kSlots + uintptr_t(slot));
}

}  // namespace

ReplayManager& ReplayManager::instance() {
    static ReplayManager manager;
    return manager;
}

std::shared_ptr<PcapReader> ReplayManager::reader(uint64_t handle, void** step) {
    if (handle < 1 || handle > kSlots) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const Slot& slot = m_slots[handle - 1];
    if (step != nullptr) {
        *step = step_id(handle - 1, slot.generation);
    }
    return slot.reader;
}

template <class Operation>
auto ReplayManager::withReader(uint64_t handle, Operation&& operation)
    -> decltype(operation(std::declval<PcapReader&>())) {
    std::shared_ptr<PcapReader> reader = this->reader(handle);
    return reader ? operation(*reader) : VORLAN_ERROR_INVALID_ARGUMENTS;
}

int ReplayManager::load(const char* path, uint32_t flags, uint64_t* handle_out) {
    if (path == nullptr || handle_out == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    auto reader = std::make_shared<PcapReader>();
    if (!reader->Load(path, flags)) {
        return VORLAN_ERROR_FILE_IO;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (uint64_t i = 0; i < kSlots; ++i) {
            Slot& slot = m_slots[i];
            if (!slot.reader) {
                slot.reader = reader;
                slot.generation = m_next_generation++;
                *handle_out = i + 1;
                return VORLAN_SUCCESS;
            }
        }
    }
    reader->Unload();
    return VORLAN_ERROR_INVALID_STATE;
}

int ReplayManager::unload(uint64_t handle) {
    if (handle < 1 || handle > kSlots) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    Slot taken;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Slot& slot = m_slots[handle - 1];
        if (!slot.reader) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        // A reader cannot join its worker from a thread the worker may wait
        // for: a listener that unloads the capture feeding it is refused.
        if (slot.reader->CannotWaitForWorker()) {
            return VORLAN_ERROR_INVALID_STATE;
        }
        std::swap(taken, slot);
    }
    (void)unlistenFrames(singleStepFrameListener, step_id(handle - 1, taken.generation));
    taken.reader->Unload();
    return VORLAN_SUCCESS;
}

void ReplayManager::stopAll() {
    std::array<Slot, kSlots> taken;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        taken.swap(m_slots);
    }
    for (uint64_t i = 0; i < kSlots; ++i) {
        if (taken[i].reader) {
            (void)unlistenFrames(singleStepFrameListener, step_id(i, taken[i].generation));
            taken[i].reader->Unload();
        }
    }
}

void ReplayManager::stepFrame(void* user_data) {
    const uintptr_t id = reinterpret_cast<uintptr_t>(user_data);
    std::shared_ptr<PcapReader> reader;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Slot& slot = m_slots[id % kSlots];
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

int ReplayManager::play(uint64_t handle) {
    return withReader(handle, [](PcapReader& reader) {
        reader.Play(true);
        return VORLAN_SUCCESS;
    });
}

int ReplayManager::playToFinish(uint64_t handle) {
    return withReader(handle, [](PcapReader& reader) {
        bool damaged = false;
        if (!reader.Play(false, &damaged)) {
            return VORLAN_ERROR_INVALID_STATE;
        }
        // Everything before the damage has played; the rest of the file
        // could not be.
        return damaged ? VORLAN_ERROR_FILE_IO : VORLAN_SUCCESS;
    });
}

int ReplayManager::pause(uint64_t handle) {
    return withReader(handle, [](PcapReader& reader) {
        reader.Pause(false);
        return VORLAN_SUCCESS;
    });
}

int ReplayManager::nextFrame(uint64_t handle) {
    void* step = nullptr;
    std::shared_ptr<PcapReader> reader = this->reader(handle, &step);
    if (!reader) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    return reader->NextFrame(false, step) ? VORLAN_SUCCESS : VORLAN_ERROR_INVALID_STATE;
}

int ReplayManager::seek(uint64_t handle, int64_t position_us) {
    return withReader(handle, [&](PcapReader& reader) {
        reader.Seek(position_us, false);
        return VORLAN_SUCCESS;
    });
}

int64_t ReplayManager::seekPosition(uint64_t handle) {
    return withReader(handle, [](PcapReader& reader) { return reader.GetSeekPosition(); });
}

int64_t ReplayManager::indexPosition(uint64_t handle) {
    return withReader(handle, [](PcapReader& reader) { return reader.GetIndexPosition(); });
}

int64_t ReplayManager::length(uint64_t handle) {
    return withReader(handle, [](PcapReader& reader) {
        const int64_t length = reader.GetLength();
        return length < 0 ? int64_t{VORLAN_ERROR_INVALID_STATE} : length;
    });
}

int ReplayManager::setSpeed(uint64_t handle, int speed_percent) {
    return withReader(handle, [&](PcapReader& reader) {
        if (speed_percent < 0) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        reader.SetSpeed(speed_percent);
        return VORLAN_SUCCESS;
    });
}

int ReplayManager::speed(uint64_t handle) {
    return withReader(handle, [](PcapReader& reader) { return reader.GetSpeed(); });
}

int ReplayManager::setAutoReplay(uint64_t handle, uint32_t enable) {
    return withReader(handle, [&](PcapReader& reader) {
        if (enable > 1) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        reader.SetAutoReplay(enable == 1);
        return VORLAN_SUCCESS;
    });
}

int ReplayManager::isFinished(uint64_t handle) {
    return withReader(handle, [](PcapReader& reader) { return reader.IsFinished() ? 1 : 0; });
}

int ReplayManager::isPaused(uint64_t handle) {
    return withReader(handle, [](PcapReader& reader) { return reader.IsPaused() ? 1 : 0; });
}

int64_t ReplayManager::count(uint64_t handle, uint32_t which) {
    return withReader(handle, [&](PcapReader& reader) -> int64_t {
        const vorlan_capture::SkipCounters skipped = reader.Counters();
        const vorlan_capture::Traffic traffic = reader.Traffic();
        switch (which) {
            case VORLAN_REPLAY_COUNT_DATAGRAMS: return int64_t(traffic.datagrams);
            case VORLAN_REPLAY_COUNT_SENSOR_DATAGRAMS: return int64_t(traffic.sensor_datagrams);
            case VORLAN_REPLAY_COUNT_DUPLICATES: return int64_t(skipped.duplicates);
            case VORLAN_REPLAY_COUNT_SNAPSHOT_CUT: return int64_t(skipped.snapshot_cut);
            case VORLAN_REPLAY_COUNT_INCOMPLETE: return int64_t(skipped.incomplete);
            case VORLAN_REPLAY_COUNT_BROKEN: return int64_t(skipped.broken_header);
            case VORLAN_REPLAY_COUNT_NOT_UDP: return int64_t(skipped.not_udp);
            case VORLAN_REPLAY_COUNT_OTHER_LINK: return int64_t(skipped.other_link);
            default: return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
    });
}

void singleStepFrameListener(uint64_t, int64_t, size_t, size_t, const uint8_t*, void* user_data) {
    ReplayManager::instance().stepFrame(user_data);
}

void VorlanReplayStop() { ReplayManager::instance().stopAll(); }

std::shared_ptr<PcapReader> replayReader(uint64_t handle) { return ReplayManager::instance().reader(handle); }

}  // namespace vorlan_sdk2
