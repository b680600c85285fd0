#include "pcap_source.h"

#include <algorithm>
#include <cstdio>

#include "async_relay.h"
#include "capture_report.h"
#include "delivery_cancel.h"
#include "frames.h"
#include "framework.h"
#include "vorlan_sdk2.h"

static_assert(vorlan_sdk2::kLoadNoIndexing == VORLAN_REPLAY_LOAD_NO_INDEXING &&
                  vorlan_sdk2::kLoadAutoReplay == VORLAN_REPLAY_LOAD_AUTO_REPLAY &&
                  vorlan_sdk2::kLoadPaused == VORLAN_REPLAY_LOAD_PAUSED &&
                  vorlan_sdk2::kLoadKeepDuplicates == VORLAN_REPLAY_LOAD_KEEP_DUPLICATES &&
                  vorlan_sdk2::kLoadNoEndReport == VORLAN_REPLAY_LOAD_NO_END_REPORT,
              "the load flags are those of the C interface");

namespace vorlan_sdk2 {

namespace {

constexpr auto kWaitStep = std::chrono::milliseconds(500);
// A step between consecutive records larger than this, either way, is a jump
// of the capture's clock (a clock set while recording, a record damaged in
// its time) rather than a sensor's silence: pacing starts afresh after it
// instead of waiting it out. Sensors repeat their information every second.
constexpr int64_t kTimeJumpUs = 5'000'000;
// How often a single step looks whether a frame FIFO nobody reads holds it up.
constexpr auto kStallCheck = std::chrono::milliseconds(200);
// The shortest pass of a looping replay, in capture time: a sensor's frame.
constexpr int64_t kMinLoopPeriodUs = 100'000;

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// ---- PcapIndex ----------------------------------------------------------------

namespace {

// Whether a record read with `status` lies whole in a file of `file_size` bytes
// with a length that can be right. Where one does not (the file was cut
// short, or a flipped bit made a stored length run past the end or claim
// more than was on the wire), nothing after it can be framed: the readable
// capture ends there, as it does for playback. A record longer than any
// capturing tool stores is still a record when it fits. A size of -1 (the
// system could not tell) checks the lengths alone.
bool whole_record(vorlan_capture::RecordStatus status, const vorlan_capture::Record& record, int64_t file_size) {
    using vorlan_capture::RecordStatus;
    return (status == RecordStatus::ok || status == RecordStatus::oversized) &&
           vorlan_capture::length_plausible(record) && (file_size < 0 || record.next_offset() <= file_size);
}

// The capture at `path` opened for walking its records; null if it cannot be.
std::unique_ptr<vorlan_capture::CaptureFile> open_capture(const std::string& path) {
    auto file = std::make_unique<vorlan_capture::CaptureFile>();
    if (file->open(path) != vorlan_capture::HeaderStatus::ok) {
        file.reset();
    }
    return file;
}

}  // namespace

bool PcapIndex::BuildIndex(vorlan_capture::CaptureFile& file, const std::atomic<bool>& stop, int64_t start_time) {
    // The file as it is now: records appended later are played but not indexed.
    const int64_t file_size = file.size();
    int64_t offset = file.first_offset();
    int64_t threshold = start_time;
    vorlan_capture::Record record;
    vorlan_capture::Record last;
    bool have_last = false;
    int64_t earliest = 0;
    int64_t latest = 0;
    bool ordered = true;
    int64_t previous_time = start_time;
    while (!stop.load(std::memory_order_relaxed)) {
        threshold += kStep;
        bool found = false;
        bool at_end = false;
        while (!stop.load(std::memory_order_relaxed)) {
            if (!whole_record(file.read(offset, record, false), record, file_size)) {
                at_end = true;
                break;
            }
            last = record;
            have_last = true;
            ordered = ordered && record.time >= previous_time;
            previous_time = record.time;
            earliest = std::min(earliest, record.time - start_time);
            latest = std::max(latest, record.time - start_time);
            offset = record.next_offset();
            if (record.time >= threshold) {
                found = true;
                break;
            }
        }
        if (!at_end && !found) {
            return false;  // stopped
        }
        if (at_end) {
            if (have_last) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_entries.emplace(last.time - start_time, last.offset);
                m_earliest = earliest;
                m_latest = latest;
                m_time_ordered = m_time_ordered && ordered;
            }
            return true;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_time_ordered = m_time_ordered && ordered;
            // The record itself, so that seeking to its position plays it.
            m_entries.emplace(record.time - start_time, record.offset);
        }
        threshold = record.time;
    }
    return false;
}

std::pair<int64_t, int64_t> PcapIndex::Floor(int64_t position) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.upper_bound(position);
    if (it != m_entries.begin()) {
        --it;
    }
    return *it;
}

