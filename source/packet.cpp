// Packet recognition, the model table, and the parts of a sensor's state that
// every information packet kind shares: identity rules, device parameters,
// the default calibration and the time base.
#include "packet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "core.h"
#include "sensor.h"

#define VORLAN_SOURCE_FILE "source/packet"

namespace vorlan_sdk {

namespace {

float float_from_bits(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

enum class Family { none, tq50, parvo, kiru };

struct ModelEntry {
    uint16_t code;
    const char* name;
    Family family;
    uint8_t segment_count;
};

// Models with a display name. The Windows build has always known the Nexo-E
// (18) and not the Parvo-L25 (13); sensors and files on each platform rely on
// that, so the two builds keep their tables.
constexpr ModelEntry kModels[] = {
    {3, "TQ50-S", Family::tq50, 8},
    {6, "TQ50-M Mk2", Family::none, 8},
    {7, "Parvo 410", Family::parvo, 24},
    {10, "Parvo-L200", Family::parvo, 96},
    {11, "Kiru-D40", Family::kiru, 24},
    {12, "Parvo-D40", Family::parvo, 24},
#ifndef _WIN32
    {13, "Parvo-L25", Family::parvo, 32},
#endif
    {14, "Parvo-D70", Family::parvo, 24},
    {15, "Kiru-D70", Family::none, 8},
    {16, "Parvo-D41", Family::parvo, 24},
    {17, "Kiru-D41", Family::kiru, 8},
#ifdef _WIN32
    {18, "Nexo-E", Family::parvo, 32},
#endif
    {21, "Parvo-R20", Family::parvo, 32},
};

constexpr uint8_t kUnknownModelSegmentCount = 8;

const ModelEntry* find_model(int64_t model) {
    for (const ModelEntry& entry : kModels) {
        if (entry.code == model) {
            return &entry;
        }
    }
    return nullptr;
}

Family family_of(uint32_t model) {
    const ModelEntry* entry = find_model(model & 0xFFFFu);
    return entry != nullptr ? entry->family : Family::none;
}

bool is_parvo_l25(uint32_t model) {
#ifdef _WIN32
    (void)model;
    return false;
#else
    return model == 13;
#endif
}

// Float bit patterns of the device parameter defaults, exact as sensors were
// calibrated against them.
constexpr uint32_t kScale1e6 = 0x358637BD;         // 1e-6
constexpr uint32_t kScale2e6 = 0x360637BD;         // 2e-6
constexpr uint32_t kDistanceScale = 0x3A82FB39;    // 0.0009993083
constexpr uint32_t kDistanceScaleOld = 0x3B822FF1;  // 0.003973
constexpr uint32_t kOffset0168 = 0x3C89A027;       // 0.0168
constexpr uint32_t kOffset01 = 0x3C23D70A;         // 0.01

DeviceParameters parameters_from_bits(uint32_t x, uint32_t z, uint32_t scale, uint32_t offset) {
    return {float_from_bits(x), float_from_bits(z), float_from_bits(scale), float_from_bits(offset)};
}

// Distortion coefficients 1-3 of a model whose calibration block carries none.
struct Distortion {
    uint32_t bits[3];
};

Distortion default_distortion(uint32_t model) {
    switch (model) {
        case 12:
            return {{0x3EFBA9EE, 0x3E6C65BE, 0x3E2ACBEF}};  // 0.49153084, 0.23085687, 0.16679357
        case 7:
            return {{0x3E348D0F, 0x3CFD8A44, 0x3BC9F440}};  // 0.17631935, 0.030949719, 0.00616315
        case 6:
            return {{0x3F6C99AC, 0x3E3E83D7, 0x40E6D926}};  // 0.92421985, 0.1860498, 7.2140074
        default:
            return {{0x3E76AE7D, 0x3EC94467, 0xBF17DBF5}};  // 0.2409, 0.3931, -0.5932
    }
}

int64_t floor_div(int64_t value, int64_t divisor) {
    const int64_t quotient = value / divisor;
    return (value % divisor < 0) ? quotient - 1 : quotient;
}

// Days since 1970-01-01 of a proleptic Gregorian date (eras of 400 years,
// 146097 days each, counted from 0000-03-01).
int64_t days_from_civil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = floor_div(year, 400);
    const int64_t year_of_era = year - era * 400;
    const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

unsigned hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned>(c - 'a' + 10);
    }
    return static_cast<unsigned>(c - 'A' + 10);
}

// Character `index` of a NUL-terminated text, 0 at and after its end.
char char_at(const char* text, std::size_t index) {
    for (std::size_t i = 0; i < index; ++i) {
        if (text[i] == '\0') {
            return '\0';
        }
    }
    return text[index];
}

}  // namespace

