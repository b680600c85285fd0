#include "first_library_facts.h"

#include <cstring>
#include <utility>

namespace vorlan_tool {

SensorFacts first_library_facts(const VorlanSensorInformation& information) {
    SensorFacts facts;
    facts.handle = information.handle;
    facts.serial_number = information.serial_number;
    facts.model = std::string(information.model_name, strnlen(information.model_name, sizeof information.model_name));
    facts.model_number = information.model;
    facts.channels = information.segment_count;
    facts.returns = information.return_count;
    const std::pair<uint32_t, const char*> clocks[] = {{VORLAN_SENSOR_INFO_IS_PTP_CONNECTED, "PTP"},
                                                       {VORLAN_SENSOR_INFO_IS_PPS_CONNECTED, "PPS"},
                                                       {VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED, "NMEA"}};
    for (const auto& clock : clocks) {
        if ((information.flags & clock.first) != 0) {
            facts.sync += (facts.sync.empty() ? "" : " ") + std::string(clock.second);
        }
    }
    facts.firmware = std::string(information.firmware_version,
                                 strnlen(information.firmware_version, sizeof information.firmware_version));
    facts.generation = 1;
    return facts;
}

}  // namespace vorlan_tool
