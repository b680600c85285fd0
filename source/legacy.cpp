// Stand-in: calibration block converters are being written.
#include "sensor.h"

namespace vorlan_sdk {

bool Sensor::convert_calibration(VorlanCalibration&, const uint8_t*, int64_t) { return false; }

}  // namespace vorlan_sdk
