// Capture replay: a PcapReader feeds the UDP payloads of one capture file to
// VorlanReceiveData from its own worker thread, paced against the wall clock
// at an adjustable speed, and builds a time index of the file on a second
// thread (with its own file handle) for seeking and the length.
#ifndef VORLAN_SDK2_PCAP_SOURCE_H
#define VORLAN_SDK2_PCAP_SOURCE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture_reader.h"

namespace vorlan_sdk2 {

// Reassembly per (source, identification) with bounded state, shared with
// the first library.
using IpFragmentAggregator = vorlan_capture::FragmentReassembler;

// Load flags of VorlanReplayLoadPcap.
constexpr uint32_t kLoadNoIndexing = 1;
constexpr uint32_t kLoadAutoReplay = 2;
constexpr uint32_t kLoadPaused = 4;
constexpr uint32_t kLoadKeepDuplicates = 8;
constexpr uint32_t kLoadNoEndReport = 16;

// Position (µs from the first record) → offset of the record at that
// position, at least kStep apart; the largest key is the position of the
// last record that lies whole in the file (the readable capture ends at a
// record cut short or damaged in its length). Thread-safe.
class PcapIndex {
public:
    static constexpr int64_t kStep = 500000;

    // Walks the record headers of `file` from the first record; returns
    // early, false, when `stop` is set. Walking again adds nothing twice.
    bool BuildIndex(vorlan_capture::CaptureFile& file, const std::atomic<bool>& stop, int64_t start_time);
    // The entry with the greatest position <= `position`; the first entry
    // for a position before it.
    std::pair<int64_t, int64_t> Floor(int64_t position) const;
    // Whether every record walked so far is at or after the one before it.
    // Where time steps back (captures merged by appending), positions no
    // longer follow file order and Floor may name a record of a later part.
    bool TimeOrdered() const;
    int64_t LargestPosition() const;
    // From the earliest record to the latest, once BuildIndex has walked
    // every record: more than LargestPosition() where time goes backwards
    // (captures merged by appending put earlier records after later ones).
    int64_t Extent() const;
    // The capture's first record, at position 0; before BuildIndex.
    void Start(int64_t first_record);

private:
    mutable std::mutex m_mutex;
    std::map<int64_t, int64_t> m_entries{{0, int64_t(vorlan_capture::kFileHeaderSize)}};  // guarded by m_mutex
    // Positions of the earliest and the latest record; guarded by m_mutex.
    int64_t m_earliest = 0;
    int64_t m_latest = 0;
    bool m_time_ordered = true;  // guarded by m_mutex
};

// One payload as the worker hands it on.
struct PcapPacket {
    uint64_t handle = 0;
    int64_t timestamp = 0;  // µs as recorded
    const uint8_t* data = nullptr;  // valid until the decoder's next call
    size_t size = 0;
};

// Reads one capture for the worker thread. Only the position and the
// finished flag may be read from other threads.
class PcapDecoder {
public:
    // False for a file that cannot be read, is not a little-endian
    // microsecond capture, or holds no record.
    bool Open(const std::string& path);
    void SetDropDuplicates(bool drop) { m_reader.set_drop_duplicates(drop); }
    const vorlan_capture::Traffic& Traffic() const { return m_reader.traffic(); }
    bool NextUdpPacket(PcapPacket& packet);
    // Continues with the first record at or after `target` µs, walking
    // record headers from `offset` (a record at or before the target), or
    // from the current record when that is nearer; where time steps back in
    // the capture (`time_ordered` false, or seen by this decoder), from the
    // first record: the first in file order at or after the target.
    void SkipToPosition(int64_t target, int64_t offset, bool time_ordered);
    void Rewind();

    int64_t StartTime() const { return m_start_time; }
    int64_t TimeZoneOffset() const { return m_time_zone_offset; }
    int64_t FirstRecord() const { return m_first_record; }
    int64_t Position() const { return m_position.load(std::memory_order_relaxed); }
    bool Finished() const { return m_finished.load(std::memory_order_relaxed); }
    void ClearFinished() { m_finished.store(false, std::memory_order_relaxed); }
    const vorlan_capture::SkipCounters& Counters() const { return m_reader.counters(); }
    // Why NextUdpPacket last returned false.
    const vorlan_capture::CaptureReader::End& End() const { return m_reader.end(); }

private:
    vorlan_capture::CaptureReader m_reader;
    int64_t m_start_time = 0;
    int64_t m_time_zone_offset = 0;
    int64_t m_first_record = int64_t(vorlan_capture::kFileHeaderSize);
    std::atomic<int64_t> m_position{0};
    std::atomic<bool> m_finished{false};
    bool m_time_stepped_back = false;  // a record read earlier than the one before
};

class PcapReader {
public:
    PcapReader() = default;
    ~PcapReader() { Unload(); }
    PcapReader(const PcapReader&) = delete;
    PcapReader& operator=(const PcapReader&) = delete;

