#include "serial_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "library_fixture.h"
#include "support/point_packet_builder.h"

namespace vorlan_sdk2_test {
namespace {

class SerialParserTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        ASSERT_EQ(VorlanListenSerialLines(SerialLines::record, &m_lines), VORLAN_SUCCESS);
    }
    SerialLines m_lines;
};

TEST_F(SerialParserTest, PassesOnTerminatedLinesOnly) {
    const std::string line = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
    struct Case {
        const char* name;
        std::vector<uint8_t> payload;
        bool taken;
        std::string seen;
    };
    auto unterminated = vorlan_test::build_nmea_packet(line);
    unterminated.back() = '\n';
    auto wrong_magic = vorlan_test::build_nmea_packet(line);
    wrong_magic[3] = 'B';
    auto early_nul = vorlan_test::build_nmea_packet("$GP");
    early_nul.insert(early_nul.end() - 1, {0, 'x', 'y'});
    const Case cases[] = {
        {"a whole line", vorlan_test::build_nmea_packet(line), true, line},
        {"an empty line", vorlan_test::build_nmea_packet(""), true, ""},
        {"text after an inner NUL is not part of the line", early_nul, true, "$GP"},
        {"no final NUL", unterminated, false, ""},
        {"another magic", wrong_magic, false, ""},
        {"magic alone", {'N', 'M', 'E', 'A'}, false, ""},
        {"NUL-ended magic fragment", {'N', 'M', 'E', 0}, false, ""},
        {"nothing", {}, false, ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        m_lines.lines.clear();
        const int result = vorlan_sdk2::serialParser(3, 0, test.payload.data(), test.payload.size(), nullptr);
        EXPECT_EQ(result, test.taken ? 0 : -1);
        ASSERT_EQ(m_lines.lines.size(), test.taken ? 1u : 0u);
        if (test.taken) {
            EXPECT_EQ(m_lines.lines[0], test.seen);
        }
    }
}

TEST_F(SerialParserTest, ListenerRegistrationRefusesWithTheGenericError) {
    int other = 0;
    EXPECT_EQ(VorlanListenSerialLines(SerialLines::record, &m_lines), VORLAN_ERROR_GENERIC);
    EXPECT_EQ(VorlanListenSerialLines(nullptr, &m_lines), VORLAN_ERROR_GENERIC);
    EXPECT_EQ(VorlanUnlistenSerialLines(nullptr, &m_lines), VORLAN_ERROR_GENERIC);
    EXPECT_EQ(VorlanUnlistenSerialLines(SerialLines::record, &other), VORLAN_ERROR_GENERIC);
    EXPECT_EQ(VorlanUnlistenSerialLines(SerialLines::record, &m_lines), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanUnlistenSerialLines(SerialLines::record, &m_lines), VORLAN_ERROR_GENERIC);
    ASSERT_EQ(receive(1, vorlan_test::build_nmea_packet("$GPGGA")), VORLAN_SUCCESS);
    EXPECT_TRUE(m_lines.lines.empty());
}

}  // namespace
}  // namespace vorlan_sdk2_test
