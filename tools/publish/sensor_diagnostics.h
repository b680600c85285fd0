// One sensor's health as a diagnostic_msgs/DiagnosticStatus: what it says
// of itself, what its frames show (rate, points) and what was lost on the
// way, with a level that calls for attention when something went missing
// since the previous report or the sensor fell silent.
#ifndef VORLAN_TOOLS_PUBLISH_SENSOR_DIAGNOSTICS_H
#define VORLAN_TOOLS_PUBLISH_SENSOR_DIAGNOSTICS_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "frame_source.h"

namespace vorlan_tool {

// DiagnosticStatus levels.
constexpr uint8_t kDiagnosticOk = 0;
constexpr uint8_t kDiagnosticWarn = 1;
constexpr uint8_t kDiagnosticError = 2;
constexpr uint8_t kDiagnosticStale = 3;

// What frames do not tell of a sensor; a client that reads it elsewhere
// hands it in. Empty strings and a missing temperature read "unknown".
struct SensorHealth {
    std::string time_sync;    // "GPS", "PTP", "none"
    bool has_temperature = false;
    double temperature_celsius = 0.0;
    std::string scan_faults;  // "none", or the faults by name
};

struct DiagnosticReport {
    uint8_t level = kDiagnosticOk;
    std::string name;
    std::string message;
    std::string hardware_id;
    std::vector<std::pair<std::string, std::string>> values;
};

class SensorDiagnostics {
public:
    using Clock = std::chrono::steady_clock;

    SensorDiagnostics(const SensorFacts& facts, std::string topic);

    void update_facts(const SensorFacts& facts);
    void update_health(const SensorHealth& health);
    // A frame handed to the publisher at `now`; `sent` false when DDS took
    // none of it.
    void add_frame(const Frame& frame, bool sent, Clock::time_point now);

    // The status at `now`; what went missing is reported as since the
    // previous report, which this call starts anew.
    DiagnosticReport report(Clock::time_point now);

    // A sensor that sent no frame for this long is reported stale.
    static constexpr std::chrono::seconds kSilence{3};

    uint64_t frames_sent() const { return m_frames_sent; }
    uint64_t frames_not_sent() const { return m_frames_not_sent; }
    const LossCounts& losses() const { return m_losses; }

private:
    double frame_rate() const;

    SensorFacts m_facts;
    SensorHealth m_health;
    std::string m_topic;
    // The first point times of the latest frames, oldest first once full:
    // the frame rate in the sensor's own time, whatever the replay speed.
    std::array<int64_t, 16> m_frame_times{};
    std::size_t m_frame_times_count = 0;
    std::size_t m_frame_times_next = 0;
    std::size_t m_last_points = 0;
    std::size_t m_last_valid = 0;
    uint64_t m_frames_sent = 0;
    uint64_t m_frames_not_sent = 0;
    LossCounts m_losses;           // since the source opened
    LossCounts m_reported_losses;  // as the previous report saw them
    uint64_t m_reported_not_sent = 0;
    bool m_seen_frame = false;
    Clock::time_point m_last_frame{};
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_PUBLISH_SENSOR_DIAGNOSTICS_H
