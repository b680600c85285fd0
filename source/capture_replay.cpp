#include "capture_replay.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "capture_report.h"
#include "core.h"
#include "mock_receive.h"

#define VORLAN_SOURCE_FILE "source/capture_replay"

namespace vorlan_sdk {

namespace {

int64_t now_microseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The longest single sleep of the replay thread: a pause waits at most this
// long for a thread that is pacing.
constexpr std::chrono::milliseconds kSleepSlice{10};

// Blocking steps in progress on this thread, nested when a callback steps
// again.
thread_local int t_step_depth = 0;

// Counts one nesting level for as long as it lives.
template <class Counter>
class NestingLevel {
public:
    explicit NestingLevel(Counter& depth) : m_depth(depth) { ++m_depth; }
    ~NestingLevel() { --m_depth; }
    NestingLevel(const NestingLevel&) = delete;
    NestingLevel& operator=(const NestingLevel&) = delete;

private:
    Counter& m_depth;
};

}  // namespace

CaptureReplay::CaptureReplay() {
    // Used by every delivered packet, so it must outlive this object.
    CallbackManager::instance();
}

CaptureReplay& CaptureReplay::instance() {
    static CaptureReplay replay;
    return replay;
}

CaptureReplay::~CaptureReplay() {
    // The SDK manager may be gone by now: stop the thread, and let the capture
    // close itself without clearing the SDK.
    stop_threads();
}

// ---- State --------------------------------------------------------------------

bool CaptureReplay::is_open() {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() && m_capture.is_open();
}

std::string CaptureReplay::filename() {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return std::string();
    }
    return m_capture.filename();
}

int64_t CaptureReplay::get_start_time() {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked() || !m_capture.is_open()) {
        return 0;
    }
    // The start time already holds the file's time-zone offset.
    return m_capture.get_start_time();
}

int64_t CaptureReplay::position_microseconds() {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked() || !m_capture.is_open()) {
        return 0;
    }
    return m_capture.get_position();
}

float CaptureReplay::get_position() { return static_cast<float>(double(position_microseconds()) * 1e-6); }

std::shared_ptr<RecordIndexer> CaptureReplay::indexer() {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked() || !m_capture.is_open()) {
        return nullptr;
    }
    return m_capture.indexer();
}

float CaptureReplay::get_length() {
    // Waited for with no lock held: indexing a long capture takes seconds,
    // while the replay thread and callbacks go on using the capture. Closing
    // stops the indexer, and the wait with it.
    std::shared_ptr<RecordIndexer> capture_indexer = indexer();
    if (!capture_indexer) {
        return 0.0f;
    }
    capture_indexer->wait_done();
    return static_cast<float>(double(capture_indexer->extent()) * 1e-6);
}

// ---- Opening and closing --------------------------------------------------------

SensorError CaptureReplay::open(const char* filename) {
    if (filename == nullptr) {
        // Like any failed open, this one leaves nothing open.
        close().mark_used();
    }
    VORLAN_CHECK(filename != nullptr, VORLAN_ERROR_INVALID_ARGUMENTS, "Invalid file name!");
    VORLAN_RETURN_ERROR(open(std::string(filename)));
    return VORLAN_SUCCESS;
}

SensorError CaptureReplay::open(const std::string& filename) {
    SensorError error = open_impl(filename);
    if (!error.ok()) {
        close().mark_used();
    }
    VORLAN_RETURN_ERROR(error);
    return VORLAN_SUCCESS;
}

SensorError CaptureReplay::open_impl(const std::string& filename) {
    close().mark_used();
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
        }
        VORLAN_RETURN_ERROR(m_capture.open_for_read(filename));
        m_capture.set_drop_duplicates(!m_keep_duplicates);
        m_end_reported = false;
        m_empty_reported = false;
    }
    VORLAN_RETURN_ERROR(vorlan_sdk_set_control_flags(
        VORLAN_SDK_CONTROL_DISABLE_NETWORK, VORLAN_SDK_CONTROL_DISABLE_NETWORK));
    VORLAN_RETURN_ERROR(seek(0));
    return VORLAN_SUCCESS;
}

