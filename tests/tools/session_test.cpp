// What the tool keeps per sender: information packets that decode to
// nothing (cut short, as anyone can send from any number of addresses) make
// no sensor line and no state; a real sensor among them is shown once.
#include <gtest/gtest.h>

#include <string>

#include "support/capture_builder.h"
#include "support/info_packet_builder.h"
#include "commands.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

TEST(SessionTest, InformationThatDecodesToNothingMakesNoSensor) {
    vorlan_test::TemporaryDirectory directory;
    const std::string path = directory.file("strangers.pcap");
    vorlan_test::CaptureBuilder capture;
    int64_t time = 1'700'000'000'000'000;
    for (uint32_t i = 0; i < 500; ++i) {
        capture.udp(time += 100, vorlan_test::ipv4(10, 9, uint8_t(i >> 8), uint8_t(i)), {'I', 'N', 'F', 'O'});
    }
    vorlan_test::InfoPacketFields fields;
    fields.serial_number = 77;
    capture.udp(time += 100, vorlan_test::ipv4(10, 0, 0, 1), vorlan_test::build_info_packet(fields));
    capture.write(path);

    const ToolResult result = run_tool({"replay", path});
    EXPECT_EQ(kExitSuccess, result.code) << result.err;
    std::size_t sensor_lines = 0;
    for (std::size_t at = result.out.find("\nsensor "); at != std::string::npos;
         at = result.out.find("\nsensor ", at + 1)) {
        ++sensor_lines;
    }
    EXPECT_EQ(sensor_lines, 1u) << result.out;
    EXPECT_NE(result.out.find("serial 77"), std::string::npos) << result.out;
}

}  // namespace
}  // namespace vorlan_tool
