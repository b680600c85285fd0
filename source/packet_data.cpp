// Point data packets: a 22-byte header, then device points back to back.
//
// A packet's points are spread over the time between it and the next packet
// of its sensor, so each sensor holds the latest packet and decodes it when
// its successor arrives. Decoded points are calibrated into image points and
// handed to the sensor's frame.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "calibration.h"
#include "core.h"
#include "float_lanes.h"
#include "frame.h"
#include "packet_data_avx2.h"
#include "sensor.h"
#include "wire_bytes.h"

#define VORLAN_SOURCE_FILE "source/packet_data"

namespace vorlan_sdk {

namespace {

using vorlan_common::load_i16le;
using vorlan_common::load_u16le;
using vorlan_common::load_u32le;
using vorlan_common::load_u64le;
using vorlan_common::type_word;

constexpr std::size_t kHeaderSize = 22;
// Header flags (byte 8): the hour field at offset 10 is valid.
constexpr uint8_t kHeaderHasHour = 0x04;
constexpr uint64_t kMicrosecondsPerHour = 3'600'000'000ULL;

constexpr uint32_t kTypeV2 = type_word("STDT");
constexpr uint32_t kTypeV2Double = type_word("STDR");
constexpr uint32_t kTypeV3 = type_word("STDP");
constexpr uint32_t kTypeV3Double = type_word("STDQ");

constexpr std::size_t kV2Size = 8;
constexpr std::size_t kV2DoubleSize = 11;
constexpr std::size_t kV3Size = 9;
constexpr std::size_t kV3DoubleSize = 13;

// Most points a data packet can carry: the largest packet of the smallest
// points.
constexpr std::size_t kMaxPacketPoints = (Sensor::kMaxDataPacketSize - kHeaderSize) / kV2Size;

// The model that measures in pairs of 48-point slots: its V3 points repeat
// their times every 48 points, at twice the period.
constexpr VorlanSensorModel kPairedSlotModel = 10;
constexpr std::size_t kPairedSlotPoints = 48;

// Bytes per device point of a data packet type; 0 for any other type.
std::size_t device_point_size(uint32_t type) {
    switch (type) {
        case kTypeV2: return kV2Size;
        case kTypeV2Double: return kV2DoubleSize;
        case kTypeV3: return kV3Size;
        case kTypeV3Double: return kV3DoubleSize;
        default: return 0;
    }
}

// Sums and products of wire values wrap instead of overflowing: a corrupt
// header gives a wrong time, never undefined behaviour.
int64_t wrapping_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t wrapping_subtract(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
int64_t wrapping_multiply(int64_t a, uint64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) * b); }

// ---- Device point formats -------------------------------------------------
//
// A decoder gives the fields of a raw point after its time, bytes 8-31 of
// the record, as three little-endian words: the record is then written with
// four wide stores instead of being cleared and patched field by field.


struct RawWords {
    uint64_t position;  // image x, image z, distance
    uint64_t returns;   // distance 2, intensities, saturation flags
    uint64_t flags;     // power level and frame flag; the segment is added later
};

constexpr int kIntensity2Shift = 40;
constexpr int kSaturated2Shift = 56;
constexpr int kPowerLevelShift = 8;

// The first eight bytes of a point as a little-endian word.
//
// V2: x, z (signed 16), distance (16), intensity, power level (low 4 bits).
inline RawWords decode_v2(const uint8_t* p) {
    const uint64_t w = load_u64le(p);
    return {w & 0x0000'FFFF'FFFF'FFFFu,          // x, z, distance
            (w >> 16) & 0x0000'00FF'0000'0000u,  // intensity, byte 6 to byte 4 of the word
            (w >> 48) & 0x0F00u};                // power level, byte 7 to byte 1
}

// V2 double: V2, then the second distance (16) and intensity.
inline RawWords decode_v2_double(const uint8_t* p) {
    RawWords words = decode_v2(p);
    words.returns |= load_u16le(p + 8) | (static_cast<uint64_t>(p[10]) << kIntensity2Shift);
    return words;
}

// V3: x, z, the low 16 bits of a 19-bit distance, a status byte (distance
// bits 16-18 in bits 0-2, frame flag in bit 3, saturation in bit 4),
// intensity, power level. The status byte follows the distance's low bytes,
// so x, z and the whole distance are the first seven bytes with the status
// byte cut to its distance bits.
inline RawWords decode_v3(const uint8_t* p) {
    const uint64_t w = load_u64le(p);
    return {w & 0x0007'FFFF'FFFF'FFFFu,
            ((w >> 24) & 0x0000'00FF'0000'0000u) |      // intensity, byte 7 to byte 4
                ((w >> 4) & 0x0001'0000'0000'0000u),    // saturation, bit 52 to bit 48
            (static_cast<uint64_t>(p[8]) << kPowerLevelShift) |
                ((w >> 27) & 0x0100'0000u)};             // frame flag, bit 51 to bit 24
}

// V3 double: V3, then a 20-bit second distance with its saturation bit, and
// the second intensity: bytes 9-12 hold the distance's low 20 bits, its
// saturation in bit 20 and the intensity in the last byte.
inline RawWords decode_v3_double(const uint8_t* p) {
    RawWords words = decode_v3(p);
    const uint64_t v = load_u32le(p + 9);
    words.returns |= (v & 0x000F'FFFFu) | ((v >> 24) << kIntensity2Shift) | (((v >> 20) & 1) << kSaturated2Shift);
    return words;
}

// Writes one raw point.
inline void store_raw_point(VorlanSensorRawPointWithTime& point, int64_t timestamp, const RawWords& words,
                            std::size_t segment) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&point);
    const uint64_t flags = words.flags | (segment & 0xFF);  // the segment byte, as a cast keeps it
#if (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_WIN32)
    std::memcpy(bytes, &timestamp, 8);
    std::memcpy(bytes + 8, &words.position, 8);
    std::memcpy(bytes + 16, &words.returns, 8);
    std::memcpy(bytes + 24, &flags, 8);
#else
    point.timestamp = timestamp;
    vorlan_common::store_u64le(bytes + 8, words.position);
    vorlan_common::store_u64le(bytes + 16, words.returns);
    vorlan_common::store_u64le(bytes + 24, flags);
#endif
}

// How the points of one packet are placed in time and in segments.
struct PointClock {
    int64_t base;                // µs
    float period;                // seconds between points; 0 gives every point the base time
    std::size_t slot_points;     // points after which times repeat; 0: never
    float slot_scale;            // periods per step within a slot
    std::size_t segment_count;   // > 0
};

// Microseconds from a non-negative offset in single precision, truncated;
// saturates where a 64-bit count ends.
inline int64_t offset_us(float offset) {
    constexpr float kLimit = 9.2e18f;
    return offset < kLimit ? static_cast<int64_t>(offset) : std::numeric_limits<int64_t>::max();
}

// Offsets (µs) from the base time of points first .. first + count - 1 into
// offsets[0 ..], point i being step i + 1 (within its slot for slotted
// models). Without slots, four are worked out at a time: each lane is the
// same IEEE product, truncated alike, for products that fit 32 bits; any
// other goes the scalar way.
void point_offsets(const PointClock& clock, std::size_t first, std::size_t count, int64_t* offsets) {
    std::size_t i = 0;
#if defined(VORLAN_HAS_SSE2_LANES)
    if (clock.slot_points == 0 && first + count < (std::size_t{1} << 30)) {
        const __m128 to_us = _mm_set1_ps(1e6f);
        const __m128 period = _mm_set1_ps(clock.period);
        const __m128 slot_scale = _mm_set1_ps(clock.slot_scale);
        const __m128 low = _mm_set1_ps(-2147483648.0f);
        const __m128 high = _mm_set1_ps(2147483648.0f);
        const int32_t step = static_cast<int32_t>(first) + 1;
        __m128i steps = _mm_setr_epi32(step, step + 1, step + 2, step + 3);
        for (; i + 4 <= count; i += 4) {
            const __m128 offset =
                _mm_mul_ps(_mm_mul_ps(_mm_mul_ps(_mm_cvtepi32_ps(steps), to_us), period), slot_scale);
            // False for NaN too.
            const __m128 fits = _mm_and_ps(_mm_cmpge_ps(offset, low), _mm_cmplt_ps(offset, high));
            if (_mm_movemask_ps(fits) != 0xF) {
                break;
            }
            const __m128i whole = _mm_cvttps_epi32(offset);
            const __m128i sign = _mm_srai_epi32(whole, 31);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(offsets + i), _mm_unpacklo_epi32(whole, sign));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(offsets + i + 2), _mm_unpackhi_epi32(whole, sign));
            steps = _mm_add_epi32(steps, _mm_set1_epi32(4));
        }
    }
#endif
    std::size_t step = clock.slot_points == 0 ? first + i : (first + i) % clock.slot_points;
    for (; i < count; ++i) {
        ++step;
        const float offset = static_cast<float>(step) * 1e6f * clock.period * clock.slot_scale;
        offsets[i] = offset_us(offset);
        if (step == clock.slot_points) {
            step = 0;
        }
    }
}

// Point i is timed base + (i + 1) periods (within its slot for slotted
// models) and belongs to segment i mod segment_count. Every byte of each
// record is written.
template <std::size_t kPointSize, class Decode>
void spread_points(const PointClock& clock, std::size_t count, const uint8_t* device,
                   VorlanSensorRawPointWithTime* raw, Decode decode) {
    constexpr std::size_t kChunk = 256;  // a whole packet at once
    int64_t offsets[kChunk];
    // Held apart from the clock: the stores to the points could otherwise
    // change them, for all the compiler knows, and it would read them anew
    // for every point.
    const int64_t base = clock.base;
    const std::size_t segment_count = clock.segment_count;
    const bool avx2 = internal::calibration_kernel_in_use() == internal::CalibrationKernel::avx2;
    std::size_t segment = 0;
    for (std::size_t start = 0; start < count; start += kChunk) {
        const std::size_t n = std::min(kChunk, count - start);
        point_offsets(clock, start, n, offsets);
        std::size_t j = avx2 ? internal::spread_points_avx2(kPointSize, device + start * kPointSize, n, offsets, base,
                                                            segment, segment_count, raw + start)
                             : 0;
        for (; j < n; ++j) {
            const std::size_t i = start + j;
            store_raw_point(raw[i], wrapping_add(base, offsets[j]), decode(device + i * kPointSize), segment);
            if (++segment == segment_count) {
                segment = 0;
            }
        }
    }
}

// The clock of a packet's points; false while they cannot be timed: the
// period is not known yet, or the calibration has no segments to assign.
bool make_clock(int64_t base, float current_period, std::size_t segment_count, bool slotted, PointClock& clock) {
    const bool raw_time = SdkManager::instance().has_control_flag(VORLAN_SDK_CONTROL_RAW_PACKET_TIME);
    if ((!raw_time && !(current_period > 0.0f)) || segment_count == 0) {
        return false;
    }
    clock.base = base;
    clock.period = raw_time ? 0.0f : current_period;
    clock.slot_points = slotted ? kPairedSlotPoints : 0;
    clock.slot_scale = slotted ? 2.0f : 1.0f;
    clock.segment_count = segment_count;
    return true;
}

template <std::size_t kPointSize, class Decode>
bool translate(bool has_clock, const PointClock& clock, std::size_t count, const uint8_t* device,
               VorlanSensorRawPointWithTime* raw, Decode decode) {
    if (!has_clock) {
        std::fill(raw, raw + count, VorlanSensorRawPointWithTime{});
        return false;
    }
    spread_points<kPointSize>(clock, count, device, raw, decode);
    return true;
}

// Grows `points` to hold at least `n` records; never shrinks, so a steady
// stream reuses the same memory.
template <class T>
void ensure_size(std::vector<T>& points, std::size_t n) {
    if (points.size() < n) {
        points.resize(n);
    }
}

}  // namespace

// ---- Translators ------------------------------------------------------------------

bool Sensor::translate_device_to_raw_v2(int64_t base_time, std::size_t count, const uint8_t* device_points,
                                        VorlanSensorRawPointWithTime* raw_points) {
    PointClock clock{};
    const bool has_clock = make_clock(base_time, m_current_period, active_segment_count(), false, clock);
    return translate<kV2Size>(has_clock, clock, count, device_points, raw_points, decode_v2);
}

bool Sensor::translate_device_to_raw_v2_double(int64_t base_time, std::size_t count,
                                               const uint8_t* device_points,
                                               VorlanSensorRawPointWithTime* raw_points) {
    PointClock clock{};
    const bool has_clock = make_clock(base_time, m_current_period, active_segment_count(), false, clock);
    return translate<kV2DoubleSize>(has_clock, clock, count, device_points, raw_points, decode_v2_double);
}

bool Sensor::translate_device_to_raw_v3(int64_t base_time, std::size_t count, const uint8_t* device_points,
                                        VorlanSensorRawPointWithTime* raw_points) {
    PointClock clock{};
    const bool slotted = m_information.model == kPairedSlotModel;
    const bool has_clock = make_clock(base_time, m_current_period, active_segment_count(), slotted, clock);
    return translate<kV3Size>(has_clock, clock, count, device_points, raw_points, decode_v3);
}

bool Sensor::translate_device_to_raw_v3_double(int64_t base_time, std::size_t count,
                                               const uint8_t* device_points,
                                               VorlanSensorRawPointWithTime* raw_points) {
    PointClock clock{};
    const bool has_clock = make_clock(base_time, m_current_period, active_segment_count(), false, clock);
    return translate<kV3DoubleSize>(has_clock, clock, count, device_points, raw_points, decode_v3_double);
}

// ---- Packet handling ----------------------------------------------------------------

void Sensor::handle_data_packet(int64_t host_time, int32_t size, const uint8_t* packet) {
    std::optional<SensorError> error;
    try {
        run_data_path(host_time, size, packet, error);
    } catch (const std::bad_alloc&) {
        error.emplace(VORLAN_ERROR_OUT_OF_MEMORY);
    }
    if (error && !error->ok()) {
        try {
            CallbackManager::instance().queue_error(m_handle, error->code(), error->message());
        } catch (const std::bad_alloc&) {
            // Nothing more can be said without memory.
        }
    }
}

SensorError Sensor::handle_data_packet_impl(int64_t host_time, int32_t size, const uint8_t* packet) {
    std::optional<SensorError> error;
    run_data_path(host_time, size, packet, error);
    return error ? *error : SensorError();
}

void Sensor::run_data_path(int64_t host_time, int32_t size, const uint8_t* packet,
                           std::optional<SensorError>& error) {
    util::LockGuard data_lock(m_data_path_mutex);
    if (!data_lock.is_locked()) {
        error.emplace(VORLAN_ERROR_GENERIC, "Deadlock!");
        return;
    }
    // Once the sensor has a frame its points are decoded straight into it;
    // the first points go through the sensor's buffers and make the frame.
    const std::shared_ptr<Frame> frame = FrameManager::instance().get_frame(m_handle);
    bool decoded = true;
    std::size_t n_points = 0;
    bool in_frame = false;
    const auto decode = [&](const PointRoom& room) -> std::size_t {
        util::LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            error.emplace(VORLAN_ERROR_GENERIC, "Deadlock!");
            decoded = false;
            return 0;
        }
        decoded = decode_data_packet(host_time, size, packet, room, n_points, in_frame, error);
        return in_frame ? n_points : 0;
    };
    if (frame) {
        frame->add_points_in_place(kMaxPacketPoints, decode);
    } else {
        decode(PointRoom{});
    }
    // The sensor's lock is released: a frame callback may query the sensor.
    if (!decoded || n_points == 0 || in_frame) {
        // Points written into the frame were published there.
        return;
    }
    SensorError published = publish_points(n_points);
    if (!published.ok()) {
        error.emplace(published);
    }
}