    // Opens the capture and, as the flags say, starts indexing and playing.
    bool Load(const std::string& path, uint32_t flags);
    // Blocking play returns once the file has played to its end; it is
    // refused with auto replay on, without a worker, or on the worker.
    // `damaged`, when given, tells whether playing ended at a record cut
    // short or damaged in its length (or at a read error) rather than at
    // the end of the file.
    bool Play(bool async, bool* damaged = nullptr);
    void Pause(bool async);
    // Carries out a seek to `position` µs (negative means 0). Unless async or
    // on the worker, waits until the worker has done it; without a worker
    // the request waits for playback to start.
    void Seek(int64_t position, bool async);
    // Plays until the next frame is published, then pauses. `step_id` is
    // the user pointer the single-step frame listener is registered with.
    // False, with the replay left as it was, when the listener cannot be
    // registered or when a frame FIFO that the client does not read holds
    // every frame up (no frame can be published until it reads).
    bool NextFrame(bool async, void* step_id);
    // µs from the earliest record to the latest, waiting for indexing
    // (started again if playing ended before it was done); -1 if the reader
    // stopped before indexing finished.
    int64_t GetLength();
    // Stops and joins both threads; nothing restarts them afterwards.
    void Unload();

    void SetSpeed(int speed);
    int GetSpeed();
    void SetAutoReplay(bool enable);
    bool IsFinished();
    bool IsPaused();
    int64_t GetSeekPosition();
    int64_t GetIndexPosition() const { return m_index.LargestPosition(); }
    // Whether the indexing thread is walking the file.
    bool Indexing();
    // For the single-step frame listener: whether a frame just published
    // ends the step. A frame published before this reader delivered
    // anything since the step began (a publication still under way from the
    // step before) does not.
    bool StepCounts();
    // Pauses at the end of a step.
    void StepDone();
    // True on a thread the worker may be waiting for: its own, or a relay
    // thread it feeds. Calls there never wait for the worker.
    bool CannotWaitForWorker();
    vorlan_capture::SkipCounters Counters();
    vorlan_capture::Traffic Traffic();

private:
    using Clock = std::chrono::steady_clock;

    void pcapWorkerRoutine();
    void buildIndicesRoutine();
    // With m_state_mutex held.
    bool cannotWaitForWorkerLocked() const;
    void tryStartPlaying();
    void tryStartIndexing();
    // Playing has ended: an indexer that nobody waits for stops, and is
    // started afresh if the length is asked for later.
    void stopIndexingLocked();
    void handleSeekRequest();
    // Calls off the worker's delivery under way (a wait for room in the
    // relay or the frame FIFO) and wakes it. With m_state_mutex held.
    void cancelDeliveryLocked();
    // At the end of playing: notes whether it was damage and, unless the
    // client reports it, says so on standard error the first time.
    void noteEnd();
    // A jump of the capture's time at `at` µs by `step` µs: says so on
    // standard error the first time. With m_state_mutex held.
    void noteTimeJump(int64_t at, int64_t step);
    // Waits on `condition` in 0.5 s steps until `done` or stop.
    template <class Done>
    void waitFor(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, Done done);

    std::string m_path;
    PcapDecoder m_decoder;  // used by the worker only (and Load before it starts)
    PcapIndex m_index;
    // The loaded capture, opened again by Load for the indexing threads (one
    // at a time; each joins the one before), so that indexing started long
    // after the load walks that capture even where its path no longer leads
    // to it. Let go (with its read window) once the index is whole.
    std::unique_ptr<vorlan_capture::CaptureFile> m_index_file;

    std::mutex m_state_mutex;
    std::condition_variable m_state_condition;      // the worker went idle or finished
    std::condition_variable m_play_condition;       // wakes the worker
    std::condition_variable m_seek_done_condition;
    std::condition_variable m_index_condition;
    // Guarded by m_state_mutex:
    bool m_auto_replay = false;
    int m_speed = 100;
    int64_t m_seek_request = -1;
    bool m_resync = true;
    bool m_playing = false;
    bool m_finished = false;
    bool m_indexing_done = false;
    bool m_indexing = false;          // the indexing thread is walking the file
    int m_length_waiters = 0;         // threads in GetLength
    bool m_unloaded = false;
    bool m_ended_damaged = false;   // the last end of playing was damage, not the end of the file
    bool m_client_reports_end = false;  // loaded with kLoadNoEndReport: noteEnd prints nothing
    bool m_damage_reported = false; // on standard error, once per capture loaded
    bool m_end_reported = false;    // what reading left out, once per capture loaded
    bool m_time_jump_reported = false;  // that time jumped, likewise
    uint64_t m_deliveries = 0;      // payloads handed on, counting the one under way
    uint64_t m_step_armed_at = 0;   // m_deliveries when the current step began
    std::thread m_worker;
    std::thread m_indexer;
    std::thread::id m_worker_id;
    vorlan_capture::SkipCounters m_counters;  // copied from the decoder by the worker
    vorlan_capture::Traffic m_traffic;        // likewise

    std::atomic<bool> m_stop{false};
    // Ends the indexing thread alone (playing ended); set by Unload too.
    std::atomic<bool> m_index_stop{false};
    // Moved to call off the worker's delivery under way (delivery_cancel.h).
    std::atomic<uint64_t> m_cancels{0};
};

// For tests: called on a reader's indexing thread before it indexes; it
// may block to hold indexing there (Unload then waits for it to return).
// Null, the default, does nothing.
using IndexHook = void (*)();
void setIndexHook(IndexHook hook);

// The reader loaded under a replay handle, or null; for the tool and the
// tests, which read its skip counters.
std::shared_ptr<PcapReader> replayReader(uint64_t handle);

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_PCAP_SOURCE_H
