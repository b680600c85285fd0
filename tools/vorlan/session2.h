// One run of vorlan_sdk2 as the tool uses it: starts the library with legacy
// translation, so that first-generation sensors come out as second-generation
// points and frames too; takes frames from a frame listener or pulls them
// through the frame FIFO; replays a capture or listens on a port; prints the
// sensors and one line per frame.
//
// The library is a process-wide singleton: only one Session2 may be started
// at a time, and not beside a started Session.
#ifndef VORLAN_TOOLS_SESSION2_H
#define VORLAN_TOOLS_SESSION2_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "console.h"
#include "vorlan_sdk2.h"

namespace vorlan_tool {

struct CaptureRunSettings;

// Which library runs a command, and how the second one cuts frames.
struct LibrarySettings {
    int library = 1;  // 1: vorlan_sdk; 2: vorlan_sdk2
    // VORLAN_FRAME_AGGREGATION_NATURAL (cut where the frame parity flag
    // changes), or a period in microseconds of at least 1000.
    int32_t aggregation_mode = VORLAN_FRAME_AGGREGATION_NATURAL;
    // 0 takes frames from a frame listener; otherwise they are pulled
    // through a frame FIFO that holds this many.
    uint32_t fifo_frames = 0;
};

// "natural" or "timed 0.100 s".
std::string aggregation_mode_text(int32_t mode);

struct Session2Settings {
    LibrarySettings frames;
    // Frames after this many are dropped; 0 keeps every frame.
    std::size_t frame_limit = 0;
    // One line per frame on the console.
    bool print_frames = true;
};

// A published frame: `n_points` VorlanPoint records `stride` bytes apart,
// valid only during the sink's call.
struct Frame2 {
    std::size_t index = 0;  // over all sensors, from 0, as printed
    uint64_t sensor = 0;
    std::string sensor_name;  // address and serial number, as printed
    int64_t timestamp = 0;  // what the first point's relative time counts from
    const uint8_t* points = nullptr;
    std::size_t n_points = 0;
    std::size_t stride = 0;
    // Not the sensor's first frame, which starts wherever its traffic starts.
    bool whole = false;
};

class Session2 {
public:
    // Called with each frame within the limit, one at a time: on the
    // library's thread that delivered the points, or with --fifo on the
    // thread that runs the session. Returning false ends the run.
    using FrameSink = std::function<bool(const Frame2& frame)>;

    explicit Session2(Console& console);
    // Stops the library if it was started.
    ~Session2();
    Session2(const Session2&) = delete;
    Session2& operator=(const Session2&) = delete;

    // Set before start().
    void set_frame_sink(FrameSink sink) { m_frame_sink = std::move(sink); }

    // Initialises the library, turns legacy translation on (or says on
    // standard error why it is unavailable and goes on without it) and
    // registers the listeners or the FIFO. On failure prints why and returns
    // false, leaving the library stopped.
    bool start(const Session2Settings& settings);
    // Deinitialises the library; its threads are joined when this returns.
    void stop();

    // Replays the capture until its end (never with `loop`), the frame
    // limit, the sink's refusal or a stop request. Returns the exit code.
    int replay(const CaptureRunSettings& settings, const std::string& first_line_note = "");
    // Listens on `port` for `seconds` (0: until the limit or a stop request).
    int listen(uint16_t port, double seconds);

    bool frame_limit_reached();
    std::size_t frame_count();
    // "sensors 8  frames 20  points 120345  valid 110230  serial lines 2"
    std::string summary();

private:
    struct SensorState {
        std::string printed;  // the last line printed for it
        std::size_t frames = 0;
        std::string name;     // address and serial number, as every command prints it
    };

    static void on_sensor(uint64_t handle, const VorlanSensor* sensor, void* user);
    static void on_frame(uint64_t handle, int64_t timestamp, size_t n_points, size_t stride, const uint8_t* points,
                         void* user);
    static void on_serial_line(uint64_t handle, const char* line, void* user);

    void take_frame(uint64_t handle, int64_t timestamp, std::size_t n_points, std::size_t stride,
                    const uint8_t* points);
    bool ended_locked() const;
    // Takes frames until `source_ended` (then the FIFO is drained), the run
    // has ended or a stop is requested; `progress` runs between waits.
    // False when the FIFO failed.
    bool pump(const std::function<bool()>& source_ended, const std::function<void()>& progress);
    // Lets a producer waiting for room in the FIFO go, so that the source's
    // thread can be joined.
    void release_fifo();

    Console& m_console;
    Session2Settings m_settings;
    FrameSink m_frame_sink;
    bool m_started = false;
    bool m_fifo_enabled = false;

    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_changed;
    std::map<uint64_t, SensorState> m_sensors;
    std::size_t m_frames = 0;
    uint64_t m_points = 0;
    uint64_t m_valid_points = 0;
    uint64_t m_serial_lines = 0;
    bool m_sink_done = false;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SESSION2_H