bool PcapIndex::TimeOrdered() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_time_ordered;
}

void PcapIndex::Start(int64_t first_record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
    m_entries.emplace(0, first_record);
    m_time_ordered = true;
}

int64_t PcapIndex::LargestPosition() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.rbegin()->first;
}

int64_t PcapIndex::Extent() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::max(m_latest, m_entries.rbegin()->first) - std::min<int64_t>(m_earliest, 0);
}

// ---- PcapDecoder --------------------------------------------------------------

bool PcapDecoder::Open(const std::string& path) {
    if (m_reader.open(path) != vorlan_capture::HeaderStatus::ok) {
        return false;
    }
    vorlan_capture::Record first;
    // The start time is the first record's, whatever it carries.
    if (m_reader.file().read(m_reader.file().first_offset(), first, false) != vorlan_capture::RecordStatus::ok) {
        m_reader.close();
        return false;
    }
    m_start_time = first.time;
    m_first_record = first.offset;
    m_time_zone_offset = int64_t(m_reader.header().time_zone_seconds) * 1000000;
    m_position.store(0, std::memory_order_relaxed);
    m_finished.store(false, std::memory_order_relaxed);
    m_time_stepped_back = false;
    return true;
}

bool PcapDecoder::NextUdpPacket(PcapPacket& packet) {
    vorlan_capture::Datagram datagram;
    if (!m_reader.next(datagram)) {
        m_finished.store(true, std::memory_order_relaxed);
        return false;
    }
    packet.handle = datagram.source;
    packet.timestamp = datagram.time;
    packet.data = datagram.payload;
    packet.size = datagram.size;
    const int64_t position = datagram.time - m_start_time;
    m_time_stepped_back = m_time_stepped_back || position < Position();
    m_position.store(position, std::memory_order_relaxed);
    return true;
}

void PcapDecoder::SkipToPosition(int64_t target, int64_t offset, bool time_ordered) {
    using vorlan_capture::RecordStatus;
    // Going forward from where playback is beats going back to the index
    // entry when that entry lies behind the current record. Where time
    // steps back, neither the current record nor the index entry says that
    // no earlier record in the file is at or after the target.
    int64_t from = m_reader.next_offset();
    if (!time_ordered || m_time_stepped_back) {
        from = m_first_record;
    } else if (Position() >= target || offset > from) {
        from = offset;
    }
    const int64_t file_size = m_reader.file().size();
    vorlan_capture::Record record;
    for (;;) {
        const RecordStatus status = m_reader.file().read(from, record, false);
        if (status == RecordStatus::end) {
            m_finished.store(true, std::memory_order_relaxed);
            m_reader.seek(from);
            return;
        }
        if (!whole_record(status, record, file_size)) {
            // Damage before the target: playback goes on from the damaged
            // record, so that it ends there and says so, as it would have
            // without the seek.
            m_reader.seek(from);
            m_finished.store(false, std::memory_order_relaxed);
            return;
        }
        if (record.time >= m_start_time + target) {
            break;
        }
        from = record.next_offset();
    }
    // The record found is played next.
    m_reader.seek(record.offset);
    m_position.store(record.time - m_start_time, std::memory_order_relaxed);
    m_finished.store(false, std::memory_order_relaxed);
}

