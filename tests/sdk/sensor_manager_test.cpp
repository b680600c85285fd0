// The sensor registry: which payloads create sensors, when a sensor becomes
// visible, lookups, and the hand-off of every packet type to its sensor.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "frame.h"
#include "sensor.h"
#include "allocation_counter.h"
#include "support/auxiliary_packet_builder.h"
#include "support/calibration_block_builder.h"
#include "support/data_packet_builder.h"
#include "support/info_packet_builder.h"
#include "support/sensor_fixture.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::build_info_packet;
using vorlan_test::InfoPacketFields;

std::vector<uint8_t> info_with_serial(uint32_t serial_number, int8_t temperature = 20) {
    InfoPacketFields fields;
    fields.serial_number = serial_number;
    fields.temperature = temperature;
    return build_info_packet(fields);
}

class SensorManagerTest : public vorlan_test::SensorSdkTest {};

TEST_F(SensorManagerTest, OnlyInformationPacketsIntroduceASensor) {
    const std::vector<std::vector<uint8_t>> others = {
        {'S', 'T', 'D', 'P', 0, 0, 0, 0},
        vorlan_test::nmea_packet("$GPGGA"),
        vorlan_test::adcx_packet({}, {1, 2, 3}),
        {'X', 'Y', 'Z', 'W', 1, 2, 3, 4},
        {'I', 'N', 'F'},
        {},
    };
    for (const std::vector<uint8_t>& packet : others) {
        ASSERT_EQ(VORLAN_SUCCESS, receive(5, packet));
    }
    flush_errors();
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), 0u);
    EXPECT_TRUE(infos.empty());
    EXPECT_TRUE(errors.empty());
    VorlanSensorInformation information{};
    EXPECT_EQ(vorlan_sdk_get_sensor_information(5, &information), VORLAN_ERROR_SENSOR_NOT_FOUND);
}

TEST_F(SensorManagerTest, EveryInformationPacketIsReportedWithTheSensorsState) {
    ASSERT_EQ(VORLAN_SUCCESS, receive(0xC0A80102, info_with_serial(11)));
    ASSERT_EQ(VORLAN_SUCCESS, receive(0xC0A80102, info_with_serial(11, 25)));
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(infos[0].handle, 0xC0A80102u);
    EXPECT_EQ(infos[0].information.handle, 0xC0A80102u);
    EXPECT_EQ(infos[0].information.serial_number, 11u);
    EXPECT_EQ(infos[0].n_sensors, 0u);  // attached right after the first report
    EXPECT_EQ(infos[1].n_sensors, 1u);
    EXPECT_EQ(infos[1].information.last_reported_temperature, 25.0f);
    EXPECT_EQ(infos[1].information.flags & VORLAN_SENSOR_INFO_IS_MOCKED, 0u);
}

TEST_F(SensorManagerTest, ReplayedHandlesAreMarkedMocked) {
    const VorlanSensorHandle replayed = 0xC0A80102 | VORLAN_SENSOR_HANDLE_FLAG_MOCK;
    ASSERT_EQ(VORLAN_SUCCESS, receive(replayed, info_with_serial(1)));
    const VorlanSensorInformation info = information(replayed);
    EXPECT_EQ(info.handle, replayed);
    EXPECT_EQ(info.flags & VORLAN_SENSOR_INFO_IS_MOCKED, static_cast<uint32_t>(VORLAN_SENSOR_INFO_IS_MOCKED));
    // The live address is another sensor.
    VorlanSensorInformation other{};
    EXPECT_EQ(vorlan_sdk_get_sensor_information(0xC0A80102, &other), VORLAN_ERROR_SENSOR_NOT_FOUND);
}

