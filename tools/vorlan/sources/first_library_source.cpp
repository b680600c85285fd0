// The frame source over the first library (vorlan_sdk), through its C
// interface only: a capture is fed one packet at a time on the running
// thread, live traffic comes on the library's packet thread.
#include <algorithm>
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
#include "first_library_facts.h"
#include "frame_source_core.h"
#include "library_sources.h"
#include "stop_signal.h"
#include "vorlan_sdk.h"

namespace vorlan_tool {
namespace {

// Library errors past this many are counted, not printed: a sensor sending
// damaged packets would otherwise bury the frames.
constexpr std::size_t kMaxPrintedErrors = 20;
constexpr std::size_t kNoReapply = static_cast<std::size_t>(-1);
constexpr std::chrono::milliseconds kSlice{20};
// How long a stopping live source waits for its traffic to settle, and how
// long without a datagram counts as settled.
constexpr std::chrono::milliseconds kDrainBound{3000};
constexpr std::chrono::milliseconds kQuietTime{200};
// The library's least time between two reports of lost datagrams, and a little.
constexpr std::chrono::milliseconds kLossReportInterval{1100};

// The library's messages read "AssertionError: <text>" followed by source
// locations, or are plain text; a user needs the text.
std::string first_message_line(const char* message) {
    std::string text = message != nullptr ? message : "";
    const std::size_t end = text.find('\n');
    if (end != std::string::npos) {
        text.resize(end);
    }
    const std::string assertion = "AssertionError";
    if (text.compare(0, assertion.size(), assertion) == 0) {
        text.erase(0, assertion.size());
        if (text.compare(0, 2, ": ") == 0) {
            text.erase(0, 2);
        }
    }
    return text;
}

std::string error_text(VorlanSensorErrorCode code) {
    const char* message = nullptr;
    vorlan_sdk_get_error(&message);
    std::string text = first_message_line(message);
    return text.empty() ? vorlan_get_error_code_name(code) : text;
}

bool starts_with(const uint8_t* data, std::size_t size, const char* magic) {
    return size >= 4 && std::memcmp(data, magic, 4) == 0;
}

// Point data packets of the first generation: "STDP", "STDQ", "STDR", "STDT".
bool is_point_data_packet(const uint8_t* data, std::size_t size) {
    return starts_with(data, size, "STDP") || starts_with(data, size, "STDQ") || starts_with(data, size, "STDR") ||
           starts_with(data, size, "STDT");
}

// Point data of the second generation, which this library does not decode.
bool is_second_generation_packet(const uint8_t* data, std::size_t size) {
    return starts_with(data, size, "STDV") || starts_with(data, size, "STA0");
}

// Some capture tools write records of zero bytes, which library 1 refuses
// to `what`; the converter leaves them out.
std::string zero_byte_record(const std::string& file, const std::string& what) {
    return file + ": the capture holds a record of zero bytes, which library 1 cannot " + what + ": `vorlan convert " +
           file + " fixed.pcap` writes a copy without it";
}

VorlanSDKFrameMode library_mode(FrameMode mode) {
    switch (mode) {
        case FrameMode::streaming:
            return VORLAN_SDK_FRAME_STREAMING;
        case FrameMode::timed:
            return VORLAN_SDK_FRAME_TIMED;
        case FrameMode::full_scan:
            return VORLAN_SDK_FRAME_FULL_SCAN;
        case FrameMode::sweep:
            break;
    }
    return VORLAN_SDK_FRAME_SWEEP;
}

// Waits until each packet's time comes at the chosen rate. Like the
// library's own pacing it re-anchors when more than a second off, so a slow
// consumer never builds up a backlog.
class Pacer {
public:
    void restart() { m_anchored = false; }

