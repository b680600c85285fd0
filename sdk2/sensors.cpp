#include "sensors.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "drop_report.h"

namespace vorlan_sdk2 {
namespace {

int64_t steadyClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<const SensorRecord>> records;  // guarded by mutex; index = order of appearance
    std::vector<int64_t> heard;                                 // guarded by mutex; clock at each record's last store
    std::map<uint64_t, uint32_t> index_of;                      // guarded by mutex
    std::atomic<size_t> count{0};  // records.size(), readable without the mutex
    // Guarded by mutex: while full, no sensor can have been silent long
    // enough before this time (the oldest store seen, plus the silence).
    int64_t no_place_before = INT64_MIN;
    DropReport refusals;  // guarded by mutex
    std::atomic<int64_t (*)()> clock{&steadyClockUs};
};

// With the registry's mutex held: the index of the sensor silent the
// longest, if it has been silent long enough at `now`; -1 otherwise.
int64_t silentPlace(Registry& r, int64_t now) {
    if (now < r.no_place_before || r.heard.empty()) {
        return -1;
    }
    size_t oldest = 0;
    for (size_t i = 1; i < r.heard.size(); ++i) {
        if (r.heard[i] < r.heard[oldest]) {
            oldest = i;
        }
    }
    if (now - r.heard[oldest] >= kSilentSensorUs) {
        return static_cast<int64_t>(oldest);
    }
    r.no_place_before = r.heard[oldest] + kSilentSensorUs;
    return -1;
}

// Bumped under the registry's mutex after every change of a record. Outside
// the registry so that the aggregator's per-batch look needs no guard of a
// function-local object.
std::atomic<uint64_t> g_generation{0};

Registry& registry() {
    static Registry instance;
    return instance;
}

// The record of `handle`, or null; kept alive by the caller's reference even
// if the sensor's next packet replaces it.
std::shared_ptr<const SensorRecord> find(uint64_t handle) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.index_of.find(handle);
    return it == r.index_of.end() ? nullptr : r.records[it->second];
}

std::shared_ptr<const SensorRecord> at(size_t index) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return index < r.records.size() ? r.records[index] : nullptr;
}

int copy_fixed_part(const std::shared_ptr<const SensorRecord>& record, VorlanSensor* out) {
    if (record == nullptr || record->sensor().handle == 0) {
        return VORLAN_ERROR_SENSOR_NOT_FOUND;
    }
    std::memcpy(out, &record->sensor(), sizeof(VorlanSensor));
    out->info_size = sizeof(VorlanSensor);
    return VORLAN_SUCCESS;
}

}  // namespace

SensorRecord::SensorRecord(const VorlanSensor& fixed, const uint8_t* trailing, size_t trailing_size)
    : m_bytes(new uint8_t[sizeof(VorlanSensor) + trailing_size]), m_size(sizeof(VorlanSensor) + trailing_size) {
    VorlanSensor* sensor = new (m_bytes.get()) VorlanSensor(fixed);
    sensor->info_size = static_cast<uint32_t>(m_size);
    if (trailing_size != 0) {
        std::memcpy(m_bytes.get() + sizeof(VorlanSensor), trailing, trailing_size);
    }
}

SensorInfoList& InfoDataCallbacks() {
    static SensorInfoList list;
    return list;
}

void sensorInfoCallbacksClear() { InfoDataCallbacks().Clear(); }

