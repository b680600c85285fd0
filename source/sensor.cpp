// The sensor object (its construction, snapshots, queries, calibration and
// pose access, and the hand-off of waveforms and serial lines) and the
// registry that every received payload passes through.
#include "sensor.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <cstring>
#include <string>

#include "core.h"
#include "frame.h"
#include "packet.h"
#include "packet_adc.h"
#include "packet_serial.h"

#define VORLAN_SOURCE_FILE "source/sensor"

namespace vorlan_sdk {

namespace {

SensorError deadlock_error() { return SensorError(VORLAN_ERROR_GENERIC, "Deadlock!"); }

int64_t steady_microseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Sensor::Sensor(VorlanSensorHandle handle)
    : m_handle(handle), m_fault_tracker(handle, [this] { return get_information(); }) {
    m_information = blank_information(handle);
}

VorlanSensorInformation Sensor::blank_information(VorlanSensorHandle handle) {
    VorlanSensorInformation information{};
    information.handle = handle;
    if ((handle & VORLAN_SENSOR_HANDLE_FLAG_MOCK) != 0) {
        information.flags |= VORLAN_SENSOR_INFO_IS_MOCKED;
    }
    return information;
}

VorlanSensorInformation Sensor::get_information() {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return VorlanSensorInformation{};
    }
    return m_information;
}

bool Sensor::is_attached() {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() && m_has_information;
}

bool Sensor::is_calibrated() {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() && (m_information.flags & VORLAN_SENSOR_INFO_IS_CALIBRATED) != 0;
}

uint64_t Sensor::get_serial_number() {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() ? m_information.serial_number : 0;
}

// ---- Queries ------------------------------------------------------------------

SensorError Sensor::get(int32_t field, int32_t value_size, void* value) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return deadlock_error();
    }
    int16_t value_16 = 0;
    float value_32 = 0.0f;
    const void* source = nullptr;
    int32_t size = 0;
    switch (field) {
        case 2:
            value_16 = m_value_2;
            break;
        case 3:
            value_16 = m_value_3;
            break;
        case 4:
            value_16 = m_value_4;
            break;
        case 5:
            value_16 = m_value_5;
            break;
        case 6:
            value_16 = m_value_6;
            break;
        case 8:
            value_32 = m_value_8;
            break;
        case 9:
            value_32 = m_value_8 * static_cast<float>(m_value_9_multiplier) / 4096.0f;
            break;
        case 10:
            value_32 = m_value_10;
            break;
        case 11:
            value_32 = m_value_11;
            break;
        case 12:
            value_32 = m_value_12;
            break;
        case 13:
            value_32 = m_value_13;
            break;
        default:
            return SensorError(VORLAN_ERROR_INVALID_ARGUMENTS, "Invalid SDK value!");
    }
    if (field <= 6) {
        source = &value_16;
        size = sizeof(value_16);
    } else {
        source = &value_32;
        size = sizeof(value_32);
    }
    if (value_size != size || value == nullptr) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    std::memcpy(value, source, static_cast<std::size_t>(size));
    return VORLAN_SUCCESS;
}

// ---- Calibration and pose -----------------------------------------------------------

SensorError Sensor::calibrate_points(std::size_t n_points, const VorlanSensorRawPointWithTime* raw_points,
                                     uint32_t return_count, VorlanSensorImagePoint* image_points) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return deadlock_error();
    }
    return calibrate_points_impl(n_points, raw_points, return_count, image_points);
}

SensorError Sensor::calibrate_points_impl(std::size_t n_points, const VorlanSensorRawPointWithTime* raw_points,
                                          uint32_t return_count, VorlanSensorImagePoint* image_points) {
    const VorlanCalibration* const calibration = calibration_record();
    if (calibration == nullptr) {
        return VORLAN_ERROR_OUT_OF_MEMORY;
    }
    return vorlan_sdk::calibrate_points(*calibration, n_points, raw_points, return_count, image_points);
}

SensorError Sensor::get_calibration(VorlanCalibration& calibration) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return deadlock_error();
    }
    if (m_calibration != nullptr) {
        calibration = *m_calibration;
    } else {
        fill_default_calibration(calibration);
    }
    return VORLAN_SUCCESS;
}