    void wait_for(int64_t packet_time_us, float speed) {
        if (speed <= 0.0f) {
            m_anchored = false;
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        const int64_t previous = m_last_time;
        m_last_time = packet_time_us;
        // Time going back (captures merged by appending) is paced afresh
        // from here, like a jump forward, not played in a burst.
        if (!m_anchored || speed != m_speed || packet_time_us < previous) {
            anchor(now, packet_time_us, speed);
            return;
        }
        const auto due = m_anchor_clock + std::chrono::microseconds(static_cast<int64_t>(
                                              static_cast<double>(packet_time_us - m_anchor_time) / speed));
        if (due - now > kMaxDrift || now - due > kMaxDrift) {
            anchor(now, packet_time_us, speed);
            return;
        }
        // In slices, so that a stop request is seen soon.
        for (auto at = now; at < due && !stop_requested(); at = std::chrono::steady_clock::now()) {
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(due - at, kPaceSlice));
        }
    }

private:
    void anchor(std::chrono::steady_clock::time_point now, int64_t time, float speed) {
        m_anchored = true;
        m_anchor_clock = now;
        m_anchor_time = time;
        m_speed = speed;
    }

    static constexpr std::chrono::seconds kMaxDrift{1};
    static constexpr std::chrono::milliseconds kPaceSlice{50};

    bool m_anchored = false;
    float m_speed = 0.0f;
    std::chrono::steady_clock::time_point m_anchor_clock{};
    int64_t m_anchor_time = 0;
    int64_t m_last_time = 0;  // the packet paced last
};

class FirstLibrarySource final : public FrameSourceCore {
public:
    explicit FirstLibrarySource(Console& console) : FrameSourceCore(console) {}
    ~FirstLibrarySource() override { stop_library(); }

protected:
    int library() const override { return 1; }

    std::string frame_mode_text() const override {
        switch (settings().mode) {
            case FrameMode::streaming:
                return "streaming";
            case FrameMode::timed: {
                char text[32];
                std::snprintf(text, sizeof(text), "timed %.3f s", static_cast<double>(settings().frame_length));
                return text;
            }
            case FrameMode::full_scan:
                return "full-scan";
            case FrameMode::sweep:
                break;
        }
        return "sweep";
    }

    bool start_library() override {
        // Started without the network: the callbacks must be in place before
        // the first datagram, or the first information of a sensor would go
        // unseen.
        VorlanSDKOptions options = vorlan_sdk_create_options();
        options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK |
                                (settings().multiple_returns ? VORLAN_SDK_CONTROL_ENABLE_MULTIPLE_RETURNS : 0);
        options.port = settings().port;
        options.frame.mode = library_mode(settings().mode);
        options.frame.length = settings().frame_length;
        const VorlanSensorErrorCode code = vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, on_error, this);
        if (code != VORLAN_SUCCESS) {
            console().error("cannot start the library: " + error_text(code));
            return false;
        }
        m_started = true;
        VorlanSensorErrorCode listened = vorlan_sdk_listen_info_packets(on_information, this);
        if (listened == VORLAN_SUCCESS) {
            listened = vorlan_sdk_listen_image_frames(on_image_frame, this);
        }
        if (listened == VORLAN_SUCCESS) {
            listened = vorlan_sdk_listen_network_packet(on_packet, this);
        }
        if (listened != VORLAN_SUCCESS) {
            console().error("cannot register callbacks: " + error_text(listened));
            stop_library();
            return false;
        }
        return true;
    }

    bool open_capture(const std::string& path) override {
        const VorlanSensorErrorCode code = vorlan_sdk_capture_replay_open(path.c_str());
        const std::string& file = settings().capture;
        switch (code) {
            case VORLAN_SUCCESS:
                return true;
            case VORLAN_ERROR_INVALID_FILE_TYPE:
                console().error(file + ": not a capture file (a PCAP or pcapng capture is expected)");
                break;
            case VORLAN_ERROR_FILE_IO:
                // The library cannot tell a file too short for a capture
                // header from a capture cut short; its first bytes can.
                console().error(file + (starts_like_a_capture(path)
                                            ? ": the capture is cut short or cannot be read"
                                            : ": not a capture file (a PCAP or pcapng capture is expected)"));
                break;
            case VORLAN_ERROR_CORRUPT_FILE: {
                const std::string reason = error_text(code);
                if (reason == "Empty packet!") {
                    console().error(zero_byte_record(file, "replay"));
                } else {
                    console().error(file + ": the capture is damaged: " + reason);
                }
                break;
            }
            case VORLAN_ERROR_INVALID_ARGUMENTS:
                // Opening stands at the first packet, which a capture without
                // packets does not have.
                console().error(file + ": the capture holds no packets");
                break;
            default:
                console().error(file + ": cannot replay: " + error_text(code));
                break;
        }
        return false;
    }