TEST_F(SensorManagerTest, LookupsByIndexSerialNumberAndHandle) {
    ASSERT_EQ(VORLAN_SUCCESS, receive(30, info_with_serial(300)));
    ASSERT_EQ(VORLAN_SUCCESS, receive(10, info_with_serial(100)));
    ASSERT_EQ(VORLAN_SUCCESS, receive(20, info_with_serial(100)));  // same serial number, later
    ASSERT_EQ(vorlan_sdk_get_n_sensors(), 3u);

    // Indices follow the order of attachment.
    const VorlanSensorHandle order[] = {30, 10, 20};
    for (size_t i = 0; i < 3; ++i) {
        VorlanSensorInformation info{};
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_information_by_index(i, &info));
        EXPECT_EQ(info.handle, order[i]);
    }
    VorlanSensorHandle handle = 0;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_handle_by_serial_number(100, &handle));
    EXPECT_EQ(handle, 10u);  // the first match
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_handle_by_serial_number(300, &handle));
    EXPECT_EQ(handle, 30u);

    // Not found: the outputs stay untouched.
    VorlanSensorInformation untouched;
    std::memset(&untouched, 0xAB, sizeof(untouched));
    VorlanSensorInformation info = untouched;
    handle = 77;
    const char* message = nullptr;
    EXPECT_EQ(vorlan_sdk_get_sensor_handle_by_serial_number(999, &handle), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(vorlan_sdk_get_error(&message), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_STREQ(message, "");
    EXPECT_EQ(vorlan_sdk_get_sensor_information_by_index(3, &info), VORLAN_ERROR_SENSOR_NOT_FOUND);
    // An index beyond 32 bits does not wrap onto sensor 0.
    const size_t wrapped = static_cast<size_t>(std::numeric_limits<uint32_t>::max()) + 1;
    EXPECT_EQ(vorlan_sdk_get_sensor_information_by_index(wrapped, &info), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(vorlan_sdk_get_sensor_information(31, &info), VORLAN_ERROR_SENSOR_NOT_FOUND);
    EXPECT_EQ(handle, 77u);
    EXPECT_EQ(std::memcmp(&info, &untouched, sizeof(info)), 0);

    // Null outputs are refused.
    EXPECT_EQ(vorlan_sdk_get_sensor_handle_by_serial_number(100, nullptr), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(vorlan_sdk_get_sensor_information_by_index(0, nullptr), VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(vorlan_sdk_get_sensor_information(30, nullptr), VORLAN_ERROR_INVALID_ARGUMENTS);
}

TEST_F(SensorManagerTest, ClearForgetsSensorsAndTheNextPacketStartsAfresh) {
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, info_with_serial(1)));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_clear());
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), 0u);

    // A new sensor object: identity is settled again by the next packet.
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, info_with_serial(2)));
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), 1u);
    EXPECT_EQ(information(1).serial_number, 2u);
}

TEST_F(SensorManagerTest, SerialLinesAndWaveformsOfAttachedSensorsReachTheirCallbacks) {
    struct Seen {
        std::vector<std::string> lines;
        std::vector<int32_t> sample_counts;
        std::vector<VorlanSensorInformation> during_waveform;
    } seen;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_serial_lines(
                                  [](VorlanSensorHandle, const char* line, void* self) {
                                      static_cast<Seen*>(self)->lines.push_back(line);
                                  },
                                  &seen));
    ASSERT_EQ(VORLAN_SUCCESS,
              vorlan_sdk_listen_waveforms(
                  [](VorlanSensorHandle handle, const VorlanAdcWaveform* waveform, void* self) {
                      Seen& s = *static_cast<Seen*>(self);
                      const int32_t count = waveform->sample_count;  // a packed field: read by value
                      s.sample_counts.push_back(count);
                      // The sensor is not locked while its callbacks run.
                      VorlanSensorInformation info{};
                      EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_information(handle, &info));
                      s.during_waveform.push_back(info);
                  },
                  &seen));

    ASSERT_EQ(VORLAN_SUCCESS, receive(2, vorlan_test::nmea_packet("$GPZDA,1")));  // not yet known
    ASSERT_EQ(VORLAN_SUCCESS, receive(2, info_with_serial(2)));
    ASSERT_EQ(VORLAN_SUCCESS, receive(2, vorlan_test::nmea_packet("$GPZDA,2")));
    ASSERT_EQ(VORLAN_SUCCESS, receive(2, vorlan_test::adcx_packet({}, {1, 2, 3})));
    ASSERT_EQ(VORLAN_SUCCESS, receive(2, vorlan_test::adbo_packet({}, {1, 2, 3, 4})));
    ASSERT_EQ(VORLAN_SUCCESS, receive(2, vorlan_test::nmea_packet("$GPZDA,3", false)));
    flush_errors();

    EXPECT_EQ(seen.lines, std::vector<std::string>{"$GPZDA,2"});
    EXPECT_EQ(seen.sample_counts, (std::vector<int32_t>{3, 4}));
    ASSERT_EQ(seen.during_waveform.size(), 2u);
    EXPECT_EQ(seen.during_waveform[0].serial_number, 2u);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, "NMEA packet not null-terminated!");
    EXPECT_EQ(errors[0].handle, 2u);
}

