#include "dds_publisher.h"

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "DiagnosticArray.h"
#include "PointCloud2.h"
#include "dds/dds.h"
#include "point_cloud_message.h"
#include "ros_names.h"

#if defined(__SANITIZE_THREAD__)
// CycloneDDS comes from Debian, not built for the thread sanitizer: its own
// synchronisation is invisible to it, so what it reports from inside the
// library is noise. Races between our threads are still reported.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "called_from_lib:libddsc.so\nrace:libddsc.so\ndeadlock:libddsc.so\n";
}
#endif

namespace vorlan_tool {
namespace {

// ROS 2's sensor-data profile: best effort, the last 5 frames kept,
// volatile. Reliable delivery keeps every frame until each reliable reader
// has it: a writer that kept only the last few would drop older frames not
// yet acknowledged without a word, which is loss the user asked not to
// have. A reader that falls behind slows the publisher down instead; one
// that stalls for two seconds makes the frame count as not sent.
dds_qos_t* points_qos(bool reliable) {
    dds_qos_t* qos = dds_create_qos();
    if (reliable) {
        dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(2));
        dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
    } else {
        dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 5);
    }
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    return qos;
}

// ROS 2's default profile, which /diagnostics subscribers ask for: a
// reliable writer serves them and best-effort readers alike.
dds_qos_t* diagnostics_qos() {
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 10);
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    return qos;
}

std::string dds_error(const std::string& what, dds_return_t code) {
    return what + ": " + dds_strretcode(code);
}

// The strings of a DiagnosticArray message, kept alive while it is written.
struct DiagnosticMessage {
    std::vector<DiagnosticReport> reports;
    std::vector<std::vector<diagnostic_msgs_msg_dds__KeyValue_>> values;
    std::vector<diagnostic_msgs_msg_dds__DiagnosticStatus_> statuses;
    diagnostic_msgs_msg_dds__DiagnosticArray_ message{};

    // The generated types have no const; the writer only reads the strings.
    static char* text(const std::string& s) { return const_cast<char*>(s.c_str()); }

    void build(int64_t now_micros) {
        values.resize(reports.size());
        statuses.resize(reports.size());
        for (std::size_t i = 0; i < reports.size(); ++i) {
            const DiagnosticReport& report = reports[i];
            values[i].resize(report.values.size());
            for (std::size_t k = 0; k < report.values.size(); ++k) {
                values[i][k].key = text(report.values[k].first);
                values[i][k].value = text(report.values[k].second);
            }
            auto& status = statuses[i];
            status.level = report.level;
            status.name = text(report.name);
            status.message = text(report.message);
            status.hardware_id = text(report.hardware_id);
            status.values._buffer = values[i].data();
            status.values._length = static_cast<uint32_t>(values[i].size());
            status.values._maximum = status.values._length;
            status.values._release = false;
        }
        message.header.stamp = ros_time_from_micros(now_micros);
        message.header.frame_id = text(kEmpty);
        message.status._buffer = statuses.data();
        message.status._length = static_cast<uint32_t>(statuses.size());
        message.status._maximum = message.status._length;
        message.status._release = false;
    }

    static const std::string kEmpty;
};
const std::string DiagnosticMessage::kEmpty;

// Compared without copying: frames come by the thousand, facts rarely change.
bool facts_differ(const SensorFacts& a, const SensorFacts& b) {
    return a.serial_number != b.serial_number || a.channels != b.channels || a.generation != b.generation ||
           a.model != b.model || a.firmware != b.firmware || a.name != b.name;
}

int64_t wall_clock_micros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

class DdsPublisher::Impl {
public:
    struct Sensor {
        Sensor(const SensorFacts& facts, const std::string& token)
            : facts(facts), token(token), topic(ros_points_topic(token)), diagnostics(facts, topic) {}
        SensorFacts facts;
        const std::string token;
        const std::string topic;
        dds_entity_t writer = 0;  // made on the sensor's first frame; 0 before, negative on failure
        std::unique_ptr<PointCloudMessage> message;  // touched only by publish()
        SensorDiagnostics diagnostics;
        bool matched_in_time = true;
    };

