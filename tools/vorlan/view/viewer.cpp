#include "viewer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

#include "frame_message.h"
#include "stop_signal.h"

namespace vorlan_tool {
namespace {

// Encoded frames kept for reuse; a buffer is free again once every page
// has sent it.
constexpr std::size_t kMaxBuffers = 64;
constexpr double kMaxSpeed = 5.0;  // the fastest rate the libraries replay at

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string json_number(double value) {
    if (!std::isfinite(value)) {
        return "0";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// "seek 12.5" -> 12.5; false unless the whole rest is one finite number.
bool number_after(const std::string& command, std::size_t prefix, double& value) {
    const std::string rest = command.substr(prefix);
    if (rest.empty() || rest.size() > 32) {
        return false;
    }
    char* end = nullptr;
    value = std::strtod(rest.c_str(), &end);
    return end == rest.c_str() + rest.size() && std::isfinite(value);
}

}  // namespace

Viewer::Viewer(FrameSource& source, double start_seconds, float speed, bool runs_again)
    : m_source(source),
      m_playback(source.playback()),
      m_start_seconds(start_seconds),
      m_runs_again(runs_again),
      m_server([this](const std::string& command) { handle_command(command); }, [this] { return hello_text(); }),
      m_speed(speed) {}

Viewer::~Viewer() {
    {
        std::lock_guard<std::mutex> lock(m_status_mutex);
        m_status_stop = true;
    }
    m_status_wake.notify_all();
    if (m_status_thread.joinable()) {
        m_status_thread.join();
    }
    m_server.stop();
}

bool Viewer::start_server(const ViewServerSettings& settings, std::string& error) {
    if (!m_server.start(settings, error)) {
        return false;
    }
    m_status_thread = std::thread([this] { status_loop(); });
    return true;
}

int Viewer::run() {
    const FrameSink frames = [this](const Frame& frame) { return on_frame(frame); };
    const SensorSink sensors = [this](const SensorFacts& sensor) { on_sensor(sensor); };
    for (;;) {
        m_ended = false;
        const int code = m_source.run(frames, sensors);
        if (stop_requested()) {
            return 0;
        }
        if (code != 0 && code != 130) {
            return code;
        }
        if (m_playback == nullptr) {
            return code == 130 ? 0 : code;
        }
        // The capture ended: its last frames stay on the pages until a page
        // asks for more (where the source can run again) or the user stops
        // the tool.
        m_ended = true;
        m_rerun = false;
        while (!stop_requested() && !(m_runs_again && m_rerun.load())) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (stop_requested()) {
            return 0;
        }
    }
}

void Viewer::handle_command(const std::string& command) {
    if (m_playback == nullptr) {
        return;  // live data has nothing to steer
    }
    double value = 0.0;
    if (command == "pause") {
        m_paused = true;
        m_playback->set_paused(true);
    } else if (command == "play") {
        m_paused = false;
        m_playback->set_paused(false);
        if (m_ended) {
            m_playback->seek(0.0);
            m_rerun = true;
        }
    } else if (command == "step") {
        if (!m_paused.exchange(true)) {
            m_playback->set_paused(true);
        }
        m_playback->step();
        m_rerun = true;
    } else if (command.rfind("seek ", 0) == 0 && number_after(command, 5, value)) {
        const double length = m_playback->length();
        value = std::max(0.0, length > 0.0 ? std::min(value, length) : value);
        m_playback->seek(value);
        if (m_paused) {
            // A paused page still shows the frame at the new time.
            m_playback->step();
        }
        m_rerun = true;
    } else if (command.rfind("speed ", 0) == 0 && number_after(command, 6, value)) {
        if (value >= 0.0 && value <= kMaxSpeed) {
            m_speed = static_cast<float>(value);
            m_playback->set_speed(static_cast<float>(value));
        }
    }
}

uint16_t Viewer::slot_of(const SensorFacts* sensor) {
    const uint64_t handle = sensor != nullptr ? sensor->handle : 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_slots.find(handle);
    if (found != m_slots.end()) {
        return found->second;
    }
    const uint16_t slot = static_cast<uint16_t>(std::min<std::size_t>(m_sensors.size(), UINT16_MAX));
    m_slots.emplace(handle, slot);
    if (slot == m_sensors.size()) {
        m_sensors.push_back(sensor != nullptr ? *sensor : SensorFacts{});
    }
    return slot;
}

void Viewer::on_sensor(const SensorFacts& sensor) {
    const uint16_t slot = slot_of(&sensor);
    std::string text;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (slot < m_sensors.size()) {
            m_sensors[slot] = sensor;
        }
        text = "{\"type\":\"sensors\",\"sensors\":" + sensors_json_locked() + "}";
    }
    m_server.publish_text(std::move(text));
}

bool Viewer::on_frame(const Frame& frame) {
    bool new_sensor = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        new_sensor = m_slots.find(frame.sensor != nullptr ? frame.sensor->handle : 0) == m_slots.end();
    }
    if (new_sensor) {
        on_sensor(frame.sensor != nullptr ? *frame.sensor : SensorFacts{});
    }
    const uint16_t slot = slot_of(frame.sensor);
    bool origin_set = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_have_origin) {
            m_have_origin = true;
            m_origin = frame.first_time - static_cast<int64_t>(std::llround(m_start_seconds * 1e6));
            origin_set = true;
        }
    }
    if (origin_set) {
        m_server.publish_text(status_text());
    }
    std::shared_ptr<std::vector<uint8_t>> buffer = spare_buffer();
    const float position = m_playback != nullptr ? static_cast<float>(m_playback->position())
                                                 : std::numeric_limits<float>::quiet_NaN();
    encode_frame_message(frame, slot, *buffer, position);
    m_server.publish_frame(slot, std::move(buffer));
    return !stop_requested();
}

