// One run of vorlan_sdk as the tool uses it: starts the library through its
// C interface, registers the information, image-frame and error callbacks,
// keeps what they report under a mutex and prints it.
//
// The library is a process-wide singleton: only one Session may be started
// at a time.
#ifndef VORLAN_TOOLS_SESSION_H
#define VORLAN_TOOLS_SESSION_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "console.h"
#include "vorlan_sdk.h"

namespace vorlan_tool {

struct FrameSettings {
    VorlanSDKFrameMode mode = VORLAN_SDK_FRAME_SWEEP;
    float length = 0.1f;  // seconds, for VORLAN_SDK_FRAME_TIMED
    // Both returns of dual-return sensors (VORLAN_SDK_CONTROL_ENABLE_MULTIPLE_RETURNS).
    bool multiple_returns = false;
};

// "streaming", "timed", "sweep", "full-scan"; false for anything else. The
// library's by-model mode has no rule of its own, so the tool offers none.
bool parse_frame_mode(const std::string& text, VorlanSDKFrameMode& mode);
const char* frame_mode_name(VorlanSDKFrameMode mode);

struct SessionSettings {
    // Listen on `port` (live traffic); otherwise packets come only from replay.
    bool network = false;
    uint16_t port = 8808;
    FrameSettings frames;
    // Frames after this many are dropped; 0 keeps every frame.
    std::size_t frame_limit = 0;
    // One line per frame on the console.
    bool print_frames = true;
    // Only the frames of this sensor, by dotted address or serial number;
    // empty: every sensor's.
    std::string sensor;
};

// Whether `wanted` (a dotted address or a serial number) names the sensor.
bool sensor_matches(const std::string& wanted, VorlanSensorHandle handle, uint64_t serial_number);

// What the tool knows about a published frame besides its points.
struct FrameEvent {
    std::size_t index = 0;  // over all sensors, from 0, as printed
    VorlanSensorHandle sensor = 0;
    // Its place among the frames of its sensor, from 0.
    std::size_t sensor_ordinal = 0;
    // "192.168.1.201 serial 900001", as sensor_name() gives it.
    std::string sensor_name;
    uint64_t serial_number = 0;  // 0 while its information did not come
    // The frame was cut at both ends by the mode's own rule. The first frame
    // of a sensor starts wherever its traffic starts; in the sweep modes the
    // first frames are also cut by time until the natural rule engages.
    bool whole = false;
};

// The library's message for `code` as one line: its own text without the
// source locations it carries, or the code's name.
std::string library_error_text(VorlanSensorErrorCode code);

class Session {
public:
    // Receives each frame on the library's packet thread (or the thread that
    // steps a replay); the points are valid only during the call.
    using FrameSink =
        std::function<void(const FrameEvent& frame, const VorlanSensorImagePoint* points, std::size_t n_points)>;
    // Receives each datagram on the library's packet thread before it is
    // decoded; the bytes are valid only during the call.
    using PacketSink =
        std::function<void(VorlanSensorHandle sender, int64_t timestamp, const uint8_t* data, std::size_t size)>;

    explicit Session(Console& console);
    // Stops the library if it was started.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Set before start().
    void set_frame_sink(FrameSink sink) { m_frame_sink = std::move(sink); }
    void set_packet_sink(PacketSink sink) { m_packet_sink = std::move(sink); }

    // Initialises the library and registers the callbacks; on failure prints
    // why and returns false, leaving the library stopped.
    bool start(const SessionSettings& settings);
    // Deinitialises the library; its threads are joined when this returns,
    // so no callback runs afterwards.
    void stop();

    // The library starts a sensor's frame in the sweep modes as a timed one
    // (its first decoded data packet makes the frame) and gives it the sweep rule
    // only when the options are set again after the frame exists. The
    // session sets them again right after the data packet that made a new
    // frame and before the next packet is decoded: a fixed point of the
    // packet stream, so the frames are the same however fast the packets
    // come. With the network on, the session does it itself from the
    // network-packet callback; a thread that steps a capture calls this
    // after each step instead.
    void apply_pending_frame_options();
    // The capture starts again and the library forgot its sensors and
    // frames (vorlan_sdk_clear): sensors and frames start afresh as on the
    // first pass; sensors already printed are not printed again.
    void restart_frames();

    // Frames published while not shown are left out like frames of other
    // sensors (not counted, printed or handed on); shown from the start.
    void set_frames_shown(bool shown);

    // Whether some sensor heard matched the settings' sensor filter.
    bool sensor_filter_matched();

    // Time of the last datagram handed to the library, µs; 0 before any.
    int64_t last_packet_time();

    // "192.168.1.201 serial 900001" once its information came, else the
    // address alone.
    std::string sensor_name(VorlanSensorHandle handle);

    bool frame_limit_reached();
    std::size_t frame_count();

    // "sensors 1  frames 20  points 184320  valid 170112  errors 0"
    std::string summary();

private:
    struct SensorState {
        std::string printed;  // the last line printed for it
        std::string name;     // as sensor_name() gives it
        uint64_t serial_number = 0;
        bool informed = false;
        std::size_t data_packets = 0;  // point data packets since its information
        // The library holds a frame for it (made since frames were last
        // dropped).
        bool frame_made = false;
        std::size_t frames = 0;  // frames published so far
        // Frames published when its frame last got the options; npos while
        // it did not.
        std::size_t frames_at_reapply = static_cast<std::size_t>(-1);
    };

    static void on_information(VorlanSensorHandle handle, const VorlanSensorInformation* information, void* user);
    static void on_image_frame(VorlanSensorHandle handle, std::size_t n_points, const VorlanSensorImagePoint* points,
                               void* user);
    static void on_packet(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, std::size_t size,
                          void* user);
    static void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void* data,
                         std::size_t data_size, void* user);

    // Whether the mode is one the library converts for a new frame.
    bool needs_reapply() const;
    // Takes the pending request, if any, and marks the frames it restarts.
    bool take_pending_apply_locked();
    void apply_frame_options();

    Console& m_console;
    SessionSettings m_settings;
    FrameSink m_frame_sink;
    PacketSink m_packet_sink;
    bool m_started = false;

    std::mutex m_mutex;  // guards everything below
    std::map<VorlanSensorHandle, SensorState> m_sensors;
    bool m_apply_pending = false;
    bool m_frames_shown = true;
    int64_t m_last_packet_time = 0;
    std::size_t m_frames = 0;
    uint64_t m_points = 0;
    uint64_t m_valid_points = 0;
    std::size_t m_errors = 0;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SESSION_H