// ---- Packet types and the model table -----------------------------------------

bool is_info_packet(uint32_t type) {
    return type == kInfoPacket || type == kInf1Packet || type == kInf2Packet || type == kInfxPacket ||
           type == kInfyPacket;
}

std::string get_sensor_model_name(int32_t model) {
    const ModelEntry* entry = find_model(model);
    return entry != nullptr ? entry->name : std::string();
}

uint8_t default_segment_count(int32_t model) {
    const ModelEntry* entry = find_model(model);
    return entry != nullptr ? entry->segment_count : kUnknownModelSegmentCount;
}

bool is_tq50_model(uint32_t model) { return family_of(model) == Family::tq50; }
bool is_parvo_model(uint32_t model) { return family_of(model) == Family::parvo; }
bool is_kiru_model(uint32_t model) { return family_of(model) == Family::kiru; }

bool is_infx_extended_model(uint32_t model) {
    return model == 7 || model == 10 || model == 11 || model == 12 || is_parvo_l25(model) || model == 14 ||
           model == 21;
}

bool reports_values_12_13(uint32_t model) { return model == 10 || is_parvo_l25(model) || model == 21; }

bool reports_infx_value_10(uint32_t model) { return model == 7 || model == 11 || model == 12 || model == 14; }

DeviceParameters default_device_parameters(uint32_t model, uint8_t firmware_major) {
    switch (model) {
        case 3:
            return parameters_from_bits(0x35BBE7A2, 0x363531A6, firmware_major <= 37 ? kDistanceScaleOld : kDistanceScale,
                                        kOffset0168);  // 1.4e-6, 2.7e-6
        case 6:
            return parameters_from_bits(0x3593A3B6, 0x365D7591, kDistanceScale, 0x3D4CCCCD);  // 1.1e-6, 3.3e-6, 0.05
        case 7:
        case 11:
            return parameters_from_bits(kScale2e6, kScale2e6, kDistanceScale, kOffset0168);
        case 10:
            return parameters_from_bits(kScale2e6, kScale2e6, kDistanceScale, 0x3D271DE7);  // 0.0408
        case 12:
            return parameters_from_bits(kScale2e6, kScale2e6, kDistanceScale, 0x3CA4A8C1);  // 0.0201
        case 14:
            return parameters_from_bits(kScale2e6, kScale2e6, kDistanceScale, kOffset01);
        case 21:
            return parameters_from_bits(kScale2e6, kScale2e6, kDistanceScale, 0x3CCF41F2);  // 0.0253
        default:
            break;
    }
    if (is_parvo_l25(model)) {
        return parameters_from_bits(kScale2e6, kScale2e6, kDistanceScale, 0x3D271DE7);  // 0.0408
    }
#ifdef _WIN32
    if (model == 18) {
        return parameters_from_bits(kScale2e6, kScale2e6, kDistanceScale, 0x3BE3150E);  // 0.00693
    }
#endif
    return parameters_from_bits(kScale1e6, kScale1e6, kDistanceScale, kOffset01);
}

// ---- Scaled readings -------------------------------------------------------------

// The 16-bit truncation is the sensors' own: a reading beyond it wraps.
float sixteenths_to_degrees(int16_t raw) { return static_cast<int16_t>(raw * 8) / 128.0f; }

float halves_to_value(int16_t raw) { return static_cast<int16_t>(raw * 128) / 256.0f; }