SensorError CaptureReplay::close() {
    if (!is_open()) {
        return VORLAN_SUCCESS;
    }
    stop_thread();
    m_is_end = true;
    {
        util::LockGuard lock(m_mutex);
        if (lock.is_locked()) {
            m_capture.close();
            ++m_generation;
        }
    }
    // The sensors heard in this capture do not exist any more.
    vorlan_sdk_clear();
    return VORLAN_SUCCESS;
}

// ---- The replay thread ------------------------------------------------------------

void CaptureReplay::join_thread() {
    if (m_thread.joinable()) {
        m_thread.join();
        m_thread = std::thread();
        m_thread_id = std::thread::id();
    }
}

template <class Function>
SensorError CaptureReplay::with_control_lock(Function&& fn) {
    if (on_replay_thread() || m_control_mutex.held_by_this_thread()) {
        return fn();
    }
    util::LockGuard lock(m_control_mutex);
    if (!lock.is_locked()) {
        return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
    }
    return fn();
}

void CaptureReplay::stop_thread() {
    if (on_replay_thread()) {
        // Joining itself is impossible: the loop ends after this packet.
        m_is_running = false;
        return;
    }
    with_control_lock([&]() -> SensorError {
        m_is_running = false;
        join_thread();
        return VORLAN_SUCCESS;
    }).mark_used();
}

void CaptureReplay::stop_threads() { stop_thread(); }

SensorError CaptureReplay::pause() {
    const bool open = is_open();
    // Also with nothing open: a thread whose callback closed the capture is
    // still to be joined.
    stop_thread();
    VORLAN_CHECK_AS(__LINE__, open, "is_open()", VORLAN_ERROR_NOT_OPEN, "Not open!");
    return VORLAN_SUCCESS;
}

SensorError CaptureReplay::resume() {
    VORLAN_CHECK(is_open(), VORLAN_ERROR_NOT_OPEN, "Not open!");
    if (on_replay_thread()) {
        // A callback of the replay thread: the loop simply goes on.
        reset_time();
        m_is_running = true;
        return VORLAN_SUCCESS;
    }
    return with_control_lock([&]() -> SensorError {
        // This thread delivers a packet of a blocking step right now; a
        // replay thread would overtake it.
        VORLAN_CHECK(t_step_depth == 0, VORLAN_ERROR_GENERIC, "Cannot resume inside a blocking step!");
        VORLAN_RETURN_ERROR(pause());
        reset_time();
        m_is_running = true;
        try {
            m_thread = std::thread([this] { run_thread(); });
        } catch (const std::system_error&) {
            m_is_running = false;
            return SensorError(VORLAN_ERROR_GENERIC, "Cannot start the replay thread!");
        }
        return VORLAN_SUCCESS;
    });
}

void CaptureReplay::run_thread() {
    m_thread_id = std::this_thread::get_id();
    SensorError error = feed_pcap();
    report_thread_error(error, __LINE__, "feed_pcap()");
}

void CaptureReplay::report_thread_error(const SensorError& error, int line, const char* context) {
    SensorError reported = internal::process_error(VORLAN_SOURCE_FILE, line, context, error, true);
    if (!reported.ok()) {
        CallbackManager::instance().emit_error(0, reported.code(), reported.message().c_str(), nullptr, 0);
    }
}

SensorError CaptureReplay::feed_pcap() {
    auto pass_start = std::chrono::steady_clock::now();
    bool cut_reported = false;
    while (m_is_running) {
        if (m_is_end) {
            if (!m_enable_loop) {
                break;
            }
            const float speed = m_speed;
            if (speed > 0.0f) {
                sleep_until(pass_start + std::chrono::microseconds(
                                             static_cast<int64_t>(float(kMinLoopPassMicroseconds) / speed)));
                if (!m_is_running) {
                    break;
                }
            }
            pass_start = std::chrono::steady_clock::now();
            VORLAN_RETURN_ERROR(seek_impl(0));
            reset_time();
            m_is_end = false;
        }
        SensorError error = feed_pcap_once(true);
        if (!error.ok() && m_enable_loop && error.peek_code() == VORLAN_ERROR_FILE_IO && capture_cut_short()) {
            // A loop over a capture cut short plays what there is, pass after
            // pass; the cut is told once.
            if (!cut_reported) {
                report_thread_error(error, __LINE__, "feed_pcap_once(true)");
                cut_reported = true;
            }
            error.mark_used();
            m_is_end = true;
            continue;
        }
        VORLAN_RETURN_ERROR(error);
    }
    return VORLAN_SUCCESS;
}