SensorError Sensor::set_calibration(const VorlanCalibration& calibration) {
    // Calibration and the saturation filter index `lasers` by segment.
    VORLAN_CHECK(calibration.segment_count <= kMaxSegments, VORLAN_ERROR_INVALID_ARGUMENTS, "Too many segments!");
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return deadlock_error();
    }
    VorlanCalibration* const active = calibration_record();
    if (active == nullptr) {
        return VORLAN_ERROR_OUT_OF_MEMORY;
    }
    *active = calibration;
    ++m_calibration_changes;
    return VORLAN_SUCCESS;
}

bool Sensor::has_transform() {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() && m_has_transform;
}

SensorError Sensor::get_transform(VorlanSensorTransform& transform) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return deadlock_error();
    }
    transform = m_transform;
    return VORLAN_SUCCESS;
}

SensorError Sensor::set_transform(const VorlanSensorTransform& transform) {
    VorlanSensorCompiledTransform compiled;
    compile_sensor_transform(transform, compiled);
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return deadlock_error();
    }
    m_transform = transform;
    m_compiled_transform = compiled;
    m_has_transform = true;
    return VORLAN_SUCCESS;
}

SensorError Sensor::clear_transform() {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return deadlock_error();
    }
    m_has_transform = false;
    m_transform = VorlanSensorTransform{};
    m_compiled_transform = VorlanSensorCompiledTransform{};
    return VORLAN_SUCCESS;
}

VorlanSensorCompiledTransform Sensor::get_compiled_transform() {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() ? m_compiled_transform : VorlanSensorCompiledTransform{};
}

// ---- Waveforms and serial lines -------------------------------------------------------
// They touch no sensor state, so the callbacks run without the sensor lock and
// may query this sensor.

void Sensor::handle_nmea_packet(int32_t size, const uint8_t* packet) { handle_nmea_line(m_handle, size, packet); }

void Sensor::handle_adcx_packet(int32_t size, const uint8_t* packet) {
    handle_waveform_packet(m_handle, WaveformType::Adcx, size, packet);
}

void Sensor::handle_adco_packet(int32_t size, const uint8_t* packet) {
    handle_waveform_packet(m_handle, WaveformType::Adbo, size, packet);
}

// ---- Registry ------------------------------------------------------------------------

SensorManager& SensorManager::instance() {
    static SensorManager manager;
    return manager;
}

void SensorManager::handle_network_receive(VorlanSensorHandle handle, int64_t timestamp, int32_t size,
                                           const uint8_t* data) {
    CallbackManager& callbacks = CallbackManager::instance();
    callbacks.emit_queued();
    // A payload without a whole type word is not a packet of any kind.
    if (data == nullptr || size < 4) {
        return;
    }
    const uint32_t type = vorlan_common::load_u32le(data);
    const bool information = is_info_packet(type);

    std::shared_ptr<Sensor> sensor;
    bool pending = false;
    bool refused = false;
    const int64_t now = this->now();
    std::optional<RefusalReport> due_report;
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return;
        }
        due_report = due_refusal_report_impl(now);
        const int32_t index = find_sensor_by_handle_impl(handle);
        if (index >= 0) {
            sensor = m_sensors[static_cast<std::size_t>(index)];
            m_last_heard[static_cast<std::size_t>(index)] = now;
        } else if (information) {
            sensor = m_pending.find(handle, now);
            if (sensor == nullptr) {
                if (can_introduce_sensor(type, size, data)) {
                    try {
                        sensor = std::make_shared<Sensor>(handle);
                        m_pending.add(sensor, handle, now);
                    } catch (const std::bad_alloc&) {
                        sensor = nullptr;  // the sensor's next information packet tries again
                    }
                } else {
                    refused = true;
                }
            }
            pending = true;
        } else {
            // Only an information packet introduces a sensor.
            sensor = nullptr;
        }
    }
    if (due_report) {
        report_refusals(*due_report);
    }
    if (sensor == nullptr && !refused) {
        return;
    }
    if (refused) {
        report_unusable_first_packet(handle, type);
        return;
    }

    switch (type) {
        case kInfoPacket:
            sensor->handle_info_packet(size, data);
            break;
        case kInf1Packet:
            sensor->handle_inf1_packet(size, data);
            break;
        case kInf2Packet:
            sensor->handle_inf2_packet(size, data);
            break;
        case kInfxPacket:
            sensor->handle_infx_packet(size, data);
            break;
        case kInfyPacket:
            sensor->handle_infy_packet(size, data);
            break;
        case kStdpPacket:
        case kStdqPacket:
        case kStdrPacket:
        case kStdtPacket:
            sensor->handle_data_packet(timestamp, size, data);
            break;
        case kNmeaPacket:
            sensor->handle_nmea_packet(size, data);
            break;
        case kAdcxPacket:
            sensor->handle_adcx_packet(size, data);
            break;
        case kAdboPacket:
            sensor->handle_adco_packet(size, data);
            break;
        default:
            return;
    }
    if (!information) {
        return;
    }
    // Every information packet is reported, also one that could not be used
    // and one of a sensor still waiting for the rest of its information.
    const VorlanSensorInformation snapshot = sensor->get_information();
    callbacks.sensor_info_cb.emit(handle, static_cast<const VorlanSensorInformation*>(&snapshot));

    if (!pending || !sensor->is_attached()) {
        return;
    }
    VorlanSensorHandle replaced = 0;
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return;
        }
        // Another thread may have attached it meanwhile. A sensor completed
        // after the pending table let it go (full, or too old) is attached
        // all the same.
        if (m_index_of.count(handle) != 0) {
            m_pending.remove(sensor, handle);
            return;
        }
        if (!attach_impl(sensor, handle, now, replaced)) {
            due_report = count_refusal_impl(handle, now);
        }
    }
    if (replaced != 0) {
        // The frame keeps the replaced sensor alive; nothing arrives for it now.
        FrameManager::instance().remove_frame(replaced);
    }
    if (due_report) {
        report_refusals(*due_report);
    }
}