bool Sensor::decode_data_packet(int64_t host_time, int32_t size, const uint8_t* packet, const PointRoom& room,
                                std::size_t& n_points, bool& in_room, std::optional<SensorError>& error) {
    n_points = 0;
    in_room = false;
    if (!m_has_information) {
        return true;
    }
    if (size > static_cast<int32_t>(kMaxDataPacketSize)) {
        error.emplace(VORLAN_ERROR_INVALID_ARGUMENTS, "Packet size is too large");
        return false;
    }
    // A packet without a whole header carries no time to spread points by.
    if (packet == nullptr || size < static_cast<int32_t>(kHeaderSize)) {
        error.emplace(VORLAN_ERROR_COMMUNICATION);
        return false;
    }
    const int64_t packet_time = data_packet_time(packet);
    bool decoded = true;
    if (m_first_data_packet) {
        m_first_data_packet = false;
    } else {
        decoded = decode_held_packet(packet_time, room, n_points, in_room, error);
    }
    // The new packet is held whatever became of its predecessor.
    std::copy(packet, packet + size, m_held_packet.begin());
    m_held_size = size;
    m_held_packet_time = packet_time;
    m_held_host_time = host_time;
    return decoded;
}

bool Sensor::decode_held_packet(int64_t packet_time, const PointRoom& room, std::size_t& n_points, bool& in_room,
                                std::optional<SensorError>& error) {
    const std::size_t point_size = device_point_size(load_u32le(m_held_packet.data()));
    if (point_size == 0) {
        return true;
    }
    // Whole points, rounded down to whole rows of segments: points come
    // segment after segment, and a row cut short cannot be calibrated.
    const std::size_t segments = m_information.segment_count;
    const std::size_t whole = (static_cast<std::size_t>(m_held_size) - kHeaderSize) / point_size;
    const std::size_t n = segments == 0 ? 0 : whole / segments * segments;
    if (n == 0) {
        return true;
    }
    update_measurement_period(packet_time, n);

    const int64_t base = get_timestamp(m_held_host_time, m_held_packet_time);
    const uint32_t return_count = m_information.return_count;
    // The frame's room is shaped by the return count the frame was made
    // with; points of another shape go through the sensor's buffers.
    const bool use_room = room.n_raw >= n && room.return_count == return_count;
    VorlanSensorRawPointWithTime* raw = room.raw;
    if (!use_room) {
        try {
            ensure_size(m_raw_points, n);
        } catch (const std::bad_alloc&) {
            error.emplace(VORLAN_ERROR_OUT_OF_MEMORY);
            return false;
        }
        raw = m_raw_points.data();
    }
    const uint8_t* device = m_held_packet.data() + kHeaderSize;
    bool produced = false;
    switch (load_u32le(m_held_packet.data())) {
        case kTypeV2: produced = translate_device_to_raw_v2(base, n, device, raw); break;
        case kTypeV2Double: produced = translate_device_to_raw_v2_double(base, n, device, raw); break;
        case kTypeV3: produced = translate_device_to_raw_v3(base, n, device, raw); break;
        case kTypeV3Double: produced = translate_device_to_raw_v3_double(base, n, device, raw); break;
        default: break;
    }
    if (!produced) {
        return true;
    }
    VorlanSensorImagePoint* image = room.image;
    if (!use_room) {
        try {
            ensure_size(m_image_points, n * return_count);
        } catch (const std::bad_alloc&) {
            error.emplace(VORLAN_ERROR_OUT_OF_MEMORY);
            return false;
        }
        image = m_image_points.data();
    }
    const VorlanCalibration* const calibration = calibration_record();
    if (calibration == nullptr) {
        error.emplace(VORLAN_ERROR_OUT_OF_MEMORY);
        return false;
    }
    if (return_count == 1 || return_count == 2) {
        if (m_layout_changes != m_calibration_changes) {
            m_layout.build(*calibration);
            m_layout_changes = m_calibration_changes;
        }
        calibrate_checked_points(*calibration, m_layout, n, raw, return_count, image);
    } else {
        // Refused, with the reason calibration gives.
        SensorError refused = calibrate_points_impl(n, raw, return_count, image);
        error.emplace(internal::process_error(VORLAN_SOURCE_FILE, __LINE__,
                                              "calibrate_points_impl(n, raw, return_count, image)", refused, false));
        return false;
    }
    n_points = n;
    in_room = use_room;
    return true;
}

