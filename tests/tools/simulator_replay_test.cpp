// The simulator's capture replayed through the library's C interface, as a
// client would: the sensors it meant appear, and their frames carry the
// scene.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture.h"
#include "sensor.h"
#include "sensor_fault.h"
#include "sim_scene.h"
#include "sim_sinks.h"
#include "simulator.h"
#include "support/sdk_fixture.h"

namespace vorlan_tool {
namespace {

constexpr double kSeconds = 2.0;
// Replayed before the frame options are set again, so that every sensor
// already has its frame.
constexpr float kWarmUpSeconds = 0.3f;

// What the image-frame callback saw of one sensor.
struct FrameLog {
    std::vector<std::size_t> sizes;  // image points per frame
    std::size_t valid = 0;
    std::size_t outside_scene = 0;   // valid points nearer than 1 m or beyond 50 m
    std::size_t first_returns = 0;   // valid first returns
    std::size_t off_surface = 0;     // of them, not on the surface their ray meets
    std::size_t outside_time = 0;    // points stamped outside the simulated span
    // The extremes of every image point, valid or not, as the library's
    // scan-coverage check takes them.
    float min_x = 0.0f, max_x = 0.0f, min_z = 0.0f, max_z = 0.0f;
};

class SimulatorReplayTest : public vorlan_test::OfflineSdkTest {
protected:
    VorlanSDKControl extra_control_flags() const override { return VORLAN_SDK_CONTROL_ENABLE_MULTIPLE_RETURNS; }

    void SetUp() override {
        OfflineSdkTest::SetUp();
        m_path = (std::filesystem::temp_directory_path() /
                  ("vorlan_sim_replay_" + std::to_string(getpid()) + ".pcap"))
                     .string();
        CaptureFileSink sink(m_path);
        ASSERT_TRUE(sink.ok()) << sink.error();
        m_options.seconds = kSeconds;
        ASSERT_TRUE(run_simulation(m_options, sink).completed);
        ASSERT_TRUE(sink.close()) << sink.error();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_image_frames(&SimulatorReplayTest::on_frame, this));
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(m_path.c_str()));
    }

    void TearDown() override {
        EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_close());
        OfflineSdkTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
        std::filesystem::remove(vorlan_sdk::Capture::index_filename(m_path), ignored);
    }

    static void on_frame(VorlanSensorHandle handle, size_t n, const VorlanSensorImagePoint* points, void* user) {
        auto* self = static_cast<SimulatorReplayTest*>(user);
        const int64_t start = self->m_options.start_time_us;
        const int64_t end = start + static_cast<int64_t>(kSeconds * 1e6);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        FrameLog& log = self->m_frames[handle];
        if (log.sizes.empty() && n != 0) {
            log.min_x = log.max_x = points[0].image_x;
            log.min_z = log.max_z = points[0].image_z;
        }
        log.sizes.push_back(n);
        for (std::size_t i = 0; i < n; ++i) {
            log.min_x = std::min(log.min_x, points[i].image_x);
            log.max_x = std::max(log.max_x, points[i].image_x);
            log.min_z = std::min(log.min_z, points[i].image_z);
            log.max_z = std::max(log.max_z, points[i].image_z);
            if (points[i].timestamp < start || points[i].timestamp > end) {
                ++log.outside_time;
            }
            if ((points[i].flags & VORLAN_POINT_VALID) == 0) {
                continue;
            }
            ++log.valid;
            if (!(points[i].distance > 1.0f && points[i].distance < 50.0f)) {
                ++log.outside_scene;
            }
            if ((points[i].return_type & VORLAN_RETURN_FIRST) != 0) {
                ++log.first_returns;
                log.off_surface += on_scene_surface(points[i]) ? 0 : 1;
            }
        }
    }

    // Whether the point, taken to metres through the public header, lies on
    // the surface of the scene its ray meets: within the simulator's noise of
    // two raw units and the rounding to one, at the coarsest distance scale
    // of the fleet (4 mm). A library that calibrates wrongly moves points off
    // the scene.
    static bool on_scene_surface(const VorlanSensorImagePoint& point) {
        static const Scene scene = Scene::yard();
        const VorlanPointMetres p = vorlan_image_point_to_metres(point.image_x, point.image_z, point.distance);
        const double norm = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
        Hit hit;
        return norm > 0.0 && scene.cast({p.x / norm, p.y / norm, p.z / norm}, 300.0, hit) &&
               std::abs(hit.distance - point.distance) < 0.011;
    }

    std::map<VorlanSensorHandle, FrameLog> frames() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames;
    }
    void forget_frames() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.clear();
    }

    SimulatorOptions m_options;
    std::string m_path;
    std::mutex m_mutex;
    std::map<VorlanSensorHandle, FrameLog> m_frames;  // guarded by m_mutex
};

