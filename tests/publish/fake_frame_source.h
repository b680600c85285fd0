// A frame source that hands out frames made up here, of several sensors in
// turn, for testing what consumes frames without a library or capture.
#ifndef VORLAN_TESTS_PUBLISH_FAKE_FRAME_SOURCE_H
#define VORLAN_TESTS_PUBLISH_FAKE_FRAME_SOURCE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame_source.h"

namespace vorlan_test {

using vorlan_tool::Frame;
using vorlan_tool::FramePoint;
using vorlan_tool::SensorFacts;

inline SensorFacts fake_sensor(unsigned last_octet, uint64_t serial) {
    SensorFacts facts;
    facts.address = "192.168.1." + std::to_string(last_octet);
    facts.handle = (uint64_t{last_octet} << 24) | (1u << 16) | (168u << 8) | 192u;
    facts.serial_number = serial;
    facts.name = serial != 0 ? facts.address + " serial " + std::to_string(serial) : facts.address;
    facts.model = "Vorlan test";
    facts.channels = 16;
    facts.firmware = "1.2.3";
    return facts;
}

// Points that differ in every field from frame to frame and sensor to
// sensor; every `invalid_every`-th point (if not 0) has no measurement.
inline std::vector<FramePoint> fake_points(std::size_t count, unsigned sensor, std::size_t frame,
                                           std::size_t invalid_every = 0) {
    std::vector<FramePoint> points(count);
    for (std::size_t i = 0; i < count; ++i) {
        FramePoint& p = points[i];
        p.x = 0.5f * static_cast<float>(i) + static_cast<float>(sensor);
        p.y = -0.25f * static_cast<float>(frame) + 0.001f * static_cast<float>(i);
        p.z = 1.0f + 0.01f * static_cast<float>(sensor * 7 + i);
        p.intensity = static_cast<float>((i * 13 + frame) % 256);
        p.t = static_cast<uint32_t>(i * 1000 + frame);
        p.channel = static_cast<uint16_t>(i % 16);
        p.return_index = static_cast<uint8_t>(i % 2);
        const bool invalid = invalid_every != 0 && i % invalid_every == 0;
        p.flags = static_cast<uint8_t>((invalid ? 0 : vorlan_tool::kFramePointValid) | ((frame % 8) << 4));
    }
    return points;
}

struct FakeFrame {
    std::size_t sensor = 0;  // index into the source's sensors
    int64_t first_time = 0;
    std::vector<FramePoint> points;
    vorlan_tool::LossCounts losses;
};

class FakeFrameSource : public vorlan_tool::FrameSource {
public:
    std::vector<SensorFacts> facts;
    std::vector<FakeFrame> frames;
    bool open_result = true;
    int run_result = 0;
    // Called before each frame is handed out, with its index.
    std::function<void(std::size_t)> before_frame;

    // `sensors` sensors, `per_sensor` frames each, taken in turn, 10 frames
    // a second of sensor time.
    static FakeFrameSource with(std::size_t sensors, std::size_t per_sensor, std::size_t points,
                                std::size_t invalid_every = 0) {
        FakeFrameSource source;
        for (std::size_t s = 0; s < sensors; ++s) {
            source.facts.push_back(fake_sensor(static_cast<unsigned>(201 + s), 900001 + s));
        }
        for (std::size_t f = 0; f < per_sensor; ++f) {
            for (std::size_t s = 0; s < sensors; ++s) {
                FakeFrame frame;
                frame.sensor = s;
                frame.first_time = 1700000000000000 + static_cast<int64_t>(f) * 100000 + static_cast<int64_t>(s);
                frame.points = fake_points(points + s, static_cast<unsigned>(s), f, invalid_every);
                source.frames.push_back(std::move(frame));
            }
        }
        return source;
    }

    void set_datagram_sink(vorlan_tool::DatagramSink) override {}

    bool open(const vorlan_tool::FrameSourceSettings&) override { return open_result; }

    int run(const vorlan_tool::FrameSink& sink, const vorlan_tool::SensorSink& sensors) override {
        if (sensors) {
            for (const SensorFacts& f : facts) {
                sensors(f);
            }
        }
        std::vector<std::size_t> per_sensor(facts.size(), 0);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (before_frame) {
                before_frame(i);
            }
            const FakeFrame& fake = frames[i];
            Frame frame;
            frame.sensor = &facts[fake.sensor];
            frame.index = i;
            frame.sensor_index = per_sensor[fake.sensor]++;
            frame.first_time = fake.first_time;
            frame.last_time = fake.first_time + 99000;
            frame.whole = true;
            frame.points = fake.points.data();
            frame.n_points = fake.points.size();
            for (const FramePoint& p : fake.points) {
                frame.n_valid += (p.flags & vorlan_tool::kFramePointValid) != 0 ? 1 : 0;
            }
            frame.losses = fake.losses;
            if (!sink(frame)) {
                break;
            }
        }
        return run_result;
    }

    vorlan_tool::PlaybackControl* playback() override { return nullptr; }
    std::vector<SensorFacts> sensors() const override { return facts; }
    vorlan_tool::LossCounts losses() const override { return {}; }
    std::string summary() const override { return "sensors " + std::to_string(facts.size()); }
};

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_PUBLISH_FAKE_FRAME_SOURCE_H
