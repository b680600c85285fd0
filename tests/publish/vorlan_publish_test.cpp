// `vorlan publish` as a user runs it, in a process of its own, with a
// subscriber in this one: over loopback, in a domain of the test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>

#include "child_process.h"
#include "console.h"
#include "dds_test_domain.h"
#include "frame_source.h"
#include "ros_names.h"
#include "ros_subscriber.h"
#include "support/capture_builder.h"
#include "support/udp_socket.h"
#include "tool_run.h"
#include "yard_capture_suite.h"

namespace vorlan_tool {
namespace {

using namespace std::chrono_literals;
using vorlan_test::ChildProcess;
using vorlan_test::RosSubscriber;

constexpr auto kPatience = std::chrono::milliseconds(120000);

struct ExpectedFrame {
    int64_t first_time = 0;
    std::vector<FramePoint> points;
};

struct Expected {
    std::map<std::string, std::vector<ExpectedFrame>> frames;  // by ROS topic
    std::size_t total = 0;
};

std::string topic_of(const SensorFacts& facts) {
    return ros_points_topic(ros_sensor_token(facts.address, facts.serial_number));
}

// What the tool's replay hands out for the capture: the frames a subscriber
// must receive, point for point.
Expected replay_frames(const std::string& capture, int library) {
    std::ostringstream out;
    std::ostringstream err;
    Console console(out, err, false);
    const auto source = make_frame_source(library, console);
    FrameSourceSettings settings;
    settings.library = library;
    settings.capture = capture;
    Expected expected;
    if (!source->open(settings)) {
        return expected;
    }
    source->run([&](const Frame& frame) {
        ExpectedFrame copy;
        copy.first_time = frame.first_time;
        copy.points.assign(frame.points, frame.points + frame.n_points);
        expected.frames[topic_of(*frame.sensor)].push_back(std::move(copy));
        ++expected.total;
        return true;
    });
    return expected;
}

class VorlanPublishTest : public YardCaptureSuite<int> {
protected:
    void SetUp() override {
        YardCaptureSuite::SetUp();
        m_domain = vorlan_test::keep_dds_on_this_host();
    }

