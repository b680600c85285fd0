#include "simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "calibration.h"
#include "capture.h"
#include "recording_sink.h"
#include "sensor.h"
#include "sim_fleet.h"
#include "sim_scene.h"
#include "sim_sensor.h"
#include "vorlan_sdk_impl/frame_detector.hpp"
#include "vorlan_sdk_impl/point_geometry.hpp"
#include "wire_bytes.h"

namespace vorlan_tool {
namespace {

using vorlan_common::load_u16le;
using vorlan_common::load_u32le;

std::vector<SentDatagram> simulate(uint64_t seed, double seconds) {
    SimulatorOptions options;
    options.seed = seed;
    options.seconds = seconds;
    RecordingSink sink;
    run_simulation(options, sink);
    return std::move(sink.datagrams);
}

// A data packet read back the way a receiver reads it.
struct DataPacket {
    int64_t time = 0;  // µs since 1970, from the hour and the in-hour time
    std::vector<VorlanSensorRawPointWithTime> points;
};

DataPacket decode_data_packet(const std::vector<uint8_t>& bytes, int segments) {
    DataPacket packet;
    const uint8_t* p = bytes.data();
    EXPECT_NE(p[8] & 0x04, 0) << "the hour flag";
    packet.time = static_cast<int64_t>(load_u32le(p + 10)) * 3'600'000'000 + load_u32le(p + 4);
    const std::string type(bytes.begin(), bytes.begin() + 4);
    const std::size_t size = type == "STDT" ? 8 : type == "STDR" ? 11 : type == "STDP" ? 9 : 13;
    const std::size_t n = (bytes.size() - 22) / size;
    EXPECT_EQ((bytes.size() - 22) % size, 0u);
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* d = p + 22 + i * size;
        VorlanSensorRawPointWithTime point{};
        point.image_x = static_cast<int16_t>(load_u16le(d));
        point.image_z = static_cast<int16_t>(load_u16le(d + 2));
        point.distance = load_u16le(d + 4);
        point.segment_id = static_cast<uint8_t>(i % static_cast<std::size_t>(segments));
        if (type == "STDT" || type == "STDR") {
            point.intensity = d[6];
            point.power_level = d[7] & 0x0F;
            if (type == "STDR") {
                point.distance_2 = load_u16le(d + 8);
                point.intensity_2 = d[10];
            }
        } else {
            point.distance |= static_cast<uint32_t>(d[6] & 0x07) << 16;
            point.frame_flag = (d[6] >> 3) & 1;
            point.saturated = (d[6] >> 4) & 1;
            point.intensity = d[7];
            point.power_level = d[8];
            if (type == "STDQ") {
                point.distance_2 = load_u16le(d + 9) | (static_cast<uint32_t>(d[11] & 0x0F) << 16);
                point.saturated_2 = (d[11] >> 4) & 1;
                point.intensity_2 = d[12];
            }
        }
        packet.points.push_back(point);
    }
    return packet;
}

// One simulated sensor's stream, split and decoded.
struct SensorStream {
    SimulatedSensorInfo info;
    std::vector<const SentDatagram*> info_packets;
    std::vector<DataPacket> data_packets;
    std::unique_ptr<VorlanCalibration> calibration = std::make_unique<VorlanCalibration>();
};

// The streams point into `datagrams`, which must outlive them.
std::vector<SensorStream> split_by_sensor(const std::vector<SentDatagram>& datagrams) {
    std::vector<SensorStream> streams;
    for (const SimulatedSensorInfo& info : simulated_sensors()) {
        SensorStream stream;
        stream.info = info;
        for (const SentDatagram& datagram : datagrams) {
            if (datagram.handle != info.handle) {
                continue;
            }
            if (datagram.is_info()) {
                stream.info_packets.push_back(&datagram);
            } else {
                stream.data_packets.push_back(decode_data_packet(datagram.bytes, info.segment_count));
            }
        }
        if (!stream.info_packets.empty()) {
            // The block follows the information packet's own fields.
            const std::vector<uint8_t>& bytes = stream.info_packets.front()->bytes;
            const std::size_t offset = info.info_packet_type == "INFY" ? 128 : 56;
            EXPECT_TRUE(vorlan_sdk::Sensor::convert_calibration(*stream.calibration, bytes.data() + offset,
                                                                static_cast<int64_t>(bytes.size() - offset)));
        }
        streams.push_back(std::move(stream));
    }
    return streams;
}

// Image points of a sensor's stream, timed as a receiver times them: the
// points of a packet spread over the time to the next packet.
std::vector<VorlanSensorImagePoint> calibrate_stream(const SensorStream& stream) {
    std::vector<VorlanSensorImagePoint> out;
    const uint32_t returns = stream.info.return_count;
    for (std::size_t k = 0; k + 1 < stream.data_packets.size(); ++k) {
        const DataPacket& packet = stream.data_packets[k];
        const double period =
            static_cast<double>(stream.data_packets[k + 1].time - packet.time) / static_cast<double>(packet.points.size());
        for (std::size_t i = 0; i < packet.points.size(); ++i) {
            VorlanSensorRawPointWithTime point = packet.points[i];
            point.timestamp = packet.time + static_cast<int64_t>(static_cast<double>(i + 1) * period);
            VorlanSensorImagePoint image[2];
            vorlan_sdk::calibrate_point(*stream.calibration, point, returns, image, vorlan_sdk::CalibrationClips{});
            out.insert(out.end(), image, image + returns);
        }
    }
    return out;
}

// ---- Determinism ----------------------------------------------------------------

TEST(Simulator, TheSameSeedGivesTheSameBytes) {
    const auto first = simulate(42, 0.3);
    const auto second = simulate(42, 0.3);
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
        ASSERT_EQ(first[i].handle, second[i].handle) << i;
        ASSERT_EQ(first[i].time, second[i].time) << i;
        ASSERT_EQ(first[i].bytes, second[i].bytes) << i;
    }
    // Another seed changes the measurements, not the schedule.
    const auto other = simulate(43, 0.3);
    ASSERT_EQ(other.size(), first.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(other[i].time, first[i].time);
        differing += other[i].bytes != first[i].bytes ? 1 : 0;
    }
    EXPECT_GT(differing, first.size() / 2);
}

