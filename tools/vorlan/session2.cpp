#include "session2.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "capture_run.h"
#include "commands.h"
#include "point_records.h"
#include "stop_signal.h"

namespace vorlan_tool {
namespace {

// How long one wait for a frame lasts before the run's end, a stop request
// and the progress are looked at again.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);
constexpr uint32_t kWaitSliceMs = 20;
// Load flag: loaded paused, so the listeners are in place before the first packet.
constexpr uint32_t kLoadPaused = 4;

std::string code_name(int code) {
    const char* name = VorlanGetErrorCodeName(code);
    return name[0] != '\0' ? name : "error " + std::to_string(code);
}

// Whether the file begins like the captures the library reads (magic
// 0xa1b2c3d4, little-endian).
bool starts_like_a_capture(const std::string& file) {
    std::FILE* handle = std::fopen(file.c_str(), "rb");
    if (handle == nullptr) {
        return false;
    }
    unsigned char magic[4] = {};
    const bool read = std::fread(magic, 1, sizeof(magic), handle) == sizeof(magic);
    std::fclose(handle);
    return read && std::memcmp(magic, "\xd4\xc3\xb2\xa1", 4) == 0;
}

std::string progress_label(double position_s, double length_s, std::size_t frames) {
    char label[96];
    std::snprintf(label, sizeof(label), "%.1f/%.1f s  frames %zu", position_s, length_s, frames);
    return label;
}

}  // namespace

std::string aggregation_mode_text(int32_t mode) {
    if (mode == VORLAN_FRAME_AGGREGATION_NATURAL) {
        return "natural";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "timed %.3f s", static_cast<double>(mode) * 1e-6);
    return text;
}

Session2::Session2(Console& console) : m_console(console) {}

Session2::~Session2() { stop(); }

bool Session2::start(const Session2Settings& settings) {
    m_settings = settings;
    const int initialized = VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION);
    if (initialized != VORLAN_SUCCESS) {
        m_console.error("cannot start the second library: " + code_name(initialized));
        return false;
    }
    m_started = true;
    // Without translation the second generation's sensors still come out;
    // the first generation's are then left out.
    const int translation = VorlanEnableLegacyTranslation();
    if (translation != VORLAN_SUCCESS) {
        m_console.warning("legacy translation unavailable: " + code_name(translation));
    }
    int listened = VorlanListenSensorInfo(on_sensor, this);
    if (listened == VORLAN_SUCCESS) {
        listened = VorlanListenSerialLines(on_serial_line, this);
    }
    if (listened == VORLAN_SUCCESS) {
        const LibrarySettings& frames = settings.frames;
        if (frames.fifo_frames != 0) {
            listened = VorlanEnableFrameFifo(frames.aggregation_mode, frames.fifo_frames);
            m_fifo_enabled = listened == VORLAN_SUCCESS;
        } else {
            listened = VorlanListenFrames(frames.aggregation_mode, on_frame, this);
        }
    }
    if (listened != VORLAN_SUCCESS) {
        m_console.error("cannot register with the second library: " + code_name(listened));
        stop();
        return false;
    }
    return true;
}

void Session2::release_fifo() {
    if (m_fifo_enabled) {
        m_fifo_enabled = false;
        VorlanDisableFrameFifo();
    }
}

void Session2::stop() {
    if (!m_started) {
        return;
    }
    m_started = false;
    // Removing the last frame listener (the FIFO's too) drops the library's
    // frame buffers; deinitialising alone would keep them, and a later
    // session in this process would begin with this one's partial frames.
    release_fifo();
    if (m_settings.frames.fifo_frames == 0) {
        VorlanUnlistenFrames(on_frame, this);
    }
    const int code = VorlanDeinitialize();
    if (code != VORLAN_SUCCESS) {
        m_console.warning("stopping the second library: " + code_name(code));
    }
}

bool Session2::ended_locked() const {
    return m_sink_done || (m_settings.frame_limit != 0 && m_frames >= m_settings.frame_limit);
}

bool Session2::frame_limit_reached() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings.frame_limit != 0 && m_frames >= m_settings.frame_limit;
}

std::size_t Session2::frame_count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

