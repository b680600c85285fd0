#include "ros_subscriber.h"

#include <thread>

#include "DiagnosticArray.h"
#include "PointCloud2.h"

namespace vorlan_test {
namespace {

constexpr uint32_t kTakeAtOnce = 16;

std::string dds_topic(const std::string& ros_topic) { return "rt" + ros_topic; }

dds_qos_t* reader_qos(Delivery delivery) {
    dds_qos_t* qos = dds_create_qos();
    if (delivery == Delivery::reliable) {
        dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
        dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
    } else {
        dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 5);
    }
    return qos;
}

std::string text(const char* s) { return s != nullptr ? s : ""; }

}  // namespace

RosSubscriber::RosSubscriber(uint32_t domain) { m_participant = dds_create_participant(domain, nullptr, nullptr); }

RosSubscriber::~RosSubscriber() {
    // Deleting the participant waits for listeners still running.
    if (m_participant > 0) {
        dds_delete(m_participant);
    }
}

bool RosSubscriber::subscribe_points(const std::string& ros_topic, Delivery delivery) {
    const dds_entity_t topic = dds_create_topic(m_participant, &sensor_msgs_msg_dds__PointCloud2__desc,
                                                dds_topic(ros_topic).c_str(), nullptr, nullptr);
    if (topic < 0) {
        return false;
    }
    dds_qos_t* qos = reader_qos(delivery);
    dds_listener_t* listener = dds_create_listener(this);
    dds_lset_data_available(listener, &RosSubscriber::on_points);
    // Made without the lock, which its listener takes while DDS holds locks
    // of its own; samples that come before the reader is known stay in it
    // and are taken once it is.
    const dds_entity_t reader = dds_create_reader(m_participant, topic, qos, listener);
    dds_delete_listener(listener);
    dds_delete_qos(qos);
    if (reader < 0) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_readers[ros_topic] = reader;
        m_topics[reader] = ros_topic;
    }
    take_points(reader);
    return true;
}

void RosSubscriber::unsubscribe_points(const std::string& ros_topic) {
    dds_entity_t reader = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_readers.find(ros_topic);
        if (found == m_readers.end()) {
            return;
        }
        reader = found->second;
        m_readers.erase(found);
    }
    // Outside the lock: deleting waits for the reader's listener.
    dds_delete(reader);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_topics.erase(reader);
}

bool RosSubscriber::subscribe_diagnostics() {
    const dds_entity_t topic = dds_create_topic(m_participant, &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
                                                "rt/diagnostics", nullptr, nullptr);
    if (topic < 0) {
        return false;
    }
    dds_qos_t* qos = reader_qos(Delivery::reliable);
    dds_listener_t* listener = dds_create_listener(this);
    dds_lset_data_available(listener, &RosSubscriber::on_diagnostics);
    const dds_entity_t reader = dds_create_reader(m_participant, topic, qos, listener);
    dds_delete_listener(listener);
    dds_delete_qos(qos);
    if (reader < 0) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_diagnostics_reader = reader;
    }
    take_diagnostics(reader);
    return true;
}

void RosSubscriber::on_points(dds_entity_t reader, void* arg) { static_cast<RosSubscriber*>(arg)->take_points(reader); }

void RosSubscriber::on_diagnostics(dds_entity_t reader, void* arg) {
    static_cast<RosSubscriber*>(arg)->take_diagnostics(reader);
}