void PcapDecoder::Rewind() {
    m_reader.seek(m_first_record);
    m_position.store(0, std::memory_order_relaxed);
    m_finished.store(false, std::memory_order_relaxed);
}

// ---- PcapReader ---------------------------------------------------------------

template <class Done>
void PcapReader::waitFor(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, Done done) {
    while (!done() && !m_stop.load()) {
        condition.wait_for(lock, kWaitStep);
    }
}

bool PcapReader::CannotWaitForWorker() {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    return cannotWaitForWorkerLocked();
}

bool PcapReader::cannotWaitForWorkerLocked() const {
    return m_worker_id == std::this_thread::get_id() || onAsyncRelayThread();
}

bool PcapReader::Load(const std::string& path, uint32_t flags) {
    m_path = path;
    if (!m_decoder.Open(path)) {
        return false;
    }
    m_index.Start(m_decoder.FirstRecord());
    // Now, while the path still leads to this capture: indexing may start
    // only when the length is asked for, after a rename, a removal or
    // another capture written under the same name.
    m_index_file = open_capture(path);
    m_decoder.SetDropDuplicates((flags & kLoadKeepDuplicates) == 0);
    std::lock_guard<std::mutex> lock(m_state_mutex);
    m_auto_replay = (flags & kLoadAutoReplay) != 0;
    m_client_reports_end = (flags & kLoadNoEndReport) != 0;
    if ((flags & kLoadNoIndexing) == 0) {
        tryStartIndexing();
    }
    if ((flags & kLoadPaused) != 0) {
        m_playing = false;
        return true;
    }
    tryStartPlaying();
    return true;
}

void PcapReader::tryStartPlaying() {
    if (m_unloaded || m_worker.joinable()) {
        return;
    }
    m_stop.store(false);
    m_playing = true;
    m_worker = std::thread([this] { pcapWorkerRoutine(); });
    m_worker_id = m_worker.get_id();
}

void PcapReader::tryStartIndexing() {
    if (m_unloaded || m_indexing_done || m_indexing) {
        return;
    }
    if (m_indexer.joinable()) {
        // An indexer stopped when playing ended; it has left the file and
        // only returns (it needs no lock any more).
        m_indexer.join();
    }
    m_index_stop.store(false);
    m_indexing = true;
    m_indexer = std::thread([this] { buildIndicesRoutine(); });
}

void PcapReader::stopIndexingLocked() {
    if (m_indexing && m_length_waiters == 0) {
        m_index_stop.store(true);
    }
}

bool PcapReader::Play(bool async, bool* damaged) {
    std::unique_lock<std::mutex> lock(m_state_mutex);
    if (m_unloaded) {
        return false;
    }
    // A blocking play that would be refused changes nothing: a looping
    // capture never ends, and the worker cannot wait for itself.
    if (!async && (m_auto_replay || cannotWaitForWorkerLocked())) {
        return false;
    }
    tryStartPlaying();
    m_playing = true;
    m_play_condition.notify_all();
    if (async) {
        return true;
    }
    if (!m_worker.joinable()) {
        return false;
    }
    waitFor(m_state_condition, lock, [&] { return m_finished; });
    if (damaged != nullptr) {
        *damaged = m_finished && m_ended_damaged;
    }
    return m_finished;
}

void PcapReader::Pause(bool async) {
    std::unique_lock<std::mutex> lock(m_state_mutex);
    m_playing = false;
    m_play_condition.notify_all();  // out of a pacing sleep
    if (!async && m_worker.joinable() && !cannotWaitForWorkerLocked()) {
        m_state_condition.wait_for(lock, kWaitStep);
    }
}

void PcapReader::Seek(int64_t position, bool async) {
    std::unique_lock<std::mutex> lock(m_state_mutex);
    m_seek_request = std::max<int64_t>(position, 0);
    m_play_condition.notify_all();
    if (!m_worker.joinable()) {
        // Nothing of this capture is under way: what is queued is let go now.
        lock.unlock();
        clearAsyncRelay();
        clearFrameAggregator();
        return;
    }
    // The worker may be held up handing on a payload of the position left
    // behind (a full relay, a frame FIFO nobody reads): that payload is
    // dropped, and the worker lets the queued ones go when it carries the
    // seek out, before it hands on anything of the new position.
    cancelDeliveryLocked();
    if (async || cannotWaitForWorkerLocked()) {
        return;
    }
    waitFor(m_seek_done_condition, lock, [&] { return m_seek_request < 0; });
}

