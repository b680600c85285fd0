// What a sensor's information packets say about the sensor beyond their
// fields: the packet type words, the model table (display names, families,
// default segment counts and device parameters) and the identity rules that
// older sensors rely on (serial number from the address, model from the
// firmware text).
#ifndef VORLAN_SOURCE_PACKET_H
#define VORLAN_SOURCE_PACKET_H

#include <cstddef>
#include <cstdint>

#include "vorlan_sdk.h"
#include "wire_bytes.h"

namespace vorlan_sdk {

// Packet type words: the first four bytes of a payload as one little-endian word.
inline constexpr uint32_t kInfoPacket = vorlan_common::type_word("INFO");
inline constexpr uint32_t kInf1Packet = vorlan_common::type_word("INF1");
inline constexpr uint32_t kInf2Packet = vorlan_common::type_word("INF2");
inline constexpr uint32_t kInfxPacket = vorlan_common::type_word("INFX");
inline constexpr uint32_t kInfyPacket = vorlan_common::type_word("INFY");
inline constexpr uint32_t kStdpPacket = vorlan_common::type_word("STDP");
inline constexpr uint32_t kStdqPacket = vorlan_common::type_word("STDQ");
inline constexpr uint32_t kStdrPacket = vorlan_common::type_word("STDR");
inline constexpr uint32_t kStdtPacket = vorlan_common::type_word("STDT");
inline constexpr uint32_t kNmeaPacket = vorlan_common::type_word("NMEA");
inline constexpr uint32_t kAdcxPacket = vorlan_common::type_word("ADCX");
inline constexpr uint32_t kAdboPacket = vorlan_common::type_word("ADBO");

// Smallest payload each information packet kind can be decoded from. An INF2
// carries the second half of a split INF1 at offsets 64-831.
inline constexpr int32_t kMinInfoPacketSize = 184;  // INFO, INF1, INFX
inline constexpr int32_t kMinInfyPacketSize = 256;
inline constexpr int32_t kMinInf2PacketSize = 832;

// Where the calibration block starts in each kind.
inline constexpr std::size_t kInfoBlockOffset = 56;  // INFO, INF1, INFX
inline constexpr std::size_t kInfyBlockOffset = 128;

// ---- Model families ----------------------------------------------------------
// All look at the low 16 bits of the code only.

bool is_tq50_model(uint32_t model);
bool is_parvo_model(uint32_t model);
bool is_kiru_model(uint32_t model);

// Models that report temperature in sixteenths of a degree, device value 11
// and a status word in their INFX packets (7, 10-14, 21).
bool is_infx_extended_model(uint32_t model);
// Models that report device values 12 and 13 (10, 13, 21); the others report
// device value 10 in their place in INFY packets.
bool reports_values_12_13(uint32_t model);
// Models whose INFX packets carry device value 10 at bytes 26-27 (7, 11, 12, 14).
bool reports_infx_value_10(uint32_t model);

// The four numbers a default calibration is built from.
struct DeviceParameters {
    float image_x_scale;
    float image_z_scale;
    float distance_scale;
    float distance_offset;
};

// The defaults of a model. Early TQ50 firmware (major 37 and below) reports
// distances in coarser units.
DeviceParameters default_device_parameters(uint32_t model, uint8_t firmware_major);

// ---- Scaled readings of the newer information packets -------------------------

// Sixteenths of a degree, as sensors scale them: × 8 in 16 bits, then / 128.
float sixteenths_to_degrees(int16_t raw);
// Device values 10, 12 and 13: × 128 in 16 bits, then / 256.
float halves_to_value(int16_t raw);
// Device value 11 from its raw reading.
float value_11_from_raw(uint16_t raw);

// ---- Identity of older sensors ------------------------------------------------

// The serial number of a sensor that sends 0 in its INFO packets, derived
// from the low 16 bits of its address.
uint64_t serial_number_from_handle(VorlanSensorHandle handle);

// The model of an older sensor whose calibration does not name it, from its
// four firmware characters; 0 when the firmware does not tell.
uint16_t model_from_firmware(const char* firmware);

// Seconds since 1970-01-01 UTC of a proleptic Gregorian date; months outside
// 1-12 and days outside the month carry over as calendar arithmetic does.
int64_t utc_seconds(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute, int64_t second);

// The civil date and time of `seconds` since 1970-01-01 UTC.
struct CivilTime {
    int64_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};
CivilTime civil_time(int64_t seconds);

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_PACKET_H
