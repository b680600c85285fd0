// Stand-in definitions: the sensor object and registry are being filled in.
#include "sensor.h"

#include "core.h"

namespace vorlan_sdk {

bool is_info_packet(uint32_t) { return false; }
std::string get_sensor_model_name(int32_t) { return {}; }
uint8_t default_segment_count(int32_t) { return 8; }

Sensor::Sensor(VorlanSensorHandle handle)
    : m_handle(handle), m_fault_tracker(handle, [this] { return get_information(); }) {
    m_information.handle = handle;
}

void Sensor::handle_info_packet(int32_t, const uint8_t*) {}
void Sensor::handle_inf1_packet(int32_t, const uint8_t*) {}
void Sensor::handle_inf2_packet(int32_t, const uint8_t*) {}
void Sensor::handle_infx_packet(int32_t, const uint8_t*) {}
void Sensor::handle_infy_packet(int32_t, const uint8_t*) {}
VorlanSensorInformation Sensor::get_information() {
    util::LockGuard lock(m_mutex);
    return m_information;
}
bool Sensor::is_attached() { return false; }
uint64_t Sensor::get_serial_number() { return 0; }
void Sensor::firmware_version_transform(const char*, uint8_t&, uint8_t&) {}
int64_t Sensor::get_timestamp(int64_t host_time, int64_t) const { return host_time; }
SensorError Sensor::calibrate_points(std::size_t n, const VorlanSensorRawPointWithTime* raw, uint32_t r,
                                     VorlanSensorImagePoint* image) {
    util::LockGuard lock(m_mutex);
    return calibrate_points_impl(n, raw, r, image);
}
SensorError Sensor::calibrate_points_impl(std::size_t n, const VorlanSensorRawPointWithTime* raw, uint32_t r,
                                          VorlanSensorImagePoint* image) {
    return vorlan_sdk::calibrate_points(m_calibration, n, raw, r, image);
}
SensorError Sensor::get_calibration(VorlanCalibration&) { return SensorError(); }
SensorError Sensor::set_calibration(const VorlanCalibration&) { return SensorError(); }
bool Sensor::has_transform() { return false; }
SensorError Sensor::get_transform(VorlanSensorTransform&) { return SensorError(); }
SensorError Sensor::set_transform(const VorlanSensorTransform&) { return SensorError(); }
SensorError Sensor::clear_transform() { return SensorError(); }
VorlanSensorCompiledTransform Sensor::get_compiled_transform() { return {}; }
void Sensor::handle_nmea_packet(int32_t, const uint8_t*) {}
void Sensor::handle_adcx_packet(int32_t, const uint8_t*) {}
void Sensor::handle_adco_packet(int32_t, const uint8_t*) {}
SensorError Sensor::get(int32_t, int32_t, void*) { return SensorError(); }

SensorManager& SensorManager::instance() {
    static SensorManager manager;
    return manager;
}

void SensorManager::handle_network_receive(VorlanSensorHandle, int64_t, int32_t, const uint8_t*) {
    CallbackManager::instance().emit_queued();
}

std::size_t SensorManager::get_n_sensors() { return 0; }
int32_t SensorManager::find_sensor_by_handle(VorlanSensorHandle) { return -1; }
int32_t SensorManager::find_sensor_by_serial_number(uint64_t) { return -1; }
std::shared_ptr<Sensor> SensorManager::get_sensor(int32_t) { return {}; }
std::shared_ptr<Sensor> SensorManager::get_sensor_by_handle(VorlanSensorHandle) { return {}; }
std::shared_ptr<Sensor> SensorManager::get_sensor_by_serial_number(uint64_t) { return {}; }
void SensorManager::clear() {}

}  // namespace vorlan_sdk