bool CaptureReplay::capture_cut_short() {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() && m_capture.cut_short();
}

vorlan_capture::SkipCounters CaptureReplay::skip_counters() {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return vorlan_capture::SkipCounters();
    }
    return m_capture.skip_counters();
}

vorlan_capture::Traffic CaptureReplay::traffic() {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return vorlan_capture::Traffic();
    }
    return m_capture.traffic();
}

SensorError CaptureReplay::set_keep_duplicates(bool keep) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
    }
    m_keep_duplicates = keep;
    m_capture.set_drop_duplicates(!keep);
    return VORLAN_SUCCESS;
}

void CaptureReplay::report_end() {
    std::string holdings;
    std::string losses;
    std::string name;
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked() || m_end_reported || !m_capture.is_open()) {
            return;
        }
        m_end_reported = true;
        name = m_capture.filename();
        vorlan_capture::SkipCounters counters = m_capture.skip_counters();
        if (m_capture.cut_short() && counters.broken_header > 0) {
            // The record cut short has its own report, saying where.
            --counters.broken_header;
        }
        const vorlan_capture::Traffic& traffic = m_capture.traffic();
        if (traffic.sensor_datagrams == 0) {
            holdings = vorlan_capture::describe_holdings(traffic, counters);
        }
        losses = vorlan_capture::describe_losses(counters);
    }
    // Told with no lock held: the callback may ask the replay anything.
    CallbackManager& callbacks = CallbackManager::instance();
    if (!holdings.empty()) {
        const std::string message = name + ": no sensor datagram in the capture: " + holdings;
        callbacks.emit_error(0, VORLAN_ERROR_INVALID_FILE_TYPE, message.c_str(), nullptr, 0);
    }
    if (!losses.empty()) {
        const std::string message = name + ": " + losses;
        callbacks.emit_error(0, VORLAN_ERROR_CORRUPT_FILE, message.c_str(), nullptr, 0);
    }
}

std::string CaptureReplay::empty_record_report_locked() {
    if (m_empty_reported || !m_capture.is_open()) {
        return std::string();
    }
    const vorlan_capture::CaptureReader::EmptyRecord& empty = m_capture.first_empty_record();
    if (!empty.met) {
        return std::string();
    }
    m_empty_reported = true;
    const int64_t at = empty.time + m_capture.get_time_offset() - m_capture.get_start_time();
    char where[96];
    std::snprintf(where, sizeof(where), "at byte %lld (%.6f s)", static_cast<long long>(empty.offset),
                  static_cast<double>(at) * 1e-6);
    return m_capture.filename() + ": a record of zero bytes " + where +
           " holds no packet; playing went on past it";
}

// ---- Changes --------------------------------------------------------------------

template <class Function>
SensorError CaptureReplay::run_paused(Function&& fn) {
    return with_control_lock([&]() -> SensorError {
        const bool was_running = m_is_running;
        SensorError paused = pause();
        SensorError changed = fn();
        SensorError resumed;
        if (was_running) {
            resumed = resume();
        }
        SensorError error;
        for (const SensorError* result : {&paused, &changed, &resumed}) {
            if (error.ok() && !result->ok()) {
                error = *result;
            }
            result->mark_used();
        }
        VORLAN_RETURN_ERROR(error);
        return VORLAN_SUCCESS;
    });
}

SensorError CaptureReplay::seek(float position) {
    VORLAN_CHECK(is_open(), VORLAN_ERROR_NOT_OPEN, "Not open!");
    SdkManager::instance().clearFrames().mark_used();
    // Beyond this, or not a number, the conversion to µs is undefined; -1 s
    // is refused as a position like any other time before the start.
    if (!(std::fabs(position) < 9.0e12f)) {
        position = -1.0f;
    }
    // The records up to the position are indexed before the replay pauses,
    // with no lock held: the replay plays on meanwhile. The start needs no
    // index, and a position before it is refused.
    const int64_t target = int64_t(1e6f * position);
    std::shared_ptr<RecordIndexer> capture_indexer = target > 0 ? indexer() : nullptr;
    if (capture_indexer) {
        capture_indexer->wait_past(target);
    }
    VORLAN_RETURN_ERROR(run_paused([&]() -> SensorError {
        VORLAN_RETURN_ERROR(seek_impl(int64_t(1e6f * position)));
        return VORLAN_SUCCESS;
    }));
    return VORLAN_SUCCESS;
}