void RosSubscriber::take_points(dds_entity_t reader) {
    void* samples[kTakeAtOnce] = {};
    dds_sample_info_t infos[kTakeAtOnce];
    const auto arrival = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto topic = m_topics.find(reader);
    if (topic == m_topics.end()) {
        return;  // not known yet: taken once it is
    }
    while (true) {
        samples[0] = nullptr;
        const dds_return_t taken = dds_take(reader, samples, infos, kTakeAtOnce, kTakeAtOnce);
        if (taken <= 0) {
            break;
        }
        for (dds_return_t i = 0; i < taken; ++i) {
            if (!infos[i].valid_data) {
                continue;
            }
            const auto& message = *static_cast<const sensor_msgs_msg_dds__PointCloud2_*>(samples[i]);
            ReceivedCloud cloud;
            cloud.sec = message.header.stamp.sec;
            cloud.nanosec = message.header.stamp.nanosec;
            cloud.frame_id = text(message.header.frame_id);
            cloud.height = message.height;
            cloud.width = message.width;
            for (uint32_t k = 0; k < message.fields._length; ++k) {
                const auto& field = message.fields._buffer[k];
                cloud.fields.push_back({text(field.name), field.offset, field.datatype, field.count});
            }
            cloud.is_bigendian = message.is_bigendian;
            cloud.point_step = message.point_step;
            cloud.row_step = message.row_step;
            cloud.data.assign(message.data._buffer, message.data._buffer + message.data._length);
            cloud.is_dense = message.is_dense;
            cloud.arrival = arrival;
            m_clouds[topic->second].push_back(std::move(cloud));
        }
        dds_return_loan(reader, samples, taken);
    }
    m_changed.notify_all();
}

void RosSubscriber::take_diagnostics(dds_entity_t reader) {
    void* samples[kTakeAtOnce] = {};
    dds_sample_info_t infos[kTakeAtOnce];
    std::lock_guard<std::mutex> lock(m_mutex);
    while (true) {
        samples[0] = nullptr;
        const dds_return_t taken = dds_take(reader, samples, infos, kTakeAtOnce, kTakeAtOnce);
        if (taken <= 0) {
            break;
        }
        for (dds_return_t i = 0; i < taken; ++i) {
            if (!infos[i].valid_data) {
                continue;
            }
            const auto& message = *static_cast<const diagnostic_msgs_msg_dds__DiagnosticArray_*>(samples[i]);
            ReceivedDiagnostics diagnostics;
            diagnostics.sec = message.header.stamp.sec;
            for (uint32_t k = 0; k < message.status._length; ++k) {
                const auto& status = message.status._buffer[k];
                ReceivedStatus copy;
                copy.level = status.level;
                copy.name = text(status.name);
                copy.message = text(status.message);
                copy.hardware_id = text(status.hardware_id);
                for (uint32_t v = 0; v < status.values._length; ++v) {
                    copy.values[text(status.values._buffer[v].key)] = text(status.values._buffer[v].value);
                }
                diagnostics.statuses.push_back(std::move(copy));
            }
            m_diagnostics.push_back(std::move(diagnostics));
        }
        dds_return_loan(reader, samples, taken);
    }
    m_changed.notify_all();
}

bool RosSubscriber::wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, done);
}

bool RosSubscriber::wait_for_writers(uint32_t writers, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        std::vector<dds_entity_t> readers;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto& entry : m_readers) {
                readers.push_back(entry.second);
            }
            if (m_diagnostics_reader > 0) {
                readers.push_back(m_diagnostics_reader);
            }
        }
        // Asked outside the lock, which the readers' listeners take.
        bool all = true;
        for (dds_entity_t reader : readers) {
            dds_subscription_matched_status_t status{};
            if (dds_get_subscription_matched_status(reader, &status) != DDS_RETCODE_OK ||
                status.current_count < writers) {
                all = false;
            }
        }
        if (all) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<ReceivedCloud> RosSubscriber::clouds(const std::string& ros_topic) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_clouds.find(ros_topic);
    return found != m_clouds.end() ? found->second : std::vector<ReceivedCloud>{};
}

std::size_t RosSubscriber::cloud_count(const std::string& ros_topic) const {
    const auto found = m_clouds.find(ros_topic);
    return found != m_clouds.end() ? found->second.size() : 0;
}

std::size_t RosSubscriber::total_clouds() const {
    std::size_t total = 0;
    for (const auto& entry : m_clouds) {
        total += entry.second.size();
    }
    return total;
}

std::vector<ReceivedDiagnostics> RosSubscriber::diagnostics() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_diagnostics;
}

std::size_t RosSubscriber::diagnostics_count() const { return m_diagnostics.size(); }

}  // namespace vorlan_test
