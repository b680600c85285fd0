// "INFY" information packets of the newest sensors.
//
// Layout (little-endian): 0 type, 4 serial number, 8 firmware minor, 9 major,
// 10 build, 12 model code, 14 device value 2, 16 value 3, 17 value 4, 18
// value 5, 20 value 6, 22 age (32 bits), 38 status, 42 time sync bits, 43
// time in seconds since 1970 (PTP or GPS), 61 nominal measurement period in
// nanoseconds, 63 source of device value 10 or 12, 65 source of device value
// 11, 67 temperature in sixteenths of a degree, 69 source of device value 13,
// 83 model variant bits, 88 model name text, 115 "generate the name" byte,
// 128 calibration block.
#include <algorithm>
#include <cstring>

#include "core.h"
#include "packet.h"
#include "sensor.h"

#define VORLAN_SOURCE_FILE "source/packet_infy"

namespace vorlan_sdk {

namespace {

constexpr uint8_t kSyncNmea = 0x01;
constexpr uint8_t kSyncPps = 0x02;
constexpr uint8_t kSyncPtp = 0x04;

constexpr uint8_t kStatusTwoReturns = 0x01;
constexpr uint8_t kStatusBit5 = 0x02;
constexpr uint8_t kStatusBit6 = 0x08;

constexpr uint8_t kVariantL = 0x01;
constexpr uint8_t kVariantE = 0x02;

constexpr std::size_t kModelNameOffset = 88;
constexpr std::size_t kModelNameSize = 27;
constexpr std::size_t kForceGeneratedNameOffset = 115;

}  // namespace

void Sensor::handle_infy_packet(int32_t size, const uint8_t* packet) {
    if (packet == nullptr || size < kMinInfyPacketSize) {
        queue_unusable_packet();
        return;
    }
    decode_information(&Sensor::handle_infy_packet_impl, packet, size);
}

void Sensor::handle_infy_packet_impl(const uint8_t* packet, int32_t size) {
    ++m_calibration_changes;  // the calibration may change below
    const vorlan_common::ByteView view(packet, size > 0 ? static_cast<std::size_t>(size) : 0);
    ConvertedCalibration block;
    const bool converted = convert_block(view, kInfyBlockOffset, block.get());
    std::memset(m_information.firmware_version, 0, sizeof(m_information.firmware_version));
    m_information.firmware_major = view.u8(9);
    m_information.firmware_minor = view.u8(8);
    m_information.firmware_build = view.u8(10);

    const uint8_t status = view.u8(38);
    if (!m_identity_initialized) {
        m_information.serial_number = view.u32(4);
        m_information.model = static_cast<uint16_t>(view.i16(12));
        const uint8_t variant = view.u8(83);
        m_variant_l = (variant & kVariantL) != 0;
        m_variant_e = (variant & kVariantE) != 0;
        // An unset name (0 or 0xFF, erased flash) or the sensor's request
        // gives the display name with the variant letters.
        const uint8_t first = view.u8(kModelNameOffset);
        if (first == 0 || first == 0xFF || view.u8(kForceGeneratedNameOffset) != 0) {
            std::string name = get_sensor_model_name(m_information.model);
            if (m_variant_l) {
                name += "L";
            }
            if (m_variant_e) {
                name += "E";
            }
            set_model_name(name);
        } else {
            char name[kModelNameSize + 1] = {};
            view.copy(kModelNameOffset, name, kModelNameSize);
            set_model_name(std::string(name, std::find(name, name + kModelNameSize, '\0')));
        }
        m_nominal_period = static_cast<float>(view.u16(61) / 1e9);
        init_device_parameters();
        init_calibration();
        m_information.return_count = return_count_for((status & kStatusTwoReturns) != 0 ? 2 : 1);
        m_information.segment_count = static_cast<uint8_t>(active_segment_count());
    }
    if (converted) {
        update_calibration(block.get());
    }

    const uint8_t sync = view.u8(42);
    set_flag(VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED, (sync & kSyncNmea) != 0);
    set_flag(VORLAN_SENSOR_INFO_IS_PPS_CONNECTED, (sync & kSyncPps) != 0);
    set_flag(VORLAN_SENSOR_INFO_IS_PTP_CONNECTED, (sync & kSyncPtp) != 0);
    const int64_t time = view.i64(43);
    if ((sync & kSyncPtp) != 0) {
        m_information.ptp_time = time;
    } else {
        const CivilTime civil = civil_time(time);
        m_information.gps_year = static_cast<uint8_t>((civil.year % 100 + 100) % 100);
        m_information.gps_month = civil.month;
        m_information.gps_day = civil.day;
        m_information.gps_hour = civil.hour;
        m_information.gps_minute = civil.minute;
        m_information.gps_second = civil.second;
    }
    update_timestamp();

    m_information.last_reported_temperature = sixteenths_to_degrees(view.i16(67));
    set_flag(VORLAN_SENSOR_INFO_STATUS_BIT_5, (status & kStatusBit5) != 0);
    set_flag(VORLAN_SENSOR_INFO_STATUS_BIT_6, (status & kStatusBit6) != 0);

    if (reports_values_12_13(m_information.model)) {
        m_value_12 = halves_to_value(view.i16(63));
        m_value_13 = halves_to_value(view.i16(69));
    } else {
        m_value_10 = halves_to_value(view.i16(63));
    }

    m_information.last_reported_age = static_cast<float>(view.u32(22));
    take_device_values(view, 14, 16, 17, 18, 20);
    m_value_11 = value_11_from_raw(view.u16(65));

    set_version_text();
    m_identity_initialized = true;
}

}  // namespace vorlan_sdk
