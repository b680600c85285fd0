#include "support/auxiliary_packet_builder.h"

#include "wire_bytes.h"

namespace vorlan_test {

namespace {

std::vector<uint8_t> waveform_start(const char (&type)[5], const WaveformHeader& header, std::size_t header_size) {
    std::vector<uint8_t> packet(header_size, 0);
    vorlan_common::store_u32le(packet.data(), vorlan_common::type_word(type));
    vorlan_common::store_u16le(&packet[4], static_cast<uint16_t>(header.header_word_0));
    vorlan_common::store_u16le(&packet[6], static_cast<uint16_t>(header.header_word_1));
    packet[8] = static_cast<uint8_t>(header.value_24);
    packet[9] = static_cast<uint8_t>(header.value_24 >> 8);
    packet[10] = static_cast<uint8_t>(header.value_24 >> 16);
    packet[11] = header.byte_a;
    packet[12] = header.byte_c;
    packet[13] = header.byte_d;
    return packet;
}

}  // namespace

std::vector<uint8_t> adcx_packet(const WaveformHeader& header, const std::vector<uint8_t>& samples) {
    std::vector<uint8_t> packet = waveform_start("ADCX", header, 23);
    vorlan_common::store_u32le(&packet[14], header.word_32);
    packet[18] = header.byte_e;
    packet[19] = header.byte_b;
    packet.insert(packet.end(), samples.begin(), samples.end());
    return packet;
}

std::vector<uint8_t> adbo_packet(const WaveformHeader& header, const std::vector<uint8_t>& samples) {
    std::vector<uint8_t> packet = waveform_start("ADBO", header, 14);
    packet.insert(packet.end(), samples.begin(), samples.end());
    return packet;
}

std::vector<uint8_t> nmea_packet(const std::string& line, bool terminate) {
    std::string text = "NMEA" + line;
    if (terminate) {
        text.push_back('\0');
    }
    return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace vorlan_test