TEST_F(SensorManagerTest, ExtremeTemperatureIsReportedAtOnce) {
    ASSERT_EQ(VORLAN_SUCCESS, receive(3, info_with_serial(3, -41)));
    ASSERT_EQ(errors.size(), 1u);  // faults are not queued
    EXPECT_EQ(errors[0].code, VORLAN_FAULT_EXTREME_TEMPERATURE);
    EXPECT_EQ(errors[0].handle, 3u);
    ASSERT_EQ(VORLAN_SUCCESS, receive(3, info_with_serial(3, -40)));
    EXPECT_EQ(errors.size(), 1u);
}

TEST(SensorLookupTest, RefusedBeforeInitialisation) {
    VorlanSensorInformation info{};
    VorlanSensorHandle handle = 0;
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), 0u);
    EXPECT_EQ(vorlan_sdk_get_sensor_information(1, &info), VORLAN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(vorlan_sdk_get_sensor_information_by_index(0, &info), VORLAN_ERROR_NOT_INITIALIZED);
    EXPECT_EQ(vorlan_sdk_get_sensor_handle_by_serial_number(1, &handle), VORLAN_ERROR_NOT_INITIALIZED);
}

// Several threads feeding packets while others look sensors up: every sensor
// ends up attached exactly once.
TEST_F(SensorManagerTest, ConcurrentReceiversAndLookups) {
    constexpr int kThreads = 3;
    constexpr uint32_t kSensorsPerThread = 40;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            VorlanSensorInformation info{};
            VorlanSensorHandle handle = 0;
            const size_t n = vorlan_sdk_get_n_sensors();
            if (n > 0) {
                EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_information_by_index(n - 1, &info));
            }
            (void)vorlan_sdk_get_sensor_handle_by_serial_number(5, &handle);
        }
    });
    std::vector<std::thread> feeders;
    for (int t = 0; t < kThreads; ++t) {
        feeders.emplace_back([t] {
            // All threads send for the same handles, in different orders.
            for (uint32_t i = 0; i < kSensorsPerThread; ++i) {
                const uint32_t serial = t % 2 == 0 ? i + 1 : kSensorsPerThread - i;
                const std::vector<uint8_t> packet = info_with_serial(serial);
                EXPECT_EQ(VORLAN_SUCCESS, vorlan_sdk_mock_network_receive(serial, 0, packet.data(), packet.size()));
            }
        });
    }
    for (std::thread& feeder : feeders) {
        feeder.join();
    }
    done = true;
    reader.join();
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), kSensorsPerThread);
    for (uint32_t serial = 1; serial <= kSensorsPerThread; ++serial) {
        VorlanSensorHandle handle = 0;
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_handle_by_serial_number(serial, &handle));
        EXPECT_EQ(handle, serial);
    }
}

}  // namespace
}  // namespace vorlan_sdk

