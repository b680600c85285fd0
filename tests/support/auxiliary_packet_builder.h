// Builds the auxiliary packets a sensor may send besides information and
// points: raw detector waveforms ("ADCX", "ADBO") and serial lines ("NMEA").
#ifndef VORLAN_TESTS_SUPPORT_AUXILIARY_PACKET_BUILDER_H
#define VORLAN_TESTS_SUPPORT_AUXILIARY_PACKET_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

namespace vorlan_test {

// The waveform header fields; "ADBO" carries neither byte_b, byte_e nor word_32.
struct WaveformHeader {
    int16_t header_word_0 = 0;
    int16_t header_word_1 = 0;
    uint32_t value_24 = 0;  // only the low 24 bits are sent
    uint8_t byte_a = 0;
    uint8_t byte_b = 0;
    uint8_t byte_c = 0;
    uint8_t byte_d = 0;
    uint8_t byte_e = 0;
    uint32_t word_32 = 0;
};

// "ADCX": 23-byte header (bytes 20-22 zero), then the samples.
std::vector<uint8_t> adcx_packet(const WaveformHeader& header, const std::vector<uint8_t>& samples);
// "ADBO": 14-byte header, then the samples.
std::vector<uint8_t> adbo_packet(const WaveformHeader& header, const std::vector<uint8_t>& samples);
// "NMEA", the line and, unless `terminate` is false, a NUL.
std::vector<uint8_t> nmea_packet(const std::string& line, bool terminate = true);

}  // namespace vorlan_test

#endif  // VORLAN_TESTS_SUPPORT_AUXILIARY_PACKET_BUILDER_H