SensorError CaptureReplay::seek_impl(int64_t position) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
    }
    VORLAN_RETURN_ERROR(m_capture.seek(position));
    m_is_end = false;
    return VORLAN_SUCCESS;
}

SensorError CaptureReplay::set_speed(float speed) {
    if (speed != 0.0f) {
        VORLAN_CHECK(((speed > 1e-6f) && (speed <= 5.0f)), VORLAN_ERROR_INVALID_ARGUMENTS, "Invalid speed!");
    }
    VORLAN_RETURN_ERROR(run_paused([&]() -> SensorError { m_speed = speed; return VORLAN_SUCCESS; }));
    return VORLAN_SUCCESS;
}

SensorError CaptureReplay::set_enable_loop(bool enable_loop) {
    VORLAN_RETURN_ERROR(run_paused([&]() -> SensorError { m_enable_loop = enable_loop; return VORLAN_SUCCESS; }));
    return VORLAN_SUCCESS;
}

// ---- Feeding packets --------------------------------------------------------------

void CaptureReplay::reset_time() {
    m_start_clock = now_microseconds();
    m_start_position = position_microseconds();
}

void CaptureReplay::sleep_once() {
    const float speed = m_speed;
    const int64_t position = position_microseconds();
    const int64_t previous = m_paced_position.exchange(position);
    // The capture's time went back (captures merged by appending, a clock
    // set back while recording): what comes next is paced from here, as
    // after a jump forward, rather than played in a burst until the
    // capture's time catches up with the anchor.
    if (position < previous) {
        reset_time();
        return;
    }
    const float due = static_cast<float>(position - m_start_position) / speed;
    // Far out of step (a jump in the capture's times or in the clock, or a
    // consumer slower than the capture): start pacing afresh from here rather
    // than sleep for long or race to catch up.
    if (!(std::fabs(due) < 1.0e15f)) {
        reset_time();
        return;
    }
    const int64_t wait = static_cast<int64_t>(due) + m_start_clock - now_microseconds();
    if (wait > 1000000 || wait < -1000000) {
        reset_time();
        return;
    }
    if (wait < 1) {
        return;
    }
    sleep_until(std::chrono::steady_clock::now() + std::chrono::microseconds(wait));
}

void CaptureReplay::sleep_until(std::chrono::steady_clock::time_point deadline) {
    // In slices, so that a pause does not wait for the whole interval.
    while (m_is_running) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= left.zero()) {
            break;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kSleepSlice));
    }
}

SensorError CaptureReplay::feed_pcap_once(bool enable_sleep) {
    if (m_is_end) {
        return VORLAN_SUCCESS;
    }
    Capture::PacketHeader header;
    const uint8_t* data = nullptr;
    const std::size_t depth = m_delivery_depth;
    if (m_delivery.size() <= depth) {
        m_delivery.emplace_back();
    }
    std::vector<uint8_t>& payload = m_delivery[depth];
    VorlanSensorErrorCode code = VORLAN_SUCCESS;
    SensorError failure;
    std::string empty_record;
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!");
        }
        code = m_capture.read_packet(header, data);
        empty_record = empty_record_report_locked();
        if (code == VORLAN_ERROR_EOF) {
            m_is_end = true;
        } else if (code != VORLAN_SUCCESS) {
            failure = m_capture.read_failure(code);
        } else {
            // A callback may close or reopen the capture, or read on from it,
            // while the packet is still being decoded: hand out a copy.
            const std::size_t size = static_cast<std::size_t>(header.data_size);
            if (payload.size() < size) {
                payload.resize(size);
            }
            if (size > 0) {
                std::memcpy(payload.data(), data, size);
            }
            data = payload.data();
        }
    }
    if (!empty_record.empty()) {
        // Queued like the faults met on the indexing thread; the packet
        // that follows delivers it, or the end of reading does here.
        try {
            CallbackManager::instance().queue_error(0, VORLAN_ERROR_CORRUPT_FILE, empty_record);
        } catch (...) {
            // Out of memory: the end of reading still counts the record.
        }
        if (code != VORLAN_SUCCESS) {
            CallbackManager::instance().emit_queued();
        }
    }
    if (code != VORLAN_SUCCESS) {
        // The end of what can be read, or a failure: say what was left out.
        report_end();
        return failure;
    }
    if (enable_sleep && m_speed > 0.0f) {
        sleep_once();
    }
    const VorlanSensorHandle handle = (header.source_address & 0xffffffffULL) + VORLAN_SENSOR_HANDLE_FLAG_MOCK;
    const uint64_t generation = m_generation;
    NestingLevel<std::size_t> nested(m_delivery_depth);
    CallbackManager::instance().network_cb.emit(handle, header.timestamp, data,
                                                static_cast<size_t>(header.data_size));
    if (m_generation != generation) {
        // The callback closed or reopened the capture: its sensors are gone.
        return VORLAN_SUCCESS;
    }
    VORLAN_RETURN_ERROR(
        receive_mocked_payload(handle, header.timestamp, data, static_cast<std::size_t>(header.data_size)));
    return VORLAN_SUCCESS;
}

