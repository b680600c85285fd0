// "INFO" information packets, and "INF1"/"INF2", the two halves a sensor
// splits an information packet into when its calibration block holds more
// segments than one datagram of the older format carries.
//
// Layout (little-endian): 0 type, 4 serial number (0: derive from the
// address), 8 four firmware characters, 12-24 four float overrides of the
// device parameters (0 keeps the model default), 28 device value 2, 30 value
// 3, 31 value 4, 32 value 5, 34 value 6, 36 source of the value 9 multiplier,
// 39 time sync state, 40 GPS date and time (six bytes), 46 age, 48
// temperature, 49 humidity, 56 calibration block.
#include <cstring>

#include "core.h"
#include "packet.h"
#include "sensor.h"

#define VORLAN_SOURCE_FILE "source/packet_info"

namespace vorlan_sdk {

namespace {

constexpr uint32_t kVrn8Block = vorlan_common::type_word("VRN8");
constexpr uint32_t kVrn9Block = vorlan_common::type_word("VRN9");

// A first half names a VRN8 or VRN9 block (segment count at block offset 40)
// with more segments than fit in one datagram.
constexpr std::size_t kBlockSegmentCountOffset = kInfoBlockOffset + 40;
constexpr uint32_t kMaxSegmentsInOneDatagram = 12;

// The second half's block type and identity must match the first half's.
constexpr std::size_t kBlockIdentityOffset = kInfoBlockOffset;
constexpr std::size_t kBlockIdentitySize = 8;
// The second half's segment records (offsets 64-831) continue the first's
// at 952-1719.
constexpr std::size_t kInf2PartOffset = 64;
constexpr std::size_t kInf2PartSize = 768;
constexpr std::size_t kInf1PartEnd = 952;

constexpr float kValue8Numerator = 2.5e7f;

// `packet` holds at least kMinInfoPacketSize bytes.
bool is_first_half(const vorlan_common::ByteView& packet) {
    const uint32_t block_type = packet.u32(kInfoBlockOffset);
    return (block_type == kVrn8Block || block_type == kVrn9Block) &&
           packet.u32(kBlockSegmentCountOffset) > kMaxSegmentsInOneDatagram;
}

}  // namespace

bool can_introduce_sensor(uint32_t type, int32_t size, const uint8_t* data) {
    if (data == nullptr) {
        return false;
    }
    switch (type) {
        case kInfoPacket:
        case kInfxPacket:
            return size >= kMinInfoPacketSize;
        case kInfyPacket:
            return size >= kMinInfyPacketSize;
        case kInf1Packet:
            // A first half too long for its store is refused by the sensor too.
            return size >= kMinInfoPacketSize &&
                   (static_cast<std::size_t>(size) <= Sensor::kInf1BufferSize ||
                    !is_first_half(vorlan_common::ByteView(data, static_cast<std::size_t>(size))));
        default:
            return false;
    }
}

void Sensor::handle_info_packet(int32_t size, const uint8_t* packet) {
    if (packet == nullptr || size < kMinInfoPacketSize) {
        queue_unusable_packet();
        return;
    }
    decode_information(&Sensor::handle_info_packet_impl, packet, size);
}

void Sensor::handle_inf1_packet(int32_t size, const uint8_t* packet) {
    if (packet == nullptr || size < kMinInfoPacketSize) {
        queue_unusable_packet();
        return;
    }
    if (!is_first_half(vorlan_common::ByteView(packet, static_cast<std::size_t>(size)))) {
        decode_information(&Sensor::handle_info_packet_impl, packet, size);
        return;
    }
    if (static_cast<std::size_t>(size) > kInf1BufferSize) {
        queue_unusable_packet();
        return;
    }
    util::LockGuard lock(m_mutex);
    if (!lock.is_locked()) {
        return;
    }
    std::memcpy(m_inf1_buffer.data(), packet, static_cast<std::size_t>(size));
    // Nothing of an earlier first half may show through a shorter one.
    std::memset(m_inf1_buffer.data() + size, 0, kInf1BufferSize - static_cast<std::size_t>(size));
    m_inf1_pending = true;
}

void Sensor::handle_inf2_packet(int32_t size, const uint8_t* packet) {
    enum class Outcome { ignored, refused, decoded };
    Outcome outcome = Outcome::ignored;
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return;
        }
        if (!m_inf1_pending) {
            outcome = Outcome::ignored;
        } else if (packet == nullptr || size < kMinInf2PacketSize) {
            outcome = Outcome::refused;
        } else if (std::memcmp(packet + kBlockIdentityOffset, m_inf1_buffer.data() + kBlockIdentityOffset,
                               kBlockIdentitySize) != 0) {
            // The second half of another calibration: the halves cannot be joined.
            outcome = Outcome::refused;
        } else {
            std::memcpy(m_inf1_buffer.data() + kInf1PartEnd, packet + kInf2PartOffset, kInf2PartSize);
            handle_info_packet_impl(m_inf1_buffer.data(), static_cast<int32_t>(kInf1BufferSize));
            m_has_information = true;
            outcome = Outcome::decoded;
        }
    }
    if (outcome == Outcome::refused) {
        queue_unusable_packet();
    } else if (outcome == Outcome::decoded) {
        m_fault_tracker.check_info_fault();
    }
}

