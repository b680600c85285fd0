// Calibration blocks: the factory calibration a sensor carries inside its
// information packets, in one of six formats written by different sensor
// generations, converted into the one in-memory form, VorlanCalibration.
//
// Every converter takes the block's first byte and the number of bytes
// available from there to the end of the packet. It refuses a null block, a
// negative length, a segment count above its format's maximum and a length
// short of its header plus the records it announces, and then leaves the
// output untouched; it never reads past `length`. On success it clears the
// whole output first, so every field the format does not carry is 0.
// None of them touches shared state.
#ifndef VORLAN_SOURCE_LEGACY_H
#define VORLAN_SOURCE_LEGACY_H

#include <cstddef>
#include <cstdint>

#include "vorlan_sdk.h"
#include "wire_bytes.h"

namespace vorlan_sdk {

// Block type words (the first four bytes, read as one little-endian word).
inline constexpr uint32_t kCalibrationTypeVrn8 = vorlan_common::type_word("VRN8");
inline constexpr uint32_t kCalibrationTypeVrn9 = vorlan_common::type_word("VRN9");
inline constexpr uint32_t kCalibrationTypeVrnA = vorlan_common::type_word("VRNA");
inline constexpr uint32_t kCalibrationTypeVrnB = vorlan_common::type_word("VRNB");
inline constexpr uint32_t kCalibrationTypeVrnD = vorlan_common::type_word("VRND");
// "VSC" followed by the byte 0xB8.
inline constexpr uint32_t kCalibrationTypeLegacy = 0xB8435356u;

// Sizes of each format: header, segment record, most segments.
inline constexpr std::size_t kCalibrationHeaderSize = 128;
inline constexpr std::size_t kVrn8RecordSize = 64;
inline constexpr std::size_t kVrn9RecordSize = 64;
inline constexpr std::size_t kVrnARecordSize = 64;
inline constexpr std::size_t kVrnBRecordSize = 13;
inline constexpr std::size_t kVrnDRecordSize = 88;
inline constexpr std::size_t kVrn8MaxSegments = 24;
inline constexpr std::size_t kVrn9MaxSegments = 24;
inline constexpr std::size_t kVrnAMaxSegments = 32;
inline constexpr std::size_t kVrnBMaxSegments = 192;
inline constexpr std::size_t kVrnDMaxSegments = 24;
// The legacy block has a fixed layout with eight segments.
inline constexpr std::size_t kLegacyBlockSize = 796;
inline constexpr std::size_t kLegacySegments = 8;

bool convert_vrn8_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length);
bool convert_vrn9_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length);
bool convert_vrna_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length);
bool convert_vrnb_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length);
bool convert_vrnd_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length);
bool convert_legacy_calibration(const uint8_t* block, VorlanCalibration& calibration, int64_t length);

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_LEGACY_H
