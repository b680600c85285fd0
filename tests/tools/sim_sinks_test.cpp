#include "sim_sinks.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "capture_file.h"
#include "capture_forms.h"
#include "recording_sink.h"
#include "support/udp_socket.h"

namespace vorlan_tool {
namespace {

SimulatorOptions short_run(double seconds) {
    SimulatorOptions options;
    options.seed = 11;
    options.seconds = seconds;
    return options;
}

std::vector<SentDatagram> recorded(double seconds) {
    RecordingSink sink;
    run_simulation(short_run(seconds), sink);
    return std::move(sink.datagrams);
}

// A file name in the temporary folder, removed (with its side index) when done.
class TemporaryCapture {
public:
    TemporaryCapture() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        m_path = (std::filesystem::temp_directory_path() /
                  ("vorlan_sim_" + std::string(test->name()) + "_" + std::to_string(getpid()) + ".pcap"))
                     .string();
    }
    ~TemporaryCapture() {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
        std::filesystem::remove(vorlan_sdk::Capture::index_filename(m_path), ignored);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

TEST(CaptureFileSink, WritesEveryDatagramFromItsSensorAtItsTime) {
    const TemporaryCapture file;
    const auto expected = recorded(0.3);
    {
        CaptureFileSink sink(file.path());
        ASSERT_TRUE(sink.ok()) << sink.error();
        EXPECT_TRUE(run_simulation(short_run(0.3), sink).completed);
        ASSERT_TRUE(sink.close()) << sink.error();
    }
    vorlan_sdk::Capture capture;
    ASSERT_EQ(capture.open_for_read(file.path()).code(), VORLAN_SUCCESS);
    std::size_t n = 0;
    for (;;) {
        vorlan_sdk::Capture::PacketHeader header;
        const uint8_t* data = nullptr;
        const VorlanSensorErrorCode code = capture.next_packet(header, data).code();
        if (code == VORLAN_ERROR_EOF) {
            break;
        }
        ASSERT_EQ(code, VORLAN_SUCCESS);
        ASSERT_LT(n, expected.size());
        const SentDatagram& datagram = expected[n++];
        EXPECT_EQ(header.source_address, datagram.handle);
        EXPECT_EQ(header.timestamp, datagram.time);
        ASSERT_EQ(static_cast<std::size_t>(header.data_size), datagram.bytes.size());
        EXPECT_TRUE(std::equal(datagram.bytes.begin(), datagram.bytes.end(), data));
    }
    EXPECT_EQ(n, expected.size());
}

// Every record is a frame a 1,500-byte Ethernet carries, with an IPv4 header
// a network accepts: larger datagrams leave as fragments, each sensor
// numbering its datagrams. tshark, where installed, agrees.
TEST(CaptureFileSink, WritesFramesARealNetworkCarries) {
    const TemporaryCapture file;
    {
        CaptureFileSink sink(file.path());
        ASSERT_TRUE(run_simulation(short_run(0.3), sink).completed);
        ASSERT_TRUE(sink.close()) << sink.error();
    }
    vorlan_capture::CaptureFile capture;
    ASSERT_EQ(vorlan_capture::HeaderStatus::ok, capture.open(file.path()));
    std::size_t records = 0;
    std::size_t fragments = 0;
    std::map<uint32_t, std::set<uint16_t>> identifications;
    vorlan_capture::Record record;
    for (int64_t offset = vorlan_capture::kFileHeaderSize;
         capture.read(offset, record) == vorlan_capture::RecordStatus::ok; offset = record.next_offset()) {
        ++records;
        ASSERT_LE(record.included_length, kEthernetHeaderSize + kEthernetMtu);
        ASSERT_GE(record.included_length, kEthernetHeaderSize + kIpv4HeaderSize);
        const uint8_t* ip = record.data + kEthernetHeaderSize;
        EXPECT_EQ(0x45, ip[0]);
        EXPECT_EQ(kDefaultTtl, ip[8]);
        EXPECT_EQ(0, ipv4_checksum(ip, kIpv4HeaderSize)) << "record " << records;
        const uint16_t flags_offset = uint16_t(ip[6] << 8 | ip[7]);
        if ((flags_offset & 0x2000) != 0) {
            ++fragments;
        }
        if ((flags_offset & 0x1fff) == 0) {
            const uint32_t source = uint32_t(ip[12]) << 24 | uint32_t(ip[13]) << 16 | uint32_t(ip[14]) << 8 | ip[15];
            EXPECT_TRUE(identifications[source].insert(uint16_t(ip[4] << 8 | ip[5])).second);
        }
    }
    EXPECT_GT(fragments, 0u);
    EXPECT_GT(records, recorded(0.3).size());

    const std::string tshark = installed_program("tshark");
    if (tshark.empty()) {
        GTEST_SKIP() << "tshark (Debian package tshark) is not installed";
    }
    const std::string report = file.path() + ".tshark";
    const std::string command = tshark + " -r '" + file.path() +
                                "' -o ip.check_checksum:TRUE -Y '_ws.malformed || ip.checksum.status == 0 || "
                                "_ws.expert.severity >= warning' > '" + report + "' 2>/dev/null";
    ASSERT_EQ(0, std::system(command.c_str()));
    EXPECT_TRUE(vorlan_test::read_file(report).empty()) << "tshark flags packets";
    std::remove(report.c_str());
}

TEST(CaptureFileSink, AFileThatCannotBeWrittenIsReported) {
    CaptureFileSink sink("/nonexistent-folder/sim.pcap");
    EXPECT_FALSE(sink.ok());
    EXPECT_NE(sink.error().find("/nonexistent-folder/sim.pcap"), std::string::npos);
    const SimulationSummary summary = run_simulation(short_run(0.1), sink);
    EXPECT_FALSE(summary.completed);
    EXPECT_EQ(summary.packets, 0u);
    EXPECT_FALSE(sink.close());
}

// Receives datagrams on 127.0.0.1:port on its own thread until it has
// `expected` of them or none came for two seconds.
class Receiver {
public:
    struct Received {
        uint32_t source = 0;
        std::vector<uint8_t> bytes;
    };

    Receiver() {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        int buffer = 8 << 20;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
        timeval timeout{2, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~Receiver() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
        close(m_fd);
    }

    uint16_t port() const { return m_port; }

    void start(std::size_t expected) {
        m_thread = std::thread([this, expected] {
            std::vector<uint8_t> buffer(65536);
            while (m_received.size() < expected) {
                sockaddr_in from{};
                socklen_t length = sizeof(from);
                const ssize_t n =
                    recvfrom(m_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
                if (n < 0) {
                    return;  // timed out
                }
                m_received.push_back({ntohl(from.sin_addr.s_addr),
                                      std::vector<uint8_t>(buffer.begin(), buffer.begin() + n)});
            }
        });
    }
    // Waits for the receiving thread and hands over what it got.
    std::vector<Received> finish() {
        m_thread.join();
        return std::move(m_received);
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::vector<Received> m_received;
};

TEST(UdpPacketSink, SendsEveryDatagramPacedFromEachSensorsOwnAddress) {
    const double seconds = 0.2;
    const auto expected = recorded(seconds);
    Receiver receiver;
    receiver.start(expected.size());
    UdpPacketSink sink(receiver.port(), 1.0);
    ASSERT_TRUE(sink.ok()) << sink.error();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(run_simulation(short_run(seconds), sink).completed);
    const auto elapsed = std::chrono::steady_clock::now() - before;
    const auto received = receiver.finish();

    // Paced: the last datagram cannot leave before its time has come.
    const int64_t span_us = expected.back().time - expected.front().time;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count(), span_us);
    EXPECT_EQ(sink.send_failures(), 0u);
    ASSERT_EQ(received.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(received[i].bytes, expected[i].bytes) << i;
        if (sink.distinct_sources()) {
            // 192.168.1.201 sends as 127.168.1.201.
            EXPECT_EQ(received[i].source, (127u << 24) | (expected[i].handle & 0xFFFFFF)) << i;
        } else {
            EXPECT_EQ(received[i].source, 0x7F000001u) << i;
        }
    }
}

TEST(UdpPacketSink, AStopRequestEndsAPacedRun) {
    UdpPacketSink sink(vorlan_test::free_udp_port(), 1.0);
    ASSERT_TRUE(sink.ok()) << sink.error();
    std::thread stopper([&sink] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sink.request_stop();
    });
    SimulatorOptions options = short_run(3600.0);
    const SimulationSummary summary = run_simulation(options, sink);
    stopper.join();
    EXPECT_FALSE(summary.completed);
}

}  // namespace
}  // namespace vorlan_tool
