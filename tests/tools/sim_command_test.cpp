// What `vorlan sim` says of each sensor, the libraries say of it when they
// replay its capture: serial number, model name and code, firmware in the
// library's own form, and the segment or channel count.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "commands.h"
#include "support/capture_builder.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

struct SensorFacts {
    std::string firmware;
    std::string count;  // channels
};

// Facts by "ADDRESS serial N  NAME (model M)", from the lines of `out` that
// describe a sensor (sim's "simulated sensor ..." lines or a replay's
// "sensor ..." lines).
std::map<std::string, SensorFacts> sensor_facts(const std::string& out) {
    static const std::regex line(
        "(?:simulated )?sensor (\\S+ serial [0-9]+  .+ \\(model [0-9]+\\))  firmware (\\S+)  .*?"
        "channels ([0-9]+).*");
    std::map<std::string, SensorFacts> facts;
    for (const std::string& text : lines_of(out)) {
        std::smatch match;
        if (std::regex_match(text, match, line)) {
            facts[match[1].str()] = {match[2].str(), match[3].str()};
        }
    }
    return facts;
}

TEST(SimCommand, EachLibraryNamesTheSensorsAsSimDoes) {
    vorlan_test::TemporaryDirectory directory;
    const std::string capture = directory.file("named.pcap");
    const ToolResult simulated = run_tool({"sim", "--seconds", "0.5", "--out", capture});
    ASSERT_EQ(kExitSuccess, simulated.code) << simulated.err;
    const std::map<std::string, SensorFacts> said = sensor_facts(simulated.out);
    ASSERT_EQ(8u, said.size()) << simulated.out;

    const struct {
        const char* sdk;
        std::size_t sensors;  // the first library reads the first generation only
        // The two libraries give a first-generation sensor's firmware in
        // forms of their own; sim gives the first library's.
        bool first_generation_firmware;
    } libraries[] = {{"1", 4, true}, {"2", 8, false}};
    for (const auto& library : libraries) {
        SCOPED_TRACE(std::string("--sdk ") + library.sdk);
        const ToolResult replayed = run_tool({"replay", capture, "--sdk", library.sdk});
        ASSERT_EQ(kExitSuccess, replayed.code) << replayed.err;
        const std::map<std::string, SensorFacts> seen = sensor_facts(replayed.out);
        EXPECT_EQ(library.sensors, seen.size()) << replayed.out;
        for (const auto& [identity, facts] : seen) {
            SCOPED_TRACE(identity);
            const auto found = said.find(identity);
            ASSERT_NE(said.end(), found) << simulated.out;
            EXPECT_EQ(found->second.count, facts.count);
            bool first_generation = false;
            for (const SimulatedSensorInfo& sensor : simulated_sensors()) {
                first_generation |= identity.find("serial " + std::to_string(sensor.serial_number) + " ") !=
                                    std::string::npos;
            }
            if (!first_generation || library.first_generation_firmware) {
                EXPECT_EQ(found->second.firmware, facts.firmware);
            }
        }
    }
}

}  // namespace
}  // namespace vorlan_tool