namespace vorlan_sdk {
namespace {

// Datagrams that look like information from thousands of addresses, as a
// hostile or broken sender on the network makes them: only packets that pass
// their size check make a sensor object, waiting sensors stay bounded in
// number, a real sensor is still found and decoded, and clear forgets them.
TEST_F(SensorManagerTest, InformationFromManyAddressesKeepsTheRegistryBounded) {
    const std::vector<uint8_t> whole = info_with_serial(77);
    const vorlan_test::SplitInfoPacket halves = vorlan_test::split_info_packet(
        build_info_packet(InfoPacketFields{}, vorlan_test::split_block_stub(5, 24, 128 + 64 * 24, 0x5A)));
    std::vector<uint8_t> oversized_first_half = halves.inf1;
    oversized_first_half.resize(Sensor::kInf1BufferSize + 1, 0);

    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        std::size_t pending_at_most;
        bool error_queued;
    };
    const std::vector<Case> cases = {
        {"four bytes of INFO", {'I', 'N', 'F', 'O'}, 0, true},
        {"INFO one byte short", std::vector<uint8_t>(whole.begin(), whole.begin() + 183), 0, true},
        {"INF2 without a first half", halves.inf2, 0, false},
        {"INF1 first half too long to keep", oversized_first_half, 0, true},
        {"INF1 first halves", halves.inf1, PendingSensors::kMaxCount, false},
    };
    constexpr std::size_t kSenders = 4 * PendingSensors::kMaxCount;
    VorlanSensorHandle handle = 0x7F4D0000;  // 127.77.0.0 and up
    for (const Case& c : cases) {
        infos.clear();
        errors.clear();
        for (std::size_t i = 0; i < kSenders; ++i) {
            ASSERT_EQ(VORLAN_SUCCESS, receive(++handle, c.packet));
        }
        flush_errors();
        EXPECT_LE(SensorManager::instance().get_n_pending_sensors(), c.pending_at_most) << c.name;
        EXPECT_EQ(vorlan_sdk_get_n_sensors(), 0u) << c.name;
        // Each one is reported as a sensor object would have reported it.
        EXPECT_EQ(infos.size(), kSenders) << c.name;
        EXPECT_EQ(infos.back().information.handle, handle) << c.name;
        EXPECT_EQ(errors.empty(), !c.error_queued) << c.name;
    }
    EXPECT_EQ(SensorManager::instance().get_n_pending_sensors(), PendingSensors::kMaxCount);

    // A real sensor in the middle of all that: its halves join, whole packets attach.
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, halves.inf1));
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, halves.inf2));
    ASSERT_EQ(VORLAN_SUCCESS, receive(2, whole));
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), 2u);
    EXPECT_EQ(information(2).serial_number, 77u);
    EXPECT_EQ(information(1).handle, 1u);

    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_clear());
    EXPECT_EQ(SensorManager::instance().get_n_pending_sensors(), 0u);
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), 0u);
}

// Complete information from more addresses than the registry holds: the
// sensors already attached keep their indices and go on updating; a new one
// is refused, and the client is told.
TEST_F(SensorManagerTest, FullRegistryRefusesNewSensorsAndSaysSo) {
    for (VorlanSensorHandle handle = 1; handle <= SensorManager::kMaxSensors; ++handle) {
        ASSERT_EQ(VORLAN_SUCCESS, receive(handle, info_with_serial(static_cast<uint32_t>(handle))));
    }
    ASSERT_EQ(vorlan_sdk_get_n_sensors(), SensorManager::kMaxSensors);
    errors.clear();
    ASSERT_EQ(VORLAN_SUCCESS, receive(0xFFFF, info_with_serial(9999)));
    flush_errors();
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), SensorManager::kMaxSensors);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].handle, 0xFFFFu);
    EXPECT_EQ(errors[0].code, VORLAN_ERROR_OUT_OF_MEMORY);
    VorlanSensorHandle found = 0;
    EXPECT_EQ(vorlan_sdk_get_sensor_handle_by_serial_number(9999, &found), VORLAN_ERROR_SENSOR_NOT_FOUND);

    ASSERT_EQ(VORLAN_SUCCESS, receive(7, info_with_serial(7, 55)));
    EXPECT_EQ(information(7).last_reported_temperature, 55.0f);
    VorlanSensorInformation by_index{};
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_information_by_index(6, &by_index));
    EXPECT_EQ(by_index.handle, 7u);
}

