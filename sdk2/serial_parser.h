// Serial lines ("NMEA") that a sensor forwards from its GPS receiver.
#ifndef VORLAN_SDK2_SERIAL_PARSER_H
#define VORLAN_SDK2_SERIAL_PARSER_H

#include <cstddef>
#include <cstdint>

#include "callback_list.h"

namespace vorlan_sdk2 {

using SerialList = CallbackList<void, uint64_t, const char*>;

SerialList& serialReceivers();
void serialCallbacksClear();

// Parser of the chain: 0 when the payload was taken.
int serialParser(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void* user_data);

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_SERIAL_PARSER_H
