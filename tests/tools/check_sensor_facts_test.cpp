// One sensor, one set of facts: what `vorlan sim` says it simulates, what
// each library reports on replay and what `vorlan check` lists agree on the
// model, its number, the serial number and the channel count; the firmware
// reads the same wherever one library prints it.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "commands.h"
#include "support/capture_builder.h"
#include "tool_run.h"

namespace vorlan_tool {
namespace {

struct Facts {
    std::string model;     // "TQ50-S (model 3)"
    std::string serial;
    std::string firmware;
    std::string channels;  // the number, and any remark after it
};

// By dotted address, from the lines a pattern matches: address, model,
// serial, firmware, channels.
std::map<std::string, Facts> facts_in(const std::string& out, const std::regex& line, int address, int model,
                                      int serial, int firmware, int channels) {
    std::map<std::string, Facts> found;
    for (const std::string& text : lines_of(out)) {
        std::smatch match;
        if (std::regex_match(text, match, line)) {
            found[match[address]] = {match[model], match[serial], match[firmware], match[channels]};
        }
    }
    return found;
}

class CheckSensorFactsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_folder = new vorlan_test::TemporaryDirectory();
        s_sim = new ToolResult(run_tool({"sim", "--seed", "1", "--seconds", "1", "--out", capture()}));
    }
    static void TearDownTestSuite() {
        delete s_sim;
        delete s_folder;
    }
    static std::string capture() { return s_folder->file("yard.pcap"); }

    inline static vorlan_test::TemporaryDirectory* s_folder = nullptr;
    inline static ToolResult* s_sim = nullptr;
};

// "simulated sensor 192.168.1.201 serial 900001  TQ50-S (model 3)  firmware 3.100.0  INFO/VRN8  STDT  channels 8  ..."
// "simulated sensor 192.168.1.214 serial 910004  Fixed 16 (model 5)  firmware 1.1.0.0  INFZ-76/STDV  channels 0 (has 16; ...)  free clock"
const std::regex kSimLine(
    "simulated sensor ([0-9.]+) serial ([0-9]+)  (.+ \\(model [0-9]+\\))  firmware ([0-9.]+)  (\\S+)(  \\S+)?  "
    "channels ([0-9]+( \\([^)]*\\))?)  .*");
// "  192.168.1.201  TQ50-S (model 3)  serial 900001  firmware 3.100.0  channels 8  library 1  calibrated  ..."
const std::regex kCheckLine(
    "  ([0-9.]+)  (.+ \\(model [0-9]+\\))  serial ([0-9]+)  firmware ([0-9.]+)  channels ([0-9]+( \\([^)]*\\))?)  "
    "library ([12])  .*");
// "sensor 192.168.1.201 serial 900001  TQ50-S (model 3)  firmware 3.100.0  channels 8  returns 1  ..."
const std::regex kReplayLine(
    "sensor ([0-9.]+) serial ([0-9]+)  (.+ \\(model [0-9]+\\))  firmware ([0-9.]+)  channels ([0-9]+)  .*");

std::string count_of(const std::string& channels) { return channels.substr(0, channels.find(' ')); }

