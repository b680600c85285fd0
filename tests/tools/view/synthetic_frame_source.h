// A frame source for the viewer's tests and benchmark: `sensors` sensors,
// each a ring of posts around its own place in a yard, sending a frame every
// 0.1 s of a capture `seconds` long. Its playback control behaves as a
// capture's: pause, step, seek and speed, steered from any thread.
#ifndef VORLAN_TESTS_TOOLS_VIEW_SYNTHETIC_FRAME_SOURCE_H
#define VORLAN_TESTS_TOOLS_VIEW_SYNTHETIC_FRAME_SOURCE_H

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "sources/frame_source.h"
#include "stop_signal.h"

namespace vorlan_tool {

struct SyntheticSourceSettings {
    unsigned sensors = 2;
    std::size_t points = 2000;  // per frame
    double seconds = 20.0;      // capture length
    float speed = 1.0f;         // 0: as fast as possible
    bool live = false;          // no playback control, frames until stopped
    int64_t start_time = 1700000000000000;  // µs since the epoch
};

class SyntheticFrameSource : public FrameSource, public PlaybackControl {
public:
    static constexpr double kFramePeriod = 0.1;

    explicit SyntheticFrameSource(SyntheticSourceSettings settings) : m_settings(settings) {
        for (unsigned s = 0; s < settings.sensors; ++s) {
            SensorFacts facts;
            facts.handle = 0x0A00000Au + s;
            facts.address = "10.0.0." + std::to_string(10 + s);
            facts.serial_number = 900001 + s;
            facts.name = facts.address + " serial " + std::to_string(facts.serial_number);
            facts.model = "synthetic";
            facts.channels = 16;
            m_sensors.push_back(facts);
        }
        m_speed = settings.speed;
    }

    void set_datagram_sink(DatagramSink) override {}

    bool open(const FrameSourceSettings&) override { return true; }

    int run(const FrameSink& frames, const SensorSink& sensors = {}) override {
        for (const SensorFacts& facts : m_sensors) {
            if (sensors) {
                sensors(facts);
            }
        }
        std::vector<FramePoint> points(m_settings.points);
        const long ticks = static_cast<long>(std::llround(m_settings.seconds / kFramePeriod));
        for (;;) {
            long tick = 0;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                // Paused: wait for a step, a seek, play or a stop.
                while (!m_settings.live && m_paused && m_steps == 0 && !stop_requested()) {
                    m_wake.wait_for(lock, std::chrono::milliseconds(50));
                }
                if (stop_requested()) {
                    return 130;
                }
                if (!m_settings.live && m_tick >= ticks) {
                    return 0;
                }
                if (m_steps > 0) {
                    --m_steps;
                }
                tick = m_tick++;
            }
            for (unsigned s = 0; s < m_settings.sensors; ++s) {
                fill(points, s, tick);
                Frame frame;
                frame.sensor = &m_sensors[s];
                frame.index = m_index++;
                frame.sensor_index = static_cast<std::size_t>(tick);
                frame.first_time = m_settings.start_time + static_cast<int64_t>(tick) * 100000;
                frame.last_time = frame.first_time + 99000;
                frame.whole = tick > 0;
                frame.points = points.data();
                frame.n_points = points.size();
                frame.n_valid = points.size() - points.size() / 10;
                frame.losses.packets_lost = tick == 3 ? 1 : 0;
                if (!frames(frame)) {
                    return 0;
                }
            }
            const float speed = current_speed();
            if (speed > 0.0f) {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait_for(lock, std::chrono::microseconds(static_cast<int64_t>(kFramePeriod / speed * 1e6)),
                                [this] { return m_seeked || stop_requested(); });
                m_seeked = false;
            }
        }
    }

    PlaybackControl* playback() override { return m_settings.live ? nullptr : this; }
    std::vector<SensorFacts> sensors() const override { return m_sensors; }
    LossCounts losses() const override { return {}; }
    std::string summary() const override { return "synthetic"; }

    void set_paused(bool paused) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_paused = paused;
        m_wake.notify_all();
    }
    void step() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_steps;
        m_wake.notify_all();
    }
    void seek(double seconds) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tick = std::max(0L, static_cast<long>(std::floor(seconds / kFramePeriod + 1e-9)));
        m_seeked = true;
        m_wake.notify_all();
    }
    void set_speed(float speed) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_speed = speed;
    }
    double position() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_tick * kFramePeriod;
    }
    double length() const override { return m_settings.seconds; }

    // What the viewer asked for, for its tests.
    bool paused() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_paused;
    }
    int steps_pending() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_steps;
    }
    float speed() const { return current_speed(); }

private:
    float current_speed() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_speed;
    }

    // Posts on a ring around the sensor's place; every tenth point has no
    // measurement. The ring turns a little from frame to frame.
    void fill(std::vector<FramePoint>& points, unsigned sensor, long tick) const {
        const float cx = -20.0f + 12.0f * static_cast<float>(sensor % 4);
        const float cy = 10.0f + 14.0f * static_cast<float>(sensor / 4);
        const std::size_t n = points.size();
        for (std::size_t i = 0; i < n; ++i) {
            FramePoint& p = points[i];
            const float u = static_cast<float>(i) / static_cast<float>(n);
            const float angle = 6.2831853f * u + 0.05f * static_cast<float>(tick);
            const float radius = 3.0f + 2.0f * static_cast<float>(i % 7) / 7.0f;
            p.x = cx + radius * std::cos(angle);
            p.y = cy + radius * std::sin(angle);
            p.z = 4.0f * static_cast<float>(i % 13) / 13.0f;
            p.intensity = static_cast<float>(i % 100);
            p.t = static_cast<uint32_t>(u * 99e6f);
            p.channel = static_cast<uint16_t>(i % 16);
            p.return_index = static_cast<uint8_t>(i % 2);
            p.flags = i % 10 == 9 ? 0 : kFramePointValid;
        }
    }

    const SyntheticSourceSettings m_settings;
    std::vector<SensorFacts> m_sensors;
    std::size_t m_index = 0;  // the run's thread only
    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_wake;
    bool m_paused = false;
    int m_steps = 0;
    long m_tick = 0;
    bool m_seeked = false;
    float m_speed = 1.0f;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TESTS_TOOLS_VIEW_SYNTHETIC_FRAME_SOURCE_H
