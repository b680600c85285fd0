#include "record_indexer.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#include "capture.h"
#include "core.h"
#include "wire_bytes.h"

#define VORLAN_SOURCE_FILE "source/record_indexer"

namespace vorlan_sdk {

namespace {

// Records that join the shared index at once: a lock and a wake-up per
// batch, not per record.
constexpr std::size_t kPublishBatch = 4096;

std::atomic<RecordIndexer::ForegroundHook> g_foreground_hook{nullptr};

bool is_eof(std::istream& stream) {
    const bool eof = stream.peek() == std::istream::traits_type::eof();
    stream.clear();
    return eof;
}

// Bytes between the read position and the end of `stream`, or -1.
int64_t remaining_bytes(std::istream& stream) {
    const std::streamoff here = stream.tellg();
    stream.seekg(0, std::ios::end);
    const std::streamoff end = stream.tellg();
    stream.seekg(here);
    if (here < 0 || end < here) {
        return -1;
    }
    return static_cast<int64_t>(end - here);
}

// A record of no bytes cannot have come from a network.
SensorError check_not_empty(const vorlan_capture::Record& record) {
    VORLAN_CHECK(record.included_length != 0, VORLAN_ERROR_CORRUPT_FILE, "Empty packet!");
    return VORLAN_SUCCESS;
}

// Writes the side index as records are indexed, a chunk at a time. The
// header's count is written last: a file left behind half written says it
// holds no entries, and is rebuilt at the next open.
class IndexWriter {
public:
    IndexWriter(std::ostream& out, int64_t start_time) : m_out(out) {
        uint8_t header[Capture::kIndexHeaderSize];
        vorlan_common::store_u64le(header, Capture::kIndexVersion);
        vorlan_common::store_u64le(header + 8, static_cast<uint64_t>(start_time));
        vorlan_common::store_u64le(header + 16, 0);
        m_out.write(reinterpret_cast<const char*>(header), sizeof(header));
    }
    void add(const RecordPosition& entry) {
        uint8_t* at = m_chunk.data() + m_n_chunk * Capture::kIndexEntrySize;
        vorlan_common::store_u64le(at, static_cast<uint64_t>(entry.timestamp));
        vorlan_common::store_u64le(at + 8, static_cast<uint64_t>(entry.pointer));
        ++m_count;
        if (++m_n_chunk == Capture::kIndexChunkEntries) {
            flush_chunk();
        }
    }
    SensorError finish() {
        flush_chunk();
        uint8_t count[8];
        vorlan_common::store_u64le(count, m_count);
        m_out.seekp(16);
        m_out.write(reinterpret_cast<const char*>(count), sizeof(count));
        m_out.flush();
        return check_file(m_out);
    }

private:
    void flush_chunk() {
        m_out.write(reinterpret_cast<const char*>(m_chunk.data()),
                    static_cast<std::streamsize>(m_n_chunk * Capture::kIndexEntrySize));
        m_n_chunk = 0;
    }

    std::ostream& m_out;
    std::vector<uint8_t> m_chunk = std::vector<uint8_t>(Capture::kIndexChunkEntries * Capture::kIndexEntrySize);
    std::size_t m_n_chunk = 0;
    uint64_t m_count = 0;
};

}  // namespace

bool RecordIndexer::lies_whole(vorlan_capture::RecordStatus status, const vorlan_capture::Record& record,
                               int64_t file_size) {
    // A record longer than any capturing tool stores is still a record.
    return (status == vorlan_capture::RecordStatus::ok || status == vorlan_capture::RecordStatus::oversized) &&
           vorlan_capture::length_plausible(record) && record.next_offset() <= file_size;
}

void RecordIndexer::set_foreground_hook(ForegroundHook hook) { g_foreground_hook.store(hook); }

RecordIndexer::RecordIndexer(const Source& source) : m_capture(source) {
    m_thread = std::thread([this] { run(); });
}

RecordIndexer::~RecordIndexer() { stop(); }

void RecordIndexer::stop() {
    std::lock_guard<std::mutex> join_lock(m_join_mutex);
    m_stop.store(true);
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

// ---- Waiting and asking -----------------------------------------------------------

SensorError RecordIndexer::wait_for_foreground() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_foreground || m_done; });
    if (m_foreground_code != VORLAN_SUCCESS) {
        return SensorError(m_foreground_code, m_foreground_message);
    }
    return VORLAN_SUCCESS;
}

void RecordIndexer::wait_past(int64_t position) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_done || (!m_index.empty() && m_index.latest() > position); });
}

void RecordIndexer::wait_done() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_done; });
}

bool RecordIndexer::done() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_done;
}

int64_t RecordIndexer::latest() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_index.empty() ? 0 : m_index.latest();
}

int64_t RecordIndexer::extent() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_index.empty() ? 0 : m_index.extent();
}

bool RecordIndexer::on_disk() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_done && m_on_disk;
}

