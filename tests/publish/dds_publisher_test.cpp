// The publisher with a subscriber in the same DDS domain, on this host only.
#include "dds_publisher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "dds_test_domain.h"
#include "fake_frame_source.h"
#include "ros_names.h"
#include "ros_subscriber.h"

namespace vorlan_tool {
namespace {

using namespace std::chrono_literals;
using vorlan_test::Delivery;
using vorlan_test::FakeFrameSource;
using vorlan_test::RosSubscriber;

constexpr auto kPatience = std::chrono::milliseconds(30000);

std::string topic_of(const SensorFacts& facts) {
    return ros_points_topic(ros_sensor_token(facts.address, facts.serial_number));
}

class DdsPublisherTest : public ::testing::Test {
protected:
    void SetUp() override { m_domain = vorlan_test::keep_dds_on_this_host(); }

    PublisherSettings settings() const {
        PublisherSettings s;
        s.domain = m_domain;
        s.reliable = true;
        s.diagnostics_period = 100ms;
        return s;
    }

    // Hands out every frame of `source` through `publisher`.
    static void publish_all(FakeFrameSource& source, DdsPublisher& publisher) {
        source.run([&](const Frame& frame) { return publisher.publish(frame); },
                   [&](const SensorFacts& facts) { publisher.update_sensor(facts); });
    }

