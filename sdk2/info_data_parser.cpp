#include "info_data_parser.h"

#include <cstring>
#include <limits>

#include "sensors.h"
#include "vorlan_sdk2.h"
#include "wire_bytes.h"

namespace vorlan_sdk2 {

using vorlan_common::ByteView;

namespace {

constexpr uint32_t kInfzMagic = vorlan_common::type_word("INFZ");
constexpr size_t kLayoutOffset = 4;
constexpr size_t kModelOffset = 8;
constexpr size_t kSerialOffset = 12;
constexpr size_t kFirmwareOffset = 16;
constexpr size_t kModelNameOffset = 20;
constexpr size_t kAuxOffset = 48;

// The two layouts differ in where the time block, the time-sync source and
// the sensor's trailing bytes lie.
struct Layout {
    size_t time_block;
    size_t sync_source;
    size_t header;  // the trailing bytes start here
};
constexpr Layout kShortLayout{52, 72, 76};
constexpr Layout kLongLayout{64, 84, 88};

constexpr uint8_t kSyncPtp = 1;
constexpr uint8_t kSyncGps = 2;

}  // namespace

int infoDataParser(uint64_t handle, int64_t, const uint8_t* data, size_t size, void*) {
    const ByteView packet(data, size);
    if (!packet.has(0, kLayoutOffset + 4) || packet.u32(0) != kInfzMagic) {
        return -1;
    }
    Layout layout;
    switch (packet.u32(kLayoutOffset)) {
        case 76: layout = kShortLayout; break;
        case 2136: layout = kLongLayout; break;
        default: return VORLAN_ERROR_NOT_SUPPORTED;
    }
    const size_t trailing = size - layout.header;
    if (!packet.has(0, layout.header) || trailing > std::numeric_limits<uint32_t>::max() - sizeof(VorlanSensor)) {
        return -1;  // cut short (or absurdly long): nothing to store
    }

    VorlanSensor sensor;
    std::memset(&sensor, 0, sizeof(sensor));
    sensor.handle = handle;
    sensor.serial_number = packet.u32(kSerialOffset);
    std::memcpy(sensor.firmware_version, packet.data() + kFirmwareOffset, sizeof(sensor.firmware_version));
    std::memcpy(sensor.model_name, packet.data() + kModelNameOffset, sizeof(sensor.model_name));
    sensor.model = packet.u16(kModelOffset);
    sensor.aux_info = packet.u32(kAuxOffset);
    sensor.ptp_time = packet.i64(layout.time_block);
    sensor.time_extra = packet.u64(layout.time_block + 8);
    sensor.channel_count = channelCountOfModel(sensor.model);
    switch (packet.u8(layout.sync_source)) {
        case kSyncPtp: sensor.flags = VORLAN_SENSOR_FLAG_PTP_CONNECTED; break;
        case kSyncGps: sensor.flags = VORLAN_SENSOR_FLAG_PPS_CONNECTED | VORLAN_SENSOR_FLAG_NMEA_CONNECTED; break;
        default: break;
    }

    std::shared_ptr<const SensorRecord> record;
    try {
        record = VorlanAddSensor(sensor, packet.data() + layout.header, trailing);
    } catch (const std::bad_alloc&) {
        return VORLAN_ERROR_OUT_OF_MEMORY;
    }
    if (record == nullptr) {
        return VORLAN_ERROR_OUT_OF_MEMORY;  // a new sensor, and the registry full
    }
    // Every packet is announced, also when nothing in it changed.
    VorlanAddSensorInfo(handle, &record->sensor());
    return 0;
}

}  // namespace vorlan_sdk2