CoarseRecordIndex::Walk RecordIndexer::plan_seek(int64_t position, bool& valid) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    // While indexing goes on, a record after the position has been indexed
    // (wait_past), so the position lies before the capture's end.
    valid = position >= 0 && !m_index.empty() && position < m_index.latest();
    // Where time goes backwards somewhere (captures merged by appending), the
    // first record in file order at or after `position`, from the start; in
    // a capture indexed in part, that one is among the records indexed.
    return m_index.time_ordered() ? m_index.walk_to(position) : m_index.walk_all();
}

// ---- The indexing thread -------------------------------------------------------------

void RecordIndexer::run() {
    if (m_file.open(m_capture.path) != vorlan_capture::HeaderStatus::ok) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_foreground = true;
        m_foreground_code = VORLAN_ERROR_FILE_IO;
        m_foreground_message = "Cannot open the capture to index it!";
        m_done = true;
        m_changed.notify_all();
        return;
    }
    std::ifstream side(m_capture.side_index, std::ios::in | std::ios::binary);
    if (side.is_open()) {
        CoarseRecordIndex loaded;
        if (load(side, loaded)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_index = std::move(loaded);
            m_on_disk = true;
            m_done = true;
            m_changed.notify_all();
            return;
        }
        side.close();
    }
    build();
}

void RecordIndexer::foreground_done() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_foreground = true;
    m_changed.notify_all();
}

void RecordIndexer::publish(const RecordPosition* batch, std::size_t n) {
    if (n == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::size_t i = 0; i < n; ++i) {
        m_index.push_back(batch[i]);
    }
    m_changed.notify_all();
}

bool RecordIndexer::whole_record(int64_t pointer, int64_t file_size, vorlan_capture::Record& record) {
    return lies_whole(m_file.read(pointer, record, false), record, file_size) && record.offset == pointer;
}

void RecordIndexer::build() {
    if (m_stop.load()) {
        // Stopped while loading: a side index that may be good stays as it is.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_foreground = true;
        m_done = true;
        m_changed.notify_all();
        return;
    }
    SensorError failure;
    bool whole = false;
    bool foreground = false;
    bool indexed_any = false;
    // The side index is written while the records are indexed, so that no
    // more than the coarse index is ever held. The capture reads fine
    // without its index on disk (a read-only folder, say).
    std::ofstream out(m_capture.side_index, std::ios::out | std::ios::trunc | std::ios::binary);
    std::unique_ptr<IndexWriter> writer;
    // The file as it is now: records appended later are played but not indexed.
    const int64_t file_size = m_file.size();
    if (file_size < 0) {
        failure = SensorError(VORLAN_ERROR_FILE_IO, "Cannot tell the capture's size!");
    } else {
        std::vector<RecordPosition> batch;
        batch.reserve(kPublishBatch);
        int64_t pointer = m_file.first_offset();
        vorlan_capture::Record record;
        // Only records that lie whole in the file are indexed: where one runs
        // past the end, or claims more than was on the wire (a file cut
        // short, a flipped bit in a stored length), the readable part of the
        // capture ends, and reading reports it there.
        while (!m_stop.load(std::memory_order_relaxed)) {
            const vorlan_capture::RecordStatus status = m_file.read(pointer, record, false);
            if (status == vorlan_capture::RecordStatus::end) {
                // Blocks that hold no packet may follow the last record.
                whole = true;
                break;
            }
            if (!lies_whole(status, record, file_size)) {
                break;
            }
            failure = check_not_empty(record);
            if (!failure.ok()) {
                break;
            }
            const int64_t t = record.time + m_capture.time_offset;
            if (!indexed_any) {
                m_start_time = t;
                indexed_any = true;
                if (out.is_open()) {
                    writer = std::make_unique<IndexWriter>(out, m_start_time);
                }
            }
            const RecordPosition position{t - m_start_time, record.offset};
            if (writer) {
                writer->add(position);
            }
            batch.push_back(position);
            pointer = record.next_offset();
            const bool foreground_ends = !foreground && pointer >= kForegroundBytes;
            if (batch.size() == kPublishBatch || foreground_ends) {
                publish(batch.data(), batch.size());
                batch.clear();
            }
            if (foreground_ends) {
                foreground = true;
                foreground_done();
                if (ForegroundHook hook = g_foreground_hook.load()) {
                    hook();
                }
            }
        }
        publish(batch.data(), batch.size());
    }
    if (whole && writer != nullptr) {
        whole = writer->finish().ok();
    }
    bool kept = false;
    if (out.is_open()) {
        out.close();
        // Only an index of the whole capture is kept: one of a damaged
        // capture could not be checked against it at the next open.
        kept = failure.ok() && whole && !out.fail() && indexed_any;
        if (!kept) {
            std::remove(m_capture.side_index.c_str());
        }
    } else if (failure.ok() && whole) {
        // Not written: only reported.
        SensorError unsaved(VORLAN_ERROR_FILE_IO);
        unsaved.check_used();
    }

    const bool late_failure = foreground && !failure.ok();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_on_disk = kept;
        m_done = true;
        if (!foreground) {
            m_foreground = true;
            m_foreground_code = failure.peek_code();
            m_foreground_message = failure.message();
            failure.mark_used();
        }
        m_changed.notify_all();
    }
    if (late_failure) {
        // The open has returned long ago: the index, and with it the
        // capture's length and seeking, ends before the record. Reading
        // goes on past it (the reader counts it as broken); the client
        // hears of it through the error callback, like any other fault.
        const VorlanSensorErrorCode code = failure.peek_code();
        const std::string message = failure.message();
        failure.mark_used();
        try {
            CallbackManager::instance().queue_error(0, code, message);
        } catch (...) {
            // Out of memory: the report cannot be kept.
        }
    }
}