// A sensor costs what a real one needs (packet buffers, identity, and a
// calibration record once it has a calibration of its own or points to
// calibrate), not spare copies of its calibration: a thousand sensors made
// up by anyone on the network held 164 KB each.
TEST_F(SensorManagerTest, AttachedSensorsHoldOneCalibrationRecordEach) {
    vorlan_test::CalibrationHeaderFields header;
    header.id = 9;
    const std::vector<uint8_t> block =
        vorlan_test::build_vrna_block(header, vorlan_test::make_segments<vorlan_test::VrnASegment>(8));
    vorlan_test::InfxPacketFields infx;
    infx.model = 11;
    constexpr int64_t kBuffers = 16 * 1024;
    constexpr int64_t kWithRecord = static_cast<int64_t>(sizeof(VorlanCalibration)) + kBuffers;
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        int64_t bound;
    };
    const std::vector<Case> cases = {
        {"INFO on the model defaults", info_with_serial(5), kBuffers},
        {"INFO with a calibration block", build_info_packet(InfoPacketFields{}, block), kWithRecord},
        {"INFX", vorlan_test::build_infx_packet(infx), kBuffers},
    };
    constexpr std::size_t kSensors = 64;
    VorlanSensorHandle handle = 0x7F650000;
    for (const Case& c : cases) {
        infos.reserve(infos.size() + kSensors);  // the fixture's own records are not the sensors'
        const std::size_t attached = vorlan_sdk_get_n_sensors();
        const int64_t before = vorlan_test::live_heap_bytes();
        for (std::size_t i = 0; i < kSensors; ++i) {
            ASSERT_EQ(VORLAN_SUCCESS, receive(++handle, c.packet));
        }
        const int64_t per_sensor = (vorlan_test::live_heap_bytes() - before) / static_cast<int64_t>(kSensors);
        ASSERT_EQ(vorlan_sdk_get_n_sensors(), attached + kSensors) << c.name;
        EXPECT_LT(per_sensor, c.bound) << c.name;
    }
    // The calibration block was taken all the same, and a sensor on the
    // model defaults still gives them when asked.
    EXPECT_NE(information(handle - kSensors - 1).flags & VORLAN_SENSOR_INFO_IS_CALIBRATED, 0u);
    VorlanCalibration defaults{};
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_calibration(handle, &defaults));
    EXPECT_EQ(defaults.id, 0u);
    EXPECT_EQ(defaults.segment_count, information(handle).segment_count);
}

// The registry's clock, set by the case: silence is measured in seconds.
int64_t g_now = 0;
int64_t test_clock() { return g_now; }

class FullRegistryTest : public SensorManagerTest {
protected:
    void SetUp() override {
        SensorManagerTest::SetUp();
        g_now = 0;
        SensorManager::instance().set_clock(test_clock);
    }
    void TearDown() override {
        SensorManager::instance().set_clock(nullptr);
        SensorManagerTest::TearDown();
    }
};

constexpr int64_t kSecond = 1'000'000;

