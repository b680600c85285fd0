// Stand-in: point data decoding is being written.
#include "sensor.h"

namespace vorlan_sdk {

void Sensor::handle_data_packet(int64_t, int32_t, const uint8_t*) {}

}  // namespace vorlan_sdk
