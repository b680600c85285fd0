// Capture replay: plays a recorded capture back into the SDK as if its packets
// arrived from the network, on a replay thread at a chosen speed or stepped
// from the caller's thread.
#ifndef VORLAN_SOURCE_CAPTURE_REPLAY_H
#define VORLAN_SOURCE_CAPTURE_REPLAY_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"
#include "vorlan_sdk_impl/vorlan_sdk_util.hpp"

namespace vorlan_sdk {

// Every packet read goes to the client's network-packet callback, then
// through the mocked receive path (receive_mocked_payload) with its source
// address marked as mocked. Callbacks run on the replay thread, or on the thread that called a
// blocking step, with no lock of this class held except during a step, when
// the calling thread holds the control lock (re-entrant for it).
//
// From a callback on the replay thread, pause, resume, seek, the setters and
// close only change flags and state: the thread ends, or goes on, once the
// callback returns. From a callback inside a blocking step, resume is refused.
class CaptureReplay {
public:
    static CaptureReplay& instance();
    ~CaptureReplay();
    CaptureReplay(const CaptureReplay&) = delete;
    CaptureReplay& operator=(const CaptureReplay&) = delete;

    bool is_open();
    std::string filename();
    // Absolute µs of the first packet, time-zone offset counted once; 0 when
    // nothing is open.
    int64_t get_start_time();
    // Seconds relative to the first packet; 0 when nothing is open.
    float get_position();
    float get_length();
    bool is_end() const { return m_is_end.load(); }
    bool is_running() const { return m_is_running.load(); }
    bool get_enable_loop() const { return m_enable_loop.load(); }
    float get_speed() const { return m_speed.load(); }
    // Records of the capture open (or closed last) that gave no datagram,
    // by reason, since it was opened; passes of a loop add up. For the tool.
    vorlan_capture::SkipCounters skip_counters();
    vorlan_capture::Traffic traffic();
    // Copies of sensor datagrams are dropped unless kept.
    SensorError set_keep_duplicates(bool keep);
    bool get_keep_duplicates() const { return m_keep_duplicates.load(); }

    // A looping pass at a non-zero speed lasts at least this long in
    // capture time (divided by the speed in wall time), so that a capture
    // whose packets all share one time plays at 10 passes a second rather
    // than in a busy loop.
    static constexpr int64_t kMinLoopPassMicroseconds = 100000;

    // Opens a capture, disables the live network and stands at its first
    // packet, paused. A failure leaves the replay closed.
    SensorError open(const char* filename);
    SensorError open(const std::string& filename);
    // Pauses, closes the capture and forgets the SDK's sensors and frames;
    // nothing happens when no capture is open. Always succeeds.
    SensorError close();
    // Stops the replay thread, waiting for it.
    SensorError pause();
    // Starts the replay thread from the current position.
    SensorError resume();
    // Moves to the first packet at or after `position` seconds, keeping the
    // replay running or paused as it was.
    SensorError seek(float position);
    // 0 replays as fast as possible; otherwise the rate in (1e-6, 5].
    SensorError set_speed(float speed);
    SensorError set_enable_loop(bool enable_loop);
    // Feeds one packet on the calling thread, without pacing.
    SensorError resume_blocking_once();
    // Feeds `duration` seconds of capture on the calling thread, without
    // pacing: every packet until one lies more than `duration` after the
    // position at the call, that one included, or the end of the file.
    SensorError resume_blocking(float duration);
    // Stops the replay thread without touching the capture; used at process
    // exit when the client never deinitialised.
    void stop_threads();

private:
    CaptureReplay();

    SensorError open_impl(const std::string& filename);
    SensorError seek_impl(int64_t position);
    // Applies `fn` with the replay thread stopped, restarting it afterwards if
    // it ran.
    template <class Function>
    SensorError run_paused(Function&& fn);
    void reset_time();
    void sleep_once();
    // Sleeps in slices until `deadline` or until the replay is paused.
    void sleep_until(std::chrono::steady_clock::time_point deadline);
    // Reports an error that the replay thread met: on standard error and to
    // the client's error callback, since no caller waits for the thread.
    void report_thread_error(const SensorError& error, int line, const char* context);
    SensorError feed_pcap_once(bool enable_sleep);
    SensorError feed_pcap();
    // Whether the capture ends inside a record and reading has got there.
    bool capture_cut_short();
    // Once per capture opened, when reading first reaches its end: tells
    // the error callback what reading left out, and that a capture held no
    // sensor datagram at all.
    void report_end();
    // With m_mutex held: once per capture opened, the words that tell of the
    // first record of zero bytes playing stepped over; empty otherwise.
    std::string empty_record_report_locked();
    void run_thread();
    // Runs `fn` holding m_control_mutex, except on the replay thread (which
    // never takes it, so that a thread joining it while holding the lock
    // cannot wait for it) and on a thread that holds it already (a callback
    // inside a blocking step).
    template <class Function>
    SensorError with_control_lock(Function&& fn);
    // The checks and the rewind that open a blocking step; the control lock
    // must be held.
    SensorError start_step();

    bool on_replay_thread() const { return m_thread_id.load() == std::this_thread::get_id(); }
    // Joins the replay thread once it stopped; the control lock must be held
    // and the caller must not be the replay thread.
    void join_thread();
    // Clears m_is_running and, off the replay thread, waits for the thread.
    void stop_thread();
    // The capture position in µs, 0 when nothing is open.
    int64_t position_microseconds();
    // The indexer of the capture open, or null.
    std::shared_ptr<RecordIndexer> indexer();

    std::atomic<bool> m_enable_loop{false};
    std::atomic<bool> m_keep_duplicates{false};
    // The end of the capture open has been reported; guarded by m_mutex.
    bool m_end_reported = false;
    // A record of zero bytes met while playing has been reported; guarded
    // by m_mutex.
    bool m_empty_reported = false;
    std::atomic<float> m_speed{1.0f};
    std::atomic<bool> m_is_running{false};
    std::atomic<bool> m_is_end{true};
    // The pacing anchor: capture position (µs) and system clock (µs) at the
    // last reset_time().
    std::atomic<int64_t> m_start_position{0};
    std::atomic<int64_t> m_start_clock{0};
    // The position of the packet paced last; read and written by sleep_once().
    std::atomic<int64_t> m_paced_position{0};

    util::TimedMutex m_mutex;  // guards m_capture
    Capture m_capture;
    // Counts closes, so that a delivery can tell that a callback closed or
    // reopened the capture under it.
    std::atomic<uint64_t> m_generation{0};

    // Guards m_thread, and is held while a blocking step reads and delivers a
    // packet, so that the replay thread is never started during a step. Taken
    // before m_mutex; never taken by the replay thread.
    util::TimedMutex m_control_mutex;
    std::thread m_thread;
    std::atomic<std::thread::id> m_thread_id{};

    // Payloads being delivered, one per nesting level (a callback may step
    // again): a copy that stays valid whatever a callback does to the capture.
    // Used by the replay thread or by the stepping thread, never by both at
    // once.
    std::deque<std::vector<uint8_t>> m_delivery;
    std::size_t m_delivery_depth = 0;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_CAPTURE_REPLAY_H