std::shared_ptr<std::vector<uint8_t>> Viewer::spare_buffer() {
    for (const auto& buffer : m_buffers) {
        // Only this thread makes new references to a buffer of the pool, so
        // one that nobody else holds stays free.
        if (buffer.use_count() == 1) {
            return buffer;
        }
    }
    auto buffer = std::make_shared<std::vector<uint8_t>>();
    if (m_buffers.size() < kMaxBuffers) {
        m_buffers.push_back(buffer);
    }
    return buffer;
}

std::string Viewer::sensors_json_locked() const {
    std::string out = "[";
    for (std::size_t slot = 0; slot < m_sensors.size(); ++slot) {
        const SensorFacts& s = m_sensors[slot];
        out += (slot == 0 ? "" : ",");
        out += "{\"slot\":" + std::to_string(slot) + ",\"name\":" + json_string(s.name) +
               ",\"address\":" + json_string(s.address) + ",\"model\":" + json_string(s.model) +
               ",\"serial\":" + std::to_string(s.serial_number) + ",\"channels\":" + std::to_string(s.channels) +
               "}";
    }
    return out + "]";
}

std::string Viewer::hello_text() {
    std::string sensors;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sensors = sensors_json_locked();
    }
    return "{\"type\":\"hello\",\"live\":" + std::string(m_playback == nullptr ? "true" : "false") +
           ",\"sensors\":" + sensors + status_fields() + "}";
}

std::string Viewer::status_text() { return "{\"type\":\"status\"" + status_fields() + "}"; }

std::string Viewer::status_fields() {
    int64_t origin = 0;
    bool have_origin = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        origin = m_origin;
        have_origin = m_have_origin;
    }
    const ViewServerStats stats = m_server.stats();
    std::string out = ",\"origin\":" + (have_origin ? std::to_string(origin) : std::string("null"));
    if (m_playback != nullptr) {
        out += ",\"position\":" + json_number(m_playback->position());
        out += ",\"length\":" + json_number(m_playback->length());
    }
    out += ",\"paused\":" + std::string(m_paused ? "true" : "false");
    out += ",\"ended\":" + std::string(m_ended ? "true" : "false");
    out += ",\"speed\":" + json_number(m_speed.load());
    out += ",\"framesSent\":" + std::to_string(stats.frames_sent);
    out += ",\"framesDropped\":" + std::to_string(stats.frames_dropped);
    out += ",\"pages\":" + std::to_string(stats.pages);
    return out;
}

void Viewer::status_loop() {
    std::unique_lock<std::mutex> lock(m_status_mutex);
    while (!m_status_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_status_stop; })) {
        lock.unlock();
        m_server.publish_text(status_text());
        lock.lock();
    }
}

}  // namespace vorlan_tool