void Sensor::handle_info_packet_impl(const uint8_t* packet, int32_t size) {
    ++m_calibration_changes;  // the calibration may change below
    const vorlan_common::ByteView view(packet, size > 0 ? static_cast<std::size_t>(size) : 0);
    ConvertedCalibration block;
    const bool converted = convert_block(view, kInfoBlockOffset, block.get());
    take_firmware_text(view, 8);

    if (!m_identity_initialized) {
        const uint32_t serial_number = view.u32(4);
        m_information.serial_number = serial_number != 0 ? serial_number : serial_number_from_handle(m_handle);
        if (converted) {
            m_information.model = block.get().model;
            std::memcpy(m_information.model_name, block.get().model_name,
                        sizeof(m_information.model_name));
            m_information.model_name[sizeof(m_information.model_name) - 1] = '\0';
        }
        if (m_information.model == 0) {
            m_information.model = model_from_firmware(m_information.firmware_version);
        }
        m_default_calibration.model = m_information.model;
        if (m_information.model_name[0] == '\0') {
            set_model_name(get_sensor_model_name(m_information.model));
        }
        init_device_parameters();
        // A non-zero float overrides the model default (a NaN counts as set).
        float* const parameters[] = {&m_image_x_scale, &m_image_z_scale, &m_distance_scale, &m_distance_offset};
        for (std::size_t i = 0; i < 4; ++i) {
            const float value = view.f32(12 + 4 * i);
            if (value != 0.0f) {
                *parameters[i] = value;
            }
        }
        init_calibration();
        // The older packets do not say; such sensors send two returns.
        m_information.return_count = return_count_for(2);
        m_information.segment_count = static_cast<uint8_t>(active_segment_count());
    }
    if (converted) {
        update_calibration(block.get());
    }

    // Time sync state: 'A' GPS with PPS, 'P' PPS only, 'V' NMEA only, 0 none.
    switch (view.u8(39)) {
        case 0:
            set_flag(VORLAN_SENSOR_INFO_IS_PPS_CONNECTED, false);
            set_flag(VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED, false);
            break;
        case 'A':
            set_flag(VORLAN_SENSOR_INFO_IS_PPS_CONNECTED, true);
            set_flag(VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED, true);
            break;
        case 'P':
            set_flag(VORLAN_SENSOR_INFO_IS_PPS_CONNECTED, true);
            set_flag(VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED, false);
            break;
        case 'V':
            set_flag(VORLAN_SENSOR_INFO_IS_PPS_CONNECTED, false);
            set_flag(VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED, true);
            break;
        default:
            break;
    }
    take_gps_date(view, 40);
    update_timestamp();

    m_information.last_reported_temperature = view.i8(48);
    // Only the TQ50 generation measures humidity.
    if (m_information.model <= 3) {
        m_information.last_reported_humidity = view.u8(49);
    }
    m_information.last_reported_age = view.u16(46);

    take_device_values(view, 28, 30, 31, 32, 34);
    const uint16_t divisor = view.u16(28);
    const uint8_t multiplier_source = view.u8(36);
    const uint16_t model = m_information.model;
    const bool parvo_clock = model == 7 || model == 12;
    // A divisor of 0 gives infinity, as the sensor means "not measured".
    m_value_8 = static_cast<float>(static_cast<double>(kValue8Numerator) / divisor * (parvo_clock ? 0.03125 : 0.0625));
    if (parvo_clock) {
        m_value_9_multiplier = static_cast<uint16_t>(multiplier_source < 'A' ? multiplier_source + 3840
                                                                             : multiplier_source + 3584);
    } else {
        m_value_9_multiplier =
            static_cast<uint16_t>(multiplier_source > 128 ? multiplier_source : multiplier_source + 256);
    }

    set_version_text();
    m_identity_initialized = true;
    m_inf1_pending = false;
}

}  // namespace vorlan_sdk
