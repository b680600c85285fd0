#include "publish_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include "dds_test_domain.h"
#include "fake_frame_source.h"
#include "ros_names.h"
#include "ros_subscriber.h"

namespace vorlan_tool {
namespace {

using vorlan_test::FakeFrameSource;

struct PublishRun {
    int code = -1;
    std::string out;
    std::string err;
};

PublishRun publish_with(const PublishSettings& settings, FakeFrameSource& source) {
    std::ostringstream out;
    std::ostringstream err;
    Console console(out, err, false);
    PublishRun run;
    run.code = run_publish(settings, source, console);
    run.out = out.str();
    run.err = err.str();
    return run;
}

class PublishCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_settings.publisher.domain = vorlan_test::keep_dds_on_this_host();
        m_settings.publisher.reliable = true;
    }
    PublishSettings m_settings;
};

TEST_F(PublishCommandTest, SaysWhereFramesGoAndHowManyWent) {
    FakeFrameSource source = FakeFrameSource::with(2, 3, 20);
    const std::string topic0 = ros_points_topic(ros_sensor_token(source.facts[0].address, 900001));
    const std::string topic1 = ros_points_topic(ros_sensor_token(source.facts[1].address, 900002));
    vorlan_test::RosSubscriber subscriber(static_cast<uint32_t>(m_settings.publisher.domain));
    ASSERT_TRUE(subscriber.subscribe_points(topic0));
    ASSERT_TRUE(subscriber.subscribe_points(topic1));
    ASSERT_TRUE(subscriber.subscribe_diagnostics());
    m_settings.publisher.wait_subscribers = 1;

    const PublishRun run = publish_with(m_settings, source);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("publishing on DDS domain " + std::to_string(m_settings.publisher.domain)),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("192.168.1.201 serial 900001: " + topic0 + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("192.168.1.202 serial 900002: " + topic1 + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(topic0 + ": 3 frames published\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(topic1 + ": 3 frames published\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("sensors 2"), std::string::npos) << run.out;
    EXPECT_TRUE(subscriber.wait_until([&] { return subscriber.total_clouds() == 6; }, std::chrono::seconds(30)));
}

// One frame in N of each sensor, starting with its first.
TEST_F(PublishCommandTest, EveryNthFrameOfEachSensor) {
    const struct {
        std::size_t every;
        const char* published;
    } cases[] = {{1, ": 10 frames published\n"}, {3, ": 4 frames published\n"}, {10, ": 1 frames published\n"},
                 {20, ": 1 frames published\n"}};
    for (const auto& c : cases) {
        FakeFrameSource source = FakeFrameSource::with(2, 10, 5);
        PublishSettings settings = m_settings;
        settings.every = c.every;
        const PublishRun run = publish_with(settings, source);
        EXPECT_EQ(run.code, 0) << run.err;
        for (const SensorFacts& facts : source.facts) {
            const std::string topic = ros_points_topic(ros_sensor_token(facts.address, facts.serial_number));
            EXPECT_NE(run.out.find(topic + c.published), std::string::npos) << c.every << "\n" << run.out;
        }
    }
}

// The exit code is the source's unless DDS let frames down; nothing is
// opened when DDS cannot start.
TEST_F(PublishCommandTest, ExitCodesFollowTheSourceAndDds) {
    const struct {
        bool open;
        int run;
        long domain;  // -2: the test's own
        int code;
        const char* err_has;
    } cases[] = {
        {true, 0, -2, 0, ""},
        {true, 130, -2, 130, ""},
        {true, 1, -2, 1, ""},
        {false, 0, -2, 1, ""},
        {true, 0, 999, 1, "--domain 999"},
    };
    for (const auto& c : cases) {
        FakeFrameSource source = FakeFrameSource::with(1, 1, 5);
        source.open_result = c.open;
        source.run_result = c.run;
        bool opened = false;
        source.before_frame = [&](std::size_t) { opened = true; };
        PublishSettings settings = m_settings;
        if (c.domain != -2) {
            settings.publisher.domain = c.domain;
        }
        const PublishRun run = publish_with(settings, source);
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_NE(run.err.find(c.err_has), std::string::npos) << run.err;
        EXPECT_EQ(opened, c.open && c.domain == -2);
    }
}

}  // namespace
}  // namespace vorlan_tool