    bool open_port() override {
        m_live = true;
        const VorlanSensorErrorCode opened = vorlan_sdk_set_control_flags(VORLAN_SDK_CONTROL_DISABLE_NETWORK, 0);
        if (opened != VORLAN_SUCCESS) {
            console().error("cannot listen on UDP port " + std::to_string(settings().port) + ": " + error_text(opened));
            return false;
        }
        // The library reports the datagrams its worker dropped and those
        // that found the socket's buffer full.
        LossCounts counted;
        counted.kernel_counted = true;
        add_losses(counted);
        return true;
    }

    int feed() override { return m_live ? feed_live() : feed_capture(); }

    void stop_library() override {
        if (!m_started) {
            return;
        }
        m_started = false;
        if (vorlan_sdk_capture_replay_is_open() == 1) {
            vorlan_sdk_capture_replay_close();
        }
        join_length();
        const VorlanSensorErrorCode code = vorlan_sdk_deinitialize();
        if (code != VORLAN_SUCCESS) {
            console().warning("stopping the library: " + error_text(code));
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_senders) {
            if (entry.second.second_generation != 0 && !entry.second.informed) {
                note_undecodable(entry.first, entry.second.second_generation);
            }
        }
        m_senders.clear();
    }

    double wait_for_length() override {
        // 0 also when the capture was closed while it was being indexed.
        return static_cast<double>(vorlan_sdk_capture_replay_get_length());
    }

    void seek_library(double seconds) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seek_to = seconds;
    }

    void set_library_speed(float) override {}  // the pacer reads speed() before each packet

    bool look_up_sensor(uint64_t handle, SensorFacts& facts) override {
        VorlanSensorInformation information{};
        if (vorlan_sdk_get_sensor_information(handle, &information) != VORLAN_SUCCESS ||
            information.firmware_version[0] == '\0') {
            return false;
        }
        facts = first_library_facts(information);
        return true;
    }

    bool capture_counts(vorlan_capture::SkipCounters& counters) override {
        if (m_live) {
            return false;
        }
        counters.duplicates = vorlan_sdk_capture_replay_get_count(VORLAN_CAPTURE_COUNT_DUPLICATES);
        counters.snapshot_cut = vorlan_sdk_capture_replay_get_count(VORLAN_CAPTURE_COUNT_SNAPSHOT_CUT);
        counters.incomplete = vorlan_sdk_capture_replay_get_count(VORLAN_CAPTURE_COUNT_INCOMPLETE);
        counters.broken_header = vorlan_sdk_capture_replay_get_count(VORLAN_CAPTURE_COUNT_BROKEN);
        counters.not_udp = vorlan_sdk_capture_replay_get_count(VORLAN_CAPTURE_COUNT_NOT_UDP);
        counters.other_link = vorlan_sdk_capture_replay_get_count(VORLAN_CAPTURE_COUNT_OTHER_LINK);
        return true;
    }

private:
    struct SenderState {
        bool informed = false;
        std::size_t data_packets = 0;  // point data packets since its information
        // The library holds a frame for it (made since frames were last
        // dropped).
        bool frame_made = false;
        std::size_t frames = 0;  // frames the library made for it
        // Frames made when its frame last got the options; kNoReapply while
        // it did not.
        std::size_t frames_at_reapply = kNoReapply;
        uint64_t second_generation = 0;  // datagrams of second-generation point data
        uint64_t last_heard = 0;         // m_handled at its latest datagram
    };

    // The state of a sender, made when first heard. Past kTrackedSenders
    // (a flood of spoofed addresses) the half heard least recently goes:
    // what they sent that library 1 cannot decode is counted first, and a
    // sensor still sending is among the recent half.
    SenderState& sender_locked(VorlanSensorHandle handle) {
        auto found = m_senders.find(handle);
        if (found != m_senders.end()) {
            return found->second;
        }
        if (m_senders.size() >= kTrackedSenders) {
            forget_least_recent_locked();
        }
        SenderState& sender = m_senders[handle];
        sender.last_heard = m_handled;
        return sender;
    }