// A table filled by a flood of spoofed senders and a real sensor that starts
// afterwards: while every sensor is live the newcomers are refused, reported
// once a second with their count; once a sensor has been silent long enough
// a newcomer takes its place and index, and the silent one's frame goes.
TEST_F(FullRegistryTest, SilentSensorsGiveWayAndRefusalsAreCountedOncePerInterval) {
    const VorlanSensorHandle first = 0x7F640000;
    for (VorlanSensorHandle handle = first; handle < first + SensorManager::kMaxSensors; ++handle) {
        ASSERT_EQ(VORLAN_SUCCESS, receive(handle, info_with_serial(static_cast<uint32_t>(handle))));
    }
    // The first spoofed sensor has a frame buffering points.
    vorlan_test::DevicePoint point;
    point.distance = 1000;
    point.power_level = 3;
    // A packet's points come out with its successor's.
    const auto data = [&point](uint32_t time_us) {
        vorlan_test::DataPacketHeader header;
        header.time_us = time_us;
        return vorlan_test::build_data_packet(vorlan_test::PointFormat::v3, header,
                                              std::vector<vorlan_test::DevicePoint>(16, point));
    };
    ASSERT_EQ(VORLAN_SUCCESS, receive(first, data(1000), 1000));
    ASSERT_EQ(VORLAN_SUCCESS, receive(first, data(2000), 2000));
    flush_errors();
    ASSERT_NE(FrameManager::instance().get_frame(first), nullptr);
    errors.clear();

    struct Step {
        const char* name;
        int64_t now;
        VorlanSensorHandle sender;
        std::vector<uint8_t> packet;
        std::size_t new_errors;
        const char* count_text;  // in the last error's text
    };
    const VorlanSensorHandle kept = first + 6;  // live throughout
    const std::vector<uint8_t> nmea = vorlan_test::nmea_packet("$GPRMC");
    const std::vector<Step> steps = {
        {"a live sensor is heard", 5 * kSecond, kept, info_with_serial(kept), 0, nullptr},
        {"a newcomer is refused and told at once", 5 * kSecond, 1, info_with_serial(1), 1, ": 1 new sensor refused"},
        {"refusals within the second are counted", 5 * kSecond + 1, 2, info_with_serial(2), 0, nullptr},
        {"and counted", 5 * kSecond + 2, 3, info_with_serial(3), 0, nullptr},
        // The first packet after the second tells what was counted; the
        // newcomer it brings is counted for the next report.
        {"the next second reports them", 6 * kSecond, 4, info_with_serial(4), 1, ": 2 new sensors refused"},
        {"one more, counted", 6 * kSecond + 5, 5, info_with_serial(5), 0, nullptr},
        {"any packet tells what is left once the second is over", 7 * kSecond, kept, nmea, 1,
         ": 2 new sensors refused"},
    };
    for (const Step& step : steps) {
        const std::size_t before = errors.size();
        g_now = step.now;
        ASSERT_EQ(VORLAN_SUCCESS, receive(step.sender, step.packet));
        flush_errors();
        ASSERT_EQ(errors.size() - before, step.new_errors) << step.name;
        if (step.count_text != nullptr) {
            EXPECT_EQ(errors.back().code, VORLAN_ERROR_OUT_OF_MEMORY) << step.name;
            EXPECT_EQ(errors.back().message.rfind("Too many sensors!", 0), 0u) << errors.back().message;
            EXPECT_NE(errors.back().message.find(step.count_text), std::string::npos) << errors.back().message;
        }
        EXPECT_EQ(vorlan_sdk_get_n_sensors(), SensorManager::kMaxSensors) << step.name;
        EXPECT_EQ(SensorManager::instance().find_sensor_by_handle(1), -1) << step.name;
    }

    // Ten seconds after the flood the real sensor gets the place of the
    // first spoofed one; the live sensor keeps its index.
    g_now = 10 * kSecond;
    errors.clear();
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, info_with_serial(1)));
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, data(1000), 1000));
    ASSERT_EQ(VORLAN_SUCCESS, receive(1, data(2000), 2000));
    flush_errors();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(vorlan_sdk_get_n_sensors(), SensorManager::kMaxSensors);
    EXPECT_EQ(SensorManager::instance().find_sensor_by_handle(1), 0);
    EXPECT_EQ(SensorManager::instance().find_sensor_by_handle(first), -1);
    EXPECT_EQ(SensorManager::instance().find_sensor_by_handle(kept), 6);
    EXPECT_EQ(FrameManager::instance().get_frame(first), nullptr);
    EXPECT_NE(FrameManager::instance().get_frame(1), nullptr);

    // The sensor given up comes back as a new one in the next silent place.
    ASSERT_EQ(VORLAN_SUCCESS, receive(first, info_with_serial(first)));
    EXPECT_EQ(SensorManager::instance().find_sensor_by_handle(first), 1);
    EXPECT_EQ(SensorManager::instance().find_sensor_by_handle(first + 1), -1);
}

}  // namespace
}  // namespace vorlan_sdk
