// One sensor heard on the network, and the registry of all of them.
//
// A Sensor decodes what its sensor sends: information packets (identity,
// health, time sync, calibration), point data packets, waveforms and serial
// lines. Its state is guarded by its own lock; `_impl` members expect the
// caller to hold it. The member definitions live in one file per concern:
// packet.cpp (identity, time base, model table), packet_info.cpp,
// packet_infx.cpp, packet_infy.cpp (the information packet kinds), legacy.cpp
// (calibration blocks), packet_data.cpp (point data), sensor.cpp (the object,
// calibration and transform access, queries, and the registry).
#ifndef VORLAN_SOURCE_SENSOR_H
#define VORLAN_SOURCE_SENSOR_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "calibration.h"
#include "pending_sensors.h"
#include "point_buffer.h"
#include "sensor_fault.h"
#include "vorlan_sdk.h"
#include "vorlan_sdk_impl/vorlan_sdk.hpp"
#include "vorlan_sdk_impl/vorlan_sdk_util.hpp"
#include "wire_bytes.h"

namespace vorlan_sdk {

// True for the five information packet types (INFO, INF1, INF2, INFX, INFY).
bool is_info_packet(uint32_t type);
// True when an information packet from a sensor not heard before is worth a
// sensor object: it passes its kind's size check (an INF2 never does, having
// no first half to complete).
bool can_introduce_sensor(uint32_t type, int32_t size, const uint8_t* data);

// The display name of a model code; empty for unknown codes.
std::string get_sensor_model_name(int32_t model);

// Segments a model has when its calibration block does not say.
uint8_t default_segment_count(int32_t model);

// Where an information packet's calibration block is converted before the
// sensor adopts it or not. One record serves every sensor, as information
// packets are rare and a record per sensor would cost 47 KB a sensor;
// whoever holds this object holds the record.
class ConvertedCalibration {
public:
    ConvertedCalibration();
    ConvertedCalibration(const ConvertedCalibration&) = delete;
    ConvertedCalibration& operator=(const ConvertedCalibration&) = delete;

    VorlanCalibration& get() { return record(); }

private:
    static std::mutex& mutex();
    static VorlanCalibration& record();

    std::lock_guard<std::mutex> m_lock;
};

class Sensor {
public:
    // Largest point data packet a sensor sends; the held packet store.
    static constexpr std::size_t kMaxDataPacketSize = 2048;
    // The first half of a split INF1/INF2 information packet is kept here.
    static constexpr std::size_t kInf1BufferSize = 2000;
    // Most returns a raw point carries.
    static constexpr uint8_t kMaxReturns = 2;

    explicit Sensor(VorlanSensorHandle handle);
    // What a sensor knows of itself before its first usable packet.
    static VorlanSensorInformation blank_information(VorlanSensorHandle handle);
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;

    // Fixed at construction; needs no lock.
    VorlanSensorHandle handle() const { return m_handle; }

    // --- Information packets (the registry calls these without the lock) ---
    void handle_info_packet(int32_t size, const uint8_t* packet);
    void handle_inf1_packet(int32_t size, const uint8_t* packet);
    void handle_inf2_packet(int32_t size, const uint8_t* packet);
    void handle_infx_packet(int32_t size, const uint8_t* packet);
    void handle_infy_packet(int32_t size, const uint8_t* packet);

    // A snapshot of the information record, taken under the lock.
    VorlanSensorInformation get_information();
    // True once an information packet has been accepted.
    bool is_attached();
    // True while the sensor's information says it is calibrated; reads the
    // one flag rather than copying the whole record.
    bool is_calibrated();
    uint64_t get_serial_number();

    // Converts the calibration block at `block` (`length` bytes available) by
    // its type. False for an unknown type, a short block or too many segments;
    // never reads past `length`.
    static bool convert_calibration(VorlanCalibration& calibration, const uint8_t* block, int64_t length);

    // Firmware text to major and minor numbers ("V240" gives 64.0).
    static void firmware_version_transform(const char* text, uint8_t& major, uint8_t& minor);

    // The time of a measurement (µs) from the host receive time and the time
    // the packet carries, by the control flags and the time sync state.
    // Caller holds the lock.
    int64_t get_timestamp(int64_t host_time, int64_t packet_time) const;

    // --- Point data ---
    void handle_data_packet(int64_t host_time, int32_t size, const uint8_t* packet);

