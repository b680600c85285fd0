// One source of frames for every command of the tool, over either library.
// A command opens a capture or a live port through make_frame_source(), hands
// it a sink and gets frames of one type: points in metres with the sensor's
// name, the frame's index among that sensor's frames, its time span, whether
// it is whole, and the losses the library reported since that sensor's
// previous frame. Selection (sensor, start, end, frame limit, whole frames
// only), interruption (Ctrl-C) and loss accounting live behind this
// interface, written once, so every command behaves the same with either
// library.
#ifndef VORLAN_TOOLS_SOURCES_FRAME_SOURCE_H
#define VORLAN_TOOLS_SOURCES_FRAME_SOURCE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vorlan_tool {

class Console;

// A point as every command sees it, 24 bytes, laid out as the fields a
// point-cloud message carries them (x, y, z, intensity as float32, t as
// uint32, channel as uint16, return and flags as uint8, little-endian).
struct FramePoint {
    float x = 0.0f;  // metres, in the sensor's frame: y along its axis, x to the right, z up
    float y = 0.0f;
    float z = 0.0f;
    // First library: the calibrated intensity; second library: reflectivity
    // in percent.
    float intensity = 0.0f;
    uint32_t t = 0;        // nanoseconds after the frame's first point
    uint16_t channel = 0;  // first library: the segment; second: the channel id
    uint8_t return_index = 0;  // 0 first (or only) return, 1 second, ...
    uint8_t flags = 0;         // kFramePoint* bits
};
static_assert(sizeof(FramePoint) == 24, "FramePoint is the 24-byte wire layout of a point");

// The point carries a measurement; points without it sit at the sensor.
constexpr uint8_t kFramePointValid = 0x01;

// What a sensor says of itself, as every command prints it.
struct SensorFacts {
    uint64_t handle = 0;        // the library's handle (the sender's IPv4 address in the low 32 bits)
    std::string address;        // "192.168.1.201"
    uint64_t serial_number = 0; // 0 while its information did not come
    std::string name;           // "192.168.1.201 serial 900001", or the address alone
    std::string model;          // the library's model name; empty while unknown
    unsigned model_number = 0;  // the model's number in the sensor's information
    unsigned channels = 0;      // 0 while unknown
    unsigned returns = 0;       // returns per measurement; 0 while unknown
    std::string sync;           // "PTP PPS", or empty when the sensor's clock is free
    std::string firmware;       // in the library's documented form; empty while unknown
    // 1: a first-generation sensor (translated by the second library),
    // 2: a second-generation one, 0 while its information did not come.
    int generation = 1;
};

// Losses counted by the library, never below zero, added up since the source
// opened (or, on a Frame, since that sensor's previous frame).
struct LossCounts {
    uint64_t received = 0;        // datagrams the library received (live)
    // Of those, dropped because its worker fell behind (the first library
    // counts its socket's drops here too: it reports one figure for both).
    uint64_t queue_dropped = 0;
    bool queue_counted = true;    // false where the library reports no such drops
    uint64_t kernel_dropped = 0;  // dropped by the system before the library saw them
    bool kernel_counted = false;  // false where the system or library reports no drop count
    uint64_t packets_lost = 0;    // sensor packets missing by their sequence or time
    uint64_t points_lost = 0;
    // Datagrams of senders the chosen library cannot decode (a
    // second-generation sensor heard by the first library).
    uint64_t undecodable = 0;

    // Adds the counts of `more`. The sum counts system drops when any part
    // does, and queue drops only when every part does.
    LossCounts& operator+=(const LossCounts& more) {
        received += more.received;
        queue_dropped += more.queue_dropped;
        queue_counted = queue_counted && more.queue_counted;
        kernel_dropped += more.kernel_dropped;
        kernel_counted = kernel_counted || more.kernel_counted;
        packets_lost += more.packets_lost;
        points_lost += more.points_lost;
        undecodable += more.undecodable;
        return *this;
    }
};

struct Frame {
    const SensorFacts* sensor = nullptr;  // valid during the sink's call
    std::size_t index = 0;         // over all frames handed out, from 0, as printed
    std::size_t sensor_index = 0;  // among this sensor's frames handed out, from 0
    int64_t first_time = 0;        // µs since the Unix epoch, of its first point
    int64_t last_time = 0;
    // Cut at both ends by the frame rule; a sensor's first frame (and the
    // last one when the source ends) is partial.
    bool whole = false;
    const FramePoint* points = nullptr;  // valid during the sink's call
    std::size_t n_points = 0;
    std::size_t n_valid = 0;
    LossCounts losses;  // since this sensor's previous frame
};