float value_11_from_raw(uint16_t raw) {
    return static_cast<float>(raw) * 250.0f * (1.0f / 4096.0f) * 0.615f + 82.4f;
}

// ---- Identity rules ---------------------------------------------------------------

uint64_t serial_number_from_handle(VorlanSensorHandle handle) {
    const uint64_t low = handle & 0xFFFFu;
    if ((low >> 8) == 0) {
        // Wraps for addresses ending below 32, as the sensors' own tools do.
        return low - 32u;
    }
    return low > 0x2020u ? low - 0x2020u : 4098u;
}

uint16_t model_from_firmware(const char* firmware) {
    const char first = char_at(firmware, 0);
    const char second = char_at(firmware, 1);
    if (first == 'V' && second == '8') {
        return 7;
    }
    if (!(first == 'V' && second == '3')) {
        return 3;
    }
    return char_at(firmware, 2) > '4' ? 6 : 0;
}

void Sensor::firmware_version_transform(const char* text, uint8_t& major, uint8_t& minor) {
    if (char_at(text, 0) == 'V') {
        unsigned value = 0;
        for (std::size_t i = 2; char_at(text, i) != '\0' && is_hex_digit(text[i]); ++i) {
            value = value * 16 + hex_value(text[i]);
        }
        major = static_cast<uint8_t>(value);
        minor = 0;
        return;
    }
    major = static_cast<uint8_t>(char_at(text, 2));
    minor = static_cast<uint8_t>(char_at(text, 3));
}

// ---- Calendar ----------------------------------------------------------------------