bool SensorManager::attach_impl(const std::shared_ptr<Sensor>& sensor, VorlanSensorHandle handle, int64_t now,
                                VorlanSensorHandle& replaced) {
    try {
        if (m_sensors.size() < kMaxSensors) {
            m_index_of.emplace(handle, static_cast<int32_t>(m_sensors.size()));
            try {
                m_last_heard.push_back(now);
                m_sensors.push_back(sensor);
            } catch (const std::bad_alloc&) {
                m_index_of.erase(handle);
                m_last_heard.resize(m_sensors.size());
                return false;
            }
        } else {
            const int32_t index = find_replaceable_impl(now);
            if (index < 0) {
                return false;
            }
            const std::size_t slot = static_cast<std::size_t>(index);
            m_index_of.emplace(handle, index);
            replaced = m_sensors[slot]->handle();
            m_index_of.erase(replaced);
            m_sensors[slot] = sensor;
            m_last_heard[slot] = now;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_pending.remove(sensor, handle);
    return true;
}

int32_t SensorManager::find_replaceable_impl(int64_t now) {
    // Under a flood of new sensors this runs for every refused one: the scan
    // is skipped until the sensor silent longest could qualify.
    if (now < m_no_replacement_before || m_sensors.empty()) {
        return -1;
    }
    std::size_t oldest = 0;
    for (std::size_t i = 1; i < m_last_heard.size(); ++i) {
        if (m_last_heard[i] < m_last_heard[oldest]) {
            oldest = i;
        }
    }
    if (now - m_last_heard[oldest] < kSilenceBeforeReplacement) {
        m_no_replacement_before = m_last_heard[oldest] + kSilenceBeforeReplacement;
        return -1;
    }
    return static_cast<int32_t>(oldest);
}

std::optional<SensorManager::RefusalReport> SensorManager::count_refusal_impl(VorlanSensorHandle handle,
                                                                              int64_t now) {
    ++m_unreported_refusals;
    m_last_refused = handle;
    if (m_last_refusal_report && now - *m_last_refusal_report < kRefusalReportInterval) {
        return std::nullopt;
    }
    m_last_refusal_report = now;
    const RefusalReport report{handle, m_unreported_refusals};
    m_unreported_refusals = 0;
    return report;
}

std::optional<SensorManager::RefusalReport> SensorManager::due_refusal_report_impl(int64_t now) {
    if (m_unreported_refusals == 0 || (m_last_refusal_report && now - *m_last_refusal_report < kRefusalReportInterval)) {
        return std::nullopt;
    }
    m_last_refusal_report = now;
    const RefusalReport report{m_last_refused, m_unreported_refusals};
    m_unreported_refusals = 0;
    return report;
}

void SensorManager::report_refusals(const RefusalReport& report) {
    // The code stays VORLAN_ERROR_OUT_OF_MEMORY, which clients already take
    // for a full table; the text says what it is and how often it happened.
    const std::string message = "Too many sensors! The table of " + std::to_string(kMaxSensors) +
                                " sensors is full and none has been silent for " +
                                std::to_string(kSilenceBeforeReplacement / 1'000'000) + " s: " +
                                std::to_string(report.count) + (report.count == 1 ? " new sensor" : " new sensors") +
                                " refused since the last report (out of memory here means out of room for sensors)";
    CallbackManager::instance().queue_error(report.handle, VORLAN_ERROR_OUT_OF_MEMORY, message);
}

int64_t SensorManager::now() const {
    int64_t (*clock)() = m_clock.load(std::memory_order_relaxed);
    return clock != nullptr ? clock() : steady_microseconds();
}

void SensorManager::set_clock(int64_t (*clock)()) { m_clock.store(clock, std::memory_order_relaxed); }

void SensorManager::report_unusable_first_packet(VorlanSensorHandle handle, uint32_t type) {
    CallbackManager& callbacks = CallbackManager::instance();
    // A second half with no first half before it is ignored quietly.
    if (type != kInf2Packet) {
        callbacks.queue_error(handle, VORLAN_ERROR_COMMUNICATION, std::string());
    }
    const VorlanSensorInformation blank = Sensor::blank_information(handle);
    callbacks.sensor_info_cb.emit(handle, static_cast<const VorlanSensorInformation*>(&blank));
}

std::size_t SensorManager::get_n_sensors() {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() ? m_sensors.size() : 0;
}

int32_t SensorManager::find_sensor_by_handle(VorlanSensorHandle handle) {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() ? find_sensor_by_handle_impl(handle) : -1;
}

int32_t SensorManager::find_sensor_by_serial_number(uint64_t serial_number) {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() ? find_sensor_by_serial_number_impl(serial_number) : -1;
}

std::shared_ptr<Sensor> SensorManager::get_sensor(int32_t index) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked() || index < 0 || static_cast<std::size_t>(index) >= m_sensors.size()) {
        return {};
    }
    return m_sensors[static_cast<std::size_t>(index)];
}