    ~Impl() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        if (m_ticker.joinable()) {
            m_ticker.join();
        }
        if (m_participant > 0) {
            dds_delete(m_participant);
        }
        if (m_domain_entity > 0) {
            dds_delete(m_domain_entity);
        }
    }

    bool start(const PublisherSettings& settings, std::string& error) {
        m_settings = settings;
        if (!choose_dds_network(settings.interface, std::getenv("CYCLONEDDS_URI"), m_network, error) ||
            !choose_dds_domain(settings.domain, std::getenv("ROS_DOMAIN_ID"), m_domain, error)) {
            return false;
        }
        if (!m_network.config.empty()) {
            const dds_entity_t domain = dds_create_domain(m_domain, m_network.config.c_str());
            // Another part of this process may have started the domain
            // already; its participants then share that configuration.
            if (domain < 0 && domain != DDS_RETCODE_PRECONDITION_NOT_MET) {
                error = dds_error("DDS refused the network configuration", domain);
                return false;
            }
            m_domain_entity = domain > 0 ? domain : 0;
        }
        m_participant = dds_create_participant(m_domain, nullptr, nullptr);
        if (m_participant < 0) {
            error = dds_error("DDS refused to join domain " + std::to_string(m_domain), m_participant);
            return false;
        }
        const dds_entity_t topic = dds_create_topic(m_participant, &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
                                                    dds_topic_name("/diagnostics").c_str(), nullptr, nullptr);
        if (topic < 0) {
            error = dds_error("DDS refused the topic /diagnostics", topic);
            return false;
        }
        dds_qos_t* qos = diagnostics_qos();
        m_diagnostics_writer = dds_create_writer(m_participant, topic, qos, nullptr);
        dds_delete_qos(qos);
        if (m_diagnostics_writer < 0) {
            error = dds_error("DDS refused a writer for /diagnostics", m_diagnostics_writer);
            return false;
        }
        m_ticker = std::thread([this] { tick(); });
        return true;
    }

    void update_sensor(const SensorFacts& facts) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Sensor& sensor = find_or_add_locked(facts);
        sensor.facts = facts;
        sensor.diagnostics.update_facts(facts);
    }

    void update_health(uint64_t handle, const SensorHealth& health) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_sensors.find(handle);
        if (found != m_sensors.end()) {
            found->second->diagnostics.update_health(health);
        } else {
            m_pending_health[handle] = health;
        }
    }

    bool publish(const Frame& frame) {
        if (frame.sensor == nullptr) {
            return false;
        }
        Sensor* sensor = nullptr;
        bool first_frame = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            sensor = &find_or_add_locked(*frame.sensor);
            if (facts_differ(sensor->facts, *frame.sensor)) {
                sensor->facts = *frame.sensor;
                sensor->diagnostics.update_facts(*frame.sensor);
            }
            if (sensor->writer == 0) {
                first_frame = true;
                sensor->writer = make_points_writer_locked(*sensor);
            }
        }
        if (first_frame && sensor->writer > 0 && m_settings.wait_subscribers > 0) {
            const bool matched = wait_for_subscribers(sensor->writer);
            std::lock_guard<std::mutex> lock(m_mutex);
            sensor->matched_in_time = matched;
        }
        bool sent = false;
        if (sensor->writer > 0 && sensor->message->fill(frame, m_settings.drop_invalid)) {
            sent = dds_write(sensor->writer, &sensor->message->message()) == DDS_RETCODE_OK;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        sensor->diagnostics.add_frame(frame, sent, SensorDiagnostics::Clock::now());
        return sent;
    }

    void publish_diagnostics() {
        // One report at a time, so that each sees what the previous one saw.
        std::lock_guard<std::mutex> reporting(m_report_mutex);
        DiagnosticMessage message;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto now = SensorDiagnostics::Clock::now();
            for (auto& entry : m_sensors) {
                message.reports.push_back(entry.second->diagnostics.report(now));
            }
        }
        message.build(wall_clock_micros());
        dds_write(m_diagnostics_writer, &message.message);
    }

    void publish_final_diagnostics() {
        if (m_settings.wait_subscribers > 0) {
            wait_for_subscribers(m_diagnostics_writer);
        }
        publish_diagnostics();
    }

    std::vector<PublishedSensor> sensors() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<PublishedSensor> list;
        for (const auto& entry : m_sensors) {
            const Sensor& sensor = *entry.second;
            PublishedSensor published;
            published.facts = sensor.facts;
            published.topic = sensor.topic;
            published.frames_sent = sensor.diagnostics.frames_sent();
            published.frames_not_sent = sensor.diagnostics.frames_not_sent();
            published.matched_in_time = sensor.matched_in_time;
            list.push_back(std::move(published));
        }
        return list;
    }

    uint32_t m_domain = 0;
    DdsNetwork m_network;