int64_t utc_seconds(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute, int64_t second) {
    const int64_t month_index = month - 1;
    year += floor_div(month_index, 12);
    const int64_t month_of_year = month_index - floor_div(month_index, 12) * 12 + 1;
    const int64_t days = days_from_civil(year, month_of_year, 1) + day - 1;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

CivilTime civil_time(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t in_day = seconds % 86400;
    if (in_day < 0) {
        in_day += 86400;
        days -= 1;
    }
    // The inverse of days_from_civil.
    const int64_t shifted = days + 719468;
    const int64_t era = floor_div(shifted, 146097);
    const int64_t day_of_era = shifted - era * 146097;
    const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_from_march = (5 * day_of_year + 2) / 153;
    const int64_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    const int64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    CivilTime time{};
    time.year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    time.month = static_cast<uint8_t>(month);
    time.day = static_cast<uint8_t>(day);
    time.hour = static_cast<uint8_t>(in_day / 3600);
    time.minute = static_cast<uint8_t>(in_day % 3600 / 60);
    time.second = static_cast<uint8_t>(in_day % 60);
    return time;
}

// ---- Sensor state shared by the information packet kinds ------------------------

void Sensor::init_device_parameters() {
    const DeviceParameters defaults = default_device_parameters(m_information.model, m_information.firmware_major);
    m_image_x_scale = defaults.image_x_scale;
    m_image_z_scale = defaults.image_z_scale;
    m_distance_scale = defaults.distance_scale;
    m_distance_offset = defaults.distance_offset;
}

void Sensor::init_calibration() {
    // The model is there when the INFO decoder put it in; otherwise 0.
    m_default_calibration.segment_count = default_segment_count(m_information.model);
    m_default_calibration.distance_offset = m_distance_offset;
    m_default_calibration.distance_scale = m_distance_scale;
    m_default_calibration.image_x_scale = m_image_x_scale;
    m_default_calibration.image_z_scale = m_image_z_scale;
    use_default_calibration();
}

void Sensor::use_default_calibration() { m_calibration.reset(); }

void Sensor::fill_default_calibration(VorlanCalibration& calibration) const {
    const DefaultCalibration& defaults = m_default_calibration;
    std::memset(&calibration, 0, sizeof(calibration));
    calibration.model = defaults.model;
    calibration.segment_count = defaults.segment_count;
    calibration.distance_offset = defaults.distance_offset;
    calibration.distance_scale = defaults.distance_scale;
    for (VorlanLaserCalibration& laser : calibration.lasers) {
        laser.image_x_scale = defaults.image_x_scale;
        laser.image_z_scale = defaults.image_z_scale;
    }
}

VorlanCalibration* Sensor::calibration_record() {
    if (m_calibration == nullptr) {
        m_calibration.reset(new (std::nothrow) VorlanCalibration);
        if (m_calibration != nullptr) {
            fill_default_calibration(*m_calibration);
        }
    }
    return m_calibration.get();
}

uint16_t Sensor::active_segment_count() const {
    return m_calibration != nullptr ? m_calibration->segment_count : m_default_calibration.segment_count;
}

uint32_t Sensor::active_calibration_id() const { return m_calibration != nullptr ? m_calibration->id : 0; }

void Sensor::update_calibration(const VorlanCalibration& calibration) {
    if (!SdkManager::instance().has_control_flag(VORLAN_SDK_CONTROL_DISABLE_CALIBRATION_UPDATE)) {
        const uint16_t model = m_information.model;
        VorlanCalibration* const active = calibration_record();
        if (active == nullptr) {
            return;  // out of memory: the sensor goes on with what it had
        }
        if (calibration.id != 0 && calibration.id != active->id) {
            *active = calibration;
            active->model = model;
            // TQ50 firmware from V264 on corrects saturated ranges; the text
            // still holds the four characters the sensor sent.
            const char* firmware = m_information.firmware_version;
            if (model == 3 && firmware[0] == 'V' && firmware[1] == '2' &&
                (firmware[2] > '6' || (firmware[2] == '6' && firmware[3] > '3'))) {
                active->flags |= VORLAN_CALIBRATION_SATURATION_CORRECTION;
            }
        }
        if ((calibration.flags & VORLAN_CALIBRATION_RATIONAL_DISTORTION) == 0 && calibration.distortion_x[1] == 0.0f) {
            const Distortion defaults = default_distortion(model);
            for (int i = 0; i < 3; ++i) {
                active->distortion_x[i + 1] = float_from_bits(defaults.bits[i]);
            }
        }
    }
    set_flag(VORLAN_SENSOR_INFO_IS_CALIBRATED, active_calibration_id() != 0);
}

void Sensor::update_timestamp() {
    if ((m_information.flags & VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED) == 0) {
        return;
    }
    // The sensor's GPS date gives the start of the hour; data packets carry
    // the microseconds within it.
    const int64_t seconds = utc_seconds(2000 + m_information.gps_year, m_information.gps_month,
                                        m_information.gps_day, m_information.gps_hour, 0, 0);
    m_gps_time_base = seconds * 1'000'000;
}

int64_t Sensor::get_timestamp(int64_t host_time, int64_t packet_time) const {
    const SdkManager& sdk = SdkManager::instance();
    if (sdk.has_control_flag(VORLAN_SDK_CONTROL_RAW_PACKET_TIME)) {
        return packet_time;
    }
    if (sdk.has_control_flag(VORLAN_SDK_CONTROL_HOST_TIMESTAMPS)) {
        return host_time;
    }
    const uint32_t flags = m_information.flags;
    const bool gps_synchronised =
        (flags & VORLAN_SENSOR_INFO_IS_PPS_CONNECTED) != 0 && (flags & VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED) != 0;
    if (!gps_synchronised && (flags & VORLAN_SENSOR_INFO_IS_PTP_CONNECTED) == 0) {
        return host_time;
    }
    // A packet time within 0.1 s of an hour away from the host clock was
    // stamped against the wrong GPS hour (the hour rolled over between the
    // information packet and this one): move it by that hour. Wrapping
    // arithmetic, as the packet time comes off the wire.
    constexpr int64_t kHour = 3'600'000'000;
    constexpr int64_t kTolerance = 100'000;
    const auto wrapping_add = [](int64_t a, int64_t b) {
        return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
    };
    const auto within = [](int64_t value) { return value > -kTolerance && value < kTolerance; };
    const int64_t difference =
        static_cast<int64_t>(static_cast<uint64_t>(packet_time) - static_cast<uint64_t>(host_time));
    if (within(wrapping_add(difference, kHour))) {
        return wrapping_add(packet_time, kHour);
    }
    if (within(wrapping_add(difference, -kHour))) {
        return wrapping_add(packet_time, -kHour);
    }
    return packet_time;
}

// ---- Steps every information packet kind takes ---------------------------------

void Sensor::decode_information(void (Sensor::*decode)(const uint8_t*, int32_t), const uint8_t* packet,
                                int32_t size) {
    {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return;
        }
        (this->*decode)(packet, size);
        m_has_information = true;
    }
    m_fault_tracker.check_info_fault();
}