    void forget_least_recent_locked() {
        std::vector<uint64_t> heard;
        heard.reserve(m_senders.size());
        for (const auto& entry : m_senders) {
            heard.push_back(entry.second.last_heard);
        }
        const auto middle = heard.begin() + std::ptrdiff_t(heard.size() / 2);
        std::nth_element(heard.begin(), middle, heard.end());
        const uint64_t keep_from = *middle;
        for (auto it = m_senders.begin(); it != m_senders.end();) {
            if (it->second.last_heard < keep_from) {
                if (it->second.second_generation != 0 && !it->second.informed) {
                    note_undecodable(it->first, it->second.second_generation);
                }
                it = m_senders.erase(it);
            } else {
                ++it;
            }
        }
    }

    bool needs_reapply() const { return settings().mode == FrameMode::sweep || settings().mode == FrameMode::full_scan; }

    // The library starts a sensor's frame in the sweep modes as a timed one
    // and gives it the sweep rule only when the options are set again after
    // the frame exists. They are set right after the data packet that made
    // a new frame and before the next packet is decoded: a fixed point of
    // the packet stream, so the frames are the same however fast the
    // packets come.
    bool take_pending_apply_locked() {
        if (!m_apply_pending) {
            return false;
        }
        m_apply_pending = false;
        // Setting the options restarts the rule of every frame the library
        // holds: the frame each of those sensors is building is not whole.
        for (auto& entry : m_senders) {
            if (entry.second.frame_made) {
                entry.second.frames_at_reapply = entry.second.frames;
            }
        }
        return true;
    }

    void apply_frame_options() {
        // Never under m_mutex: the library takes its frame locks here and
        // holds them while it calls on_image_frame, which takes m_mutex.
        VorlanSDKFrameOptions options = vorlan_sdk_create_frame_options();
        options.mode = library_mode(settings().mode);
        options.length = settings().frame_length;
        const VorlanSensorErrorCode code = vorlan_sdk_set_frame_options(&options);
        if (code != VORLAN_SUCCESS) {
            console().warning("cannot apply the frame options: " + error_text(code));
        }
    }