void PcapReader::cancelDeliveryLocked() {
    m_cancels.fetch_add(1, std::memory_order_seq_cst);
    wakeWaitingProducers();
}

bool PcapReader::NextFrame(bool async, void* step_id) {
    if (!async && frameFifoHoldsFramesUp()) {
        return false;
    }
    bool was_playing = false;
    {
        std::lock_guard<std::mutex> lock(m_state_mutex);
        m_step_armed_at = m_deliveries;
        was_playing = m_playing;
    }
    // A step that ended at the end of the file left its listener behind.
    (void)frameCallbacks().Remove(singleStepFrameListener, step_id);
    if (listenFrames(getFrameAggregationMode(), singleStepFrameListener, step_id) != VORLAN_SUCCESS) {
        return false;
    }
    Play(true);
    std::unique_lock<std::mutex> lock(m_state_mutex);
    if (async || cannotWaitForWorkerLocked()) {
        return true;
    }
    // The end of the file ends the step too: no frame will come.
    const auto done = [&] { return !m_playing || (m_finished && !m_auto_replay) || m_stop.load(); };
    // A frame FIFO whose producer keeps waiting while the client consumes
    // nothing holds every frame up, this step's too: the step is called off
    // rather than waited out.
    FrameFifo::Progress before = frameFifo().progress();
    while (!done()) {
        m_state_condition.wait_for(lock, kStallCheck);
        if (done()) {
            break;
        }
        const FrameFifo::Progress now = frameFifo().progress();
        if (before.producer_waiting && now.producer_waiting && now.consumed == before.consumed) {
            m_playing = was_playing;
            m_play_condition.notify_all();
            lock.unlock();
            (void)unlistenFrames(singleStepFrameListener, step_id);
            return false;
        }
        before = now;
    }
    return true;
}

bool PcapReader::StepCounts() {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    return m_deliveries > m_step_armed_at;
}

void PcapReader::StepDone() {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    m_playing = false;
    m_play_condition.notify_all();
    m_state_condition.notify_all();
}

int64_t PcapReader::GetLength() {
    std::unique_lock<std::mutex> lock(m_state_mutex);
    ++m_length_waiters;
    // An indexer stopped by the end of playing before this call came is
    // started again; one running is left to finish (unless unloading).
    if (!m_stop.load()) {
        m_index_stop.store(false);
    }
    while (!m_indexing_done && !m_stop.load()) {
        tryStartIndexing();
        m_index_condition.wait_for(lock, kWaitStep);
    }
    --m_length_waiters;
    if (!m_indexing_done) {
        return -1;
    }
    return m_index.Extent();
}

void PcapReader::Unload() {
    {
        std::lock_guard<std::mutex> lock(m_state_mutex);
        m_unloaded = true;
        m_stop.store(true);
        m_index_stop.store(true);
        cancelDeliveryLocked();
        m_play_condition.notify_all();
        m_state_condition.notify_all();
        m_seek_done_condition.notify_all();
        m_index_condition.notify_all();
    }
    // Both threads exist only while m_unloaded is false, so no other thread
    // starts one behind the joins.
    if (m_worker.joinable()) {
        m_worker.join();
    }
    if (m_indexer.joinable()) {
        m_indexer.join();
    }
    clearAsyncRelay();
    clearFrameAggregator();
}

void PcapReader::SetSpeed(int speed) {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    m_speed = speed;
    m_resync = true;
    m_play_condition.notify_all();
}

bool PcapReader::Indexing() {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    return m_indexing;
}

int PcapReader::GetSpeed() {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    return m_speed;
}

void PcapReader::SetAutoReplay(bool enable) {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    m_auto_replay = enable;
    m_play_condition.notify_all();
}

