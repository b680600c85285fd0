// The frame source over the second library (vorlan_sdk2), through its C
// interface only, with legacy translation on so that first-generation
// sensors come out as second-generation points and frames too. Frames come
// from a frame listener on the library's thread, or are pulled through the
// library's frame FIFO on the running thread.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "console.h"
#include "exit_codes.h"
#include "frame_source_core.h"
#include "library_sources.h"
#include "point_records.h"
#include "stop_signal.h"
#include "vorlan_sdk2.h"
#include "wire_bytes.h"

namespace vorlan_tool {
namespace {

using vorlan_common::load_i16le;

constexpr std::chrono::milliseconds kSlice{20};
constexpr uint32_t kSliceMs = 20;

// A point record: x, y, z as little-endian int16 in 5 mm units, then
// reflectivity, the time since the previous point (µs), channel and flags.
constexpr double kMetresPerUnit = 0.005;
constexpr std::size_t kReflectivityOffset = 6;
constexpr std::size_t kRelativeTimeOffset = 7;
constexpr std::size_t kChannelOffset = 8;
constexpr std::size_t kFlagsOffset = 9;

std::string code_name(int code) {
    const char* name = VorlanGetErrorCodeName(code);
    return name[0] != '\0' ? name : "error " + std::to_string(code);
}

// The percentage each reflectivity byte stands for, made once, read per point.
const float* reflectivity_table() {
    static const std::vector<float> table = [] {
        std::vector<float> values(256);
        for (int code = 0; code < 256; ++code) {
            values[code] = static_cast<float>(reflectivity_percent(static_cast<uint8_t>(code)));
        }
        return values;
    }();
    return table.data();
}

bool starts_with(const uint8_t* data, std::size_t size, const char* magic) {
    return size >= 4 && std::memcmp(data, magic, 4) == 0;
}

class SecondLibrarySource final : public FrameSourceCore {
public:
    explicit SecondLibrarySource(Console& console) : FrameSourceCore(console) {}
    ~SecondLibrarySource() override { stop_library(); }

protected:
    int library() const override { return 2; }

    std::string frame_mode_text() const override {
        std::string text = "natural";
        if (aggregation_mode() != VORLAN_FRAME_AGGREGATION_NATURAL) {
            char timed[32];
            std::snprintf(timed, sizeof(timed), "timed %.3f s", static_cast<double>(aggregation_mode()) * 1e-6);
            text = timed;
        }
        if (settings().fifo_frames != 0) {
            text += "  FIFO of " + std::to_string(settings().fifo_frames) + " frames";
        }
        return text;
    }

    bool start_library() override {
        const int initialized = VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION);
        if (initialized != VORLAN_SUCCESS) {
            console().error("cannot start the second library: " + code_name(initialized));
            return false;
        }
        m_started = true;
        // Without translation the second generation's sensors still come
        // out; the first generation's are then left out.
        if (settings().legacy_translation) {
            const int translation = VorlanEnableLegacyTranslation();
            if (translation != VORLAN_SUCCESS) {
                console().warning("legacy translation unavailable: " + code_name(translation));
            }
        }
        int listened = VorlanRegisterParser(on_datagram, this);
        if (listened == VORLAN_SUCCESS) {
            listened = VorlanListenSensorInfo(on_sensor, this);
        }
        if (listened == VORLAN_SUCCESS) {
            if (settings().fifo_frames != 0) {
                listened = VorlanEnableFrameFifo(aggregation_mode(), settings().fifo_frames);
                m_fifo_enabled = listened == VORLAN_SUCCESS;
            } else {
                listened = VorlanListenFrames(aggregation_mode(), on_frame, this);
                m_listening = listened == VORLAN_SUCCESS;
            }
        }
        if (listened != VORLAN_SUCCESS) {
            console().error("cannot register with the second library: " + code_name(listened));
            stop_library();
            return false;
        }
        return true;
    }

