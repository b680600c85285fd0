// `vorlan check`: what a capture holds comes first, every defect a capture
// can carry is named, and the exit code tells a script whether the capture
// is fully usable.
#include <gtest/gtest.h>

#include "capture_forms.h"
#include "commands.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

using vorlan_test::Bytes;
using vorlan_test::CaptureBuilder;
using vorlan_test::TemporaryDirectory;

constexpr int64_t kStart = 1709294400LL * 1000000;
constexpr uint32_t kSensor = vorlan_test::ipv4(192, 168, 1, 77);

Bytes packet(const char* type, uint8_t seed, std::size_t size = 200) {
    Bytes bytes = vorlan_test::test_payload(size, seed);
    std::copy(type, type + 4, bytes.begin());
    return bytes;
}

// An information packet, then point data every 2 ms with a changing body.
CaptureBuilder sensor_stream(int packets = 40) {
    CaptureBuilder builder;
    builder.udp(kStart, kSensor, packet("INFO", 0));
    for (int i = 1; i <= packets; ++i) {
        builder.udp(kStart + i * 2000, kSensor, packet("STDP", uint8_t(i)));
    }
    return builder;
}

TEST(CheckCommand, ASimulatedCaptureIsUsableAndShowsItsSensorsFirst) {
    TemporaryDirectory directory;
    const std::string file = directory.file("sim.pcap");
    write_sim_capture(file, 1.0);
    const ToolResult text = run_tool({"check", file});
    ASSERT_EQ(kExitSuccess, text.code) << text.out << text.err;
    const std::vector<std::string> lines = lines_of(text.out);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(0u, lines[0].find(file + ": classic capture, Ethernet, ")) << lines[0];
    EXPECT_EQ("8 sensors:", lines[1]);
    for (const SimulatedSensorInfo& sensor : simulated_sensors()) {
        EXPECT_NE(std::string::npos, text.out.find("serial " + std::to_string(sensor.serial_number) +
                                                   "  firmware "))
            << sensor.name;
    }
    EXPECT_NE(std::string::npos, text.out.find("(model 16)")) << text.out;
    EXPECT_EQ(std::string::npos, text.out.find("not calibrated")) << text.out;
    EXPECT_EQ("usable: every record gives a datagram and no sensor shows a problem", lines.back());

    const ToolResult json = run_tool({"check", "--json", file});
    ASSERT_EQ(kExitSuccess, json.code) << json.err;
    EXPECT_EQ('{', json.out.front());
    EXPECT_NE(std::string::npos, json.out.find("\"usable\": true")) << json.out;
    EXPECT_NE(std::string::npos, json.out.find("\"calibrated\": true")) << json.out;
    EXPECT_NE(std::string::npos, json.out.find("\"problems\": []")) << json.out;
}