void Sensor::queue_unusable_packet() const {
    CallbackManager::instance().queue_error(m_handle, VORLAN_ERROR_COMMUNICATION, std::string());
}

bool Sensor::convert_block(const vorlan_common::ByteView& packet, std::size_t offset, VorlanCalibration& converted) {
    const vorlan_common::ByteView block = packet.tail(offset);
    std::memset(&converted, 0, sizeof(converted));
    if (block.size() == 0) {
        return false;
    }
    return convert_calibration(converted, block.data(), static_cast<int64_t>(block.size()));
}

ConvertedCalibration::ConvertedCalibration() : m_lock(mutex()) {}

std::mutex& ConvertedCalibration::mutex() {
    static std::mutex shared;
    return shared;
}

VorlanCalibration& ConvertedCalibration::record() {
    // Zero-initialised static storage: no allocation, and untouched until
    // the first calibration block arrives.
    static VorlanCalibration shared;
    return shared;
}

void Sensor::take_firmware_text(const vorlan_common::ByteView& packet, std::size_t offset) {
    std::memset(m_information.firmware_version, 0, sizeof(m_information.firmware_version));
    packet.copy(offset, m_information.firmware_version, 4);
    firmware_version_transform(m_information.firmware_version, m_information.firmware_major,
                               m_information.firmware_minor);
}

void Sensor::set_version_text() {
    char text[sizeof(m_information.firmware_version)];
    std::snprintf(text, sizeof(text), "%d.%d.%d", m_information.model, m_information.firmware_major,
                  m_information.firmware_minor);
    std::memset(m_information.firmware_version, 0, sizeof(m_information.firmware_version));
    std::memcpy(m_information.firmware_version, text, std::strlen(text));
}

void Sensor::set_model_name(const std::string& name) {
    std::memset(m_information.model_name, 0, sizeof(m_information.model_name));
    std::memcpy(m_information.model_name, name.data(), std::min(name.size(), sizeof(m_information.model_name) - 1));
}

void Sensor::take_device_values(const vorlan_common::ByteView& packet, std::size_t value_2, std::size_t value_3,
                                std::size_t value_4, std::size_t value_5, std::size_t value_6) {
    m_value_2 = packet.i16(value_2);
    m_value_3 = packet.u8(value_3);
    m_value_4 = packet.u8(value_4);
    m_value_5 = packet.i16(value_5);
    m_value_6 = packet.i16(value_6);
}

void Sensor::take_gps_date(const vorlan_common::ByteView& packet, std::size_t offset) {
    m_information.gps_year = packet.u8(offset);
    m_information.gps_month = packet.u8(offset + 1);
    m_information.gps_day = packet.u8(offset + 2);
    m_information.gps_hour = packet.u8(offset + 3);
    m_information.gps_minute = packet.u8(offset + 4);
    m_information.gps_second = packet.u8(offset + 5);
}

uint8_t Sensor::return_count_for(uint32_t reported) {
    if (!SdkManager::instance().has_control_flag(VORLAN_SDK_CONTROL_ENABLE_MULTIPLE_RETURNS)) {
        return 1;
    }
    // Points carry at most two returns; a count outside 1-2 from the wire
    // would make each raw point claim image points it does not have.
    if (reported < 1) {
        return 1;
    }
    return reported > kMaxReturns ? kMaxReturns : static_cast<uint8_t>(reported);
}

void Sensor::set_flag(uint32_t flag, bool value) {
    if (value) {
        m_information.flags |= flag;
    } else {
        m_information.flags &= ~flag;
    }
}

}  // namespace vorlan_sdk