TEST_F(CheckSensorFactsTest, CheckListsEverySimulatedSensorWithTheFactsSimAndItsLibraryGive) {
    ASSERT_EQ(kExitSuccess, s_sim->code) << s_sim->err;
    const ToolResult check = run_tool({"check", capture()});
    ASSERT_EQ(kExitSuccess, check.code) << check.out << check.err;
    const ToolResult first = run_tool({"replay", capture(), "--sdk", "1"});
    ASSERT_EQ(kExitSuccess, first.code) << first.err;
    const ToolResult second = run_tool({"replay", capture(), "--sdk", "2"});
    ASSERT_EQ(kExitSuccess, second.code) << second.err;

    std::map<std::string, Facts> simulated;
    std::map<std::string, int> generation;
    for (const std::string& text : lines_of(s_sim->out)) {
        std::smatch match;
        if (std::regex_match(text, match, kSimLine)) {
            simulated[match[1]] = {match[3], match[2], match[4], match[7]};
            // The second generation's sensors send INFZ information.
            generation[match[1]] = match[5].str().compare(0, 4, "INFZ") == 0 ? 2 : 1;
        }
    }
    const auto checked = facts_in(check.out, kCheckLine, 1, 2, 3, 4, 5);
    std::map<std::string, int> check_library;
    for (const std::string& text : lines_of(check.out)) {
        std::smatch match;
        if (std::regex_match(text, match, kCheckLine)) {
            check_library[match[1]] = std::stoi(match[7]);
        }
    }
    const auto by_first = facts_in(first.out, kReplayLine, 1, 3, 2, 4, 5);
    const auto by_second = facts_in(second.out, kReplayLine, 1, 3, 2, 4, 5);

    ASSERT_EQ(8u, simulated.size()) << s_sim->out;
    EXPECT_EQ(simulated.size(), checked.size()) << check.out;
    for (const auto& entry : simulated) {
        const std::string& address = entry.first;
        const Facts& sim = entry.second;
        SCOPED_TRACE(address + " " + sim.model);
        ASSERT_EQ(1u, checked.count(address)) << check.out;
        const Facts& listed = checked.at(address);
        EXPECT_EQ(sim.model, listed.model);
        EXPECT_EQ(sim.serial, listed.serial);
        EXPECT_EQ(sim.channels, listed.channels);
        // Each generation is listed by the library that reads it natively,
        // with the firmware in that library's form, as the simulator gives it.
        EXPECT_EQ(sim.firmware, listed.firmware);
        EXPECT_EQ(generation.at(address), check_library.at(address));

        // Every library that reads the sensor names it alike; the firmware
        // matches where the sensor is of the library's own generation.
        std::vector<std::pair<int, const std::map<std::string, Facts>*>> readers{{2, &by_second}};
        if (generation.at(address) == 1) {
            readers.insert(readers.begin(), {1, &by_first});
        } else {
            EXPECT_EQ(0u, by_first.count(address)) << "the first library cannot decode it";
        }
        for (const auto& reader : readers) {
            SCOPED_TRACE("library " + std::to_string(reader.first));
            ASSERT_EQ(1u, reader.second->count(address));
            const Facts& reported = reader.second->at(address);
            EXPECT_EQ(sim.model, reported.model);
            EXPECT_EQ(sim.serial, reported.serial);
            EXPECT_EQ(count_of(sim.channels), reported.channels);
            if (reader.first == generation.at(address)) {
                EXPECT_EQ(sim.firmware, reported.firmware);
            } else {
                EXPECT_EQ(4, std::count(reported.firmware.begin(), reported.firmware.end(), '.') + 1)
                    << "the second library's four firmware bytes: " << reported.firmware;
            }
        }
    }
}

TEST_F(CheckSensorFactsTest, JsonCarriesTheSameFacts) {
    const ToolResult json = run_tool({"check", "--json", capture()});
    ASSERT_EQ(kExitSuccess, json.code) << json.err;
    const std::string fixed = "{\"address\": \"192.168.1.214\", \"library\": 2, \"model_name\": \"Fixed 16\", "
                              "\"model\": 5, \"serial\": 910004, \"firmware\": \"1.1.0.0\", \"channels\": 0, "
                              "\"channels_in_points\": 16";
    EXPECT_NE(std::string::npos, json.out.find(fixed)) << json.out;
    const std::string first = "{\"address\": \"192.168.1.201\", \"library\": 1, \"model_name\": \"TQ50-S\", "
                              "\"model\": 3, \"serial\": 900001, \"firmware\": \"3.100.0\", \"channels\": 8, "
                              "\"calibrated\": true";
    EXPECT_NE(std::string::npos, json.out.find(first)) << json.out;
    EXPECT_NE(std::string::npos, json.out.find("\"notes\": []")) << json.out;
}

}  // namespace
}  // namespace vorlan_tool
