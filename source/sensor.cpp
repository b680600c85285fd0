#include "sensor.h"

#include "core.h"

namespace vorlan_sdk {

SensorManager& SensorManager::instance() {
    static SensorManager manager;
    return manager;
}

void SensorManager::handle_network_receive(VorlanSensorHandle, int64_t, int32_t, const uint8_t*) {
    CallbackManager::instance().emit_queued();
}

std::size_t SensorManager::get_n_sensors() { return 0; }

void SensorManager::clear() {}

}  // namespace vorlan_sdk