enum class FrameMode { streaming, timed, sweep, full_scan };

struct FrameSourceSettings {
    int library = 1;  // 1: vorlan_sdk, 2: vorlan_sdk2 (with legacy translation)
    // A capture file, or empty to listen on `port` (optionally joining
    // `multicast_group`, second library only).
    std::string capture;
    uint16_t port = 8808;
    std::string multicast_group;
    double listen_seconds = 0.0;  // live: 0 until interrupted or the limit
    // Selection.
    std::string sensor;      // dotted address or serial number; empty: every sensor
    double start = 0.0;      // seconds into the capture
    double end = -1.0;       // seconds into the capture; negative: to its end
    std::size_t frame_limit = 0;  // 0: every frame
    bool whole_frames_only = false;  // leave out partial first and last frames
    float speed = 0.0f;      // capture pacing; 0: as fast as possible
    bool loop = false;
    // Frame rule (first library: its frame modes; second: natural frames for
    // sweep/full_scan, timed frames for timed).
    FrameMode mode = FrameMode::sweep;
    float frame_length = 0.1f;  // seconds, timed frames
    bool multiple_returns = false;
    bool legacy_translation = true;  // second library
    uint32_t fifo_frames = 0;        // second library: pull frames through a FIFO of this many
};

// Receives each selected frame, one at a time, on a thread of the source's
// choosing. Returning false ends the run (as if the limit were reached).
using FrameSink = std::function<bool(const Frame& frame)>;
// Receives each sensor once its facts are first known and whenever they
// change, on the library thread that learned them (which may differ from the
// frames' thread); it must not call back into the source.
using SensorSink = std::function<void(const SensorFacts& sensor)>;

// Receives every datagram the library is handed, before it decodes it, on
// the library's receiving thread: its sender (IPv4 address in the low 32
// bits), its time in µs since the Unix epoch, and its bytes, valid during
// the call.
using DatagramSink = std::function<void(uint64_t sender, int64_t time, const uint8_t* data, std::size_t size)>;

// Capture playback that another thread may steer while run() is going
// (a viewer's play, pause, step and seek). Every call returns at once.
class PlaybackControl {
public:
    virtual ~PlaybackControl() = default;
    virtual void set_paused(bool paused) = 0;
    // While paused: play until one more frame has been handed out.
    virtual void step() = 0;
    // Continue from `seconds` into the capture (the library's own seek).
    virtual void seek(double seconds) = 0;
    virtual void set_speed(float speed) = 0;  // 0: as fast as possible
    virtual double position() const = 0;      // seconds into the capture
    virtual double length() const = 0;        // seconds; 0 while unknown
};

class FrameSource {
public:
    virtual ~FrameSource() = default;

    // Set before open(): every datagram, for a recording.
    virtual void set_datagram_sink(DatagramSink sink) = 0;

    // Starts the library and opens the capture or port. On failure prints
    // why (naming the file or port) and returns false.
    virtual bool open(const FrameSourceSettings& settings) = 0;
    // Hands every selected frame to `frames` until the capture ends, the
    // limit or the sink ends the run, or a stop is requested (Ctrl-C).
    // Returns the exit code: 0, 1 for a failure (damaged capture, nothing
    // decodable), 130 when interrupted (what was handed out stays handed out).
    virtual int run(const FrameSink& frames, const SensorSink& sensors = {}) = 0;
    // Capture playback control; nullptr for a live source.
    virtual PlaybackControl* playback() = 0;

    // Every sensor heard so far, of both generations where the library
    // decodes them.
    virtual std::vector<SensorFacts> sensors() const = 0;
    virtual LossCounts losses() const = 0;
    // "sensors 8  frames 20  points 120345  valid 110230" plus the losses and
    // hints that apply ("4 senders the first library cannot decode: --sdk 2
    // reads them").
    virtual std::string summary() const = 0;
};

// The one place `--sdk` is read.
std::unique_ptr<FrameSource> make_frame_source(int library, Console& console);

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_SOURCES_FRAME_SOURCE_H
