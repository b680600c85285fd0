// Raw detector waveforms. A sensor can send the samples of its detector's
// analogue-to-digital converter in two packet types: "ADCX", with a 23-byte
// header, and the older "ADBO", whose 14-byte header lacks byte B, byte E and
// the 32-bit word. Both become one VorlanAdcWaveform for the client; the
// header fields are passed through unchanged.
#ifndef VORLAN_SOURCE_PACKET_ADC_H
#define VORLAN_SOURCE_PACKET_ADC_H

#include <cstddef>
#include <cstdint>

#include "vorlan_sdk.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"

namespace vorlan_sdk {

enum class WaveformType { Adcx, Adbo };

// Header sizes: the samples follow and run to the end of the payload.
inline constexpr std::size_t kAdcxHeaderSize = 23;
inline constexpr std::size_t kAdboHeaderSize = 14;
// Samples a waveform record can hold; further samples are cut off.
inline constexpr std::size_t kMaxWaveformSamples = sizeof(VorlanAdcWaveform::samples);

// Fills `out` from one "ADCX" or "ADBO" payload of `size` bytes (type word
// included). A payload shorter than its header gives
// VORLAN_ERROR_COMMUNICATION and leaves `out` zeroed. Samples beyond
// kMaxWaveformSamples are dropped and the count says how many were kept;
// bytes of `out.samples` past the count are zero.
SensorError decode_adcx_packet(const uint8_t* data, std::size_t size, VorlanAdcWaveform& out);
SensorError decode_adbo_packet(const uint8_t* data, std::size_t size, VorlanAdcWaveform& out);

// Decodes a waveform packet of `handle` and hands it to the waveform
// callback, or queues the decoding error for the error callback. Runs on the
// packet delivery thread; the record lives only during the callback.
void handle_waveform_packet(VorlanSensorHandle handle, WaveformType type, int32_t size, const uint8_t* data);

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_PACKET_ADC_H
