// Indexes the records of an open capture on a thread of its own, with its own
// file handle, so that a replay plays its first packets at once while a long
// capture is still being indexed: a seek waits only until the records up to
// its position are indexed, and the length until every record is. The side
// index next to the capture is loaded when it matches the capture, and
// written as the records are indexed otherwise.
#ifndef VORLAN_SOURCE_RECORD_INDEXER_H
#define VORLAN_SOURCE_RECORD_INDEXER_H

#include <atomic>
#include <iosfwd>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "capture_file.h"
#include "record_index.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"

namespace vorlan_sdk {

class RecordIndexer {
public:
    struct Source {
        std::string path;
        std::string side_index;  // the side index file's name
        int64_t time_offset = 0;  // µs added to every stored time
    };
    // The records in this many bytes from the start of a capture are indexed
    // before the open returns, so that a fault there fails the open; that
    // takes a few milliseconds. The rest is indexed behind the replay.
    static constexpr int64_t kForegroundBytes = int64_t(1) << 20;

    // Starts indexing. The thread runs until every record is indexed or the
    // indexer is stopped.
    explicit RecordIndexer(const Source& source);
    // Stops the thread; a side index not written whole is removed.
    ~RecordIndexer();
    RecordIndexer(const RecordIndexer&) = delete;
    RecordIndexer& operator=(const RecordIndexer&) = delete;

    // Waits until the records of the first kForegroundBytes are indexed (or
    // the capture's index was found on disk), and returns the failure met
    // in them: "Empty packet!" for a record of no bytes, or a file whose size
    // cannot be told. A failure further on ends the index at that record and
    // is reported on standard error.
    SensorError wait_for_foreground();
    // Waits until a record later than `position` (µs relative to the start
    // time) is indexed, or every record is.
    void wait_past(int64_t position);
    // Waits until every record is indexed (or the indexer was stopped).
    void wait_done();
    // Stops and joins the thread; waiters return at once.
    void stop();

    // Any thread, without waiting.
    bool done() const;
    // Whether stop() has been called.
    bool stopping() const { return m_stop.load(); }
    // The latest record time indexed so far, 0 when none is.
    int64_t latest() const;
    // From the earliest record time indexed so far to the latest.
    int64_t extent() const;

    // Where a seek to `position` starts walking, from the records indexed so
    // far: `valid` is false when the position lies at or after the latest
    // record of a capture indexed whole.
    CoarseRecordIndex::Walk plan_seek(int64_t position, bool& valid) const;
    // After wait_done(): the index and whether the side index on disk lists
    // every record of it.
    const CoarseRecordIndex& index() const { return m_index; }
    bool on_disk() const;

    // For tests: called on the indexing thread once the foreground records
    // are indexed while records remain, before the rest is; it may block to
    // hold indexing there. Null (the default) does nothing.
    using ForegroundHook = void (*)();
    static void set_foreground_hook(ForegroundHook hook);

    // Whether a record read with `status` lies whole in the file's first
    // `file_size` bytes, with a length that can be right.
    static bool lies_whole(vorlan_capture::RecordStatus status, const vorlan_capture::Record& record,
                           int64_t file_size);

private:
    void run();
    // Loads the side index into `loaded` when it describes this capture.
    bool load(std::istream& in, CoarseRecordIndex& loaded);
    SensorError check_side_index(std::istream& in, CoarseRecordIndex& loaded);
    // Indexes the records from the capture itself, writing the side index.
    void build();
    // The records in `batch` join the index; waiters are told.
    void publish(const RecordPosition* batch, std::size_t n);
    void foreground_done();
    // The record at `pointer` when it lies whole in the file's first
    // `file_size` bytes with a length that can be right.
    bool whole_record(int64_t pointer, int64_t file_size, vorlan_capture::Record& record);

    const Source m_capture;
    vorlan_capture::CaptureFile m_file;  // used by the indexing thread only
    int64_t m_start_time = 0;            // likewise
    std::atomic<bool> m_stop{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    CoarseRecordIndex m_index;         // guarded by m_mutex until m_done
    bool m_foreground = false;         // guarded by m_mutex
    bool m_done = false;               // guarded by m_mutex
    bool m_on_disk = false;            // guarded by m_mutex
    // The failure met in the foreground records; guarded by m_mutex.
    VorlanSensorErrorCode m_foreground_code = VORLAN_SUCCESS;
    std::string m_foreground_message;
    std::mutex m_join_mutex;           // serialises stop()
    std::thread m_thread;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_RECORD_INDEXER_H