    bool open_capture(const std::string& path) override {
        const std::string& file = settings().capture;
        // Loaded paused, so that the listeners are in place before the first
        // packet. A replay that ends tells what reading left out and where
        // the capture is cut itself, so the library does not say it again on
        // standard error; a looping one cannot learn of a cut (the blocking
        // play that tells it is refused), so the library's line stays.
        const uint32_t flags = VORLAN_REPLAY_LOAD_PAUSED | (settings().loop ? 0u : VORLAN_REPLAY_LOAD_NO_END_REPORT);
        const int loaded = VorlanReplayLoadPcap(path.c_str(), flags, &m_replay);
        if (loaded != VORLAN_SUCCESS) {
            m_replay = 0;
            if (loaded == VORLAN_ERROR_FILE_IO && starts_like_a_capture(path)) {
                console().error(file + ": the capture holds no packets or is cut short");
            } else if (loaded == VORLAN_ERROR_FILE_IO) {
                console().error(file + ": not a capture file (a PCAP or pcapng capture is expected)");
            } else {
                console().error(file + ": cannot replay: " + code_name(loaded));
            }
            return false;
        }
        int result = VorlanReplaySetAutoReplay(m_replay, settings().loop ? 1 : 0);
        if (result == VORLAN_SUCCESS) {
            set_library_speed(settings().speed);
        }
        if (result != VORLAN_SUCCESS) {
            console().error(file + ": cannot replay: " + code_name(result));
            return false;
        }
        return true;
    }

    bool open_port() override {
        const uint16_t port = settings().port;
        const int opened = settings().multicast_group.empty()
                               ? VorlanStartNetworkingOnPort(port)
                               : VorlanStartNetworkingMulticast(settings().multicast_group.c_str(), "127.0.0.1", port);
        if (opened != VORLAN_SUCCESS) {
            console().error("cannot listen on UDP port " + std::to_string(port) + ": " +
                            (opened == VORLAN_ERROR_COMMUNICATION
                                 ? std::string("the port is in use or cannot be opened")
                                 : code_name(opened)));
            return false;
        }
        m_networking = true;
        return true;
    }

    int feed() override {
        int result = kExitSuccess;
        if (m_replay != 0) {
            if (!held()) {
                VorlanReplayPlay(m_replay);
            }
            result = pump([this] { return !settings().loop && VorlanReplayIsFinished(m_replay) == 1; });
            VorlanReplayPause(m_replay);
            // A finished replay answers at once; it ended early when a
            // record was cut short or damaged, after the last record played.
            if (result == kExitSuccess && !finished() && !settings().loop &&
                VorlanReplayPlayToFinish(m_replay) == VORLAN_ERROR_FILE_IO) {
                note_cut_end();
                const int64_t at = VorlanReplayGetSeekPosition(m_replay);
                char where[48] = "";
                if (at >= 0) {
                    std::snprintf(where, sizeof(where), " at %.3f s", static_cast<double>(at) * 1e-6);
                }
                console().error(settings().capture + ": the capture is cut short or damaged" + where +
                                "; what came before it was replayed");
                result = kExitFailure;
            }
        } else {
            const auto start = std::chrono::steady_clock::now();
            const auto limit = std::chrono::duration<double>(settings().listen_seconds);
            result = pump([&] {
                return settings().listen_seconds > 0.0 && std::chrono::steady_clock::now() - start >= limit;
            });
        }
        set_received(m_received.load());
        return result;
    }

