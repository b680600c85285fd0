// A sensor heard live on 127.0.0.1: its information makes a sensor the
// lookups find, its serial lines, waveforms and faults reach their callbacks,
// and a capture the library records of the stream replays into the frames the
// live stream gave.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "support/auxiliary_packet_builder.h"
#include "support/data_packet_builder.h"
#include "support/eventually.h"
#include "support/frame_recorder.h"
#include "support/info_packet_builder.h"
#include "support/scan_patterns.h"
#include "support/udp_socket.h"

namespace {

using vorlan_test::RecordedFrame;

constexpr VorlanSensorHandle kLoopback = 0x7F000001;  // 127.0.0.1
using vorlan_test::eventually;

// A Kiru sensor on PTP time, so that its points are timed by the packets and
// not by the host clock: live and replayed frames then agree to the
// microsecond.
std::vector<uint8_t> kiru_information(int8_t temperature = 20) {
    vorlan_test::InfxPacketFields fields;
    fields.serial_number = 4711;
    fields.model = 11;
    fields.time_sync_bits = 0x04;
    fields.ptp_time = 1'700'000'000;
    fields.temperature_16ths = static_cast<int16_t>(temperature * 16);
    return vorlan_test::build_infx_packet(fields);
}

// Triangle-scan rows of 24 segments, three rows per V3 packet, 2 µs a point.
std::vector<std::vector<uint8_t>> kiru_data_packets() {
    const std::vector<vorlan_test::ScanSample> samples = vorlan_test::triangle_scan(240, 40);
    std::vector<std::vector<uint8_t>> packets;
    constexpr std::size_t kRows = 3;
    constexpr std::size_t kSegments = 24;
    for (std::size_t first = 0; first + kRows <= samples.size(); first += kRows) {
        std::vector<vorlan_test::DevicePoint> points;
        for (std::size_t r = first; r < first + kRows; ++r) {
            for (std::size_t s = 0; s < kSegments; ++s) {
                vorlan_test::DevicePoint point;
                point.image_x = static_cast<int16_t>(samples[r].x * 3000.0f);
                point.image_z = static_cast<int16_t>(samples[r].z * 3000.0f);
                point.distance = 5000 + static_cast<uint32_t>(r);
                point.intensity = 90;
                point.power_level = 1;
                points.push_back(point);
            }
        }
        vorlan_test::DataPacketHeader header;
        header.time_us = 2'000'000 + static_cast<uint32_t>(packets.size() * kRows * kSegments * 2);
        packets.push_back(vorlan_test::build_data_packet(vorlan_test::PointFormat::v3, header, points));
    }
    return packets;
}

VorlanSDKFrameOptions timed_frames() {
    VorlanSDKFrameOptions frame = vorlan_sdk_create_frame_options();
    frame.mode = VORLAN_SDK_FRAME_TIMED;
    frame.length = 0.002f;
    return frame;
}

// What the client callbacks saw, from the worker thread.
struct Heard {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<VorlanAdcWaveform> waveforms;
    std::vector<VorlanSensorErrorCode> faults;

    static void on_line(VorlanSensorHandle, const char* line, void* self) {
        auto* heard = static_cast<Heard*>(self);
        std::lock_guard<std::mutex> lock(heard->mutex);
        heard->lines.emplace_back(line);
    }
    static void on_waveform(VorlanSensorHandle, const VorlanAdcWaveform* waveform, void* self) {
        auto* heard = static_cast<Heard*>(self);
        std::lock_guard<std::mutex> lock(heard->mutex);
        heard->waveforms.push_back(*waveform);
    }
    static void on_error(VorlanSensorHandle, VorlanSensorErrorCode code, const char*, const void*, size_t, void* self) {
        auto* heard = static_cast<Heard*>(self);
        std::lock_guard<std::mutex> lock(heard->mutex);
        heard->faults.push_back(code);
    }
    template <class T>
    std::size_t count(const std::vector<T>& items) {
        std::lock_guard<std::mutex> lock(mutex);
        return items.size();
    }
};

class LiveSensorTest : public testing::Test {
protected:
    void start(VorlanSensorErrorCallback on_error, void* user_data) {
        VorlanSDKOptions options = vorlan_sdk_create_options();
        options.port = m_port;
        options.frame = timed_frames();
        ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, on_error, user_data));
    }
    void TearDown() override { vorlan_sdk_deinitialize(); }

    const uint16_t m_port = vorlan_test::free_udp_port();
};