    // --- Calibration and pose ---
    // Calibrates with the active calibration, under the lock.
    SensorError calibrate_points(std::size_t n_points, const VorlanSensorRawPointWithTime* raw_points,
                                 uint32_t return_count, VorlanSensorImagePoint* image_points);
    SensorError calibrate_points_impl(std::size_t n_points, const VorlanSensorRawPointWithTime* raw_points,
                                      uint32_t return_count, VorlanSensorImagePoint* image_points);
    SensorError get_calibration(VorlanCalibration& calibration);
    SensorError set_calibration(const VorlanCalibration& calibration);
    bool has_transform();
    SensorError get_transform(VorlanSensorTransform& transform);
    SensorError set_transform(const VorlanSensorTransform& transform);
    SensorError clear_transform();
    VorlanSensorCompiledTransform get_compiled_transform();

    // --- Waveforms, serial lines, faults ---
    void handle_nmea_packet(int32_t size, const uint8_t* packet);
    void handle_adcx_packet(int32_t size, const uint8_t* packet);
    void handle_adco_packet(int32_t size, const uint8_t* packet);
    // Only the packet delivery thread uses it (frames call check_points).
    FaultTracker& fault_tracker() { return m_fault_tracker; }

    // --- Queries ---
    // Reads device value `field` into `value` (`value_size` bytes exactly).
    SensorError get(int32_t field, int32_t value_size, void* value);

private:
    // Information packets (caller holds the lock).
    void handle_info_packet_impl(const uint8_t* packet, int32_t size);
    void handle_infx_packet_impl(const uint8_t* packet, int32_t size);
    void handle_infy_packet_impl(const uint8_t* packet, int32_t size);
    void init_device_parameters();
    void init_calibration();
    // Makes the active calibration the one built from the model defaults.
    void use_default_calibration();
    // Writes the calibration built from the model defaults into `calibration`.
    void fill_default_calibration(VorlanCalibration& calibration) const;
    // The active calibration's record, made when first needed; null when
    // memory runs out.
    VorlanCalibration* calibration_record();
    // Fields of the active calibration, read without making the record.
    uint16_t active_segment_count() const;
    uint32_t active_calibration_id() const;
    void update_calibration(const VorlanCalibration& calibration);
    void update_timestamp();

    // Shared steps of the information packet kinds (packet.cpp).
    // Runs `decode` on a packet already checked for size under the lock,
    // marks the information complete, then checks for faults without it.
    void decode_information(void (Sensor::*decode)(const uint8_t*, int32_t), const uint8_t* packet, int32_t size);
    // Queues VORLAN_ERROR_COMMUNICATION for a packet that cannot be used.
    // Never called with the sensor lock held: the error queue's lock is
    // taken before sensor locks when errors are delivered.
    void queue_unusable_packet() const;
    // Converts the calibration block at `offset` into `converted`.
    static bool convert_block(const vorlan_common::ByteView& packet, std::size_t offset, VorlanCalibration& converted);
    // The firmware text's four characters at `offset`, and its numbers.
    void take_firmware_text(const vorlan_common::ByteView& packet, std::size_t offset);
    // "model.major.minor" as the firmware text clients see.
    void set_version_text();
    void set_model_name(const std::string& name);
    // Device values 2-6 from their offsets in the packet.
    void take_device_values(const vorlan_common::ByteView& packet, std::size_t value_2, std::size_t value_3,
                            std::size_t value_4, std::size_t value_5, std::size_t value_6);
    // GPS year, month, day, hour, minute and second from six bytes at `offset`.
    void take_gps_date(const vorlan_common::ByteView& packet, std::size_t offset);
    // The return count to report: `reported` (clamped to what a point can
    // carry) while multiple returns are enabled, else 1.
    static uint8_t return_count_for(uint32_t reported);
    void set_flag(uint32_t flag, bool value);

    util::TimedMutex m_mutex;
    const VorlanSensorHandle m_handle;
    VorlanSensorInformation m_information{};
    bool m_identity_initialized = false;
    bool m_has_information = false;
    bool m_inf1_pending = false;
    std::array<uint8_t, kInf1BufferSize> m_inf1_buffer{};