TEST(Simulator, ASinkCanEndTheRun) {
    class StopAfter : public PacketSink {
    public:
        bool deliver(VorlanSensorHandle, int64_t, const uint8_t*, std::size_t) override { return ++count < 10; }
        int count = 0;
    } sink;
    SimulatorOptions options;
    const SimulationSummary summary = run_simulation(options, sink);
    EXPECT_FALSE(summary.completed);
    EXPECT_EQ(summary.packets, 9u);  // the tenth was refused
    EXPECT_EQ(sink.count, 10);

    options.seconds = 0.0;
    EXPECT_EQ(run_simulation(options, sink).packets, 0u);
    options.seconds = std::nan("");
    EXPECT_EQ(run_simulation(options, sink).packets, 0u);
}

// ---- The stream of each sensor ---------------------------------------------------

TEST(Simulator, EachSensorAnnouncesItselfFirstAndOncePerSecond) {
    const auto datagrams = simulate(1, 2.0);
    ASSERT_FALSE(datagrams.empty());
    for (std::size_t i = 1; i < datagrams.size(); ++i) {
        ASSERT_LE(datagrams[i - 1].time, datagrams[i].time) << "out of order at " << i;
    }
    const auto sensors = simulated_sensors();
    ASSERT_EQ(sensors.size(), 4u);
    std::map<std::string, int> formats;
    for (const SimulatedSensorInfo& sensor : sensors) {
        SCOPED_TRACE(sensor.name);
        const auto first = std::find_if(datagrams.begin(), datagrams.end(),
                                        [&](const SentDatagram& d) { return d.handle == sensor.handle; });
        ASSERT_NE(first, datagrams.end());
        EXPECT_EQ(first->type(), sensor.info_packet_type);
        const std::size_t n_info = std::count_if(datagrams.begin(), datagrams.end(), [&](const SentDatagram& d) {
            return d.handle == sensor.handle && d.is_info();
        });
        EXPECT_EQ(n_info, 2u);
        // Data packets of the sensor's point format, a few hundred a second.
        const std::size_t n_data = std::count_if(datagrams.begin(), datagrams.end(), [&](const SentDatagram& d) {
            return d.handle == sensor.handle && d.type() == sensor.point_packet_type;
        });
        const double expected = 2.0 / (sensor.measurement_period_s * static_cast<double>(sensor.points_per_packet));
        EXPECT_NEAR(static_cast<double>(n_data), expected, 0.02 * expected);
        formats[sensor.info_packet_type]++;
        formats[sensor.calibration_type]++;
        formats[sensor.point_packet_type]++;
    }
    for (const char* kind : {"INFO", "INFX", "INFY", "VRN8", "VRNA", "VRNB", "VRND", "STDT", "STDR", "STDP", "STDQ"}) {
        EXPECT_EQ(formats.count(kind), 1u) << kind;
    }
}