// One defect per capture; check names it, in text and in JSON, and fails.
TEST(CheckCommand, NamesEachDefect) {
    struct Case {
        std::string name;
        CaptureBuilder capture;
        std::string text;  // in the problems
        std::string json;  // in the JSON document
    };
    vorlan_test::FrameOptions tcp;
    tcp.protocol = 6;
    tcp.source = kSensor;
    const Bytes frame = vorlan_test::udp_frame(vorlan_test::FrameOptions(), packet("STDP", 99));
    std::vector<Case> cases;
    cases.push_back({"not udp",
                     sensor_stream().record(kStart + 90000, vorlan_test::udp_frame(tcp, packet("STDP", 1))),
                     "1 records give no datagram: 1 not IPv4/UDP", "\"not_udp\": 1"});
    cases.push_back({"snapshot", sensor_stream().record_snapshot(kStart + 90000, frame, 60),
                     "1 cut by the snapshot length", "\"snapshot_cut\": 1"});
    cases.push_back({"cut last record", sensor_stream().raw(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
                     "the last record is cut short", "\"last_record_cut\": true"});
    cases.push_back({"gap", sensor_stream().udp(kStart + 500000, kSensor, packet("STDP", 200)),
                     "192.168.1.77: 1 gaps, the longest 420 ms", "\"gaps\": 1"});
    cases.push_back({"clock jump", sensor_stream().udp(kStart + 40000, kSensor, packet("STDP", 201)),
                     "192.168.1.77: 1 clock jumps backwards, the largest 40 ms", "\"clock_jumps\": 1"});
    cases.push_back({"duplicate", sensor_stream().udp(kStart + 80100, kSensor, packet("STDP", 40)),
                     "192.168.1.77: 1 duplicated datagrams", "\"duplicates\": 1"});
    CaptureBuilder no_information;
    no_information.udp(kStart, kSensor, packet("STDP", 1)).udp(kStart + 2000, kSensor, packet("STDP", 2));
    cases.push_back({"no information", no_information, "no information packet at all", "\"usable\": false"});
    CaptureBuilder refused_information;
    Bytes information = packet("INFZ", 3);
    information[4] = 77;  // a layout the second library does not know
    information[5] = information[6] = information[7] = 0;
    refused_information.udp(kStart, kSensor, information);
    for (int i = 1; i <= 10; ++i) {
        refused_information.udp(kStart + i * 2000, kSensor, packet("STDV", uint8_t(i)));
    }
    cases.push_back({"no library takes its information", refused_information,
                     "neither library finds a sensor in its 11 sensor datagrams", "\"usable\": false"});
    cases.push_back({"empty", CaptureBuilder(), "the capture holds no records", "\"records\": 0"});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory directory;
        const std::string file = directory.file("defect.pcap");
        c.capture.write(file);
        const ToolResult text = run_tool({"check", file});
        EXPECT_EQ(kExitFailure, text.code);
        EXPECT_NE(std::string::npos, text.out.find(c.text)) << text.out << text.err;
        const ToolResult json = run_tool({"check", file, "--json"});
        EXPECT_EQ(kExitFailure, json.code);
        EXPECT_NE(std::string::npos, json.out.find(c.json)) << json.out;
        EXPECT_NE(std::string::npos, json.out.find("\"usable\": false")) << json.out;
    }
}

