// The sensor information packet "INFZ".
#ifndef VORLAN_SDK2_INFO_DATA_PARSER_H
#define VORLAN_SDK2_INFO_DATA_PARSER_H

#include <cstddef>
#include <cstdint>

namespace vorlan_sdk2 {

// Parser of the chain: stores the sensor's record and tells the
// sensor-information listeners. 0 when taken, -1 when the payload is not an
// information packet (or is too short for one), VORLAN_ERROR_NOT_SUPPORTED
// for an unknown layout, VORLAN_ERROR_OUT_OF_MEMORY when nothing could be
// stored.
int infoDataParser(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void* user_data);

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_INFO_DATA_PARSER_H
