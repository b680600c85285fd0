#include "packet_serial.h"

#include "core.h"

#define VORLAN_SOURCE_FILE "source/packet_serial"

namespace vorlan_sdk {

namespace {
// The type word and at least the terminating NUL.
constexpr std::size_t kMinNmeaSize = 5;
constexpr std::size_t kNmeaLineOffset = 4;
}  // namespace

SensorError check_nmea_packet(const uint8_t* data, std::size_t size, const char*& line) {
    line = nullptr;
    if (data == nullptr || size < kMinNmeaSize) {
        return SensorError(VORLAN_ERROR_COMMUNICATION, "Invalid NMEA packet size!");
    }
    if (data[size - 1] != 0) {
        return SensorError(VORLAN_ERROR_COMMUNICATION, "NMEA packet not null-terminated!");
    }
    line = reinterpret_cast<const char*>(data + kNmeaLineOffset);
    return VORLAN_SUCCESS;
}

void handle_nmea_line(VorlanSensorHandle handle, int32_t size, const uint8_t* data) {
    const char* line = nullptr;
    const SensorError error = check_nmea_packet(data, size > 0 ? static_cast<std::size_t>(size) : 0, line);
    if (!error.ok()) {
        CallbackManager::instance().queue_error(handle, error.code(), error.message());
        return;
    }
    CallbackManager::instance().serial_cb.emit(handle, line);
}

}  // namespace vorlan_sdk
