// Whether a UDP payload is sensor traffic: every packet a sensor sends
// starts with its type, four ASCII characters; some senders put point
// ("STA0") and information ("INFZ") packets behind an 8-byte prefix.
#ifndef VORLAN_COMMON_SENSOR_PAYLOAD_H
#define VORLAN_COMMON_SENSOR_PAYLOAD_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorlan_capture {

inline bool is_sensor_payload(const uint8_t* payload, std::size_t size) {
    static const char kTypes[][5] = {"INFO", "INF1", "INF2", "INFX", "INFY", "INFZ", "STDP", "STDQ",
                                     "STDR", "STDT", "STDV", "STA0", "ADCX", "ADBO", "NMEA"};
    if (size < 4) {
        return false;
    }
    for (const char* type : kTypes) {
        if (std::memcmp(payload, type, 4) == 0) {
            return true;
        }
    }
    constexpr std::size_t kPrefix = 8;
    return size >= kPrefix + 4 &&
           (std::memcmp(payload + kPrefix, "STA0", 4) == 0 || std::memcmp(payload + kPrefix, "INFZ", 4) == 0);
}

}  // namespace vorlan_capture

#endif  // VORLAN_COMMON_SENSOR_PAYLOAD_H
