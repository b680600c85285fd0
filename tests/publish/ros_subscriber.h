// A DDS subscriber built from the same ROS 2 message types as the
// publisher, as any DDS program on the network would be: it copies every
// PointCloud2 and DiagnosticArray it takes, for tests and benchmarks to
// look at. Every DDS entity it makes is its own; it is deleted with it.
#ifndef VORLAN_TESTS_PUBLISH_ROS_SUBSCRIBER_H
#define VORLAN_TESTS_PUBLISH_ROS_SUBSCRIBER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dds/dds.h"

namespace vorlan_test {

struct ReceivedField {
    std::string name;
    uint32_t offset = 0;
    uint8_t datatype = 0;
    uint32_t count = 0;
};

struct ReceivedCloud {
    int32_t sec = 0;
    uint32_t nanosec = 0;
    std::string frame_id;
    uint32_t height = 0;
    uint32_t width = 0;
    std::vector<ReceivedField> fields;
    bool is_bigendian = false;
    uint32_t point_step = 0;
    uint32_t row_step = 0;
    std::vector<uint8_t> data;
    bool is_dense = false;
    std::chrono::steady_clock::time_point arrival;
};

struct ReceivedStatus {
    uint8_t level = 0;
    std::string name;
    std::string message;
    std::string hardware_id;
    std::map<std::string, std::string> values;
};

struct ReceivedDiagnostics {
    int32_t sec = 0;
    std::vector<ReceivedStatus> statuses;
};

// Best-effort readers keep the last 5 samples as a ROS 2 sensor-data
// subscriber does; reliable ones keep everything, so that nothing written
// is missed however late it is taken.
enum class Delivery { best_effort, reliable };

class RosSubscriber {
public:
    explicit RosSubscriber(uint32_t domain);
    ~RosSubscriber();
    RosSubscriber(const RosSubscriber&) = delete;
    RosSubscriber& operator=(const RosSubscriber&) = delete;

    bool ok() const { return m_participant > 0; }

    // Subscribes to a ROS 2 topic ("/vorlan/.../points"); false when DDS
    // refuses.
    bool subscribe_points(const std::string& ros_topic, Delivery delivery = Delivery::reliable);
    // Deletes the topic's reader, as a subscriber that leaves.
    void unsubscribe_points(const std::string& ros_topic);
    bool subscribe_diagnostics();

    // Waits, at most `limit`, until `done` holds; it is called with the
    // subscriber's lock held, after each sample taken.
    bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit);
    // Waits until every reader has matched `writers` writers.
    bool wait_for_writers(uint32_t writers, std::chrono::milliseconds limit);

    // Copies, under the lock.
    std::vector<ReceivedCloud> clouds(const std::string& ros_topic) const;
    std::size_t cloud_count(const std::string& ros_topic) const;  // to call inside wait_until's `done`
    std::size_t total_clouds() const;                             // also inside `done`
    std::vector<ReceivedDiagnostics> diagnostics() const;
    std::size_t diagnostics_count() const;                        // also inside `done`

private:
    static void on_points(dds_entity_t reader, void* arg);
    static void on_diagnostics(dds_entity_t reader, void* arg);
    void take_points(dds_entity_t reader);
    void take_diagnostics(dds_entity_t reader);

    dds_entity_t m_participant = 0;
    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_changed;
    std::map<std::string, dds_entity_t> m_readers;  // ROS topic -> reader
    std::map<dds_entity_t, std::string> m_topics;   // reader -> ROS topic
    std::map<std::string, std::vector<ReceivedCloud>> m_clouds;
    dds_entity_t m_diagnostics_reader = 0;
    std::vector<ReceivedDiagnostics> m_diagnostics;
};

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_PUBLISH_ROS_SUBSCRIBER_H