    std::vector<std::string> publish_args(std::vector<std::string> more) const {
        std::vector<std::string> args = {VORLAN_TOOL, "publish", "--sdk", std::to_string(GetParam()),
                                         "--domain", std::to_string(m_domain)};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    uint32_t m_domain = 0;
};

// Every frame of every sensor that replay hands out arrives, each with the
// replay's points byte for byte, stamped with its first point's time.
TEST_P(VorlanPublishTest, SubscriberReceivesExactlyTheFramesReplayHandsOut) {
    const Expected expected = replay_frames(capture(), GetParam());
    ASSERT_GT(expected.total, 0u);
    ASSERT_EQ(expected.frames.size(), GetParam() == 2 ? 8u : 4u);

    RosSubscriber subscriber(m_domain);
    for (const auto& entry : expected.frames) {
        ASSERT_TRUE(subscriber.subscribe_points(entry.first));
    }
    ASSERT_TRUE(subscriber.subscribe_diagnostics());
    ChildProcess publish(publish_args({capture(), "--speed", "0", "--reliable", "--wait-subscribers", "1"}),
                         s_folder->file("publish.out"));
    ASSERT_TRUE(publish.started());
    EXPECT_EQ(publish.wait(kPatience), 0) << publish.output();
    EXPECT_TRUE(subscriber.wait_until([&] { return subscriber.total_clouds() >= expected.total; }, kPatience))
        << publish.output();
    EXPECT_NE(publish.output().find("to the network CYCLONEDDS_URI configures"), std::string::npos)
        << publish.output();

    for (const auto& entry : expected.frames) {
        const auto clouds = subscriber.clouds(entry.first);
        ASSERT_EQ(clouds.size(), entry.second.size()) << entry.first;
        for (std::size_t i = 0; i < clouds.size(); ++i) {
            const auto& cloud = clouds[i];
            const ExpectedFrame& frame = entry.second[i];
            EXPECT_EQ(int64_t{cloud.sec} * 1000000 + cloud.nanosec / 1000, frame.first_time) << entry.first << " " << i;
            ASSERT_EQ(cloud.width, frame.points.size()) << entry.first << " " << i;
            ASSERT_EQ(cloud.data.size(), frame.points.size() * 24);
            EXPECT_EQ(std::memcmp(cloud.data.data(), frame.points.data(), cloud.data.size()), 0)
                << entry.first << " frame " << i;
            EXPECT_EQ(cloud.point_step, 24u);
            EXPECT_EQ(cloud.height, 1u);
            ASSERT_EQ(cloud.fields.size(), 8u);
            EXPECT_EQ(cloud.fields[3].name, "intensity");
            EXPECT_EQ(cloud.fields[4].offset, 16u);
        }
        // A first point, read as a ROS 2 node reads it: x, y, z at 0, 4, 8.
        if (!clouds.empty() && !clouds[0].data.empty()) {
            float xyz[3];
            std::memcpy(xyz, clouds[0].data.data(), sizeof xyz);
            EXPECT_EQ(xyz[0], entry.second[0].points[0].x);
            EXPECT_EQ(xyz[1], entry.second[0].points[0].y);
            EXPECT_EQ(xyz[2], entry.second[0].points[0].z);
        }
    }

    // The last report names every sensor and counts its frames.
    ASSERT_TRUE(subscriber.wait_until([&] { return subscriber.diagnostics_count() >= 1; }, kPatience));
    const auto last = subscriber.diagnostics().back();
    ASSERT_EQ(last.statuses.size(), expected.frames.size());
    for (const auto& status : last.statuses) {
        const std::string topic = status.values.at("Topic");
        ASSERT_EQ(expected.frames.count(topic), 1u) << topic;
        EXPECT_EQ(status.values.at("Frames published"), std::to_string(expected.frames.at(topic).size()));
        EXPECT_NE(status.values.at("Model"), "unknown");
        EXPECT_NE(status.values.at("Serial number"), "unknown");
    }
}

// Live simulator traffic: every frame the publisher reports published
// arrives, in order of its sensor's time.
TEST_P(VorlanPublishTest, PublishesLiveSimulatorTraffic) {
    const uint16_t port = vorlan_test::free_udp_port();
    RosSubscriber subscriber(m_domain);
    // Simulator sensors; on loopback they send from 127.168.1.x.
    std::vector<std::string> topics;
    for (const char* sensor : {"127.168.1.201 900001", "127.168.1.202 900002", "127.168.1.203 900003",
                               "127.168.1.204 900004", "127.168.1.211 910001", "127.168.1.212 910002",
                               "127.168.1.213 910003", "127.168.1.214 910004"}) {
        std::istringstream words(sensor);
        SensorFacts facts;
        words >> facts.address >> facts.serial_number;
        topics.push_back(topic_of(facts));
        ASSERT_TRUE(subscriber.subscribe_points(topics.back()));
    }
    ASSERT_TRUE(subscriber.subscribe_diagnostics());
    ChildProcess publish(publish_args({"--port", std::to_string(port), "--seconds", "4", "--reliable", "--wait-subscribers", "1"}),
                         s_folder->file("live.out"));
    ASSERT_TRUE(publish.wait_for_output("publishing on DDS domain", kPatience)) << publish.output();
    ChildProcess sim({VORLAN_TOOL, "sim", "--seconds", "2", "--port", std::to_string(port)},
                     s_folder->file("sim.out"));
    EXPECT_EQ(sim.wait(kPatience), 0) << sim.output();
    EXPECT_EQ(publish.wait(kPatience), 0) << publish.output();

    const std::string out = publish.output();
    std::size_t decoded = 0;
    for (const std::string& topic : topics) {
        // "<topic>: N frames published" closes the run.
        const auto at = out.find(topic + ": ");
        const bool heard = at != std::string::npos;
        if (GetParam() == 1 && topic.find("ip127_168_1_21") != std::string::npos) {
            EXPECT_FALSE(heard) << "the first library decodes no second-generation sensor";
            continue;
        }
        ASSERT_TRUE(heard) << out;
        const auto count_at = at + topic.size() + 2;
        const std::size_t published = std::stoul(out.substr(count_at));
        EXPECT_GT(published, 0u) << out;  // fewer under a sanitizer, which slows the simulator
        ASSERT_TRUE(subscriber.wait_until([&] { return subscriber.cloud_count(topic) >= published; }, kPatience))
            << topic << " " << out;
        const auto clouds = subscriber.clouds(topic);
        EXPECT_EQ(clouds.size(), published);
        for (std::size_t i = 1; i < clouds.size(); ++i) {
            EXPECT_GT(int64_t{clouds[i].sec} * 1000000000 + clouds[i].nanosec,
                      int64_t{clouds[i - 1].sec} * 1000000000 + clouds[i - 1].nanosec);
        }
        ++decoded;
    }
    EXPECT_GT(decoded, 0u);
}

INSTANTIATE_TEST_SUITE_P(BothLibraries, VorlanPublishTest, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Sdk" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace vorlan_tool
