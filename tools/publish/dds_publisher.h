// Frames and sensor facts in, DDS out: each sensor's frames as
// sensor_msgs/PointCloud2 on the ROS 2 topic /vorlan/<sensor>/points, and
// every sensor's health as one diagnostic_msgs/DiagnosticArray on
// /diagnostics once a period. Any ROS 2 node or plain DDS program in the
// domain can subscribe without linking the SDK.
#ifndef VORLAN_TOOLS_PUBLISH_DDS_PUBLISHER_H
#define VORLAN_TOOLS_PUBLISH_DDS_PUBLISHER_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dds_network.h"
#include "frame_source.h"
#include "sensor_diagnostics.h"

namespace vorlan_tool {

struct PublisherSettings {
    long domain = -1;  // negative: ROS_DOMAIN_ID, or 0 without it
    // A network interface's name or address to publish on; empty keeps to
    // this host unless CYCLONEDDS_URI configures the network.
    std::string interface;
    // Reliable delivery of every frame (a reader that falls behind slows
    // the publisher) instead of ROS 2's sensor-data profile (best effort,
    // the last 5 frames kept).
    bool reliable = false;
    bool drop_invalid = false;  // leave out points without a measurement
    // Points of x, y, z and intensity only (16 bytes instead of 24).
    bool xyz_intensity_only = false;
    // The messages' frame id; "{sensor}" stands for the sensor's name.
    std::string frame_id = "{sensor}";
    std::chrono::milliseconds diagnostics_period{1000};
    // Before a sensor's first frame, wait (at most `match_timeout`) until
    // this many subscribers listen to its topic; likewise for /diagnostics
    // before the final report.
    unsigned wait_subscribers = 0;
    std::chrono::milliseconds match_timeout{10000};
};

struct PublishedSensor {
    SensorFacts facts;
    std::string topic;  // the ROS 2 topic
    uint64_t frames_sent = 0;
    uint64_t frames_not_sent = 0;
    bool matched_in_time = true;  // false when the wait for subscribers ran out
};

class DdsPublisher {
public:
    // Joins the DDS domain and starts the diagnostics. Null, with `error`
    // saying why, when the settings or DDS refuse.
    static std::unique_ptr<DdsPublisher> create(const PublisherSettings& settings, std::string& error);
    ~DdsPublisher();
    DdsPublisher(const DdsPublisher&) = delete;
    DdsPublisher& operator=(const DdsPublisher&) = delete;

    uint32_t domain() const;
    const DdsNetwork& network() const;

    // A sensor's facts, first known or changed. Any thread.
    void update_sensor(const SensorFacts& facts);
    // What the frames do not tell of a sensor. Any thread.
    void update_health(uint64_t handle, const SensorHealth& health);

    // Publishes one frame on its sensor's topic, which the sensor's first
    // frame makes. False when the frame could not be sent (counted and
    // reported in the diagnostics). Calls must not overlap; the frame is
    // only read during the call.
    bool publish(const Frame& frame);

    // Publishes the diagnostics now, besides once a period.
    void publish_diagnostics();
    // The last report, at the end of a run: with `wait_subscribers`, first
    // waits (at most `match_timeout`) for that many subscribers to
    // /diagnostics, so that a short run's report is not sent to nobody.
    void publish_final_diagnostics();

    std::vector<PublishedSensor> sensors() const;

    class Impl;

private:
    explicit DdsPublisher(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace vorlan_tool

#endif  // VORLAN_TOOLS_PUBLISH_DDS_PUBLISHER_H