std::shared_ptr<const SensorRecord> VorlanAddSensor(const VorlanSensor& fixed, const uint8_t* trailing,
                                                    size_t trailing_size) {
    // The record is complete before anyone can see it, and never written again.
    auto record = std::make_shared<const SensorRecord>(fixed, trailing, trailing_size);
    Registry& r = registry();
    uint64_t refused = 0;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        const int64_t now = r.clock.load()();
        const auto it = r.index_of.find(fixed.handle);
        if (it != r.index_of.end()) {
            r.records[it->second] = record;  // same index, new contents
            r.heard[it->second] = now;
            g_generation.fetch_add(1, std::memory_order_release);
            return record;
        }
        if (r.records.size() < kMaxSensors) {
            r.records.push_back(record);
            try {
                r.heard.push_back(now);
                r.index_of.emplace(fixed.handle, static_cast<uint32_t>(r.records.size() - 1));
            } catch (...) {
                r.records.pop_back();
                r.heard.resize(r.records.size());
                throw;
            }
            r.count.store(r.records.size(), std::memory_order_release);
            g_generation.fetch_add(1, std::memory_order_release);
            return record;
        }
        const int64_t place = silentPlace(r, now);
        if (place >= 0) {
            // The emplace first: if it throws, the silent sensor stays.
            r.index_of.emplace(fixed.handle, static_cast<uint32_t>(place));
            r.index_of.erase(r.records[static_cast<size_t>(place)]->sensor().handle);
            r.records[static_cast<size_t>(place)] = record;
            r.heard[static_cast<size_t>(place)] = now;
            g_generation.fetch_add(1, std::memory_order_release);
            return record;
        }
        if (!r.refusals.add(1, now, refused)) {
            return nullptr;
        }
    }
    std::fprintf(stderr,
                 "vorlan_sdk2: sensor registry full: %" PRIu64
                 " information packets of new senders refused since the last report (all %zu sensors were heard "
                 "within the last %d s)\n",
                 refused, kMaxSensors, VORLAN_SDK2_SENSOR_SILENCE_SECONDS);
    return nullptr;
}

void setSensorRegistryClock(int64_t (*clock)()) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.clock.store(clock != nullptr ? clock : &steadyClockUs);
    r.no_place_before = INT64_MIN;
    r.refusals = DropReport();
}

std::shared_ptr<const SensorRecord> VorlanUpdateSensor(const VorlanSensor& fixed, const uint8_t* trailing,
                                                       size_t trailing_size) {
    auto record = VorlanAddSensor(fixed, trailing, trailing_size);
    if (record != nullptr) {
        VorlanAddSensorInfo(fixed.handle, &record->sensor());
    }
    return record;
}

void VorlanAddSensorInfo(uint64_t handle, const VorlanSensor* info) { InfoDataCallbacks().Invoke(handle, info); }

void VorlanDeleteAllInfo() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.records.clear();
    r.heard.clear();
    r.index_of.clear();
    r.no_place_before = INT64_MIN;
    r.refusals = DropReport();
    r.count.store(0, std::memory_order_release);
    g_generation.fetch_add(1, std::memory_order_release);
}

uint8_t channelCountOfModel(uint16_t model) {
    switch (model) {
        case 22: return 64;
        case 24: return 64;
        case 25: return 48;
        default: return 0;
    }
}

size_t sensorCount() { return registry().count.load(std::memory_order_acquire); }

int copySensorInformation(uint64_t handle, VorlanSensor* out) { return copy_fixed_part(find(handle), out); }

int copySensorInformationByIndex(size_t index, VorlanSensor* out) { return copy_fixed_part(at(index), out); }

bool isFixed10HzScan(uint64_t handle) {
    const auto record = find(handle);
    // Models below 16 scan at a fixed 10 Hz, model 10 excepted.
    return record != nullptr && record->sensor().model < 16 && record->sensor().model != 10;
}

bool isTimeSynced(uint64_t handle) {
    const auto record = find(handle);
    constexpr uint32_t kSynced =
        VORLAN_SENSOR_FLAG_PTP_CONNECTED | VORLAN_SENSOR_FLAG_PPS_CONNECTED | VORLAN_SENSOR_FLAG_NMEA_CONNECTED;
    return record != nullptr && (record->sensor().flags & kSynced) != 0;
}

const std::atomic<uint64_t>& sensorRegistryGeneration() { return g_generation; }

}  // namespace vorlan_sdk2