TEST_F(LiveSensorTest, InformationSerialLinesWaveformsAndFaultsArriveOverUdp) {
    Heard heard;
    start(&Heard::on_error, &heard);
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_serial_lines(&Heard::on_line, &heard));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_waveforms(&Heard::on_waveform, &heard));
    vorlan_test::UdpSender sender(m_port);

    // A sensor far too hot: its information makes it known and reports the fault.
    const std::vector<uint8_t> info = kiru_information(95);
    ASSERT_TRUE(sender.send(info.data(), info.size()));
    ASSERT_TRUE(eventually([] { return vorlan_sdk_get_n_sensors() == 1; }));
    VorlanSensorHandle handle = 0;
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_handle_by_serial_number(4711, &handle));
    EXPECT_EQ(kLoopback, handle);
    VorlanSensorInformation information{};
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_get_sensor_information(kLoopback, &information));
    EXPECT_EQ(11, information.model);
    EXPECT_EQ(0u, information.flags & VORLAN_SENSOR_INFO_IS_MOCKED);
    // Errors still queued from before this initialisation (earlier tests in
    // the same process) are delivered first: the fault is looked for.
    EXPECT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(heard.mutex);
        return std::find(heard.faults.begin(), heard.faults.end(), VORLAN_FAULT_EXTREME_TEMPERATURE) !=
               heard.faults.end();
    }));

    const std::vector<uint8_t> nmea = vorlan_test::nmea_packet("$GPZDA,120000.00,08,12,2026,00,00*6B");
    ASSERT_TRUE(sender.send(nmea.data(), nmea.size()));
    const std::vector<uint8_t> waveform = vorlan_test::adcx_packet({}, std::vector<uint8_t>(64, 7));
    ASSERT_TRUE(sender.send(waveform.data(), waveform.size()));
    ASSERT_TRUE(eventually([&] { return heard.count(heard.lines) == 1 && heard.count(heard.waveforms) == 1; }));
    std::lock_guard<std::mutex> lock(heard.mutex);
    EXPECT_EQ("$GPZDA,120000.00,08,12,2026,00,00*6B", heard.lines.front());
}

// Every datagram the network packet callback sees goes into a capture, the
// way a client records a live session.
class LiveRecorder {
public:
    explicit LiveRecorder(const std::string& path) { m_ok = m_capture.open_for_write(path, false).ok(); }
    bool ok() const { return m_ok; }
    static void on_packet(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* buffer, size_t size,
                          void* self) {
        auto* recorder = static_cast<LiveRecorder*>(self);
        vorlan_sdk::Capture::PacketHeader header;
        header.source_address = handle & 0xFFFFFFFFu;
        header.timestamp = timestamp;
        header.data_size = static_cast<int32_t>(size);
        std::lock_guard<std::mutex> lock(recorder->m_mutex);
        recorder->m_ok = recorder->m_capture.append_packet(header, buffer).ok() && recorder->m_ok;
        ++recorder->m_n_packets;
    }
    std::size_t n_packets() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_n_packets;
    }
    void close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_capture.close();
    }

private:
    std::mutex m_mutex;
    vorlan_sdk::Capture m_capture;
    bool m_ok = false;
    std::size_t m_n_packets = 0;
};

TEST_F(LiveSensorTest, RecordedLiveStreamReplaysIntoTheSameFrames) {
    const std::string path = testing::TempDir() + "live_capture_" + std::to_string(m_port) + ".pcap";
    start(nullptr, nullptr);
    LiveRecorder recorder(path);
    ASSERT_TRUE(recorder.ok());
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_listen_network_packet(&LiveRecorder::on_packet, &recorder));
    vorlan_test::FrameRecorder live;
    ASSERT_TRUE(live.listen());

    vorlan_test::UdpSender sender(m_port);
    const std::vector<uint8_t> info = kiru_information();
    ASSERT_TRUE(sender.send(info.data(), info.size()));
    ASSERT_TRUE(eventually([] { return vorlan_sdk_get_n_sensors() == 1; }));
    // Paced a little so that no datagram is lost on a busy machine.
    for (const std::vector<uint8_t>& packet : kiru_data_packets()) {
        ASSERT_TRUE(sender.send(packet.data(), packet.size()));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const std::size_t n_packets = kiru_data_packets().size() + 1;
    // The packet callback runs before each datagram is decoded: once the
    // last one has been decoded too, the live frames are complete.
    ASSERT_TRUE(eventually([&] { return recorder.n_packets() == n_packets; }));
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_deinitialize());
    ASSERT_TRUE(recorder.ok());
    ASSERT_GE(live.n_frames(), 5u);
    recorder.close();
    const std::vector<RecordedFrame> live_frames = live.frames();

    // Replay the recording offline.
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    options.frame = timed_frames();
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr));
    vorlan_test::FrameRecorder replayed;
    ASSERT_TRUE(replayed.listen());
    ASSERT_EQ(VORLAN_SUCCESS, vorlan_sdk_capture_replay_open(path.c_str()));
    std::size_t fed = 0;
    while (vorlan_sdk_capture_replay_resume_blocking_once() == VORLAN_SUCCESS) {
        ++fed;
    }
    EXPECT_EQ(n_packets, fed);
    const std::vector<RecordedFrame> replayed_frames = replayed.frames();
    ASSERT_EQ(live_frames.size(), replayed_frames.size());
    for (std::size_t f = 0; f < live_frames.size(); ++f) {
        EXPECT_EQ(live_frames[f].handle | VORLAN_SENSOR_HANDLE_FLAG_MOCK, replayed_frames[f].handle);
        ASSERT_EQ(live_frames[f].raw.size(), replayed_frames[f].raw.size()) << "frame " << f;
        ASSERT_EQ(live_frames[f].image.size(), replayed_frames[f].image.size()) << "frame " << f;
        for (std::size_t i = 0; i < live_frames[f].raw.size(); ++i) {
            ASSERT_EQ(live_frames[f].raw[i].timestamp, replayed_frames[f].raw[i].timestamp);
            ASSERT_EQ(live_frames[f].image[i].distance, replayed_frames[f].image[i].distance);
        }
    }
    vorlan_sdk_capture_replay_close();
    std::remove(path.c_str());
    std::remove((path + ".vrn0").c_str());
}

}  // namespace
