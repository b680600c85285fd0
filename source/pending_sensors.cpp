#include "pending_sensors.h"

namespace vorlan_sdk {

std::shared_ptr<Sensor> PendingSensors::find(VorlanSensorHandle handle, int64_t now) {
    const auto found = m_by_handle.find(handle);
    if (found == m_by_handle.end()) {
        return nullptr;
    }
    if (now - found->second->created > kMaxAge) {
        erase(found->second);
        return nullptr;
    }
    return found->second->sensor;
}

void PendingSensors::add(const std::shared_ptr<Sensor>& sensor, VorlanSensorHandle handle, int64_t now) {
    forget_older_than(now - kMaxAge);
    const auto same = m_by_handle.find(handle);
    if (same != m_by_handle.end()) {
        erase(same->second);
    }
    if (m_by_handle.size() >= kMaxCount) {
        erase(m_order.begin());
    }
    m_order.push_back(Entry{sensor, handle, now});
    try {
        m_by_handle.emplace(handle, std::prev(m_order.end()));
    } catch (...) {
        m_order.pop_back();
        throw;
    }
}

bool PendingSensors::remove(const std::shared_ptr<Sensor>& sensor, VorlanSensorHandle handle) {
    const auto found = m_by_handle.find(handle);
    if (found == m_by_handle.end() || found->second->sensor != sensor) {
        return false;
    }
    erase(found->second);
    return true;
}

void PendingSensors::clear() {
    m_by_handle.clear();
    m_order.clear();
}

void PendingSensors::forget_older_than(int64_t oldest_kept) {
    while (!m_order.empty() && m_order.front().created < oldest_kept) {
        erase(m_order.begin());
    }
}

void PendingSensors::erase(Order::iterator entry) {
    m_by_handle.erase(entry->handle);
    m_order.erase(entry);
}

}  // namespace vorlan_sdk
