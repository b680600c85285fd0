// The part of a frame source that does not depend on the library: the
// selection of frames (sensor, start, end, limit, whole frames), their
// numbering per sensor and overall, the whole-frame rule, the losses, the
// summary, interruption and the capture checks made before a library sees
// the file. A library adaptor derives from it, opens the library, feeds the
// capture or the port and hands each frame the library makes to deliver().
#ifndef VORLAN_TOOLS_SOURCES_FRAME_SOURCE_CORE_H
#define VORLAN_TOOLS_SOURCES_FRAME_SOURCE_CORE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "capture_reader.h"
#include "frame_source.h"
#include "sender_tally.h"

namespace vorlan_tool {


// A frame as a library adaptor hands it on.
struct LibraryFrame {
    uint64_t handle = 0;
    const FramePoint* points = nullptr;
    std::size_t n_points = 0;
    std::size_t n_valid = 0;
    int64_t first_time = 0;  // µs
    int64_t last_time = 0;
    // The library's frame rule cut it at both ends (a frame begun before the
    // rule was in force was cut at its start by something else).
    bool cut_by_rule = true;
    // Seconds into the capture when the library made it; negative when live.
    double position = -1.0;
};

// "received 16865  queue dropped 0  kernel dropped 0"; where the system
// counts no socket drops, says so instead of a figure.
std::string format_loss_counts(const LossCounts& counts);

// Whether `path` can be read as a capture: it exists, is a regular file
// (not a folder, pipe or device) and opens for reading. Prints why not.
bool check_capture_file(const std::string& path, Console& console);

// Whether the file begins like the captures the libraries read: classic
// PCAP (microsecond or nanosecond times, either byte order) or pcapng.
bool starts_like_a_capture(const std::string& path);

// Records of a capture whose data reached no frame: cut by the snapshot
// length, of datagrams that could not be reassembled, with broken headers.
// Copies dropped and records of other traffic are not losses.
uint64_t records_lost(const vorlan_capture::SkipCounters& counters);

// Whether `wanted` (a dotted address or a serial number) names the sensor;
// an empty `wanted` names every sensor.
bool sensor_matches(const std::string& wanted, const SensorFacts& sensor);

class FrameSourceCore : public FrameSource, public PlaybackControl {
public:
    explicit FrameSourceCore(Console& console);
    ~FrameSourceCore() override;

    void set_datagram_sink(DatagramSink sink) final { m_datagram_sink = std::move(sink); }
    bool open(const FrameSourceSettings& settings) final;
    int run(const FrameSink& frames, const SensorSink& sensors) final;
    PlaybackControl* playback() final { return m_settings.capture.empty() ? nullptr : this; }
    std::vector<SensorFacts> sensors() const final;
    LossCounts losses() const final;
    std::string summary() const final;

    // PlaybackControl: pausing and stepping are kept here; a seek and a
    // change of speed go to the adaptor.
    void set_paused(bool paused) final;
    void step() final;
    void seek(double seconds) final;
    void set_speed(float speed) final;
    double position() const final { return m_position.load(); }
    double length() const final { return m_length.load(); }

protected:
    // ---- what an adaptor provides ----
    // Starts the library; false (after saying why) when it cannot.
    virtual bool start_library() = 0;
    // Opens the capture at `path` (already checked to be a readable regular
    // file; the libraries read every capture form themselves); prints why not.
    virtual bool open_capture(const std::string& path) = 0;
    // Opens the port of the settings; prints why not.
    virtual bool open_port() = 0;
    // Feeds the capture or waits for live frames until finished() says so or
    // the capture ends. Returns 0 or 1 (a damaged capture, a failure).
    virtual int feed() = 0;
    // Stops the library; no frame is delivered after it returns. It closes
    // the capture before the library stops, then calls join_length().
    virtual void stop_library() = 0;
    // The open capture's length in seconds, waiting for the library to index
    // it (a long capture takes seconds); negative when the library cannot
    // tell (the capture was closed meanwhile). Called on a thread of its own.
    virtual double wait_for_length() = 0;
    // The library's own seek and speed; called from any thread.
    virtual void seek_library(double seconds) = 0;
    virtual void set_library_speed(float speed) = 0;
    // The library's facts about a sensor it made a frame for, when known.
    virtual bool look_up_sensor(uint64_t handle, SensorFacts& facts) = 0;
    // What the library's capture reader counted since the capture opened:
    // records that gave no datagram, by reason, and copies dropped. Called
    // after feed() and before stop_library(); false when it cannot tell.
    virtual bool capture_counts(vorlan_capture::SkipCounters& counters) = 0;
    // Called when a step has handed out its frame, on the delivering thread.
    virtual void on_paused_by_step() {}
    // Called when pausing or resuming from any thread.
    virtual void on_pause_changed(bool paused) { (void)paused; }