bool PcapReader::IsFinished() {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    return !m_auto_replay && m_finished;
}

bool PcapReader::IsPaused() {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    return !m_playing;
}

int64_t PcapReader::GetSeekPosition() {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    return m_seek_request >= 0 ? m_seek_request : m_decoder.Position();
}

vorlan_capture::SkipCounters PcapReader::Counters() {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    return m_counters;
}

vorlan_capture::Traffic PcapReader::Traffic() {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    return m_traffic;
}

void PcapReader::handleSeekRequest() {
    if (m_seek_request < 0) {
        return;
    }
    // What was queued or half aggregated belongs to the position left
    // behind. Let go here, on the worker, so that nothing of the new
    // position has been handed on yet.
    clearAsyncRelay();
    clearFrameAggregator();
    const auto entry = m_index.Floor(m_seek_request);
    m_decoder.SkipToPosition(m_seek_request, entry.second, m_index.TimeOrdered());
    m_finished = m_decoder.Finished();
    m_resync = true;
    m_seek_request = -1;
    m_seek_done_condition.notify_all();
}

void PcapReader::noteTimeJump(int64_t at, int64_t step) {
    if (m_time_jump_reported) {
        return;
    }
    m_time_jump_reported = true;
    std::fprintf(stderr,
                 "vorlan_sdk2: %s: the capture's time jumps by %+.6f s after %.6f s; the replay goes on from there "
                 "without waiting (said once per capture)\n",
                 m_path.c_str(), double(step) * 1e-6, double(at) * 1e-6);
}

void PcapReader::noteEnd() {
    using End = vorlan_capture::CaptureReader::End;
    const End& end = m_decoder.End();
    m_ended_damaged = end.kind == End::cut || end.kind == End::io_error;
    if (m_client_reports_end) {
        return;
    }
    if (!m_end_reported) {
        m_end_reported = true;
        vorlan_capture::SkipCounters counters = m_decoder.Counters();
        if (end.kind == End::cut && counters.broken_header > 0) {
            // The record cut short has its own report, saying where.
            --counters.broken_header;
        }
        const vorlan_capture::Traffic& traffic = m_decoder.Traffic();
        if (traffic.sensor_datagrams == 0) {
            std::fprintf(stderr, "vorlan_sdk2: %s: no sensor datagram in the capture: %s\n", m_path.c_str(),
                         vorlan_capture::describe_holdings(traffic, counters).c_str());
        }
        const std::string losses = vorlan_capture::describe_losses(counters);
        if (!losses.empty()) {
            std::fprintf(stderr, "vorlan_sdk2: %s: %s\n", m_path.c_str(), losses.c_str());
        }
    }
    if (!m_ended_damaged || m_damage_reported) {
        return;
    }
    m_damage_reported = true;
    // A record cut inside its own header has no time of its own; the last
    // one played stands for it.
    const int64_t at = end.kind == End::cut && end.has_time ? end.time - m_decoder.StartTime() : m_decoder.Position();
    if (end.kind == End::cut) {
        std::fprintf(stderr,
                     "vorlan_sdk2: %s: capture cut short or damaged at %.6f s (record at byte %lld): no record after "
                     "it can be read\n",
                     m_path.c_str(), double(at) * 1e-6, static_cast<long long>(end.offset));
    } else {
        std::fprintf(stderr, "vorlan_sdk2: %s: the capture cannot be read on after %.6f s\n", m_path.c_str(),
                     double(at) * 1e-6);
    }
}

namespace {
std::atomic<IndexHook> g_index_hook{nullptr};
}  // namespace

void setIndexHook(IndexHook hook) { g_index_hook.store(hook); }

void PcapReader::buildIndicesRoutine() {
    if (IndexHook hook = g_index_hook.load()) {
        hook();
    }
    // A capture that could not be opened for indexing at the load, nor now,
    // is not indexed further: the length is what the index holds.
    if (!m_index_file) {
        m_index_file = open_capture(m_path);
    }
    bool done = true;
    if (m_index_file) {
        done = m_index.BuildIndex(*m_index_file, m_index_stop, m_decoder.StartTime());
    }
    if (done) {
        m_index_file.reset();
    }
    std::lock_guard<std::mutex> lock(m_state_mutex);
    m_indexing_done = done;
    m_indexing = false;
    m_index_condition.notify_all();
}

