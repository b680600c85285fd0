#include "packet_adc.h"

#include <algorithm>

#include "core.h"
#include "wire_bytes.h"

#define VORLAN_SOURCE_FILE "source/packet_adc"

namespace vorlan_sdk {

namespace {

SensorError decode_waveform(WaveformType type, const uint8_t* data, std::size_t size, VorlanAdcWaveform& out) {
    out = VorlanAdcWaveform{};
    const bool adcx = type == WaveformType::Adcx;
    const std::size_t header_size = adcx ? kAdcxHeaderSize : kAdboHeaderSize;
    // Without its whole header the packet has no sample count that makes
    // sense; nothing of it is used.
    if (data == nullptr || size < header_size) {
        return SensorError(VORLAN_ERROR_COMMUNICATION, adcx ? "Invalid ADCX packet size!" : "Invalid ADBO packet size!");
    }
    const vorlan_common::ByteView packet(data, size);
    out.header_word_0 = packet.i16(4);
    out.header_word_1 = packet.i16(6);
    out.value_24 = static_cast<uint32_t>(packet.u8(8)) | (static_cast<uint32_t>(packet.u8(9)) << 8) |
                   (static_cast<uint32_t>(packet.u8(10)) << 16);
    out.byte_a = packet.u8(11);
    out.byte_c = packet.u8(12);
    out.byte_d = packet.u8(13);
    if (adcx) {
        out.word_32 = packet.u32(14);
        out.byte_e = packet.u8(18);
        out.byte_b = packet.u8(19);
    }
    const std::size_t n_samples = std::min(size - header_size, kMaxWaveformSamples);
    out.sample_count = static_cast<int32_t>(n_samples);
    packet.copy(header_size, out.samples, n_samples);
    return VORLAN_SUCCESS;
}

}  // namespace

SensorError decode_adcx_packet(const uint8_t* data, std::size_t size, VorlanAdcWaveform& out) {
    return decode_waveform(WaveformType::Adcx, data, size, out);
}

SensorError decode_adbo_packet(const uint8_t* data, std::size_t size, VorlanAdcWaveform& out) {
    return decode_waveform(WaveformType::Adbo, data, size, out);
}

void handle_waveform_packet(VorlanSensorHandle handle, WaveformType type, int32_t size, const uint8_t* data) {
    VorlanAdcWaveform waveform;
    const SensorError error = decode_waveform(type, data, size > 0 ? static_cast<std::size_t>(size) : 0, waveform);
    if (!error.ok()) {
        CallbackManager::instance().queue_error(handle, error.code(), error.message());
        return;
    }
    CallbackManager::instance().waveform_cb.emit(handle, static_cast<const VorlanAdcWaveform*>(&waveform));
}

}  // namespace vorlan_sdk
