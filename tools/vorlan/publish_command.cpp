#include "publish_command.h"

#include <cstdint>
#include <string>
#include <unordered_set>

namespace vorlan_tool {
namespace {

constexpr int kFailure = 1;

std::string delivery_text(const PublisherSettings& settings) {
    return settings.reliable ? "reliable delivery" : "best effort (ROS 2 sensor data); --reliable for reliable delivery";
}

}  // namespace

int run_publish(const PublishSettings& settings, FrameSource& source, Console& console) {
    std::string error;
    const std::unique_ptr<DdsPublisher> publisher = DdsPublisher::create(settings.publisher, error);
    if (!publisher) {
        console.error(error);
        return kFailure;
    }
    if (!source.open(settings.source)) {
        return kFailure;
    }
    console.line("publishing on DDS domain " + std::to_string(publisher->domain()) + " to " +
                 publisher->network().reach);
    console.line("frames: " + delivery_text(settings.publisher) + "; health: /diagnostics once a second");

    std::unordered_set<uint64_t> named;  // sensors whose topic was printed
    const std::size_t every = settings.every > 0 ? settings.every : 1;
    const FrameSink frames = [&](const Frame& frame) {
        if (frame.sensor_index % every != 0) {
            return true;
        }
        publisher->publish(frame);
        // A sensor's topic is made with its first frame; name each new one.
        if (frame.sensor != nullptr && named.insert(frame.sensor->handle).second) {
            for (const PublishedSensor& sensor : publisher->sensors()) {
                if (sensor.facts.handle == frame.sensor->handle) {
                    console.line(sensor.facts.name + ": " + sensor.topic);
                }
            }
        }
        return true;
    };
    // Sensors left out by --sensor get no topic and no diagnostics.
    const std::string& only = settings.source.sensor;
    const SensorSink sensors = [&](const SensorFacts& facts) {
        if (only.empty() || only == facts.address || only == std::to_string(facts.serial_number)) {
            publisher->update_sensor(facts);
        }
    };
    const int code = source.run(frames, sensors);
    // The last state of every sensor, however short the run.
    publisher->publish_final_diagnostics();

    bool all_sent = true;
    for (const PublishedSensor& sensor : publisher->sensors()) {
        std::string line = sensor.topic + ": " + std::to_string(sensor.frames_sent) + " frames published";
        if (sensor.frames_not_sent != 0) {
            line += ", " + std::to_string(sensor.frames_not_sent) + " not sent";
            all_sent = false;
        }
        console.line(line);
        if (!sensor.matched_in_time) {
            console.warning("no subscriber listened to " + sensor.topic + " within the wait; its frames went out "
                            "regardless");
        }
    }
    console.line(source.summary());
    if (!all_sent) {
        console.error("some frames could not be sent over DDS (a reliable subscriber fell behind for over a second)");
        return code != 0 ? code : kFailure;
    }
    return code;
}

}  // namespace vorlan_tool
