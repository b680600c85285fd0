// "INFX" information packets of the Parvo and Kiru generations.
//
// Layout (little-endian): 0 type, 4 serial number, 8 four firmware
// characters, 12 model code, 14 device value 2, 16 value 3, 17 value 4,
// 18 value 5, 20 value 6, 24 age, 26 temperature (or device value 10 for
// some models), 27 humidity, 28 return count, 29 status word, 31 time sync
// bits, 32 PTP time, 34 GPS date and time (overlapping the PTP time), 40
// source of device value 11, 42 temperature in sixteenths of a degree, 44 and
// 46 sources of device values 12 and 13, 56 calibration block.
#include "core.h"
#include "packet.h"
#include "sensor.h"

#define VORLAN_SOURCE_FILE "source/packet_infx"

namespace vorlan_sdk {

namespace {

constexpr uint8_t kSyncNmea = 0x01;
constexpr uint8_t kSyncPps = 0x02;
constexpr uint8_t kSyncPtp = 0x04;
constexpr uint16_t kStatusBit5 = 0x02;

}  // namespace

void Sensor::handle_infx_packet(int32_t size, const uint8_t* packet) {
    if (packet == nullptr || size < kMinInfoPacketSize) {
        queue_unusable_packet();
        return;
    }
    decode_information(&Sensor::handle_infx_packet_impl, packet, size);
}

void Sensor::handle_infx_packet_impl(const uint8_t* packet, int32_t size) {
    ++m_calibration_changes;  // the calibration may change below
    const vorlan_common::ByteView view(packet, size > 0 ? static_cast<std::size_t>(size) : 0);
    ConvertedCalibration block;
    const bool converted = convert_block(view, kInfoBlockOffset, block.get());
    take_firmware_text(view, 8);

    if (!m_identity_initialized) {
        m_information.serial_number = view.u32(4);
        m_information.model = static_cast<uint16_t>(view.i16(12));
        set_model_name(get_sensor_model_name(m_information.model));
        init_device_parameters();
        init_calibration();
        m_information.return_count = return_count_for(view.u8(28));
        m_information.segment_count = static_cast<uint8_t>(active_segment_count());
    }
    if (converted) {
        update_calibration(block.get());
    } else if ((m_information.flags & VORLAN_SENSOR_INFO_IS_CALIBRATED) != 0) {
        // The sensor no longer sends a usable calibration: fall back to the
        // one built from the model defaults.
        use_default_calibration();
        set_flag(VORLAN_SENSOR_INFO_IS_CALIBRATED, false);
    }

    const uint8_t sync = view.u8(31);
    set_flag(VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED, (sync & kSyncNmea) != 0);
    set_flag(VORLAN_SENSOR_INFO_IS_PPS_CONNECTED, (sync & kSyncPps) != 0);
    set_flag(VORLAN_SENSOR_INFO_IS_PTP_CONNECTED, (sync & kSyncPtp) != 0);
    m_information.ptp_time = (sync & kSyncPtp) != 0 ? view.i64(32) : 0;
    take_gps_date(view, 34);
    update_timestamp();

    const uint16_t model = m_information.model;
    m_information.last_reported_temperature = view.i8(26);
    if (is_infx_extended_model(model)) {
        set_flag(VORLAN_SENSOR_INFO_STATUS_BIT_5, (view.u16(29) & kStatusBit5) != 0);
        m_information.last_reported_temperature = sixteenths_to_degrees(view.i16(42));
    } else {
        m_information.last_reported_humidity = view.u8(27);
    }

    if (reports_values_12_13(model)) {
        m_value_12 = halves_to_value(view.i16(44));
        m_value_13 = halves_to_value(view.i16(46));
    }
    if (reports_infx_value_10(model)) {
        m_value_10 = halves_to_value(view.i16(26));
    }

    m_information.last_reported_age = view.u16(24);
    take_device_values(view, 14, 16, 17, 18, 20);
    if (is_infx_extended_model(model)) {
        m_value_11 = value_11_from_raw(view.u16(40));
    }

    set_version_text();
    m_identity_initialized = true;
}

}  // namespace vorlan_sdk
