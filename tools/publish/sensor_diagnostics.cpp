#include "sensor_diagnostics.h"

#include <cstdio>

namespace vorlan_tool {
namespace {

std::string or_unknown(const std::string& text) { return text.empty() ? "unknown" : text; }

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

uint64_t dropped(const LossCounts& losses) { return losses.queue_dropped + losses.kernel_dropped; }

// "3 packets lost, 1200 points lost" of what is new since `before`; empty
// when nothing is.
std::string new_losses(const LossCounts& now, const LossCounts& before, uint64_t not_sent, uint64_t not_sent_before) {
    std::string text;
    const auto add = [&text](uint64_t count, const char* what) {
        if (count != 0) {
            text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + what;
        }
    };
    add(now.packets_lost - before.packets_lost, "packets lost");
    add(now.points_lost - before.points_lost, "points lost");
    add(dropped(now) - dropped(before), "datagrams dropped");
    add(not_sent - not_sent_before, "frames not sent");
    return text;
}

}  // namespace

SensorDiagnostics::SensorDiagnostics(const SensorFacts& facts, std::string topic)
    : m_facts(facts), m_topic(std::move(topic)) {}

void SensorDiagnostics::update_facts(const SensorFacts& facts) { m_facts = facts; }

void SensorDiagnostics::update_health(const SensorHealth& health) { m_health = health; }

void SensorDiagnostics::add_frame(const Frame& frame, bool sent, Clock::time_point now) {
    m_frame_times[m_frame_times_next] = frame.first_time;
    m_frame_times_next = (m_frame_times_next + 1) % m_frame_times.size();
    if (m_frame_times_count < m_frame_times.size()) {
        ++m_frame_times_count;
    }
    m_last_points = frame.n_points;
    m_last_valid = frame.n_valid;
    (sent ? m_frames_sent : m_frames_not_sent) += 1;
    m_losses += frame.losses;
    m_seen_frame = true;
    m_last_frame = now;
}

double SensorDiagnostics::frame_rate() const {
    if (m_frame_times_count < 2) {
        return 0.0;
    }
    const std::size_t size = m_frame_times.size();
    const std::size_t newest = (m_frame_times_next + size - 1) % size;
    const std::size_t oldest = (m_frame_times_next + size - m_frame_times_count) % size;
    const int64_t span = m_frame_times[newest] - m_frame_times[oldest];
    if (span <= 0) {
        return 0.0;
    }
    return static_cast<double>(m_frame_times_count - 1) * 1e6 / static_cast<double>(span);
}

DiagnosticReport SensorDiagnostics::report(Clock::time_point now) {
    DiagnosticReport report;
    report.name = "vorlan: " + m_facts.name;
    report.hardware_id = m_facts.serial_number != 0 ? std::to_string(m_facts.serial_number) : m_facts.address;

    const std::string lost = new_losses(m_losses, m_reported_losses, m_frames_not_sent, m_reported_not_sent);
    m_reported_losses = m_losses;
    m_reported_not_sent = m_frames_not_sent;
    const double rate = frame_rate();
    if (!m_seen_frame) {
        report.level = kDiagnosticStale;
        report.message = "no frames yet";
    } else if (now - m_last_frame >= kSilence) {
        const auto silent = std::chrono::duration_cast<std::chrono::seconds>(now - m_last_frame).count();
        report.level = kDiagnosticStale;
        report.message = "no frames for " + std::to_string(silent) + " s";
    } else if (!lost.empty()) {
        report.level = kDiagnosticWarn;
        report.message = lost + " since the previous report";
    } else if (!m_health.scan_faults.empty() && m_health.scan_faults != "none") {
        report.level = kDiagnosticWarn;
        report.message = "scan faults: " + m_health.scan_faults;
    } else {
        report.level = kDiagnosticOk;
        report.message = fixed(rate, 1) + " frames/s, " + std::to_string(m_last_points) + " points per frame";
    }

    auto& values = report.values;
    values.emplace_back("Model", or_unknown(m_facts.model));
    values.emplace_back("Serial number", m_facts.serial_number != 0 ? std::to_string(m_facts.serial_number)
                                                                    : "unknown");
    values.emplace_back("Firmware", or_unknown(m_facts.firmware));
    values.emplace_back("Address", m_facts.address);
    values.emplace_back("Channels", m_facts.channels != 0 ? std::to_string(m_facts.channels) : "unknown");
    // What a client handed in, else what the sensor's information says of
    // its clock: no source named there means it runs free.
    values.emplace_back("Time sync", !m_health.time_sync.empty() ? m_health.time_sync
                                     : !m_facts.sync.empty()     ? m_facts.sync
                                     : m_facts.serial_number != 0 ? "none"
                                                                  : "unknown");
    values.emplace_back("Frame rate (Hz)", fixed(rate, 2));
    values.emplace_back("Points per frame", std::to_string(m_last_points));
    values.emplace_back("Valid points per frame", std::to_string(m_last_valid));
    values.emplace_back("Frames published", std::to_string(m_frames_sent));
    values.emplace_back("Frames not sent", std::to_string(m_frames_not_sent));
    values.emplace_back("Packets lost", std::to_string(m_losses.packets_lost));
    values.emplace_back("Points lost", std::to_string(m_losses.points_lost));
    values.emplace_back("Datagrams dropped", std::to_string(dropped(m_losses)));
    values.emplace_back("Temperature (C)", m_health.has_temperature ? fixed(m_health.temperature_celsius, 1)
                                                                    : "unknown");
    values.emplace_back("Scan faults", or_unknown(m_health.scan_faults));
    values.emplace_back("Topic", m_topic);
    return report;
}

}  // namespace vorlan_tool
