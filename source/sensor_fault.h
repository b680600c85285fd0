// Sensor faults the library can see from the outside: a sensor reporting an
// extreme temperature or humidity, and a scanner whose points no longer
// cover its field of view (a stuck or slowed mirror shows as a narrow span).
#ifndef VORLAN_SOURCE_SENSOR_FAULT_H
#define VORLAN_SOURCE_SENSOR_FAULT_H

#include <cstddef>
#include <cstdint>
#include <functional>

#include "vorlan_sdk.h"

namespace vorlan_sdk {

// Half the field of view of a model as tangents, the unit of calibrated
// image coordinates; 0 means the axis is not checked.
struct FieldOfView {
    float horizontal;
    float vertical;
};

// Indexed by model code; models beyond the table are never judged.
inline constexpr std::size_t kFovModelCount = 23;
extern const FieldOfView FOV_BY_MODEL[kFovModelCount];

// One per sensor. Not locked: every call comes from the thread that delivers
// the sensor's packets.
class FaultTracker {
public:
    // Returns a snapshot of the owning sensor's current information.
    using InformationSource = std::function<VorlanSensorInformation()>;

    static constexpr float kMaxTemperature = 80.0f;   // °C
    static constexpr float kMinTemperature = -40.0f;  // °C
    static constexpr float kMaxHumidity = 99.0f;      // % relative humidity
    // Points of the first minute after the first checked point are not
    // judged: a scanner takes that long to reach its full sweep.
    static constexpr int64_t kWarmUpUs = 60'000'000;
    // A coverage window is judged once it spans more than a second and holds
    // enough points for the extremes of the sweep to have shown.
    static constexpr int64_t kWindowUs = 1'000'000;
    static constexpr uint32_t kMinWindowPoints = 125'000;

    FaultTracker(VorlanSensorHandle handle, InformationSource information);

    // Reports VORLAN_FAULT_EXTREME_TEMPERATURE and VORLAN_FAULT_EXTREME_HUMIDITY
    // (each with the reported value as a 4-byte float) while the sensor's
    // information shows them. Called after every accepted information packet.
    void check_info_fault();

    // Watches the spread of calibrated points over windows of about a second
    // and reports VORLAN_FAULT_SCAN_COVERAGE (with the horizontal span as a
    // 4-byte float) when it is narrower than the model's field of view.
    // Called with the image points of each frame about to be published;
    // `points` holds `count` points.
    void check_points(std::size_t count, const VorlanSensorImagePoint* points);

    // Calls the error callback at once with the sensor's handle; faults are
    // not queued. `data` must stay valid during the call.
    void report_error(VorlanSensorErrorCode code, const char* message, const void* data, std::size_t size);

private:
    VorlanSensorInformation information() const;
    void judge_window();
    // Widens the window's extent of image coordinates by `count` points.
    void widen_extent(std::size_t count, const VorlanSensorImagePoint* points);

    VorlanSensorHandle m_handle;
    InformationSource m_information;
    bool m_has_first_time = false;
    int64_t m_first_time = 0;
    bool m_is_window_open = false;
    int64_t m_window_start = 0;
    float m_max_x = 0.0f;
    float m_min_x = 0.0f;
    float m_max_z = 0.0f;
    float m_min_z = 0.0f;
    uint32_t m_n_points = 0;  // in the window, saturating
    // The values reported with the last fault; the callback gets pointers to them.
    float m_reported_value = 0.0f;
    float m_reported_value_z = 0.0f;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_SENSOR_FAULT_H