    // ---- what the shared part offers an adaptor ----
    // Hands a frame to the sink when the selection takes it. Any thread;
    // never two at once.
    void deliver(const LibraryFrame& frame);
    // A sensor's facts came or changed (its address and name are filled in
    // here). The sensor sink hears of a change, on the calling thread.
    void note_sensor(SensorFacts facts);
    // Hands a datagram to the datagram sink, if there is one.
    void datagram(uint64_t sender, int64_t time, const uint8_t* data, std::size_t size) {
        if (m_datagram_sink) {
            m_datagram_sink(sender, time, data, size);
        }
    }
    // A sender whose datagrams the library cannot decode.
    void note_undecodable(uint64_t handle, uint64_t datagrams = 1);
    // Losses the library reported, added to the run's and to every sensor's
    // count since its previous frame.
    void add_losses(const LossCounts& losses);
    void set_received(uint64_t received);
    void set_kernel_dropped(uint64_t dropped, bool counted);
    // The capture starts again (a loop, a seek): each sensor's next frame
    // starts wherever the feed starts, so it is not whole.
    void restart_frames();
    // Where the feed stands in the capture, seconds; a position past --end
    // finishes the run.
    void note_position(double seconds);
    // Ends the wait for the length; the capture must be closed already, so
    // that the wait returns.
    void join_length();
    // The feed stopped at a record cut short or damaged, and said where: the
    // reader counts that record among the broken ones, and it is not told
    // twice.
    void note_cut_end() { m_cut_end.store(true); }

    // The run has ended: the limit was reached, the sink refused, --end was
    // passed or a stop was requested.
    bool finished() const;
    // Held by pause (and not released by a pending step).
    bool held() const;
    // Waits up to `slice` for a frame or a change of state.
    void wait_a_little(std::chrono::milliseconds slice);
    // The paced feed's speed as last set.
    float speed() const { return m_speed.load(); }

    const FrameSourceSettings& settings() const { return m_settings; }
    Console& console() const { return m_console; }
    // The library's number, for messages ("library 2").
    virtual int library() const = 0;
    // The frame rule as the opening line says it: "sweep", "natural", ...
    virtual std::string frame_mode_text() const = 0;

private:
    struct SensorState {
        SensorFacts facts;
        bool reported = false;         // handed to the sensor sink
        std::size_t made = 0;          // frames the library made since the feed (re)started
        std::size_t handed_out = 0;    // frames handed to the sink
        LossCounts pending;            // since its previous frame handed out
        // What frames point at: replaced, never changed, when facts change,
        // so a sink may read it while another thread notes new facts.
        std::shared_ptr<const SensorFacts> snapshot;
        uint64_t last_active = 0;      // m_activity when it was last heard of
    };

    // The sensor's state, made when new; with the table full, the sensors
    // heard of least recently give their place first (forget_quiet_locked).
    SensorState& sensor_locked(uint64_t handle);
    void forget_quiet_locked();
    bool finished_locked() const;
    // Takes the reader's counts from the library; says what lost data and
    // returns false when records of the capture were lost.
    bool account_for_reading();
    std::string opening_line() const;

    Console& m_console;
    FrameSourceSettings m_settings;
    bool m_open = false;
    FrameSink m_frame_sink;
    SensorSink m_sensor_sink;
    DatagramSink m_datagram_sink;

    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_changed;
    // Anyone can send from any address: a flood of spoofed sensors that
    // replace each other must not grow this without bound.
    std::map<uint64_t, SensorState> m_sensors;
    uint64_t m_activity = 0;         // counts every time a sensor is heard of
    uint64_t m_sensors_forgotten = 0;  // let go to make room
    SenderTally m_undecodable;  // senders of datagrams the library cannot decode
    LossCounts m_losses;
    std::size_t m_frames = 0;
    uint64_t m_points = 0;
    uint64_t m_valid = 0;
    bool m_sink_done = false;
    bool m_past_end = false;
    bool m_shown = true;  // frames are shown: --start reached
    bool m_paused = false;
    bool m_step_pending = false;
    // What reading the capture left out, as last taken from the library.
    vorlan_capture::SkipCounters m_read_losses;

    std::atomic<bool> m_cut_end{false};
    std::atomic<double> m_position{0.0};
    std::atomic<double> m_length{0.0};
    // Set once the length is known; until then it reads 0.
    std::atomic<bool> m_length_known{false};
    std::thread m_length_thread;
    std::atomic<float> m_speed{0.0f};
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SOURCES_FRAME_SOURCE_CORE_H