    // Datagrams already waiting in the socket's buffer when the run ends are
    // still taken, so that the counts add up to what arrived: at most 3 s,
    // until nothing new has come for 100 ms.
    static void settle_network() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        uint64_t last = UINT64_MAX;
        auto quiet_since = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < deadline) {
            uint64_t received = 0;
            if (VorlanGetNetworkCounts(&received, nullptr) != VORLAN_SUCCESS) {
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            if (received != last) {
                last = received;
                quiet_since = now;
            } else if (now - quiet_since >= std::chrono::milliseconds(100)) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    void stop_library() override {
        if (!m_started) {
            return;
        }
        m_started = false;
        if (m_networking) {
            m_networking = false;
            settle_network();
            VorlanStopNetworking();
            // The networking source decodes on its receiving thread, so
            // nothing is dropped between its socket and the parsers: what it
            // took from the socket and what the system dropped there are all
            // of it (readable until the next start).
            uint64_t received = 0;
            uint64_t dropped = 0;
            if (VorlanGetNetworkCounts(&received, &dropped) == VORLAN_SUCCESS) {
                set_received(received);
                set_kernel_dropped(dropped, true);
            }
        }
        if (m_replay != 0) {
            VorlanReplayUnloadPcap(m_replay);
        }
        // The wait for the length reads m_replay until it ends.
        join_length();
        m_replay = 0;
        // Removing the last frame listener (the FIFO's too) drops the
        // library's frame buffers; deinitialising alone would keep them, and
        // a later source in this process would begin with this one's partial
        // frames.
        if (m_fifo_enabled) {
            m_fifo_enabled = false;
            VorlanDisableFrameFifo();
        }
        if (m_listening) {
            m_listening = false;
            VorlanUnlistenFrames(on_frame, this);
        }
        VorlanUnlistenSensorInfo(on_sensor, this);
        VorlanUnregisterParser(on_datagram, this);
        const int code = VorlanDeinitialize();
        if (code != VORLAN_SUCCESS) {
            console().warning("stopping the second library: " + code_name(code));
        }
    }

    double wait_for_length() override {
        // Negative when the capture was unloaded while it was being indexed.
        const int64_t length = VorlanReplayGetLength(m_replay);
        return length < 0 ? -1.0 : static_cast<double>(length) * 1e-6;
    }

    void seek_library(double seconds) override {
        if (m_replay != 0) {
            VorlanReplaySeek(m_replay, static_cast<int64_t>(seconds * 1e6));
            restart_frames();
        }
    }

    void set_library_speed(float speed) override {
        if (m_replay == 0) {
            return;
        }
        const int percent = speed == 0.0f ? 0 : std::max(1, static_cast<int>(std::lround(speed * 100.0f)));
        VorlanReplaySetSpeed(m_replay, percent);
    }

    bool look_up_sensor(uint64_t handle, SensorFacts& facts) override {
        VorlanSensor sensor{};
        if (VorlanGetSensorInformation(handle, &sensor) != VORLAN_SUCCESS) {
            return false;
        }
        facts = facts_of(handle, sensor);
        return true;
    }

    bool capture_counts(vorlan_capture::SkipCounters& counters) override {
        if (m_replay == 0) {
            return false;
        }
        const auto count = [this](uint32_t which) -> uint64_t {
            const int64_t value = VorlanReplayGetCount(m_replay, which);
            return value > 0 ? static_cast<uint64_t>(value) : 0;
        };
        counters.duplicates = count(VORLAN_REPLAY_COUNT_DUPLICATES);
        counters.snapshot_cut = count(VORLAN_REPLAY_COUNT_SNAPSHOT_CUT);
        counters.incomplete = count(VORLAN_REPLAY_COUNT_INCOMPLETE);
        counters.broken_header = count(VORLAN_REPLAY_COUNT_BROKEN);
        counters.not_udp = count(VORLAN_REPLAY_COUNT_NOT_UDP);
        counters.other_link = count(VORLAN_REPLAY_COUNT_OTHER_LINK);
        return true;
    }

    void on_paused_by_step() override {
        if (m_replay != 0) {
            VorlanReplayPause(m_replay);
        }
    }

    void on_pause_changed(bool paused) override {
        if (m_replay == 0) {
            return;
        }
        if (paused) {
            VorlanReplayPause(m_replay);
        } else {
            VorlanReplayPlay(m_replay);
        }
    }

private:
    int32_t aggregation_mode() const {
        if (settings().mode != FrameMode::timed) {
            return VORLAN_FRAME_AGGREGATION_NATURAL;
        }
        const double period = std::round(static_cast<double>(settings().frame_length) * 1e6);
        return static_cast<int32_t>(std::max<double>(period, VORLAN_FRAME_AGGREGATION_MIN_PERIOD_US));
    }

    SensorFacts facts_of(uint64_t handle, const VorlanSensor& sensor) {
        SensorFacts facts;
        facts.handle = handle;
        facts.serial_number = sensor.serial_number;
        facts.model = std::string(sensor.model_name, strnlen(sensor.model_name, sizeof sensor.model_name));
        facts.model_number = sensor.model;
        facts.channels = sensor.channel_count;
        facts.returns = sensor.return_count;
        const std::pair<uint32_t, const char*> clocks[] = {{VORLAN_SENSOR_FLAG_PTP_CONNECTED, "PTP"},
                                                           {VORLAN_SENSOR_FLAG_PPS_CONNECTED, "PPS"},
                                                           {VORLAN_SENSOR_FLAG_NMEA_CONNECTED, "NMEA"}};
        for (const auto& clock : clocks) {
            if ((sensor.flags & clock.first) != 0) {
                facts.sync += (facts.sync.empty() ? "" : " ") + std::string(clock.second);
            }
        }
        char firmware[32];
        std::snprintf(firmware, sizeof(firmware), "%u.%u.%u.%u", sensor.firmware_version[0],
                      sensor.firmware_version[1], sensor.firmware_version[2], sensor.firmware_version[3]);
        facts.firmware = firmware;
        std::lock_guard<std::mutex> lock(m_mutex);
        facts.generation = m_second_generation.count(handle) != 0 ? 2 : 1;
        return facts;
    }

    // Takes frames until `source_ended` (then the FIFO is drained), the run
    // has finished or a stop is requested.
    int pump(const std::function<bool()>& source_ended) {
        while (!finished()) {
            const bool source_done = source_ended();
            set_received(m_received.load());
            if (m_replay != 0) {
                const int64_t at = VorlanReplayGetSeekPosition(m_replay);
                if (at >= 0) {
                    note_position(static_cast<double>(at) * 1e-6);
                }
                show_progress();
            }
            if (!m_fifo_enabled) {
                if (source_done) {
                    return kExitSuccess;  // its frames were delivered before it ended
                }
                wait_a_little(kSlice);
                continue;
            }
            // A source that has ended has put all its frames in the FIFO:
            // take them without waiting, until it is empty.
            VorlanFifoedFrame frame;
            const int got = VorlanFrameFifoGet(&frame, source_done ? 1 : kSliceMs);
            if (got == VORLAN_SUCCESS) {
                take_frame(frame.handle, frame.timestamp, frame.n_points, frame.point_stride, frame.points);
                VorlanFrameFifoRelease();
            } else if (got == VORLAN_ERROR_TIMEOUT) {
                if (source_done && VorlanFrameFifoEmpty() == 1) {
                    return kExitSuccess;
                }
            } else {
                console().error("cannot take a frame from the FIFO: " + code_name(got));
                return kExitFailure;
            }
        }
        return kExitSuccess;
    }

    void show_progress() {
        if (!console().shows_progress()) {
            return;
        }
        const double at = position();
        const double length_s = length();
        char label[64];
        // A long capture's length comes once it is indexed.
        if (length_s > 0.0) {
            std::snprintf(label, sizeof(label), "%.1f/%.1f s", at, length_s);
        } else {
            std::snprintf(label, sizeof(label), "%.1f s", at);
        }
        console().progress(length_s > 0.0 ? at / length_s : 1.0, label);
    }

    // One frame at a time: from one listener pass, or from the FIFO's reader.
    void take_frame(uint64_t handle, int64_t timestamp, std::size_t n_points, std::size_t stride,
                    const uint8_t* points) {
        if (stride < 10) {
            return;  // not point records
        }
        const float* reflectivity = reflectivity_table();
        std::vector<FramePoint>& out = m_points;
        out.resize(n_points);
        // A natural frame begins with up to 2,048 points the previous frame
        // already ended with (flagged as carried over): they are left out, so
        // that no point is handed out twice and frames are the sensor's
        // scans, as with the first library. Their times still count.
        int64_t time = timestamp;
        int64_t first = timestamp;
        std::size_t kept = 0;
        std::size_t valid = 0;
        for (std::size_t i = 0; i < n_points; ++i) {
            const uint8_t* record = points + i * stride;
            time += record[kRelativeTimeOffset];
            const uint8_t flags = record[kFlagsOffset];
            if ((flags & VORLAN_POINT_FLAG_CARRIED_OVER) != 0) {
                continue;
            }
            if (kept == 0) {
                first = time;
            }
            FramePoint& to = out[kept++];
            const bool has_return = (flags & VORLAN_POINT_FLAG_NO_RETURN) == 0;
            to.x = static_cast<float>(load_i16le(record) * kMetresPerUnit);
            to.y = static_cast<float>(load_i16le(record + 2) * kMetresPerUnit);
            to.z = static_cast<float>(load_i16le(record + 4) * kMetresPerUnit);
            to.intensity = reflectivity[record[kReflectivityOffset]];
            to.t = static_cast<uint32_t>(std::min<int64_t>(time - first, INT64_C(4294967)) * 1000);
            to.channel = record[kChannelOffset];
            to.return_index = 0;
            to.flags = has_return ? kFramePointValid : 0;
            valid += has_return ? 1 : 0;
        }
        out.resize(kept);
        LibraryFrame frame;
        frame.handle = handle;
        frame.points = out.data();
        frame.n_points = kept;
        frame.n_valid = valid;
        frame.first_time = first;
        frame.last_time = time;
        frame.cut_by_rule = true;
        if (m_replay != 0) {
            const int64_t at = VorlanReplayGetSeekPosition(m_replay);
            frame.position = at >= 0 ? static_cast<double>(at) * 1e-6 : position();
        }
        deliver(frame);
    }

    static void on_frame(uint64_t handle, int64_t timestamp, size_t n_points, size_t stride, const uint8_t* points,
                         void* user) {
        static_cast<SecondLibrarySource*>(user)->take_frame(handle, timestamp, n_points, stride, points);
    }

    static void on_sensor(uint64_t handle, const VorlanSensor* sensor, void* user) {
        auto& self = *static_cast<SecondLibrarySource*>(user);
        self.note_sensor(self.facts_of(handle, *sensor));
    }

    // Sees every datagram before the library's own parsers, and passes it on.
    static int on_datagram(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void* user) {
        auto& self = *static_cast<SecondLibrarySource*>(user);
        self.datagram(handle, timestamp, data, size);
        self.m_received.fetch_add(1, std::memory_order_relaxed);
        if (starts_with(data, size, "STDV") || starts_with(data, size, "STA0")) {
            std::lock_guard<std::mutex> lock(self.m_mutex);
            if (self.m_second_generation.count(handle) == 0) {
                self.m_second_generation[handle] = true;
            }
        }
        return 1;
    }

    bool m_started = false;
    bool m_fifo_enabled = false;
    bool m_listening = false;
    bool m_networking = false;
    uint64_t m_replay = 0;
    std::vector<FramePoint> m_points;  // the frame being handed out
    std::atomic<uint64_t> m_received{0};

    std::mutex m_mutex;                          // guards below
    std::map<uint64_t, bool> m_second_generation;  // senders of second-generation point data
};

}  // namespace

std::unique_ptr<FrameSource> make_second_library_source(Console& console) {
    return std::make_unique<SecondLibrarySource>(console);
}

}  // namespace vorlan_tool
