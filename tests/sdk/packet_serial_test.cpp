// Serial (NMEA) lines forwarded by a sensor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core.h"
#include "packet_serial.h"
#include "support/auxiliary_packet_builder.h"

namespace vorlan_sdk {
namespace {

using vorlan_test::nmea_packet;

TEST(NmeaCheckTest, PayloadsAndTheirVerdicts) {
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        const char* message;  // null: accepted
        const char* line;
    };
    const std::string sentence = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";
    const std::vector<Case> cases = {
        {"type word only", nmea_packet("", false), "Invalid NMEA packet size!", nullptr},
        {"three bytes", {'N', 'M', 'E'}, "Invalid NMEA packet size!", nullptr},
        {"empty", {}, "Invalid NMEA packet size!", nullptr},
        {"unterminated", nmea_packet(sentence, false), "NMEA packet not null-terminated!", nullptr},
        {"empty line", nmea_packet(""), nullptr, ""},
        {"sentence", nmea_packet(sentence), nullptr, sentence.c_str()},
    };
    for (const Case& c : cases) {
        // Exactly the payload's bytes on the heap, so a read past them is caught.
        const std::vector<uint8_t> packet = c.packet;
        const char* line = "stale";
        const SensorError error = check_nmea_packet(packet.data(), packet.size(), line);
        if (c.message == nullptr) {
            EXPECT_EQ(error.code(), VORLAN_SUCCESS) << c.name;
            ASSERT_NE(line, nullptr) << c.name;
            EXPECT_STREQ(line, c.line) << c.name;
        } else {
            EXPECT_EQ(error.code(), VORLAN_ERROR_COMMUNICATION) << c.name;
            EXPECT_EQ(error.message(), c.message) << c.name;
            EXPECT_EQ(line, nullptr) << c.name;
        }
    }
}

struct Delivered {
    static void on_line(VorlanSensorHandle handle, const char* line, void* self) {
        static_cast<Delivered*>(self)->lines.push_back(std::to_string(handle) + ":" + line);
    }
    static void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void*,
                         size_t, void* self) {
        static_cast<Delivered*>(self)->errors.push_back(std::to_string(handle) + ":" + std::to_string(code) + ":" +
                                                         message);
    }
    std::vector<std::string> lines;
    std::vector<std::string> errors;
};

TEST(NmeaDeliveryTest, LinesGoToTheSerialCallbackAndFaultsAreQueued) {
    Delivered delivered;
    CallbackManager& callbacks = CallbackManager::instance();
    ASSERT_TRUE(callbacks.serial_cb.set(Delivered::on_line, &delivered).ok());
    ASSERT_TRUE(callbacks.error_cb.set(Delivered::on_error, &delivered).ok());

    const std::vector<uint8_t> good = nmea_packet("$GPGGA,1");
    const std::vector<uint8_t> unterminated = nmea_packet("$GPGGA,2", false);
    handle_nmea_line(7, static_cast<int32_t>(good.size()), good.data());
    handle_nmea_line(7, static_cast<int32_t>(unterminated.size()), unterminated.data());
    handle_nmea_line(8, 4, good.data());
    EXPECT_EQ(delivered.lines, std::vector<std::string>{"7:$GPGGA,1"});
    EXPECT_TRUE(delivered.errors.empty());

    callbacks.emit_queued();
    EXPECT_EQ(delivered.errors, (std::vector<std::string>{"7:-6:NMEA packet not null-terminated!",
                                                           "8:-6:Invalid NMEA packet size!"}));
    callbacks.clear();
}

}  // namespace
}  // namespace vorlan_sdk