// What is normal in a live recording is said as a note and leaves the
// capture usable; a silence of whole frames is still a problem.
TEST(CheckCommand, NotesWhatIsNormalInARecordingAndFailsOnlyOnRealFaults) {
    struct Case {
        std::string name;
        CaptureBuilder capture;
        int code;
        std::string text;  // in the output
        std::string json;  // in the JSON document
    };
    // Begun mid-stream: point data, then the sensor's information.
    CaptureBuilder mid_stream;
    for (int i = 0; i < 5; ++i) {
        mid_stream.udp(kStart + i * 2000, kSensor, packet("STDP", uint8_t(100 + i)));
    }
    mid_stream.udp(kStart + 10000, kSensor, packet("INFO", 0));
    for (int i = 1; i <= 40; ++i) {
        mid_stream.udp(kStart + 10000 + i * 2000, kSensor, packet("STDP", uint8_t(i)));
    }
    const auto after_silence = [](int64_t silence_us) {
        CaptureBuilder builder = sensor_stream();
        for (int i = 0; i < 20; ++i) {
            builder.udp(kStart + 80000 + silence_us + i * 2000, kSensor, packet("STDP", uint8_t(150 + i)));
        }
        return builder;
    };
    const Case cases[] = {
        {"begun mid-stream", mid_stream, kExitSuccess,
         "1 note:\n  192.168.1.77: 5 point data packets before any information packet (the recording began "
         "mid-stream)\nusable: ",
         "\"data_before_information\": 5"},
        {"a busy host's short silence", after_silence(23000), kExitSuccess,
         "1 note:\n  192.168.1.77: 1 short gaps, the longest 23 ms\nusable: ", "\"short_gaps\": 1"},
        {"just under two frame periods", after_silence(199000), kExitSuccess, "1 short gaps, the longest 199 ms",
         "\"gaps\": 0"},
        {"two frame periods of silence", after_silence(200000), kExitFailure,
         "1 problems:\n  192.168.1.77: 1 gaps, the longest 200 ms", "\"gaps\": 1"},
        {"mid-stream with a duplicate", mid_stream.udp(kStart + 90100, kSensor, packet("STDP", 40)), kExitFailure,
         "192.168.1.77: 1 duplicated datagrams", "\"duplicates\": 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory directory;
        const std::string file = directory.file("recording.pcap");
        c.capture.write(file);
        const ToolResult text = run_tool({"check", file});
        EXPECT_EQ(c.code, text.code) << text.out;
        EXPECT_NE(std::string::npos, text.out.find(c.text)) << text.out << text.err;
        const ToolResult json = run_tool({"check", file, "--json"});
        EXPECT_EQ(c.code, json.code);
        EXPECT_NE(std::string::npos, json.out.find(c.json)) << json.out;
        EXPECT_NE(std::string::npos, json.out.find(c.code == kExitSuccess ? "\"usable\": true" : "\"usable\": false"))
            << json.out;
    }
}

// Two recordings joined end to end, the later one first: the clock jump is
// the problem, the spans cover the data, and an information packet the
// sensor repeats unchanged is no duplicate.
TEST(CheckCommand, ATimeGoingBackwardsIsSaidAndSpansCoverTheData) {
    const Bytes information = packet("INFO", 0);
    CaptureBuilder joined;
    const int64_t later = kStart + 1000000;
    joined.udp(later, kSensor, information);
    for (int i = 1; i <= 50; ++i) {
        joined.udp(later + i * 2000, kSensor, packet("STDP", uint8_t(i)));
    }
    for (int i = 0; i <= 100; ++i) {
        joined.udp(kStart + i * 2000, kSensor, i % 50 == 0 ? information : packet("STDP", uint8_t(100 + i)));
    }
    TemporaryDirectory directory;
    const std::string file = directory.file("joined.pcap");
    joined.write(file);
    const ToolResult json = run_tool({"check", file, "--json"});
    EXPECT_EQ(kExitFailure, json.code);
    EXPECT_NE(std::string::npos, json.out.find("\"first_time_us\": " + std::to_string(kStart) +
                                               ", \"last_time_us\": " + std::to_string(later + 100000)))
        << json.out;
    EXPECT_NE(std::string::npos, json.out.find("\"clock_jumps\": 1, \"largest_jump_us\": 1098000")) << json.out;
    EXPECT_NE(std::string::npos, json.out.find("\"duplicates\": 0")) << json.out;
    const ToolResult text = run_tool({"check", file});
    EXPECT_NE(std::string::npos, text.out.find("records over 1.10 s")) << text.out;
    EXPECT_NE(std::string::npos, text.out.find("192.168.1.77: 1 clock jumps backwards, the largest 1098 ms"))
        << text.out;
    // 152 datagrams over 1.1 s.
    EXPECT_NE(std::string::npos, text.out.find("  137.3/s  ")) << text.out;
}

// Other forms are converted first, and what the conversion left out counts.
TEST(CheckCommand, ChecksOtherFormsThroughAConversion) {
    TemporaryDirectory directory;
    vorlan_test::FrameOptions tcp;
    tcp.protocol = 6;
    CaptureBuilder capture = sensor_stream();
    capture.record(kStart + 90000, vorlan_test::udp_frame(tcp, packet("STDP", 1)));
    const std::string classic = directory.file("c.pcap");
    capture.write(classic);
    const std::string pcapng = directory.file("c.pcapng");
    vorlan_test::write_file(pcapng, reform_capture(vorlan_test::read_file(classic), CaptureForm::pcapng));
    const ToolResult result = run_tool({"check", pcapng});
    EXPECT_EQ(kExitFailure, result.code);
    EXPECT_EQ(0u, result.out.find(pcapng + ": pcapng capture, Ethernet, 42 records")) << result.out;
    EXPECT_NE(std::string::npos, result.out.find("1 not IPv4/UDP")) << result.out;
    EXPECT_EQ(std::string::npos, result.err.find("temporary")) << result.err;
}

TEST(CheckCommand, ABadCommandLineExitsWithTwo) {
    EXPECT_EQ(kExitUsage, run_tool({"check"}).code);
    EXPECT_EQ(kExitUsage, run_tool({"check", "a.pcap", "--jsn"}).code);
    EXPECT_EQ(kExitFailure, run_tool({"check", "/nonexistent/capture.pcap"}).code);
}

}  // namespace
}  // namespace vorlan_tool