    // Device parameters seeding the default calibration.
    float m_image_x_scale = 0.0f;
    float m_image_z_scale = 0.0f;
    float m_distance_scale = 0.0f;
    float m_distance_offset = 0.0f;
    // The active calibration; null while the sensor runs on the one built
    // from its model defaults and nothing has needed the record yet (its
    // first points, a client asking): a sensor that never sends points
    // never pays for the 47 KB. Read it through the accessors below.
    std::unique_ptr<VorlanCalibration> m_calibration;
    // What the calibration built from the model defaults is made of, kept
    // to fall back to it without keeping a second whole record.
    struct DefaultCalibration {
        VorlanSensorModel model = 0;
        uint16_t segment_count = 0;
        float distance_offset = 0.0f;
        float distance_scale = 0.0f;
        float image_x_scale = 0.0f;
        float image_z_scale = 0.0f;
    };
    DefaultCalibration m_default_calibration;
    // The active calibration's entries laid out for the packet path. Every
    // operation that may change m_calibration (the information packet
    // decoders, set_calibration) counts itself in m_calibration_changes; the
    // packet path lays the entries out again when the count moved on.
    CalibrationLayout m_layout;
    uint64_t m_calibration_changes = 0;
    uint64_t m_layout_changes = ~uint64_t{0};

    // Start of the current GPS hour, µs since 1970; 0 until known.
    int64_t m_gps_time_base = 0;
    // Seconds between measurements as the sensor states it; 0 until known.
    float m_nominal_period = 0.0f;

    // Device values read by get() (field codes 2-13).
    int16_t m_value_2 = 0;
    int16_t m_value_3 = 0;
    int16_t m_value_4 = 0;
    int16_t m_value_5 = 0;
    int16_t m_value_6 = 0;
    float m_value_8 = 0.0f;
    uint16_t m_value_9_multiplier = 0;
    float m_value_10 = 0.0f;
    float m_value_11 = 0.0f;
    float m_value_12 = 0.0f;
    float m_value_13 = 0.0f;
    bool m_variant_l = false;
    bool m_variant_e = false;

    // Pose set by the client, kept with its matrix form.
    bool m_has_transform = false;
    VorlanSensorTransform m_transform{};
    VorlanSensorCompiledTransform m_compiled_transform{};

    // Point data (packet_data.cpp).
    SensorError handle_data_packet_impl(int64_t host_time, int32_t size, const uint8_t* packet);
    // Checks a packet, decodes the held one (setting `n_points`) and holds
    // the new one. The points go into `room` when it fits them (`in_room`
    // then says so), else into the sensor's point buffers. Caller holds
    // m_mutex.
    // Both return false on a failure, which they write to `error`; on
    // success `error` is not touched, so the steady path makes no error object.
    bool decode_data_packet(int64_t host_time, int32_t size, const uint8_t* packet, const PointRoom& room,
                            std::size_t& n_points, bool& in_room, std::optional<SensorError>& error);
    bool decode_held_packet(int64_t packet_time, const PointRoom& room, std::size_t& n_points, bool& in_room,
                            std::optional<SensorError>& error);
    // handle_data_packet_impl with a failure written to `error` only.
    void run_data_path(int64_t host_time, int32_t size, const uint8_t* packet, std::optional<SensorError>& error);
    // The time a data packet carries (µs), by its header and the time sync
    // state. `packet` holds at least the header.
    int64_t data_packet_time(const uint8_t* packet) const;
    void update_measurement_period(int64_t packet_time, std::size_t n_points);
    // Write `count` raw points from the device points, spread over time from
    // `base_time`; false (nothing produced) while the period is unknown.
    bool translate_device_to_raw_v2(int64_t base_time, std::size_t count, const uint8_t* device_points,
                                    VorlanSensorRawPointWithTime* raw_points);
    bool translate_device_to_raw_v2_double(int64_t base_time, std::size_t count, const uint8_t* device_points,
                                           VorlanSensorRawPointWithTime* raw_points);
    bool translate_device_to_raw_v3(int64_t base_time, std::size_t count, const uint8_t* device_points,
                                    VorlanSensorRawPointWithTime* raw_points);
    bool translate_device_to_raw_v3_double(int64_t base_time, std::size_t count, const uint8_t* device_points,
                                           VorlanSensorRawPointWithTime* raw_points);
    // Hands the first `n_points` of the sensor's point buffers to its frame,
    // making the frame if there is none yet.
    SensorError publish_points(std::size_t n_points);

    // Serialises the whole point-data path of this sensor, frame included:
    // the point buffers are used after m_mutex is released, and packets of
    // one sensor may arrive on more than one thread (replay and a client's
    // mock receive). Taken before m_mutex.
    util::TimedMutex m_data_path_mutex;
    // The packet waiting for its successor, the measurement period estimate
    // and the point buffers, which only grow: the first points of each are
    // the current packet's. Once the sensor has a frame, points are written
    // straight into it and these buffers rest.
    bool m_first_data_packet = true;
    std::array<uint8_t, kMaxDataPacketSize> m_held_packet{};
    int32_t m_held_size = 0;
    int64_t m_held_packet_time = 0;
    int64_t m_held_host_time = 0;
    float m_current_period = 0.0f;
    float m_candidate_period = 0.0f;
    std::vector<VorlanSensorRawPointWithTime> m_raw_points;  // guarded by m_data_path_mutex
    std::vector<VorlanSensorImagePoint> m_image_points;      // guarded by m_data_path_mutex