std::shared_ptr<Sensor> SensorManager::get_sensor_by_handle(VorlanSensorHandle handle) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return {};
    }
    const int32_t index = find_sensor_by_handle_impl(handle);
    return index >= 0 ? m_sensors[static_cast<std::size_t>(index)] : std::shared_ptr<Sensor>();
}

std::shared_ptr<Sensor> SensorManager::get_sensor_by_serial_number(uint64_t serial_number) {
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return {};
    }
    const int32_t index = find_sensor_by_serial_number_impl(serial_number);
    return index >= 0 ? m_sensors[static_cast<std::size_t>(index)] : std::shared_ptr<Sensor>();
}

void SensorManager::clear() {
    std::vector<std::shared_ptr<Sensor>> forgotten;
    PendingSensors forgotten_pending;
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return;
        }
        forgotten.swap(m_sensors);
        std::swap(forgotten_pending, m_pending);
        m_index_of.clear();
        m_last_heard.clear();
        m_no_replacement_before = 0;
        m_unreported_refusals = 0;
        m_last_refusal_report.reset();
    }
    // Sensors nobody else holds are destroyed here, outside the lock.
}

std::size_t SensorManager::get_n_pending_sensors() {
    util::LockGuard lock(m_mutex);
    return lock.is_locked() ? m_pending.size() : 0;
}

int32_t SensorManager::find_sensor_by_handle_impl(VorlanSensorHandle handle) {
    const auto found = m_index_of.find(handle);
    return found == m_index_of.end() ? -1 : found->second;
}

int32_t SensorManager::find_sensor_by_serial_number_impl(uint64_t serial_number) {
    for (std::size_t i = 0; i < m_sensors.size(); ++i) {
        if (m_sensors[i]->get_serial_number() == serial_number) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

}  // namespace vorlan_sdk