    void apply_pending_frame_options() {
        bool apply = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            apply = take_pending_apply_locked();
        }
        if (apply) {
            apply_frame_options();
        }
    }

    // The capture starts again (a loop): the library forgets its
    // sensors and their frames (a sensor also holds its last data packet
    // until the next one comes), so no frame mixes two places of the capture.
    bool start_again() {
        VorlanSensorErrorCode code = vorlan_sdk_clear();
        if (code == VORLAN_SUCCESS) {
            code = vorlan_sdk_capture_replay_rewind();
        }
        if (code != VORLAN_SUCCESS) {
            console().error(settings().capture + ": cannot start again: " + error_text(code));
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_apply_pending = false;
            for (auto& entry : m_senders) {
                entry.second.informed = false;
                entry.second.data_packets = 0;
                entry.second.frame_made = false;
                entry.second.frames_at_reapply = kNoReapply;
            }
        }
        restart_frames();
        m_pacer.restart();
        return true;
    }

    // A seek keeps what the library knows of its sensors (their information
    // may not come again soon); the frame each is building mixes both places
    // of the capture, and is handed out as not whole.
    bool seek_to_position(double seconds) {
        const VorlanSensorErrorCode code = vorlan_sdk_capture_replay_seek(static_cast<float>(seconds));
        if (code != VORLAN_SUCCESS) {
            console().error(settings().capture + ": cannot seek: " + error_text(code));
            return false;
        }
        restart_frames();
        m_pacer.restart();
        return true;
    }

    void report_read_failure(VorlanSensorErrorCode code) {
        if (code == VORLAN_ERROR_FILE_IO || code == VORLAN_ERROR_CORRUPT_FILE) {
            note_cut_end();
        }
        // What was read before stays handed out: a capture cut short by a
        // recording that was killed is still worth looking at.
        char at[48];
        std::snprintf(at, sizeof(at), " at %.3f s", static_cast<double>(vorlan_sdk_capture_replay_get_position()));
        const std::string& file = settings().capture;
        if (code == VORLAN_ERROR_FILE_IO) {
            console().error(file + ": the capture is cut short or cannot be read" + at);
        } else if (code == VORLAN_ERROR_CORRUPT_FILE) {
            console().error(file + ": the capture is damaged" + at + ": " + error_text(code));
        } else {
            console().error(file + ": replay stopped" + at + ": " + error_text(code));
        }
    }

    int feed_capture() {
        while (!finished()) {
            double seek_to = -1.0;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                std::swap(seek_to, m_seek_to);
            }
            if (seek_to >= 0.0 && !seek_to_position(seek_to)) {
                return kExitFailure;
            }
            if (held()) {
                wait_a_little(kSlice);
                continue;
            }
            const VorlanSensorErrorCode code = vorlan_sdk_capture_replay_resume_blocking_once();
            if (code == VORLAN_ERROR_EOF) {
                if (!settings().loop) {
                    break;
                }
                if (!start_again()) {
                    return kExitFailure;
                }
                continue;
            }
            if (code != VORLAN_SUCCESS) {
                report_read_failure(code);
                return kExitFailure;
            }
            apply_pending_frame_options();
            const double position = static_cast<double>(vorlan_sdk_capture_replay_get_position());
            if (settings().end >= 0.0 && position > settings().end && settings().loop) {
                if (!start_again()) {
                    return kExitFailure;
                }
                continue;
            }
            note_position(position);
            int64_t packet_time = 0;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                packet_time = m_last_packet_time;
            }
            m_pacer.wait_for(packet_time, speed());
            if (console().shows_progress()) {
                const double length_s = length();
                char label[64];
                // A long capture's length comes once it is indexed.
                if (length_s > 0.0) {
                    std::snprintf(label, sizeof(label), "%.1f/%.1f s", position, length_s);
                } else {
                    std::snprintf(label, sizeof(label), "%.1f s", position);
                }
                console().progress(length_s > 0.0 ? position / length_s : 1.0, label);
            }
        }
        return kExitSuccess;
    }

    int feed_live() {
        const auto start = std::chrono::steady_clock::now();
        const auto limit = std::chrono::duration<double>(settings().listen_seconds);
        // The frame options are applied from the packet callback; this
        // thread only watches for the end.
        while (!finished() && (settings().listen_seconds <= 0.0 || std::chrono::steady_clock::now() - start < limit)) {
            wait_a_little(kSlice);
            publish_received();
        }
        // The library reports its losses at most once a second: before it
        // stops, the traffic has to settle and a report due for the last
        // second has to come, or a burst's losses would go unsaid.
        const auto bound = std::chrono::steady_clock::now() + kDrainBound;
        uint64_t handled = UINT64_MAX;
        while (std::chrono::steady_clock::now() < bound) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                const bool quiet = m_handled == handled;
                const bool reported = m_lost_seen == 0 ||
                                      std::chrono::steady_clock::now() - m_last_loss_report > kLossReportInterval;
                if (quiet && reported) {
                    break;
                }
                handled = m_handled;
            }
            std::this_thread::sleep_for(kQuietTime);
        }
        publish_received();
        return kExitSuccess;
    }

    void publish_received() {
        std::lock_guard<std::mutex> lock(m_mutex);
        set_received(m_handled + m_lost);
    }

    static void on_information(VorlanSensorHandle handle, const VorlanSensorInformation* information, void* user) {
        auto& self = *static_cast<FirstLibrarySource*>(user);
        // An information packet that decoded to nothing (cut short, or a
        // first half waiting for its second) is reported all the same;
        // anyone can send such packets, so they get no state here.
        if (information->firmware_version[0] == '\0') {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(self.m_mutex);
            self.sender_locked(handle).informed = true;
        }
        SensorFacts facts = first_library_facts(*information);
        facts.handle = handle;
        self.note_sensor(facts);
    }

    static void on_image_frame(VorlanSensorHandle handle, std::size_t n_points, const VorlanSensorImagePoint* points,
                               void* user) {
        auto& self = *static_cast<FirstLibrarySource*>(user);
        bool cut_by_rule = false;
        {
            std::lock_guard<std::mutex> lock(self.m_mutex);
            SenderState& sender = self.sender_locked(handle);
            const std::size_t ordinal = sender.frames++;
            // In the sweep modes a frame is cut by the rule only when the
            // rule had been set before it began.
            cut_by_rule = sender.frames_at_reapply != kNoReapply && ordinal >= sender.frames_at_reapply + 1;
        }
        // The packet thread (or the thread that steps the capture) is the
        // only one here: the buffer is reused frame after frame.
        std::vector<FramePoint>& out = self.m_points;
        out.resize(n_points);
        LibraryFrame frame;
        frame.handle = handle;
        frame.cut_by_rule = cut_by_rule;
        frame.position = self.m_live ? -1.0 : static_cast<double>(vorlan_sdk_capture_replay_get_position());
        int64_t first = 0;
        int64_t last = 0;
        std::size_t valid = 0;
        for (std::size_t i = 0; i < n_points; ++i) {
            const VorlanSensorImagePoint& point = points[i];
            FramePoint& to = out[i];
            if (i == 0 || point.timestamp < first) first = point.timestamp;
            if (i == 0 || point.timestamp > last) last = point.timestamp;
            const bool has_return = (point.flags & VORLAN_POINT_VALID) != 0;
            if (has_return) {
                const VorlanPointMetres metres = vorlan_image_point_to_metres(point.image_x, point.image_z, point.distance);
                to.x = static_cast<float>(metres.x);
                to.y = static_cast<float>(metres.y);
                to.z = static_cast<float>(metres.z);
                ++valid;
            } else {
                to.x = to.y = to.z = 0.0f;
            }
            to.intensity = point.intensity;
            to.channel = point.segment_id;
            to.return_index = (point.return_type & VORLAN_RETURN_FIRST) != 0 || point.return_type == 0 ? 0 : 1;
            to.flags = has_return ? kFramePointValid : 0;
        }
        for (std::size_t i = 0; i < n_points; ++i) {
            const int64_t after = points[i].timestamp - first;
            out[i].t = static_cast<uint32_t>(std::min<int64_t>(after, INT64_C(4294967)) * 1000);
        }
        frame.points = out.data();
        frame.n_points = n_points;
        frame.n_valid = valid;
        frame.first_time = first;
        frame.last_time = last;
        self.deliver(frame);
    }

    static void on_packet(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, std::size_t size,
                          void* user) {
        auto& self = *static_cast<FirstLibrarySource*>(user);
        bool apply = false;
        {
            std::lock_guard<std::mutex> lock(self.m_mutex);
            ++self.m_handled;
            self.m_last_packet_time = timestamp;
            // Live traffic has no thread of the tool between two packets:
            // the options go in here, before this packet is decoded.
            apply = self.m_live && self.take_pending_apply_locked();
            SenderState& sender = self.sender_locked(handle);
            sender.last_heard = self.m_handled;
            if (is_second_generation_packet(data, size)) {
                ++sender.second_generation;
            }
            // The library decodes a sensor's data packet when the next one
            // comes (the time between them gives the points' period), so the
            // second data packet makes the frame.
            if (sender.informed && is_point_data_packet(data, size) && ++sender.data_packets >= 2 &&
                !sender.frame_made) {
                sender.frame_made = true;
                if (self.needs_reapply()) {
                    self.m_apply_pending = true;
                } else {
                    sender.frames_at_reapply = sender.frames;  // its rule holds from the start
                }
            }
        }
        if (apply) {
            self.apply_frame_options();
        }
        self.datagram(handle, timestamp, data, size);
    }

    static void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void* data,
                         std::size_t data_size, void* user) {
        auto& self = *static_cast<FirstLibrarySource*>(user);
        // Datagrams the library lost (its worker fell behind or the socket's
        // buffer was full) come as a count at byte 8 of the record.
        if (handle == 0 && code == VORLAN_ERROR_COMMUNICATION && data != nullptr && data_size >= 16) {
            const auto* bytes = static_cast<const uint8_t*>(data);
            uint64_t lost = 0;
            for (int i = 7; i >= 0; --i) {
                lost = (lost << 8) | bytes[8 + i];
            }
            if (lost != 0) {
                const LossCounts losses = split_losses(lost, message);
                self.add_losses(losses);
                std::lock_guard<std::mutex> lock(self.m_mutex);
                self.m_lost += losses.queue_dropped;
                self.m_lost_seen += lost;
                self.m_last_loss_report = std::chrono::steady_clock::now();
                return;
            }
        }
        // A record of zero bytes past the part of the capture indexed at
        // open: playing goes on past it, the index stops before it.
        if (handle == 0 && !self.m_live && code == VORLAN_ERROR_CORRUPT_FILE && message != nullptr &&
            std::strstr(message, "Empty packet!") != nullptr) {
            self.console().warning(zero_byte_record(self.settings().capture,
                                                    "index (its length and seeking end there; the frames go on)"));
            return;
        }
        // What reading the capture left out, and what a capture without
        // sensor traffic holds, the frame source tells from the library's
        // counts, once for both libraries.
        if (handle == 0 && !self.m_live && self.is_capture_report(code, message)) {
            return;
        }
        std::size_t n = 0;
        {
            std::lock_guard<std::mutex> lock(self.m_mutex);
            n = ++self.m_errors;
        }
        if (n > kMaxPrintedErrors + 1) {
            return;
        }
        if (n == kMaxPrintedErrors + 1) {
            self.console().warning("more library errors follow; they are not shown");
            return;
        }
        std::string origin = handle != 0 ? "sensor " + dotted_address_of(handle) : "library";
        const std::string text = first_message_line(message);
        self.console().warning(origin + ": " + vorlan_get_error_code_name(code) + (text.empty() ? "" : ": " + text));
    }

    bool is_capture_report(VorlanSensorErrorCode code, const char* message) const {
        if (message == nullptr || (code != VORLAN_ERROR_CORRUPT_FILE && code != VORLAN_ERROR_INVALID_FILE_TYPE)) {
            return false;
        }
        const std::string prefix = settings().capture + ": ";
        return std::strncmp(message, prefix.c_str(), prefix.size()) == 0;
    }

    // The report's words say how many of the lost datagrams the worker
    // dropped and how many found the socket's buffer full; without them all
    // count as dropped by the worker.
    static LossCounts split_losses(uint64_t lost, const char* message) {
        const std::string text = message != nullptr ? message : "";
        const auto number_before = [&text](const std::string& words) -> uint64_t {
            const std::size_t at = text.find(words);
            if (at == std::string::npos) {
                return 0;
            }
            std::size_t begin = at;
            while (begin > 0 && text[begin - 1] >= '0' && text[begin - 1] <= '9') {
                --begin;
            }
            return begin < at ? std::stoull(text.substr(begin, at - begin)) : 0;
        };
        LossCounts losses;
        losses.kernel_counted = true;
        losses.queue_dropped = number_before(" waiting for a packet worker");
        losses.kernel_dropped = number_before(" found the socket's receive buffer full");
        if (losses.queue_dropped + losses.kernel_dropped != lost) {
            losses.queue_dropped = lost;
            losses.kernel_dropped = 0;
        }
        return losses;
    }

    static std::string dotted_address_of(uint64_t handle) {
        char text[20];
        std::snprintf(text, sizeof(text), "%u.%u.%u.%u", static_cast<unsigned>((handle >> 24) & 0xff),
                      static_cast<unsigned>((handle >> 16) & 0xff), static_cast<unsigned>((handle >> 8) & 0xff),
                      static_cast<unsigned>(handle & 0xff));
        return text;
    }

    bool m_started = false;
    bool m_live = false;
    Pacer m_pacer;
    std::vector<FramePoint> m_points;  // the frame being handed out

    std::mutex m_mutex;  // guards everything below
    std::map<uint64_t, SenderState> m_senders;
    bool m_apply_pending = false;
    int64_t m_last_packet_time = 0;
    double m_seek_to = -1.0;
    uint64_t m_handled = 0;  // datagrams the library handed on
    uint64_t m_lost = 0;     // datagrams the library said its worker dropped
    uint64_t m_lost_seen = 0;
    std::chrono::steady_clock::time_point m_last_loss_report{};
    std::size_t m_errors = 0;
};

}  // namespace

std::unique_ptr<FrameSource> make_first_library_source(Console& console) {
    return std::make_unique<FirstLibrarySource>(console);
}

}  // namespace vorlan_tool