    uint32_t m_domain = 0;
};

// Every frame of every sensor arrives, in order, with the bytes, stamp,
// frame id and layout it was sent with.
TEST_F(DdsPublisherTest, EveryFrameOfEverySensorArrivesIntact) {
    FakeFrameSource source = FakeFrameSource::with(3, 12, 500, 5);
    std::string error;
    PublisherSettings s = settings();
    s.frame_id = "lidar_{sensor}";
    s.wait_subscribers = 1;
    const auto publisher = DdsPublisher::create(s, error);
    ASSERT_TRUE(publisher) << error;

    RosSubscriber subscriber(m_domain);
    ASSERT_TRUE(subscriber.ok());
    for (const SensorFacts& facts : source.facts) {
        ASSERT_TRUE(subscriber.subscribe_points(topic_of(facts)));
    }
    publish_all(source, *publisher);
    ASSERT_TRUE(subscriber.wait_until([&] { return subscriber.total_clouds() == source.frames.size(); }, kPatience))
        << subscriber.total_clouds();

    for (std::size_t s_index = 0; s_index < source.facts.size(); ++s_index) {
        const SensorFacts& facts = source.facts[s_index];
        const auto clouds = subscriber.clouds(topic_of(facts));
        std::size_t next = 0;
        for (const auto& fake : source.frames) {
            if (fake.sensor != s_index) {
                continue;
            }
            ASSERT_LT(next, clouds.size());
            const auto& cloud = clouds[next++];
            EXPECT_EQ(cloud.frame_id, "lidar_" + ros_sensor_token(facts.address, facts.serial_number));
            EXPECT_EQ(int64_t{cloud.sec} * 1000000 + cloud.nanosec / 1000, fake.first_time);
            EXPECT_EQ(cloud.width, fake.points.size());
            EXPECT_EQ(cloud.row_step, fake.points.size() * 24);
            EXPECT_FALSE(cloud.is_dense);  // every fifth point has no measurement
            ASSERT_EQ(cloud.data.size(), fake.points.size() * sizeof(FramePoint));
            EXPECT_EQ(std::memcmp(cloud.data.data(), fake.points.data(), cloud.data.size()), 0);
            ASSERT_EQ(cloud.fields.size(), 8u);
            EXPECT_EQ(cloud.fields[6].name, "return");
            EXPECT_EQ(cloud.fields[6].offset, 22u);
        }
        EXPECT_EQ(next, clouds.size());
    }
    for (const PublishedSensor& sensor : publisher->sensors()) {
        EXPECT_EQ(sensor.frames_sent, 12u);
        EXPECT_EQ(sensor.frames_not_sent, 0u);
        EXPECT_TRUE(sensor.matched_in_time);
    }
}

// One status per sensor, with its facts and losses, once a period and on
// request.
TEST_F(DdsPublisherTest, DiagnosticsCarryOneStatusPerSensor) {
    FakeFrameSource source = FakeFrameSource::with(2, 4, 50);
    source.frames[3].losses.packets_lost = 3;
    source.frames[3].losses.points_lost = 240;
    std::string error;
    const auto publisher = DdsPublisher::create(settings(), error);
    ASSERT_TRUE(publisher) << error;
    RosSubscriber subscriber(m_domain);
    ASSERT_TRUE(subscriber.subscribe_diagnostics());
    ASSERT_TRUE(subscriber.wait_for_writers(1, kPatience));

    SensorHealth health;
    health.time_sync = "PTP";
    publisher->update_health(source.facts[1].handle, health);  // before the sensor is heard
    publish_all(source, *publisher);
    publisher->publish_diagnostics();
    // The periodic reports go on as well.
    ASSERT_TRUE(subscriber.wait_until([&] { return subscriber.diagnostics_count() >= 3; }, kPatience));

    const auto all = subscriber.diagnostics();
    const auto& last = all.back();
    ASSERT_EQ(last.statuses.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& status = last.statuses[i];
        const SensorFacts& facts = source.facts[i];
        EXPECT_EQ(status.name, "vorlan: " + facts.name);
        EXPECT_EQ(status.hardware_id, std::to_string(facts.serial_number));
        EXPECT_EQ(status.values.at("Model"), "Vorlan test");
        EXPECT_EQ(status.values.at("Firmware"), "1.2.3");
        EXPECT_EQ(status.values.at("Frames published"), "4");
        EXPECT_EQ(status.values.at("Points per frame"), std::to_string(50 + i));
        EXPECT_EQ(status.values.at("Topic"), topic_of(facts));
    }
    EXPECT_EQ(last.statuses[1].values.at("Packets lost"), "3");
    EXPECT_EQ(last.statuses[1].values.at("Points lost"), "240");
    EXPECT_EQ(last.statuses[1].values.at("Time sync"), "PTP");
    EXPECT_EQ(last.statuses[0].values.at("Time sync"), "none");  // its information names no clock source
    // The loss was reported as a warning once.
    bool warned = false;
    for (const auto& diagnostics : all) {
        for (const auto& status : diagnostics.statuses) {
            warned = warned || (status.level == 1 && status.message.find("3 packets lost") != std::string::npos);
        }
    }
    EXPECT_TRUE(warned);
}

// A subscriber that joins late or leaves midway changes nothing for one that
// stays.
TEST_F(DdsPublisherTest, SubscribersComingAndGoingDoNotDisturbOthers) {
    FakeFrameSource source = FakeFrameSource::with(2, 30, 200);
    std::string error;
    PublisherSettings s = settings();
    s.wait_subscribers = 2;
    const auto publisher = DdsPublisher::create(s, error);
    ASSERT_TRUE(publisher) << error;

    RosSubscriber steady(m_domain);
    RosSubscriber leaving(m_domain);
    RosSubscriber late(m_domain);
    for (const SensorFacts& facts : source.facts) {
        ASSERT_TRUE(steady.subscribe_points(topic_of(facts)));
        ASSERT_TRUE(leaving.subscribe_points(topic_of(facts), Delivery::best_effort));
    }
    source.before_frame = [&](std::size_t index) {
        if (index == 20) {
            for (const SensorFacts& facts : source.facts) {
                leaving.unsubscribe_points(topic_of(facts));
                late.subscribe_points(topic_of(facts));
            }
        }
    };
    publish_all(source, *publisher);
    ASSERT_TRUE(steady.wait_until([&] { return steady.total_clouds() == source.frames.size(); }, kPatience))
        << steady.total_clouds();
    for (const PublishedSensor& sensor : publisher->sensors()) {
        EXPECT_EQ(sensor.frames_sent, 30u);
    }
    // The late one gets at most what followed its arrival, the leaving one at most what came before.
    EXPECT_LE(late.total_clouds(), source.frames.size() - 20);
    EXPECT_LE(leaving.total_clouds(), 20u);
}

// With no configuration given, the publisher makes its own, for this host.
TEST_F(DdsPublisherTest, WithoutConfigurationKeepsToThisHost) {
    unsetenv("CYCLONEDDS_URI");
    std::string error;
    PublisherSettings s = settings();
    s.wait_subscribers = 1;
    const auto publisher = DdsPublisher::create(s, error);
    ASSERT_TRUE(publisher) << error;
    EXPECT_TRUE(publisher->network().host_only);
    EXPECT_EQ(publisher->domain(), m_domain);

    // Its domain, on loopback, reaches a subscriber of this process.
    FakeFrameSource source = FakeFrameSource::with(1, 3, 10);
    RosSubscriber subscriber(m_domain);
    ASSERT_TRUE(subscriber.subscribe_points(topic_of(source.facts[0])));
    publish_all(source, *publisher);
    EXPECT_TRUE(subscriber.wait_until([&] { return subscriber.total_clouds() == 3; }, kPatience));
}

TEST_F(DdsPublisherTest, RefusesAnUnusableDomainOrNetwork) {
    std::string error;
    PublisherSettings s = settings();
    s.domain = 500;
    EXPECT_FALSE(DdsPublisher::create(s, error));
    EXPECT_NE(error.find("--domain 500"), std::string::npos) << error;
    s = settings();
    s.interface = "eth0";  // CYCLONEDDS_URI is set as well
    EXPECT_FALSE(DdsPublisher::create(s, error));
    EXPECT_NE(error.find("CYCLONEDDS_URI"), std::string::npos) << error;
}

}  // namespace
}  // namespace vorlan_tool
