#include "sensor_fault.h"

#include <cstddef>
#include <limits>
#include <utility>

#include "core.h"
#include "float_lanes.h"

#define VORLAN_SOURCE_FILE "source/sensor_fault"

namespace vorlan_sdk {

// Single-precision tangents of half the full angles: 60° 0.57735026,
// 24° 0.21255657, 15° 0.13165250, 120° 1.7320509, 18° 0.15838444,
// 22° 0.19438031, 11° 0.096289046, 90° 1.0, 30° 0.26794919.
const FieldOfView FOV_BY_MODEL[kFovModelCount] = {
    {0.0f, 0.0f},                 // 0
    {0.0f, 0.0f},                 // 1
    {0.0f, 0.0f},                 // 2
    {0.57735026f, 0.21255657f},   // 3: 60 × 24
    {0.57735026f, 0.0f},          // 4: 60 × —
    {0.57735026f, 0.21255657f},   // 5: 60 × 24
    {0.13165250f, 0.13165250f},   // 6: 15 × 15
    {0.57735026f, 0.21255657f},   // 7: 60 × 24
    {0.0f, 0.0f},                 // 8
    {0.0f, 0.0f},                 // 9
    {1.7320509f, 0.15838444f},    // 10: 120 × 18
    {0.57735026f, 0.0f},          // 11: 60 × —
    {0.57735026f, 0.19438031f},   // 12: 60 × 22
    {0.13165250f, 0.096289046f},  // 13: 15 × 11
    {1.0f, 0.26794919f},          // 14: 90 × 30
    {1.0f, 0.0f},                 // 15: 90 × —
    {0.57735026f, 0.19438031f},   // 16: 60 × 22
    {0.57735026f, 0.0f},          // 17: 60 × —
    {1.7320509f, 0.26794919f},    // 18: 120 × 30
    {0.0f, 0.0f},                 // 19
    {0.0f, 0.0f},                 // 20
    {0.0f, 0.0f},                 // 21
    {0.0f, 0.0f},                 // 22
};

namespace {

// t > start + span, without overflowing near the ends of the clock.
bool is_later_than(int64_t t, int64_t start, int64_t span) {
    return t > start && static_cast<uint64_t>(t) - static_cast<uint64_t>(start) > static_cast<uint64_t>(span);
}

}  // namespace

FaultTracker::FaultTracker(VorlanSensorHandle handle, InformationSource information)
    : m_handle(handle), m_information(std::move(information)) {}

VorlanSensorInformation FaultTracker::information() const {
    return m_information ? m_information() : VorlanSensorInformation{};
}

void FaultTracker::check_info_fault() {
    const VorlanSensorInformation info = information();
    const float temperature = info.last_reported_temperature;
    if (temperature > kMaxTemperature || temperature < kMinTemperature) {
        m_reported_value = temperature;
        report_error(VORLAN_FAULT_EXTREME_TEMPERATURE, "", &m_reported_value, sizeof(m_reported_value));
    }
    const float humidity = info.last_reported_humidity;
    if (humidity > kMaxHumidity) {
        m_reported_value = humidity;
        report_error(VORLAN_FAULT_EXTREME_HUMIDITY, "", &m_reported_value, sizeof(m_reported_value));
    }
}

void FaultTracker::check_points(std::size_t count, const VorlanSensorImagePoint* points) {
    if (count == 0 || points == nullptr) {
        return;
    }
    const int64_t t = points[0].timestamp;
    if (!m_is_window_open) {
        if (!m_has_first_time) {
            m_has_first_time = true;
            m_first_time = t;
        }
        if (!is_later_than(t, m_first_time, kWarmUpUs)) {
            return;
        }
        m_is_window_open = true;
        m_window_start = t;
        m_min_x = m_max_x = points[0].image_x;
        m_min_z = m_max_z = points[0].image_z;
        m_n_points = 0;
    } else if (is_later_than(t, m_window_start, kWindowUs) && m_n_points >= kMinWindowPoints) {
        judge_window();
        m_is_window_open = false;
        return;
    }
    widen_extent(count, points);
    const uint64_t total = static_cast<uint64_t>(m_n_points) + count;
    m_n_points = total > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                              : static_cast<uint32_t>(total);
}

void FaultTracker::widen_extent(std::size_t count, const VorlanSensorImagePoint* points) {
    // A point below the minimum cannot be above the maximum, as the two start
    // equal; NaN coordinates leave both as they are.
#if defined(VORLAN_HAS_SSE2_LANES)
    // The coordinates and the floats between them, one load per point: x in
    // lane 0, z in lane 2. minps/maxps keep their second operand on a tie or
    // a NaN, as the plain comparisons do.
    static_assert(offsetof(VorlanSensorImagePoint, image_x) + 8 == offsetof(VorlanSensorImagePoint, image_z) &&
                      offsetof(VorlanSensorImagePoint, image_x) + 16 <= sizeof(VorlanSensorImagePoint),
                  "x and z are two floats apart");
    __m128 low = _mm_setr_ps(m_min_x, 0.0f, m_min_z, 0.0f);
    __m128 high = _mm_setr_ps(m_max_x, 0.0f, m_max_z, 0.0f);
    for (std::size_t i = 0; i < count; ++i) {
        const __m128 point = _mm_loadu_ps(&points[i].image_x);
        low = _mm_min_ps(point, low);
        high = _mm_max_ps(point, high);
    }
    alignas(16) float lows[4];
    alignas(16) float highs[4];
    _mm_store_ps(lows, low);
    _mm_store_ps(highs, high);
    m_min_x = lows[0];
    m_min_z = lows[2];
    m_max_x = highs[0];
    m_max_z = highs[2];
#else
    for (std::size_t i = 0; i < count; ++i) {
        const float x = points[i].image_x;
        const float z = points[i].image_z;
        if (x < m_min_x) {
            m_min_x = x;
        } else if (x > m_max_x) {
            m_max_x = x;
        }
        if (z < m_min_z) {
            m_min_z = z;
        } else if (z > m_max_z) {
            m_max_z = z;
        }
    }
#endif
}

void FaultTracker::judge_window() {
    const VorlanSensorInformation info = information();
    if (info.model >= kFovModelCount) {
        return;
    }
    const FieldOfView fov = FOV_BY_MODEL[info.model];
    m_reported_value = m_max_x - m_min_x;
    m_reported_value_z = m_max_z - m_min_z;
    const bool narrow_x = fov.horizontal != 0.0f && m_reported_value < 2.0f * fov.horizontal;
    const bool narrow_z = fov.vertical != 0.0f && m_reported_value_z < 2.0f * fov.vertical;
    if (narrow_x || narrow_z) {
        report_error(VORLAN_FAULT_SCAN_COVERAGE, "", &m_reported_value, sizeof(m_reported_value));
    }
}

void FaultTracker::report_error(VorlanSensorErrorCode code, const char* message, const void* data,
                                std::size_t size) {
    CallbackManager::instance().emit_error(m_handle, code, message, data, size);
}

}  // namespace vorlan_sdk
