// Serial lines: a sensor forwards each line its GPS receiver writes on the
// serial (NMEA) input as an "NMEA" packet, the type word followed by the
// line's text and a terminating NUL that is the payload's last byte.
#ifndef VORLAN_SOURCE_PACKET_SERIAL_H
#define VORLAN_SOURCE_PACKET_SERIAL_H

#include <cstddef>
#include <cstdint>

#include "vorlan_sdk.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"

namespace vorlan_sdk {

// Checks an "NMEA" payload of `size` bytes and points `line` at its
// NUL-terminated text inside `data`. A payload too short to hold a line, or
// one not ending in NUL, gives VORLAN_ERROR_COMMUNICATION and leaves `line`
// null. The line is not parsed.
SensorError check_nmea_packet(const uint8_t* data, std::size_t size, const char*& line);

// Hands the line of an "NMEA" payload of `handle` to the serial line
// callback, or queues the error for the error callback. Runs on the packet
// delivery thread; the text is valid only during the callback.
void handle_nmea_line(VorlanSensorHandle handle, int32_t size, const uint8_t* data);

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_PACKET_SERIAL_H
