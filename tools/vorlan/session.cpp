#include "session.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

#include "frame_summary.h"

namespace vorlan_tool {
namespace {

// Library errors past this many are counted, not printed: a sensor sending
// damaged packets would otherwise bury the frames.
constexpr std::size_t kMaxPrintedErrors = 20;

struct ModeName {
    const char* name;
    VorlanSDKFrameMode mode;
};
constexpr ModeName kModeNames[] = {
    {"streaming", VORLAN_SDK_FRAME_STREAMING}, {"timed", VORLAN_SDK_FRAME_TIMED},
    {"sweep", VORLAN_SDK_FRAME_SWEEP},         {"full-scan", VORLAN_SDK_FRAME_FULL_SCAN},
};

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

// Point data packets: "STDP", "STDQ", "STDR", "STDT".
bool is_point_data_packet(const uint8_t* data, std::size_t size) {
    return size >= 4 && data[0] == 'S' && data[1] == 'T' && data[2] == 'D' &&
           (data[3] == 'P' || data[3] == 'Q' || data[3] == 'R' || data[3] == 'T');
}

}  // namespace

bool parse_frame_mode(const std::string& text, VorlanSDKFrameMode& mode) {
    for (const ModeName& entry : kModeNames) {
        if (text == entry.name) {
            mode = entry.mode;
            return true;
        }
    }
    return false;
}

const char* frame_mode_name(VorlanSDKFrameMode mode) {
    for (const ModeName& entry : kModeNames) {
        if (mode == entry.mode) {
            return entry.name;
        }
    }
    return "unknown";
}

std::string library_error_text(VorlanSensorErrorCode code) {
    const char* message = nullptr;
    vorlan_sdk_get_error(&message);
    std::string text = first_message_line(message);
    return text.empty() ? vorlan_get_error_code_name(code) : text;
}

bool sensor_matches(const std::string& wanted, VorlanSensorHandle handle, uint64_t serial_number) {
    return wanted.empty() || wanted == dotted_address(handle) || wanted == std::to_string(serial_number);
}

Session::Session(Console& console) : m_console(console) {}

Session::~Session() { stop(); }

bool Session::start(const SessionSettings& settings) {
    m_settings = settings;
    // Started without the network: the callbacks must be in place before the
    // first datagram, or a recording would miss it and the first information
    // of a sensor would go unseen.
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK |
                            (settings.frames.multiple_returns ? VORLAN_SDK_CONTROL_ENABLE_MULTIPLE_RETURNS : 0);
    options.port = settings.port;
    options.frame.mode = settings.frames.mode;
    options.frame.length = settings.frames.length;
    const VorlanSensorErrorCode code = vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, on_error, this);
    if (code != VORLAN_SUCCESS) {
        m_console.error("cannot start the library: " + library_error_text(code));
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
        m_console.error("cannot register callbacks: " + library_error_text(listened));
        stop();
        return false;
    }
    if (settings.network) {
        const VorlanSensorErrorCode opened = vorlan_sdk_set_control_flags(VORLAN_SDK_CONTROL_DISABLE_NETWORK, 0);
        if (opened != VORLAN_SUCCESS) {
            m_console.error(library_error_text(opened));
            stop();
            return false;
        }
    }
    return true;
}

void Session::stop() {
    if (!m_started) {
        return;
    }
    m_started = false;
    const VorlanSensorErrorCode code = vorlan_sdk_deinitialize();
    if (code != VORLAN_SUCCESS) {
        m_console.warning("stopping the library: " + library_error_text(code));
    }
}

bool Session::needs_reapply() const {
    return m_settings.frames.mode == VORLAN_SDK_FRAME_SWEEP || m_settings.frames.mode == VORLAN_SDK_FRAME_FULL_SCAN;
}

bool Session::take_pending_apply_locked() {
    if (!m_apply_pending) {
        return false;
    }
    m_apply_pending = false;
    // Setting the options restarts the rule of every frame the library
    // holds: the frame each of those sensors is building is not whole.
    for (auto& entry : m_sensors) {
        if (entry.second.frame_made) {
            entry.second.frames_at_reapply = entry.second.frames;
        }
    }
    return true;
}

void Session::apply_frame_options() {
    // Never under m_mutex: the library takes its frame locks here and holds
    // them while it calls on_image_frame, which takes m_mutex.
    VorlanSDKFrameOptions options = vorlan_sdk_create_frame_options();
    options.mode = m_settings.frames.mode;
    options.length = m_settings.frames.length;
    const VorlanSensorErrorCode code = vorlan_sdk_set_frame_options(&options);
    if (code != VORLAN_SUCCESS) {
        m_console.warning("cannot apply the frame options: " + library_error_text(code));
    }
}

void Session::apply_pending_frame_options() {
    bool apply = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        apply = take_pending_apply_locked();
    }
    if (apply) {
        apply_frame_options();
    }
}

void Session::restart_frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_apply_pending = false;
    for (auto& entry : m_sensors) {
        entry.second.informed = false;
        entry.second.data_packets = 0;
        entry.second.frame_made = false;
        entry.second.frames_at_reapply = static_cast<std::size_t>(-1);
    }
}

void Session::set_frames_shown(bool shown) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames_shown = shown;
}

bool Session::sensor_filter_matched() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& entry : m_sensors) {
        if (entry.second.informed && sensor_matches(m_settings.sensor, entry.first, entry.second.serial_number)) {
            return true;
        }
    }
    return false;
}