TEST(Simulator, PacketTimesAdvanceByTheirPointsSoThePeriodIsSteady) {
    const auto datagrams = simulate(3, 0.5);
    const auto streams = split_by_sensor(datagrams);
    for (const SensorStream& stream : streams) {
        SCOPED_TRACE(stream.info.name);
        ASSERT_GT(stream.data_packets.size(), 10u);
        const auto expected_us = static_cast<int64_t>(std::llround(stream.info.measurement_period_s * 1e6 *
                                                                   static_cast<double>(stream.info.points_per_packet)));
        for (std::size_t k = 1; k < stream.data_packets.size(); ++k) {
            ASSERT_EQ(stream.data_packets[k].time - stream.data_packets[k - 1].time, expected_us);
            ASSERT_EQ(stream.data_packets[k - 1].points.size(), stream.info.points_per_packet);
        }
    }
}

// ---- Measurements against the scene ----------------------------------------------

TEST(Simulator, RawMeasurementsInvertToTheSceneWithTheSensorsCalibration) {
    const Scene scene = Scene::yard();
    const auto datagrams = simulate(5, 0.4);
    const auto streams = split_by_sensor(datagrams);
    for (const SensorStream& stream : streams) {
        SCOPED_TRACE(stream.info.name);
        const auto points = calibrate_stream(stream);
        const uint32_t returns = stream.info.return_count;
        // Two raw units of noise and the rounding to a unit.
        const double tolerance = 2.6 * stream.calibration->distance_scale + 1e-4;
        std::size_t valid = 0;
        std::size_t second_returns = 0;
        std::size_t bright = 0;
        for (std::size_t i = 0; i < points.size(); i += returns) {
            const VorlanSensorImagePoint& first = points[i];
            if ((first.flags & VORLAN_POINT_VALID) == 0) {
                continue;
            }
            ++valid;
            const vorlan_sdk::MetricPoint p = vorlan_sdk::image_point_to_metres(first);
            const double norm = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
            Hit hit;
            ASSERT_TRUE(scene.cast({p.x / norm, p.y / norm, p.z / norm}, 300.0, hit)) << "point " << i;
            ASSERT_NEAR(hit.distance, first.distance, tolerance) << "point " << i;
            ASSERT_GT(first.distance, 1.0f);
            ASSERT_LT(first.distance, 50.0f);
            // Intensity about 100 times reflectivity times incidence.
            EXPECT_GT(first.intensity, 0.0f);
            EXPECT_LT(first.intensity, 200.0f);
            bright += first.intensity > 30.0f ? 1 : 0;
            if (returns == 2 && (points[i + 1].flags & VORLAN_POINT_VALID) != 0) {
                ++second_returns;
                EXPECT_GT(points[i + 1].distance, first.distance + 0.4f);
            }
        }
        // Most of the scan looks at the ground and the walls; some looks at the sky.
        EXPECT_GT(valid, points.size() / returns / 2);
        EXPECT_GT(bright, valid / 10);
        if (returns == 2) {
            EXPECT_GT(second_returns, 0u);
            EXPECT_LT(second_returns, valid / 4);
        }
    }
}

// The library's calibration of raw points of every segment, image position
// and power level, held against the optics the simulator measured with: a
// block field the library's converter reads differently, or a rule its
// calibration applies differently, shows here by name.
std::string first_disagreement(const SensorSetup& setup, const VorlanCalibration& calibration) {
    const SensorOptics& optics = setup.optics;
    const int levels[] = {1, setup.max_power_level / 2, setup.max_power_level};
    char text[200];
    for (int segment = 0; segment < setup.segments; ++segment) {
        for (const int raw_x : {-6000, -1500, 0, 2500, 6200}) {
            for (const int raw_z : {-1500, 1000, 3500}) {
                for (const int level : levels) {
                    VorlanSensorRawPointWithTime raw{};
                    raw.image_x = static_cast<int16_t>(raw_x);
                    raw.image_z = static_cast<int16_t>(raw_z);
                    raw.segment_id = static_cast<uint8_t>(segment);
                    raw.power_level = static_cast<uint8_t>(level);
                    raw.distance = static_cast<uint32_t>(std::lround(optics.raw_distance(segment, level, 12.5)));
                    raw.intensity = 50;
                    VorlanSensorImagePoint image{};
                    vorlan_sdk::calibrate_point(calibration, raw, 1, &image, vorlan_sdk::CalibrationClips{false, false});

                    const ImagePosition expected = optics.image_position(segment, raw_x, raw_z);
                    const double metres = optics.metres(segment, level, raw.distance);
                    const double per_unit = optics.intensity_per_unit(segment, level, metres, raw_x, raw_z);
                    const double intensity = per_unit != 0.0 ? 50.0 * per_unit : 1.0;
                    const char* what = nullptr;
                    if (std::abs(image.image_x - expected.x) > 1e-5 || std::abs(image.image_z - expected.z) > 1e-5) {
                        what = "image position";
                    } else if (std::abs(image.distance - metres) > 1e-4) {
                        what = "distance";
                    } else if (std::abs(image.intensity - intensity) > 1e-4 * intensity) {
                        what = "intensity";
                    }
                    if (what != nullptr) {
                        std::snprintf(text, sizeof(text),
                                      "%s of segment %d at (%d, %d), level %d: library (%g, %g) %g m, %g; "
                                      "simulator (%g, %g) %g m, %g",
                                      what, segment, raw_x, raw_z, level, image.image_x, image.image_z, image.distance,
                                      image.intensity, expected.x, expected.z, metres, intensity);
                        return text;
                    }
                }
            }
        }
    }
    return "";
}

