// Stand-in for the sensor registry: every payload enters the library here.
#ifndef VORLAN_SOURCE_SENSOR_H
#define VORLAN_SOURCE_SENSOR_H

#include <cstddef>
#include <cstdint>

#include "vorlan_sdk.h"

namespace vorlan_sdk {

class SensorManager {
public:
    static SensorManager& instance();

    // Decodes one payload received from `handle` at `timestamp` (µs).
    void handle_network_receive(VorlanSensorHandle handle, int64_t timestamp, int32_t size, const uint8_t* data);
    std::size_t get_n_sensors();
    void clear();

private:
    SensorManager() = default;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_SENSOR_H