SensorError CaptureReplay::start_step() {
    VORLAN_CHECK(!m_is_running, VORLAN_ERROR_GENERIC, "Already running!");
    if (!on_replay_thread()) {
        // A thread paused from its own callback may still be finishing.
        join_thread();
    }
    if (m_is_end) {
        if (!m_enable_loop) {
            return VORLAN_ERROR_EOF;
        }
        VORLAN_RETURN_ERROR(seek_impl(0));
        m_is_end = false;
    }
    return VORLAN_SUCCESS;
}

SensorError CaptureReplay::resume_blocking_once() {
    VORLAN_CHECK(is_open(), VORLAN_ERROR_NOT_OPEN, "Not open!");
    return with_control_lock([&]() -> SensorError {
        NestingLevel<int> step(t_step_depth);
        // The last packet does not tell that it is the last: a read that
        // meets the end of the file feeds nothing, so the step goes on with
        // the first packet when looping, and reports the end otherwise.
        for (int attempt = 0; attempt < 2; ++attempt) {
            VORLAN_RETURN_ERROR(start_step());
            VORLAN_RETURN_ERROR(feed_pcap_once(false));
            if (!m_is_end) {
                return VORLAN_SUCCESS;
            }
        }
        return VORLAN_ERROR_EOF;
    });
}

SensorError CaptureReplay::resume_blocking(float duration) {
    VORLAN_CHECK(duration >= 0, VORLAN_ERROR_INVALID_ARGUMENTS, "Invalid duration!");
    VORLAN_CHECK(is_open(), VORLAN_ERROR_NOT_OPEN, "Not open!");
    int64_t start = 0;
    VORLAN_RETURN_ERROR(with_control_lock([&]() -> SensorError {
        VORLAN_RETURN_ERROR(start_step());
        start = position_microseconds();
        return VORLAN_SUCCESS;
    }));
    // Compared in µs: seconds in single precision would merge packets a few
    // tens of µs apart late in a long capture.
    const double span = double(duration) * 1e6;
    // The capture's time played so far. Where it steps back (captures merged
    // by appending) the span goes on from where it lands, as pacing does,
    // rather than until the time catches up with the start again.
    double played = 0.0;
    int64_t last = start;
    bool done = false;
    while (!done && !m_is_end) {
        // Locked per packet, so that a pause or resume from another thread
        // waits for one packet, not for the whole span.
        VORLAN_RETURN_ERROR(with_control_lock([&]() -> SensorError {
            VORLAN_CHECK(!m_is_running, VORLAN_ERROR_GENERIC, "Already running!");
            const int64_t position = position_microseconds();
            if (position > last) {
                played += double(position - last);
            }
            last = position;
            if (played > span) {
                done = true;
                return VORLAN_SUCCESS;
            }
            NestingLevel<int> step(t_step_depth);
            VORLAN_RETURN_ERROR(feed_pcap_once(false));
            return VORLAN_SUCCESS;
        }));
    }
    return VORLAN_SUCCESS;
}

}  // namespace vorlan_sdk
