// The sensor registry: one record per sensor, in order of first appearance.
//
// Records are immutable once stored and shared: a sensor's new information
// replaces its record at the same index, and whoever still holds the old one
// (a listener being called, a query copying it) keeps it alive. So no reader
// ever touches a freed or half-written record.
#ifndef VORLAN_SDK2_SENSORS_H
#define VORLAN_SDK2_SENSORS_H

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>

#include "callback_list.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

// A VorlanSensor followed by the sensor's trailing information bytes;
// info_size counts both.
class SensorRecord {
public:
    // May throw std::bad_alloc.
    SensorRecord(const VorlanSensor& fixed, const uint8_t* trailing, size_t trailing_size);
    SensorRecord(const SensorRecord&) = delete;
    SensorRecord& operator=(const SensorRecord&) = delete;

    const VorlanSensor& sensor() const { return *reinterpret_cast<const VorlanSensor*>(m_bytes.get()); }
    size_t size() const { return m_size; }

private:
    std::unique_ptr<uint8_t[]> m_bytes;
    size_t m_size;
};

using SensorInfoList = CallbackList<void, uint64_t, const VorlanSensor*>;

SensorInfoList& InfoDataCallbacks();
void sensorInfoCallbacksClear();

// Sensors the registry holds at most: datagrams from many addresses cannot
// make it grow without end. A sensor keeps its index while it is known.
// When the registry is full, a new sensor takes the place, and the index, of
// the sensor silent the longest if that one has sent no information for
// kSilentSensorUs; otherwise it is refused (and the refusals are told on
// standard error once a second), so a flood of spoofed senders locks real
// sensors out for a few seconds, never for good.
constexpr size_t kMaxSensors = VORLAN_SDK2_MAX_SENSORS;
constexpr int64_t kSilentSensorUs = int64_t{VORLAN_SDK2_SENSOR_SILENCE_SECONDS} * 1000000;

// The clock that tells how long a sensor has been silent (microseconds,
// never going back); a steady clock unless a test sets another. Null
// restores the steady clock.
void setSensorRegistryClock(int64_t (*clock)());

// Stores the sensor's information (the fixed part and the trailing bytes),
// replacing its record at the same index, appending a new one, or taking
// the place of a silent sensor; null when the sensor is new, the registry
// full and none silent long enough. info_size is set from the sizes
// given. May throw std::bad_alloc.
std::shared_ptr<const SensorRecord> VorlanAddSensor(const VorlanSensor& fixed, const uint8_t* trailing = nullptr,
                                                    size_t trailing_size = 0);
// As VorlanAddSensor, then tells the sensor-information listeners (not
// when the record was refused).
std::shared_ptr<const SensorRecord> VorlanUpdateSensor(const VorlanSensor& fixed, const uint8_t* trailing = nullptr,
                                                       size_t trailing_size = 0);
// Calls the sensor-information listeners.
void VorlanAddSensorInfo(uint64_t handle, const VorlanSensor* info);
// Forgets every sensor.
void VorlanDeleteAllInfo();

// Channel count of a model code, 0 for a model not in the table.
uint8_t channelCountOfModel(uint16_t model);

size_t sensorCount();
// Copy of the first 90 bytes with info_size 90; VORLAN_ERROR_SENSOR_NOT_FOUND
// for an unknown handle, an index out of range, or a record without handle.
int copySensorInformation(uint64_t handle, VorlanSensor* out);
int copySensorInformationByIndex(size_t index, VorlanSensor* out);

// Questions the frame aggregator asks per sensor; false for a sensor not in
// the registry.
bool isFixed10HzScan(uint64_t handle);
bool isTimeSynced(uint64_t handle);
// Changes whenever a record is stored, replaced or deleted, so that an answer
// above stays good while the generation does not move. Readers on every
// batch load the counter itself, without a call.
const std::atomic<uint64_t>& sensorRegistryGeneration();

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_SENSORS_H