TEST(Simulator, TheLibraryReadsEachBlockAsTheSimulatorMeasuredWithIt) {
    for (const SensorSetup& setup : default_fleet()) {
        SCOPED_TRACE(setup.name);
        auto calibration = std::make_unique<VorlanCalibration>();
        ASSERT_TRUE(vorlan_sdk::Sensor::convert_calibration(*calibration, setup.calibration_block.data(),
                                                            static_cast<int64_t>(setup.calibration_block.size())));
        ASSERT_EQ(static_cast<std::size_t>(calibration->segment_count), setup.optics.segments.size());
        EXPECT_EQ("", first_disagreement(setup, *calibration));
    }
}

// ---- Natural frames ---------------------------------------------------------------

// Times of the boundaries the library's frame detector for the sensor's
// model finds in the sensor's segment-0 points, in `mode`.
std::vector<int64_t> natural_frame_ends(const SensorStream& stream, VorlanSDKFrameMode mode) {
    VorlanSensorInformation information{};
    information.model = stream.info.model;
    vorlan_sdk::util::FrameDetector<int64_t> detector(information);
    VorlanSDKFrameOptions options = vorlan_sdk_create_frame_options();
    options.mode = mode;
    EXPECT_EQ(detector.set_options(options).code(), VORLAN_SUCCESS);
    const auto points = calibrate_stream(stream);
    std::vector<int64_t> ends;
    int64_t index = 0;
    for (std::size_t i = 0; i < points.size(); i += stream.info.return_count) {
        if (points[i].segment_id == 0 && detector.update(points[i], index++)) {
            ends.push_back(detector.result().timestamp);
        }
    }
    return ends;
}

// Checks that frames end every `period` seconds from early in the run on.
void expect_frames_every(const std::vector<int64_t>& ends, double period, double seconds) {
    // Detectors need a turn or two of the pattern before their first boundary.
    EXPECT_GE(static_cast<double>(ends.size()), seconds / period - 4.0);
    EXPECT_LE(static_cast<double>(ends.size()), seconds / period + 1.0);
    ASSERT_GE(ends.size(), 3u);
    std::vector<int64_t> gaps;
    for (std::size_t i = 1; i < ends.size(); ++i) {
        gaps.push_back(ends[i] - ends[i - 1]);
    }
    std::sort(gaps.begin(), gaps.end());
    EXPECT_NEAR(static_cast<double>(gaps[gaps.size() / 2]) * 1e-6, period, 0.05 * period);
}

TEST(Simulator, ScanPatternsMakeTheFrameDetectorsFindNaturalFrames) {
    const double seconds = 2.0;
    const auto datagrams = simulate(7, seconds);
    const auto streams = split_by_sensor(datagrams);
    for (const SensorStream& stream : streams) {
        SCOPED_TRACE(stream.info.name);
        expect_frames_every(natural_frame_ends(stream, VORLAN_SDK_FRAME_SWEEP), stream.info.frame_period_s, seconds);
        if (stream.info.model != 16) {
            // One back-and-forth scan per frame.
            expect_frames_every(natural_frame_ends(stream, VORLAN_SDK_FRAME_FULL_SCAN),
                                2.0 * stream.info.frame_period_s, seconds);
        }
    }
}

}  // namespace
}  // namespace vorlan_tool