std::string Session2::summary() {
    std::lock_guard<std::mutex> lock(m_mutex);
    char text[200];
    std::snprintf(text, sizeof(text),
                  "sensors %zu  frames %zu  points %" PRIu64 "  valid %" PRIu64 "  serial lines %" PRIu64,
                  m_sensors.size(), m_frames, m_points, m_valid_points, m_serial_lines);
    return text;
}

void Session2::on_sensor(uint64_t handle, const VorlanSensor* sensor, void* user) {
    Session2& self = *static_cast<Session2*>(user);
    const std::string line = format_sensor_record(handle, *sensor);
    std::lock_guard<std::mutex> lock(self.m_mutex);
    // After the last frame the source may run on a little until it is
    // stopped; what it brings then is not shown, so a run that stops at a
    // frame limit prints the same every time.
    if (self.ended_locked()) {
        return;
    }
    SensorState& state = self.m_sensors[handle];
    state.name = format_sensor_name(handle, sensor->serial_number);
    // Sensors repeat their information every second: print only what changed.
    if (line != state.printed) {
        state.printed = line;
        self.m_console.line(line);
    }
}

void Session2::on_serial_line(uint64_t, const char*, void* user) {
    Session2& self = *static_cast<Session2*>(user);
    std::lock_guard<std::mutex> lock(self.m_mutex);
    self.m_serial_lines += self.ended_locked() ? 0 : 1;
}

void Session2::on_frame(uint64_t handle, int64_t timestamp, size_t n_points, size_t stride, const uint8_t* points,
                        void* user) {
    static_cast<Session2*>(user)->take_frame(handle, timestamp, n_points, stride, points);
}

void Session2::take_frame(uint64_t handle, int64_t timestamp, std::size_t n_points, std::size_t stride,
                          const uint8_t* points) {
    Frame2 frame;
    frame.sensor = handle;
    frame.timestamp = timestamp;
    frame.points = points;
    frame.n_points = n_points;
    frame.stride = stride;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (ended_locked()) {
            return;
        }
        frame.index = m_frames++;
        SensorState& sensor = m_sensors[handle];
        frame.whole = sensor.frames++ >= 1;
        const FrameSummary summary = summarise_point_records(handle, timestamp, points, n_points, stride);
        m_points += summary.points;
        m_valid_points += summary.valid_points;
        // Points can come before the sensor's first information record.
        frame.sensor_name = sensor.name.empty() ? format_sensor_name(handle) : sensor.name;
        if (m_settings.print_frames) {
            m_console.line(format_frame(frame.index, frame.sensor_name, summary));
        }
    }
    // Frames come one at a time (from one listener pass or from the FIFO's
    // reader), so the sink needs no lock of ours.
    const bool more = !m_frame_sink || m_frame_sink(frame);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink_done = m_sink_done || !more;
    m_changed.notify_all();
}

bool Session2::pump(const std::function<bool()>& source_ended, const std::function<void()>& progress) {
    const auto ended = [this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return ended_locked();
    };
    while (!ended() && !stop_requested()) {
        const bool source_done = source_ended();
        if (!m_fifo_enabled) {
            if (source_done) {
                return true;  // its frames were delivered before it ended
            }
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait_for(lock, kWaitSlice, [this] { return ended_locked(); });
        } else {
            // A source that has ended has put all its frames in the FIFO:
            // take them without waiting, until it is empty.
            VorlanFifoedFrame frame;
            const int got = VorlanFrameFifoGet(&frame, source_done ? 1 : kWaitSliceMs);
            if (got == VORLAN_SUCCESS) {
                take_frame(frame.handle, frame.timestamp, frame.n_points, frame.point_stride, frame.points);
                VorlanFrameFifoRelease();
            } else if (got == VORLAN_ERROR_TIMEOUT) {
                if (source_done && VorlanFrameFifoEmpty() == 1) {
                    return true;
                }
            } else {
                m_console.error("cannot take a frame from the FIFO: " + code_name(got));
                return false;
            }
        }
        progress();
    }
    return true;
}