private:
    Sensor& find_or_add_locked(const SensorFacts& facts) {
        auto found = m_sensors.find(facts.handle);
        if (found == m_sensors.end()) {
            auto sensor = std::make_unique<Sensor>(facts, ros_sensor_token(facts.address, facts.serial_number));
            const auto health = m_pending_health.find(facts.handle);
            if (health != m_pending_health.end()) {
                sensor->diagnostics.update_health(health->second);
                m_pending_health.erase(health);
            }
            found = m_sensors.emplace(facts.handle, std::move(sensor)).first;
        }
        return *found->second;
    }

    // The topic keeps the name it had at the sensor's first frame, so
    // subscribers never have to follow a rename.
    dds_entity_t make_points_writer_locked(Sensor& sensor) {
        sensor.message = std::make_unique<PointCloudMessage>(sensor_frame_id(m_settings.frame_id, sensor.token),
                                                             m_settings.xyz_intensity_only);
        const dds_entity_t topic = dds_create_topic(m_participant, &sensor_msgs_msg_dds__PointCloud2__desc,
                                                    dds_topic_name(sensor.topic).c_str(), nullptr, nullptr);
        if (topic < 0) {
            return topic;
        }
        dds_qos_t* qos = points_qos(m_settings.reliable);
        const dds_entity_t writer = dds_create_writer(m_participant, topic, qos, nullptr);
        dds_delete_qos(qos);
        return writer;
    }

    bool wait_for_subscribers(dds_entity_t writer) {
        const auto deadline = std::chrono::steady_clock::now() + m_settings.match_timeout;
        while (true) {
            dds_publication_matched_status_t status{};
            if (dds_get_publication_matched_status(writer, &status) == DDS_RETCODE_OK &&
                status.current_count >= m_settings.wait_subscribers) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    void tick() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stopping) {
            if (m_wake.wait_for(lock, m_settings.diagnostics_period, [this] { return m_stopping; })) {
                break;
            }
            lock.unlock();
            publish_diagnostics();
            lock.lock();
        }
    }

    PublisherSettings m_settings;
    dds_entity_t m_domain_entity = 0;
    dds_entity_t m_participant = 0;
    dds_entity_t m_diagnostics_writer = 0;

    mutable std::mutex m_mutex;  // guards the sensors' facts and diagnostics, the map and m_stopping
    std::map<uint64_t, std::unique_ptr<Sensor>> m_sensors;  // sensors are never removed: pointers stay valid
    std::map<uint64_t, SensorHealth> m_pending_health;     // health of sensors not heard yet
    bool m_stopping = false;
    std::condition_variable m_wake;
    std::mutex m_report_mutex;  // one diagnostics report at a time
    std::thread m_ticker;
};

std::unique_ptr<DdsPublisher> DdsPublisher::create(const PublisherSettings& settings, std::string& error) {
    auto impl = std::make_unique<Impl>();
    if (!impl->start(settings, error)) {
        return nullptr;
    }
    return std::unique_ptr<DdsPublisher>(new DdsPublisher(std::move(impl)));
}

DdsPublisher::DdsPublisher(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
DdsPublisher::~DdsPublisher() = default;

uint32_t DdsPublisher::domain() const { return m_impl->m_domain; }
const DdsNetwork& DdsPublisher::network() const { return m_impl->m_network; }
void DdsPublisher::update_sensor(const SensorFacts& facts) { m_impl->update_sensor(facts); }
void DdsPublisher::update_health(uint64_t handle, const SensorHealth& health) {
    m_impl->update_health(handle, health);
}
bool DdsPublisher::publish(const Frame& frame) { return m_impl->publish(frame); }
void DdsPublisher::publish_diagnostics() { m_impl->publish_diagnostics(); }
void DdsPublisher::publish_final_diagnostics() { m_impl->publish_final_diagnostics(); }
std::vector<PublishedSensor> DdsPublisher::sensors() const { return m_impl->sensors(); }

}  // namespace vorlan_tool
