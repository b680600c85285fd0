// Sensors that an information packet introduced but that do not have their
// whole information yet: in practice a sensor whose first half (INF1) waits
// for its second (INF2), which follows within milliseconds. Anyone on the
// network can make entries by sending information-like datagrams from many
// addresses, so the table is bounded: an entry lives at most kMaxAge after it
// was made, and making one beyond kMaxCount forgets the oldest. A sensor
// that completes its information leaves the table and is never forgotten by
// these rules.
#ifndef VORLAN_SOURCE_PENDING_SENSORS_H
#define VORLAN_SOURCE_PENDING_SENSORS_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>

#include "vorlan_sdk.h"

namespace vorlan_sdk {

class Sensor;

// Not thread-safe: the sensor registry calls it under its own lock. Times are
// microseconds of a clock that never goes back.
class PendingSensors {
public:
    static constexpr std::size_t kMaxCount = 64;
    static constexpr int64_t kMaxAge = 10'000'000;

    // The pending sensor of `handle`, or null (also once it has grown too old).
    std::shared_ptr<Sensor> find(VorlanSensorHandle handle, int64_t now);
    // Makes `sensor` pending, first forgetting the entries that are too old
    // and, at the count bound, the oldest one. May throw std::bad_alloc.
    void add(const std::shared_ptr<Sensor>& sensor, VorlanSensorHandle handle, int64_t now);
    // Takes `sensor` out of the table; false when it was no longer there.
    bool remove(const std::shared_ptr<Sensor>& sensor, VorlanSensorHandle handle);
    void clear();
    std::size_t size() const { return m_by_handle.size(); }

private:
    struct Entry {
        std::shared_ptr<Sensor> sensor;
        VorlanSensorHandle handle;
        int64_t created;
    };
    using Order = std::list<Entry>;

    void forget_older_than(int64_t oldest_kept);
    void erase(Order::iterator entry);

    Order m_order;  // oldest first
    std::unordered_map<VorlanSensorHandle, Order::iterator> m_by_handle;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_PENDING_SENSORS_H