int64_t Session::last_packet_time() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last_packet_time;
}

std::string Session::sensor_name(VorlanSensorHandle handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_sensors.find(handle);
    return found != m_sensors.end() && !found->second.name.empty() ? found->second.name : format_sensor_name(handle);
}

bool Session::frame_limit_reached() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings.frame_limit != 0 && m_frames >= m_settings.frame_limit;
}

std::size_t Session::frame_count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

std::string Session::summary() {
    std::lock_guard<std::mutex> lock(m_mutex);
    char text[200];
    std::snprintf(text, sizeof(text), "sensors %zu  frames %zu  points %" PRIu64 "  valid %" PRIu64 "  errors %zu",
                  m_sensors.size(), m_frames, m_points, m_valid_points, m_errors);
    return text;
}

void Session::on_information(VorlanSensorHandle handle, const VorlanSensorInformation* information, void* user) {
    Session& self = *static_cast<Session*>(user);
    // An information packet that decoded to nothing (cut short, or a first
    // half waiting for its second) is reported all the same; anyone can send
    // such packets from any number of addresses, so they get no state here.
    if (information->firmware_version[0] == '\0') {
        return;
    }
    std::string line = format_sensor(*information);
    std::lock_guard<std::mutex> lock(self.m_mutex);
    SensorState& sensor = self.m_sensors[handle];
    sensor.informed = true;
    sensor.name = format_sensor_name(handle, information->serial_number);
    sensor.serial_number = information->serial_number;
    // Sensors repeat their information several times a second: print only
    // what changed.
    if (line != sensor.printed) {
        sensor.printed = line;
        self.m_console.line(line);
    }
}

void Session::on_image_frame(VorlanSensorHandle handle, std::size_t n_points, const VorlanSensorImagePoint* points,
                             void* user) {
    Session& self = *static_cast<Session*>(user);
    FrameEvent event;
    event.sensor = handle;
    {
        std::lock_guard<std::mutex> lock(self.m_mutex);
        if (self.m_settings.frame_limit != 0 && self.m_frames >= self.m_settings.frame_limit) {
            return;
        }
        SensorState& sensor = self.m_sensors[handle];
        const std::size_t ordinal = sensor.frames++;
        if (!self.m_frames_shown || !sensor_matches(self.m_settings.sensor, handle, sensor.serial_number)) {
            return;
        }
        event.index = self.m_frames++;
        // The first frame starts wherever the sensor's traffic starts (or
        // the capture starts again); in the sweep modes a frame is whole only
        // when its sweep rule had been set before it began.
        event.whole =
            sensor.frames_at_reapply != static_cast<std::size_t>(-1) && ordinal >= sensor.frames_at_reapply + 1;
        event.sensor_ordinal = ordinal;
        event.serial_number = sensor.serial_number;
        event.sensor_name = sensor.name.empty() ? format_sensor_name(handle) : sensor.name;
        const FrameSummary summary = summarise_frame(handle, points, n_points);
        self.m_points += summary.points;
        self.m_valid_points += summary.valid_points;
        if (self.m_settings.print_frames) {
            self.m_console.line(format_frame(event.index, event.sensor_name, summary));
        }
    }
    if (self.m_frame_sink) {
        self.m_frame_sink(event, points, n_points);
    }
}

void Session::on_packet(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, std::size_t size,
                        void* user) {
    Session& self = *static_cast<Session*>(user);
    bool apply = false;
    {
        std::lock_guard<std::mutex> lock(self.m_mutex);
        self.m_last_packet_time = timestamp;
        // Live traffic has no thread of the tool between two packets: the
        // options go in here, before this packet is decoded. No frame lock
        // is held at this point, and setting the options does not touch
        // this callback's slot.
        apply = self.m_settings.network && self.take_pending_apply_locked();
        const auto found = self.m_sensors.find(handle);
        // The library decodes a sensor's data packet when the next one
        // comes (the time between them gives the points' period), so the
        // second data packet makes the frame.
        if (found != self.m_sensors.end() && found->second.informed && is_point_data_packet(data, size) &&
            ++found->second.data_packets >= 2 && !found->second.frame_made) {
            found->second.frame_made = true;
            if (self.needs_reapply()) {
                self.m_apply_pending = true;
            } else {
                found->second.frames_at_reapply = found->second.frames;  // its rule holds from the start
            }
        }
    }
    if (apply) {
        self.apply_frame_options();
    }
    if (self.m_packet_sink) {
        self.m_packet_sink(handle, timestamp, data, size);
    }
}

void Session::on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void*,
                       std::size_t, void* user) {
    Session& self = *static_cast<Session*>(user);
    std::lock_guard<std::mutex> lock(self.m_mutex);
    const std::size_t n = ++self.m_errors;
    if (n > kMaxPrintedErrors + 1) {
        return;
    }
    if (n == kMaxPrintedErrors + 1) {
        self.m_console.warning("more library errors follow; only their number is shown in the summary");
        return;
    }
    std::string origin = "library";
    if (handle != 0) {
        const auto found = self.m_sensors.find(handle);
        origin = "sensor " +
                 (found != self.m_sensors.end() && !found->second.name.empty() ? found->second.name
                                                                                : format_sensor_name(handle));
    }
    std::string text = first_message_line(message);
    self.m_console.warning(origin + ": " + vorlan_get_error_code_name(code) +
                           (text.empty() ? "" : ": " + text));
}

}  // namespace vorlan_tool