void PcapReader::pcapWorkerRoutine() {
    PcapPacket packet;
    bool holding = false;  // a packet read but not handed on yet
    int64_t base = 0;
    int64_t last_position = 0;
    for (;;) {
        std::unique_lock<std::mutex> lock(m_state_mutex);
        if (m_stop.load()) {
            return;
        }
        while (!m_playing || (!m_auto_replay && m_finished && !holding) || m_seek_request >= 0) {
            if (m_seek_request >= 0) {
                handleSeekRequest();
                holding = false;
                continue;
            }
            m_state_condition.notify_all();
            m_play_condition.wait_for(lock, kWaitStep);
            if (m_stop.load()) {
                return;
            }
            m_resync = true;
        }
        if (!holding) {
            lock.unlock();
            const bool got = m_decoder.NextUdpPacket(packet);
            lock.lock();
            m_counters = m_decoder.Counters();
            m_traffic = m_decoder.Traffic();
            if (!got) {
                noteEnd();
                if (m_auto_replay) {
                    m_decoder.Rewind();
                    m_finished = false;
                    // One pass takes at least kMinLoopPeriodUs of capture
                    // time: a capture whose packets all carry one time would
                    // otherwise be replayed in a busy loop.
                    if (m_speed > 0 && !m_resync) {
                        const int64_t pass = std::max(last_position, kMinLoopPeriodUs) * 100 / m_speed;
                        const int64_t delay = base + pass - now_us();
                        if (delay > 0) {
                            const auto until = Clock::now() + std::chrono::microseconds(delay);
                            m_play_condition.wait_until(lock, until, [&] {
                                return m_stop.load() || !m_playing || m_seek_request >= 0 || m_resync;
                            });
                        }
                    }
                } else {
                    m_finished = true;
                    stopIndexingLocked();
                    m_state_condition.notify_all();
                }
                m_resync = true;
                continue;
            }
            holding = true;
        }
        // Pacing: the packet's position scaled by the speed, against a wall
        // clock base taken at the last resync. A capture clock that runs
        // backwards re-bases instead of playing a burst.
        const int64_t position = packet.timestamp - m_decoder.StartTime();
        if (m_speed > 0) {
            const int64_t target = position * 100 / m_speed;
            int64_t delay = 0;
            const int64_t step = position - last_position;
            const bool jumped = !m_resync && (step > kTimeJumpUs || step < -kTimeJumpUs);
            if (jumped) {
                noteTimeJump(last_position, step);
            }
            if (m_resync || position < last_position || jumped) {
                base = now_us() - target;
                m_resync = false;
            } else {
                delay = target + base - now_us();
            }
            if (delay > 0) {
                // Woken early by a pause, a seek, a speed change or stop: the
                // loop looks at the state again before handing the packet on.
                const auto until = Clock::now() + std::chrono::microseconds(delay);
                const bool interrupted = m_play_condition.wait_until(lock, until, [&] {
                    return m_stop.load() || !m_playing || m_seek_request >= 0 || m_resync;
                });
                if (interrupted) {
                    continue;
                }
            }
        }
        last_position = position;
        holding = false;
        if (m_stop.load()) {
            return;  // an unload came while the packet was read
        }
        if (m_seek_request >= 0) {
            continue;  // the packet belongs to the position left behind
        }
        ++m_deliveries;
        const int64_t timestamp = packet.timestamp - m_decoder.TimeZoneOffset();
        // A seek or an unload from now on calls this delivery off.
        const DeliveryScope delivery(m_cancels, m_cancels.load(std::memory_order_seq_cst));
        lock.unlock();
        (void)VorlanReceiveData(packet.handle, timestamp, packet.data, packet.size);
    }
}

}  // namespace vorlan_sdk2