    FaultTracker m_fault_tracker;
};

// Every sensor heard, keyed by handle. Sensors become visible to lookups once
// their information is complete; until then they wait, a bounded time and in
// bounded number, among the pending sensors.
class SensorManager {
public:
    // Attached sensors at most. Past this bound a new sensor with complete
    // information takes the place (and the index) of the attached sensor
    // silent longest, once that one has sent nothing for
    // kSilenceBeforeReplacement; the replaced sensor and its frame are
    // forgotten, and come back as a new sensor when it speaks again. While
    // every attached sensor is live, a new one is refused: it stays among the
    // pending sensors and tries again with its next information packet.
    static constexpr std::size_t kMaxSensors = 1024;
    static constexpr int64_t kSilenceBeforeReplacement = 10'000'000;  // µs
    // Refusals are reported at most once per interval, with their count.
    static constexpr int64_t kRefusalReportInterval = 1'000'000;  // µs

    static SensorManager& instance();

    // Every payload enters the library here: recognises it by its type word
    // and hands it to its sensor (creating the sensor for information packets).
    void handle_network_receive(VorlanSensorHandle handle, int64_t timestamp, int32_t size, const uint8_t* data);

    std::size_t get_n_sensors();
    int32_t find_sensor_by_handle(VorlanSensorHandle handle);
    int32_t find_sensor_by_serial_number(uint64_t serial_number);
    std::shared_ptr<Sensor> get_sensor(int32_t index);
    std::shared_ptr<Sensor> get_sensor_by_handle(VorlanSensorHandle handle);
    std::shared_ptr<Sensor> get_sensor_by_serial_number(uint64_t serial_number);
    // Forgets every sensor, attached or pending.
    void clear();
    std::size_t get_n_pending_sensors();

    // Replaces the steady clock (µs) by which silence and report intervals
    // are measured; null restores it. For tests, which cannot wait seconds.
    void set_clock(int64_t (*clock)());

private:
    // What a refusal report says: the last refused handle and how many
    // refusals it covers.
    struct RefusalReport {
        VorlanSensorHandle handle = 0;
        uint64_t count = 0;
    };

    SensorManager() = default;
    int32_t find_sensor_by_handle_impl(VorlanSensorHandle handle);
    int32_t find_sensor_by_serial_number_impl(uint64_t serial_number);
    int64_t now() const;

    // Attaches `sensor`, replacing a silent one when the table is full.
    // False when there is no room; `replaced` is the handle of a sensor
    // given up for it (0: none). Caller holds m_mutex.
    bool attach_impl(const std::shared_ptr<Sensor>& sensor, VorlanSensorHandle handle, int64_t now,
                     VorlanSensorHandle& replaced);
    // The attached sensor silent longest, if silent long enough; -1 if none.
    int32_t find_replaceable_impl(int64_t now);
    // Counts a refusal; the report to make now, if one is due.
    std::optional<RefusalReport> count_refusal_impl(VorlanSensorHandle handle, int64_t now);
    // The report of refusals counted but not yet told, once the interval
    // since the last report is over.
    std::optional<RefusalReport> due_refusal_report_impl(int64_t now);
    static void report_refusals(const RefusalReport& report);

    // Tells the client about an information packet that introduced no
    // sensor, as a sensor object would have done with it.
    static void report_unusable_first_packet(VorlanSensorHandle handle, uint32_t type);

    util::TimedMutex m_mutex;
    std::vector<std::shared_ptr<Sensor>> m_sensors;
    std::vector<int64_t> m_last_heard;  // when each of m_sensors last sent anything
    std::unordered_map<VorlanSensorHandle, int32_t> m_index_of;  // first index of each handle in m_sensors
    PendingSensors m_pending;
    // No attached sensor can have been silent long enough before this time.
    int64_t m_no_replacement_before = 0;
    // Refusals since the last report, and when that report was made.
    uint64_t m_unreported_refusals = 0;
    VorlanSensorHandle m_last_refused = 0;
    std::optional<int64_t> m_last_refusal_report;
    std::atomic<int64_t (*)()> m_clock{nullptr};
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_SENSOR_H