bool RecordIndexer::load(std::istream& in, CoarseRecordIndex& loaded) {
    // A missing, stale or damaged index is rebuilt: not worth a report.
    SensorError error = check_side_index(in, loaded);
    const bool ok = error.ok();
    error.mark_used();
    return ok && !m_stop.load();
}

SensorError RecordIndexer::check_side_index(std::istream& f, CoarseRecordIndex& loaded) {
    uint8_t header[Capture::kIndexHeaderSize];
    f.read(reinterpret_cast<char*>(header), sizeof(header));
    VORLAN_RETURN_ERROR(check_file(f));
    const uint64_t version = vorlan_common::load_u64le(header);
    const int64_t start_time = vorlan_common::load_i64le(header + 8);
    const uint64_t count = vorlan_common::load_u64le(header + 16);
    VORLAN_CHECK(version == Capture::kIndexVersion, VORLAN_ERROR_CORRUPT_FILE, "Invalid index version!");
    VORLAN_CHECK(count > 0, VORLAN_ERROR_CORRUPT_FILE, "Index empty!");

    // The count comes from the file: it must be what the file holds.
    const int64_t available = remaining_bytes(f);
    if (available < 0 || count != static_cast<uint64_t>(available) / Capture::kIndexEntrySize ||
        static_cast<uint64_t>(available) % Capture::kIndexEntrySize != 0) {
        f.setstate(std::ios::failbit);
    }
    VORLAN_RETURN_ERROR(check_file(f));
    // A stored index of the right size fails nothing from here on: one that
    // does not describe the capture is rebuilt.
    foreground_done();
    // Every record in file order: the first where reading starts, each
    // after the whole record header of the one before.
    const int64_t file_size = m_file.size();
    VORLAN_CHECK(file_size >= 0, VORLAN_ERROR_FILE_IO, "Cannot tell the capture's size!");
    vorlan_capture::Record first;
    bool ordered = lies_whole(m_file.read(m_file.first_offset(), first, false), first, file_size);
    int64_t previous = 0;
    std::vector<uint8_t> chunk(Capture::kIndexChunkEntries * Capture::kIndexEntrySize);
    for (uint64_t done = 0; done < count;) {
        VORLAN_CHECK(!m_stop.load(std::memory_order_relaxed), VORLAN_ERROR_GENERIC, "Stopped!");
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(Capture::kIndexChunkEntries, count - done));
        f.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(n * Capture::kIndexEntrySize));
        VORLAN_RETURN_ERROR(check_file(f));
        for (std::size_t i = 0; i < n; ++i) {
            const uint8_t* at = chunk.data() + i * Capture::kIndexEntrySize;
            const RecordPosition entry{vorlan_common::load_i64le(at), vorlan_common::load_i64le(at + 8)};
            // While ordered, `previous` is a record's offset (not negative):
            // a pointer past it leaves a distance that cannot overflow.
            ordered = ordered && (done + i == 0 ? entry.pointer == first.offset
                                                : entry.pointer > previous &&
                                                      entry.pointer - previous >=
                                                          static_cast<int64_t>(RecordHeader::kFileHeaderSize));
            previous = entry.pointer;
            loaded.push_back(entry);
        }
        done += n;
    }
    VORLAN_CHECK(is_eof(f), VORLAN_ERROR_CORRUPT_FILE, "Corrupt index file!");
    VORLAN_CHECK(ordered, VORLAN_ERROR_CORRUPT_FILE, "Corrupt index file!");

    // The index describes this file only if its first record starts at the
    // stored time and its last record is the file's last.
    vorlan_capture::Record record;
    VORLAN_CHECK(whole_record(loaded.front().pointer, file_size, record), VORLAN_ERROR_CORRUPT_FILE,
                 "Invalid index!");
    VORLAN_CHECK(record.time + m_capture.time_offset == start_time, VORLAN_ERROR_CORRUPT_FILE,
                 "Invalid index timestamp!");
    VORLAN_CHECK(whole_record(loaded.back().pointer, file_size, record), VORLAN_ERROR_CORRUPT_FILE,
                 "Invalid index!");
    vorlan_capture::Record after;
    VORLAN_CHECK(m_file.read(record.next_offset(), after, false) == vorlan_capture::RecordStatus::end,
                 VORLAN_ERROR_CORRUPT_FILE, "Invalid index!");
    m_start_time = start_time;
    return VORLAN_SUCCESS;
}

}  // namespace vorlan_sdk