int Session2::replay(const CaptureRunSettings& settings, const std::string& first_line_note) {
    if (!check_readable(settings.file, m_console)) {
        return kExitFailure;
    }
    uint64_t replay = 0;
    const int loaded = VorlanReplayLoadPcap(settings.file.c_str(), kLoadPaused, &replay);
    if (loaded != VORLAN_SUCCESS) {
        if (loaded == VORLAN_ERROR_FILE_IO && starts_like_a_capture(settings.file)) {
            m_console.error(settings.file + ": the capture holds no packets or is cut short");
        } else if (loaded == VORLAN_ERROR_FILE_IO) {
            m_console.error(settings.file +
                            ": not a capture file (a classic PCAP file with microsecond times is expected)");
        } else {
            m_console.error(settings.file + ": cannot replay: " + code_name(loaded));
        }
        return kExitFailure;
    }
    const double length_s = static_cast<double>(std::max<int64_t>(VorlanReplayGetLength(replay), 0)) * 1e-6;
    char speed[32] = "fastest";
    int percent = 0;
    if (settings.speed != 0.0f) {
        std::snprintf(speed, sizeof(speed), "%gx", static_cast<double>(settings.speed));
        percent = std::max(1, static_cast<int>(std::lround(settings.speed * 100.0f)));
    }
    std::string opened = settings.file + ": capture ";
    char length[32];
    std::snprintf(length, sizeof(length), "%.1f s", length_s);
    opened += std::string(length) + "  library 2  frame mode " + aggregation_mode_text(m_settings.frames.aggregation_mode);
    if (m_settings.frames.fifo_frames != 0) {
        opened += "  FIFO of " + std::to_string(m_settings.frames.fifo_frames) + " frames";
    }
    opened += std::string("  speed ") + speed + (settings.loop ? "  looping" : "") + first_line_note;
    m_console.line(opened);

    int result = VorlanReplaySetSpeed(replay, percent);
    if (result == VORLAN_SUCCESS) {
        result = VorlanReplaySetAutoReplay(replay, settings.loop ? 1 : 0);
    }
    if (result == VORLAN_SUCCESS) {
        result = VorlanReplayPlay(replay);
    }
    int exit_code = kExitSuccess;
    if (result != VORLAN_SUCCESS) {
        m_console.error(settings.file + ": cannot replay: " + code_name(result));
        exit_code = kExitFailure;
    } else {
        const auto finished = [replay] { return VorlanReplayIsFinished(replay) == 1; };
        const auto progress = [&] {
            if (m_console.shows_progress()) {
                const double position_s = static_cast<double>(VorlanReplayGetSeekPosition(replay)) * 1e-6;
                m_console.progress(length_s > 0.0 ? position_s / length_s : 1.0,
                                   progress_label(position_s, length_s, frame_count()));
            }
        };
        exit_code = pump(finished, progress) ? kExitSuccess : kExitFailure;
        // A finished replay answers at once; it ended early when a record
        // was cut short or damaged (the library has said where).
        if (exit_code == kExitSuccess && !settings.loop &&
            VorlanReplayPlayToFinish(replay) == VORLAN_ERROR_FILE_IO) {
            m_console.error(settings.file + ": the capture is cut short or damaged; what came before it was replayed");
            exit_code = kExitFailure;
        }
    }
    m_console.end_progress();
    release_fifo();
    VorlanReplayUnloadPcap(replay);
    return exit_code;
}

int Session2::listen(uint16_t port, double seconds) {
    const int opened = VorlanStartNetworkingOnPort(port);
    if (opened != VORLAN_SUCCESS) {
        m_console.error("cannot listen on UDP port " + std::to_string(port) + ": " +
                        (opened == VORLAN_ERROR_COMMUNICATION ? std::string("the port is in use or cannot be opened")
                                                              : code_name(opened)));
        return kExitFailure;
    }
    m_console.line("listening on UDP port " + std::to_string(port) + "  library 2  frame mode " +
                   aggregation_mode_text(m_settings.frames.aggregation_mode) +
                   (seconds > 0.0 ? "" : "  (Ctrl-C stops)"));
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::duration<double>(seconds);
    const auto time_is_up = [&] { return seconds > 0.0 && std::chrono::steady_clock::now() - start >= limit; };
    const bool pumped = pump(time_is_up, [] {});
    release_fifo();
    VorlanStopNetworking();
    return pumped ? kExitSuccess : kExitFailure;
}

}  // namespace vorlan_tool