TEST_F(SimulatorReplayTest, TheSimulatedSensorsAppearWithTheirIdentityAndCalibration) {
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(kWarmUpSeconds));
    const auto sensors = simulated_sensors();
    ASSERT_EQ(vorlan_sdk_get_n_sensors(), sensors.size());
    for (const SimulatedSensorInfo& sensor : sensors) {
        SCOPED_TRACE(sensor.name);
        VorlanSensorHandle handle = 0;
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_handle_by_serial_number(sensor.serial_number, &handle));
        EXPECT_EQ(handle, sensor.handle | VORLAN_SENSOR_HANDLE_FLAG_MOCK);
        VorlanSensorInformation information{};
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_information(handle, &information));
        EXPECT_EQ(information.serial_number, sensor.serial_number);
        EXPECT_EQ(information.model, sensor.model);
        // Named, and its firmware given, as `vorlan sim` prints them.
        EXPECT_EQ(std::string(information.model_name), sensor.model_name);
        EXPECT_EQ(std::string(information.firmware_version), sensor.firmware);
        EXPECT_EQ(information.segment_count, sensor.segment_count);
        // "INFO" packets state no return count: asked for multiple returns, a
        // receiver takes two.
        EXPECT_EQ(information.return_count, sensor.info_packet_type == "INFO" ? 2 : sensor.return_count);
        EXPECT_NE(information.flags & VORLAN_SENSOR_INFO_IS_CALIBRATED, 0u);
        EXPECT_NE(information.flags & VORLAN_SENSOR_INFO_IS_MOCKED, 0u);

        // The sensor took the calibration the simulator measured with.
        auto active = std::make_unique<VorlanCalibration>();
        auto expected = std::make_unique<VorlanCalibration>();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_calibration(handle, active.get()));
        const std::vector<uint8_t>& block = sensor.calibration_block;
        ASSERT_TRUE(vorlan_sdk::Sensor::convert_calibration(*expected, block.data(),
                                                            static_cast<int64_t>(block.size())));
        EXPECT_EQ(active->id, expected->id);
        EXPECT_EQ(active->distance_scale, expected->distance_scale);
        EXPECT_EQ(active->distance_offset, expected->distance_offset);
        EXPECT_EQ(0, std::memcmp(active->distortion_x, expected->distortion_x, sizeof(expected->distortion_x)));
        EXPECT_EQ(0, std::memcmp(active->distortion_z, expected->distortion_z, sizeof(expected->distortion_z)));
        EXPECT_EQ(0, std::memcmp(active->lasers, expected->lasers, sizeof(expected->lasers)));
    }
}

TEST_F(SimulatorReplayTest, NaturalFramesCarryTheScene) {
    // Frames are made on each sensor's first data packet; setting the sweep
    // mode again then hands every sensor's frame its scan detector.
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(kWarmUpSeconds));
    VorlanSDKFrameOptions options = vorlan_sdk_create_frame_options();
    options.mode = VORLAN_SDK_FRAME_SWEEP;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_set_frame_options(&options));
    forget_frames();
    const float rest = static_cast<float>(kSeconds) - kWarmUpSeconds;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(rest + 1.0f));

    const auto logs = frames();
    for (const SimulatedSensorInfo& sensor : simulated_sensors()) {
        SCOPED_TRACE(sensor.name);
        const auto found = logs.find(sensor.handle | VORLAN_SENSOR_HANDLE_FLAG_MOCK);
        ASSERT_NE(found, logs.end());
        const FrameLog& log = found->second;
        VorlanSensorInformation information{};
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_information(found->first, &information));
        // Detectors need a turn or two of the pattern to settle.
        const double expected_frames = rest / sensor.frame_period_s;
        EXPECT_GE(static_cast<double>(log.sizes.size()), expected_frames - 5.0);
        EXPECT_LE(static_cast<double>(log.sizes.size()), expected_frames + 2.0);
        std::vector<std::size_t> sizes = log.sizes;
        std::sort(sizes.begin(), sizes.end());
        // Image points per point: the receiver's return count.
        const double returns = information.return_count;
        double expected_points = sensor.frame_period_s / sensor.measurement_period_s * returns;
        if (sensor.model == 16) {
            // Frames marked by the flag repeat up to 72 rows of the one before.
            expected_points += 72.0 * sensor.segment_count * returns;
        }
        EXPECT_NEAR(static_cast<double>(sizes[sizes.size() / 2]), expected_points, 0.2 * expected_points);
        EXPECT_GT(log.valid, 0u);
        EXPECT_EQ(log.outside_scene, 0u);
        EXPECT_GT(log.first_returns, 0u);
        EXPECT_EQ(log.off_surface, 0u) << "of " << log.first_returns << " first returns";
        EXPECT_EQ(log.outside_time, 0u);
    }
}

// A simulated sensor whose scan spans less than its model's field of view
// is one the library reports as failing (VORLAN_FAULT_SCAN_COVERAGE) once a
// capture runs past its warm-up minute.
TEST_F(SimulatorReplayTest, EachSensorSweepsItsModelsWholeFieldOfView) {
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_resume_blocking(static_cast<float>(kSeconds) + 1.0f));
    const auto logs = frames();
    for (const SimulatedSensorInfo& sensor : simulated_sensors()) {
        SCOPED_TRACE(sensor.name);
        const auto found = logs.find(sensor.handle | VORLAN_SENSOR_HANDLE_FLAG_MOCK);
        ASSERT_NE(found, logs.end());
        ASSERT_LT(sensor.model, vorlan_sdk::kFovModelCount);
        const vorlan_sdk::FieldOfView fov = vorlan_sdk::FOV_BY_MODEL[sensor.model];
        EXPECT_GE(found->second.max_x - found->second.min_x, 2.0f * fov.horizontal);
        EXPECT_GE(found->second.max_z - found->second.min_z, 2.0f * fov.vertical);
    }
}

}  // namespace
}  // namespace vorlan_tool