int64_t Sensor::data_packet_time(const uint8_t* packet) const {
    const int64_t in_hour = load_u32le(packet + 4);
    if ((packet[8] & kHeaderHasHour) != 0) {
        return wrapping_add(wrapping_multiply(load_u32le(packet + 10), kMicrosecondsPerHour), in_hour);
    }
    const uint32_t flags = m_information.flags;
    const bool ptp = (flags & VORLAN_SENSOR_INFO_IS_PTP_CONNECTED) != 0;
    const bool gps = (flags & VORLAN_SENSOR_INFO_IS_PPS_CONNECTED) != 0 &&
                     (flags & VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED) != 0;
    if (ptp && !gps) {
        // PTP seconds name the hour; the packet the microseconds within it.
        return wrapping_add(in_hour, wrapping_multiply(m_information.ptp_time / 3600, kMicrosecondsPerHour));
    }
    return wrapping_add(in_hour, m_gps_time_base);
}

void Sensor::update_measurement_period(int64_t packet_time, std::size_t n_points) {
    if (m_held_packet_time == 0) {
        return;
    }
    if (packet_time < m_held_packet_time) {
        // Time went backwards (a new hour, a clock step): the stated period
        // is the best guess, and it proves nothing about the estimate.
        m_current_period = m_nominal_period;
        return;
    }
    const int64_t elapsed = wrapping_subtract(packet_time, m_held_packet_time);
    float period = static_cast<float>(elapsed) * 1e-6f / static_cast<float>(n_points);
    // A gap in the stream (lost packets) is not a slower sensor.
    if (m_nominal_period != 0.0f && period > 2.0f * m_nominal_period) {
        period = m_nominal_period;
    }
    m_current_period = period;
    // An estimate counts once two packets in a row agree on it.
    if (m_candidate_period != 0.0f) {
        if (std::fabs(period - m_candidate_period) < 1e-6f) {
            m_information.measurement_period = period;
            if (m_nominal_period == 0.0f) {
                m_nominal_period = period;
            }
        }
        m_candidate_period = 0.0f;
    } else {
        m_candidate_period = period;
    }
}

SensorError Sensor::publish_points(std::size_t n_points) {
    const std::shared_ptr<Frame> frame = FrameManager::instance().get_or_create_frame(m_handle);
    if (!frame) {
        return VORLAN_SUCCESS;
    }
    // The frame copies the points; the buffers are free for the next packet.
    SensorError error = frame->add_points(n_points, m_raw_points.data(), m_image_points.data());
    frame->check_and_publish();
    return error;
}

}  // namespace vorlan_sdk
