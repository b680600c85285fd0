/*
 * vorlan_sdk: the C interface of the first-generation Vorlan lidar library.
 *
 * The library listens for sensor datagrams on a UDP port (or replays a
 * capture file), decodes them, calibrates the points and hands sensor
 * information, frames, waveforms, serial lines and errors to the client
 * through callbacks.
 *
 * Conventions:
 *  - Every function that returns a VorlanSensorErrorCode also stores the
 *    result as the calling thread's last error (vorlan_sdk_get_error).
 *  - Structures are plain data with natural alignment; their sizes are part
 *    of the interface and are exported as the vorlan_*_size objects so that a
 *    client binding at run time can check them.
 *  - Pointers handed to a callback are owned by the library and valid only
 *    for the duration of the call; copy what you keep.
 *  - Callbacks run on library threads (the packet worker or the replay
 *    thread) or on the client thread that called a blocking replay step or
 *    vorlan_sdk_mock_network_receive.
 */
#ifndef VORLAN_SDK_H
#define VORLAN_SDK_H

#include <math.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(VORLAN_SDK_BUILDING)
#define VORLAN_SDK_API __declspec(dllexport)
#else
#define VORLAN_SDK_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VORLAN_SDK_API __attribute__((visibility("default")))
#else
#define VORLAN_SDK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Interface version: pass it as the first argument of vorlan_sdk_initialize. */
#define VORLAN_SDK_VERSION 19

/* ---- Scalar types ------------------------------------------------------ */

/* The sender's IPv4 address, first octet most significant, in the low 32
 * bits. Bit 32 marks a handle whose packets come from capture replay. */
typedef uint64_t VorlanSensorHandle;
#define VORLAN_SENSOR_HANDLE_FLAG_MOCK ((VorlanSensorHandle)0x100000000ULL)

typedef int32_t VorlanSensorErrorCode;
typedef uint16_t VorlanSensorModel;
typedef uint32_t VorlanSDKControl;
typedef int32_t VorlanSDKFrameMode;

/* ---- Error and fault codes --------------------------------------------- */
/* 0 is success, -1..-999 are errors, -1000..-1999 are sensor faults. */

#define VORLAN_SUCCESS 0
#define VORLAN_ERROR_GENERIC (-1)
#define VORLAN_ERROR_OUT_OF_MEMORY (-2)
#define VORLAN_ERROR_SENSOR_NOT_FOUND (-4)
#define VORLAN_ERROR_SDK_VERSION_MISMATCH (-5)
#define VORLAN_ERROR_COMMUNICATION (-6)
#define VORLAN_ERROR_TOO_MANY_CALLBACKS (-7)
#define VORLAN_ERROR_INVALID_ARGUMENTS (-8)
#define VORLAN_ERROR_ALREADY_INITIALIZED (-9)
#define VORLAN_ERROR_NOT_INITIALIZED (-10)
#define VORLAN_ERROR_INVALID_FILE_TYPE (-11)
#define VORLAN_ERROR_FILE_IO (-12)
#define VORLAN_ERROR_CORRUPT_FILE (-13)
#define VORLAN_ERROR_NOT_OPEN (-14)
#define VORLAN_ERROR_EOF (-15)
#define VORLAN_ERROR_NOT_SUPPORTED (-16)
#define VORLAN_ERROR_INVALID_RESPONSE (-17)
#define VORLAN_ERROR_INVALID_STATE (-18)

#define VORLAN_FAULT_INTERNAL (-1000)
#define VORLAN_FAULT_EXTREME_TEMPERATURE (-1001)
#define VORLAN_FAULT_EXTREME_HUMIDITY (-1002)
#define VORLAN_FAULT_EXTREME_ACCELERATION (-1003)
#define VORLAN_FAULT_SCAN_COVERAGE (-1004)
#define VORLAN_FAULT_ABNORMAL_FRAME_RATE (-1005)
#define VORLAN_FAULT_MOTOR_MALFUNCTION (-1006)
#define VORLAN_FAULT_LASER_MALFUNCTION (-1007)
#define VORLAN_FAULT_DETECTOR_MALFUNCTION (-1008)

/* ---- Control flags (VorlanSDKControl) ---------------------------------- */

/* No UDP socket; packets enter only through vorlan_sdk_mock_network_receive. */
#define VORLAN_SDK_CONTROL_DISABLE_NETWORK ((VorlanSDKControl)0x2)
/* Calibration keeps points outside the calibration's image clip box. */
#define VORLAN_SDK_CONTROL_DISABLE_IMAGE_CLIP ((VorlanSDKControl)0x4)
/* Calibration keeps points outside the calibration's distance clip range. */
#define VORLAN_SDK_CONTROL_DISABLE_DISTANCE_CLIP ((VorlanSDKControl)0x8)
/* Sensors report their own return count (up to vorlan_sdk_max_returns). */
#define VORLAN_SDK_CONTROL_ENABLE_MULTIPLE_RETURNS ((VorlanSDKControl)0x10)
/* Point timestamps are the host's receive time. */
#define VORLAN_SDK_CONTROL_HOST_TIMESTAMPS ((VorlanSDKControl)0x40)
/* Calibration carried in information packets is ignored. */
#define VORLAN_SDK_CONTROL_DISABLE_CALIBRATION_UPDATE ((VorlanSDKControl)0x200)
/* Every point of a packet takes the packet's own timestamp unchanged. */
#define VORLAN_SDK_CONTROL_RAW_PACKET_TIME ((VorlanSDKControl)0x1000)

/* Every valid flag bit, and the bits vorlan_sdk_set_control_flags may change. */
#define VORLAN_SDK_CONTROL_VALID_MASK ((VorlanSDKControl)0x125E)
#define VORLAN_SDK_CONTROL_CHANGEABLE_MASK ((VorlanSDKControl)0x20E)

/* ---- Frame modes (VorlanSDKFrameMode) ---------------------------------- */
/* Each sensor has one frame, made when its first data packet is decoded
 * (which happens when its second data packet arrives), and made again once
 * the library has forgotten it (vorlan_sdk_clear, a replay closed,
 * deinitialising). A frame made while the mode is VORLAN_SDK_FRAME_SWEEP or
 * VORLAN_SDK_FRAME_FULL_SCAN does not follow the scan: it cuts timed frames
 * of 0.1 s (a Parvo-D41, model code 16, sweeps from the start). It takes the
 * sweep rule only when vorlan_sdk_set_frame_options is called again after
 * the frame exists. Clients that want sweep frames call it from the
 * network-packet callback, which runs before each packet is decoded, once a
 * sensor's second data packet has gone by (examples/sweep_frames.c). Setting
 * the options restarts the frame rule of every sensor: the frame each one is
 * building then is not whole. */

#define VORLAN_SDK_FRAME_STREAMING 0 /* points are published as they arrive */
#define VORLAN_SDK_FRAME_TIMED 1     /* a frame every `length` seconds */
#define VORLAN_SDK_FRAME_SWEEP 2     /* a frame at every scan turn-around */
#define VORLAN_SDK_FRAME_FULL_SCAN 3 /* a frame at every second turn-around */
#define VORLAN_SDK_FRAME_BY_MODEL 4  /* accepted, no rule of its own */
#define VORLAN_SDK_FRAME_MODE_MAX 4
/* Outside streaming, a sensor's frame holds at most 262144 points (2^18, a
 * quarter of a second of the densest sensors): when that many have gathered
 * without a frame boundary (a mode with no rule for the sensor, or points
 * that never mark one), they are published as one frame and the next frame
 * starts after them. The first such cut of each sensor is reported through
 * the error callback as VORLAN_ERROR_COMMUNICATION. */

/* ---- Point and information bits ---------------------------------------- */

#define VORLAN_RETURN_FIRST 0x01
#define VORLAN_RETURN_FARTHEST 0x02

#define VORLAN_POINT_VALID 0x01
#define VORLAN_POINT_SATURATED 0x02
#define VORLAN_POINT_FRAME_FLAG 0x80

#define VORLAN_SENSOR_INFO_IS_MOCKED 0x01
#define VORLAN_SENSOR_INFO_IS_PPS_CONNECTED 0x02
#define VORLAN_SENSOR_INFO_IS_NMEA_CONNECTED 0x04
#define VORLAN_SENSOR_INFO_IS_PTP_CONNECTED 0x08
#define VORLAN_SENSOR_INFO_IS_CALIBRATED 0x10
#define VORLAN_SENSOR_INFO_STATUS_BIT_5 0x20
#define VORLAN_SENSOR_INFO_STATUS_BIT_6 0x40

/* Calibration flags (VorlanCalibration.flags). */
#define VORLAN_CALIBRATION_SATURATION_CORRECTION 0x01
#define VORLAN_CALIBRATION_RATIONAL_DISTORTION 0x10

/* ---- Structures -------------------------------------------------------- */

typedef struct VorlanSDKFrameOptions {
    uint64_t signature; /* sizeof(VorlanSDKFrameOptions), 16 */
    VorlanSDKFrameMode mode;
    float length; /* seconds, used by VORLAN_SDK_FRAME_TIMED */
} VorlanSDKFrameOptions;

typedef struct VorlanSDKOptions {
    uint64_t signature; /* sizeof(VorlanSDKOptions), 40 */
    VorlanSDKControl control_flags;
    uint8_t padding_0[4];
    VorlanSDKFrameOptions frame;
    uint16_t port;
    uint8_t padding_1[6];
} VorlanSDKOptions;

typedef struct VorlanSensorInformation {
    VorlanSensorHandle handle;
    uint64_t serial_number;
    char model_name[28];
    VorlanSensorModel model;
    uint16_t reserved;
    char firmware_version[28];
    uint8_t firmware_major;
    uint8_t firmware_minor;
    uint8_t firmware_build;
    uint8_t firmware_reserved;
    float last_reported_temperature; /* degrees Celsius */
    float last_reported_humidity;    /* percent relative humidity */
    float last_reported_age;
    float measurement_period; /* seconds between successive measurements */
    int64_t ptp_time;         /* 0 when the sensor reports none */
    uint8_t gps_year;         /* within the century, 0-99 */
    uint8_t gps_month;
    uint8_t gps_day;
    uint8_t gps_hour;
    uint8_t gps_minute;
    uint8_t gps_second;
    uint8_t return_count;  /* image points per raw point */
    uint8_t segment_count; /* segments (lasers) of the sensor */
    uint32_t flags;        /* VORLAN_SENSOR_INFO_* bits */
    uint8_t padding[4];
} VorlanSensorInformation;

typedef struct VorlanSensorRawPointWithTime {
    int64_t timestamp; /* microseconds */
    int16_t image_x;
    int16_t image_z;
    uint32_t distance; /* first return, 0 when there is none */
    uint32_t distance_2;
    uint8_t intensity;
    uint8_t intensity_2;
    uint8_t saturated;
    uint8_t saturated_2;
    uint8_t segment_id;  /* indexes VorlanCalibration.lasers */
    uint8_t power_level; /* 0 means no usable measurement */
    uint8_t reserved;
    uint8_t frame_flag;
    uint8_t padding[4];
} VorlanSensorRawPointWithTime;

typedef struct VorlanSensorImagePoint {
    int64_t timestamp; /* microseconds */
    float image_x;
    float distance; /* metres */
    float image_z;
    float intensity;
    uint8_t return_type; /* VORLAN_RETURN_* bits */
    uint8_t flags;       /* VORLAN_POINT_* bits */
    uint8_t segment_id;
    uint8_t padding[5];
} VorlanSensorImagePoint;

typedef struct VorlanSensorTransform {
    float rotation[4];    /* unit quaternion x, y, z, w */
    float translation[3]; /* metres */
} VorlanSensorTransform;

/* ---- Positions in metres ----------------------------------------------- */

/* A point in the sensor's own frame: y along the sensor's axis, x to the
 * right, z up, all in metres. */
typedef struct VorlanPointMetres {
    double x;
    double y;
    double z;
} VorlanPointMetres;

/* An image point (u, w) at range r lies on the ray (-u, 1, -w), r metres
 * from the sensor: y = r / sqrt(u*u + w*w + 1), x = -u * y, z = -w * y.
 * Only points with VORLAN_POINT_VALID in their flags carry a measurement;
 * the others have distance 0 and land on the sensor. Uses sqrt: C clients
 * link -lm. */
static inline VorlanPointMetres vorlan_image_point_to_metres(double image_x, double image_z, double distance) {
    VorlanPointMetres p;
    p.y = distance / sqrt(image_x * image_x + image_z * image_z + 1.0);
    p.x = -image_x * p.y;
    p.z = -image_z * p.y;
    return p;
}

/* Declared for clients; the library neither fills nor reads it. */
typedef struct VorlanSensorStatistics {
    uint16_t field_0;
    uint8_t field_1;
    uint8_t field_2;
    uint16_t field_3;
    uint16_t field_4;
    uint8_t field_5;
    uint8_t padding;
    uint16_t field_6;
    uint8_t field_7;
    uint8_t field_8;
} VorlanSensorStatistics;

typedef struct VorlanLaserCalibration {
    int16_t image_x_center;
    int16_t image_x_offset;
    int16_t image_z_center;
    int16_t image_z_offset;
    float intensity_range_offset; /* metres added before intensity normalisation */
    float segment_scale;
    float image_x_scale;
    float image_z_scale;
    float image_z_to_x;
    float image_x_to_z;
    float power_level_intensity[32]; /* 0 means no intensity calibration */
    int16_t power_level_distance_offset[32];
    float intensity_falloff[6]; /* constant, x, z, x*x, x*z, z*z */
} VorlanLaserCalibration;

typedef struct VorlanCalibration {
    uint32_t id; /* 0 means none */
    char model_name[28];
    VorlanSensorModel model;
    uint16_t reserved;
    uint16_t segment_count; /* at most 192 */
    uint16_t flags;         /* VORLAN_CALIBRATION_* bits */
    float distance_offset;  /* metres */
    float distance_scale;   /* metres per raw distance unit */
    float image_clip_min_x; /* 0 means no bound (all clip fields) */
    float image_clip_min_z;
    float image_clip_max_x;
    float image_clip_max_z;
    float distance_clip_min;
    float distance_clip_max;
    float image_center_x;
    float image_center_z;
    float distortion_x[4];
    float distortion_z[4];
    VorlanLaserCalibration lasers[192];
} VorlanCalibration;

/* A raw detector waveform (types "ADCX" and "ADBO"); packed, 1421 bytes. */
#pragma pack(push, 1)
typedef struct VorlanAdcWaveform {
    int16_t header_word_0;
    int16_t header_word_1;
    uint32_t value_24;
    uint8_t byte_a;
    uint8_t byte_b; /* 0 for ADBO */
    uint8_t byte_c;
    uint8_t byte_d;
    uint8_t byte_e;  /* 0 for ADBO */
    uint32_t word_32; /* 0 for ADBO */
    int32_t sample_count; /* the first sample_count bytes of samples are valid */
    uint8_t samples[1400];
} VorlanAdcWaveform;
#pragma pack(pop)

/* ---- Exported sizes ---------------------------------------------------- */

VORLAN_SDK_API extern const size_t vorlan_sensor_information_size;
VORLAN_SDK_API extern const size_t vorlan_sensor_image_point_size;
VORLAN_SDK_API extern const size_t vorlan_sensor_raw_point_with_time_size;
VORLAN_SDK_API extern const size_t vorlan_calibration_size;
VORLAN_SDK_API extern const size_t vorlan_laser_calibration_size;
VORLAN_SDK_API extern const size_t vorlan_sensor_transform_size;
VORLAN_SDK_API extern const size_t vorlan_sdk_max_returns;
VORLAN_SDK_API extern const size_t vorlan_sdk_max_laser_count;
VORLAN_SDK_API extern const size_t vorlan_sdk_max_power_levels;

/* ---- Callbacks --------------------------------------------------------- */

/* Errors of the UDP input come with handle 0, VORLAN_ERROR_COMMUNICATION and
 * a 16-byte record: the system's error number in its first four bytes
 * (little-endian), 0 when no system call failed. Datagrams lost because the
 * packet worker fell behind or the socket's buffer was full are reported so,
 * at most once a second, with the number lost since the previous report as
 * a little-endian 64-bit count at byte 8 of the record. */
typedef void (*VorlanSensorErrorCallback)(VorlanSensorHandle handle,
                                          VorlanSensorErrorCode error_code,
                                          const char* error_msg,
                                          const void* error_data,
                                          size_t error_data_size,
                                          void* user_data);
typedef void (*VorlanNetworkReceiveCallback)(VorlanSensorHandle handle,
                                             int64_t timestamp,
                                             const uint8_t* buffer,
                                             size_t buffer_size,
                                             void* user_data);
typedef void (*VorlanSerialReceiveCallback)(VorlanSensorHandle handle,
                                            const char* line,
                                            void* user_data);
typedef void (*VorlanSensorRawFramesCallback)(
    VorlanSensorHandle handle, size_t n_points,
    const VorlanSensorRawPointWithTime* points, void* user_data);
typedef void (*VorlanSensorImageFramesCallback)(
    VorlanSensorHandle handle, size_t n_points,
    const VorlanSensorImagePoint* points, void* user_data);
typedef void (*VorlanSensorWaveformCallback)(VorlanSensorHandle handle,
                                             const VorlanAdcWaveform* waveform,
                                             void* user_data);
typedef void (*VorlanSensorInformationCallback)(
    VorlanSensorHandle handle, const VorlanSensorInformation* information,
    void* user_data);

/* ---- Version, options, lifecycle --------------------------------------- */

VORLAN_SDK_API const char* vorlan_sdk_get_version_string(void);
VORLAN_SDK_API int32_t vorlan_sdk_get_version_major(void);
VORLAN_SDK_API int32_t vorlan_sdk_get_version_minor(void);
VORLAN_SDK_API int32_t vorlan_sdk_get_version_patch(void);

VORLAN_SDK_API VorlanSDKOptions vorlan_sdk_create_options(void);
VORLAN_SDK_API VorlanSDKFrameOptions vorlan_sdk_create_frame_options(void);

/* Starts the library. `cb` (may be NULL) receives errors met on library
 * threads. Refused while already initialised. */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_initialize(
    int32_t sdk_ver, const VorlanSDKOptions* options,
    VorlanSensorErrorCallback cb, void* user_data);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_deinitialize(void);
VORLAN_SDK_API int32_t vorlan_sdk_is_initialized(void);

VORLAN_SDK_API VorlanSDKControl vorlan_sdk_get_control_flags(void);
VORLAN_SDK_API int32_t vorlan_sdk_has_control_flag(VorlanSDKControl flag);
/* Changes the bits of `mask` (only VORLAN_SDK_CONTROL_CHANGEABLE_MASK bits)
 * to their value in `flags`. Clearing VORLAN_SDK_CONTROL_DISABLE_NETWORK
 * opens the UDP port; when it cannot be bound the result is
 * VORLAN_ERROR_COMMUNICATION with the system's reason, the flag stays clear
 * and nothing listens until a later vorlan_sdk_set_port or flag change
 * succeeds. */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_set_control_flags(
    VorlanSDKControl mask, VorlanSDKControl flags);

/* Stores the options and applies them unchanged to every existing frame;
 * frames made later take them as the frame modes above say. */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_set_frame_options(
    const VorlanSDKFrameOptions* options);
VORLAN_SDK_API VorlanSDKFrameMode vorlan_sdk_get_frame_mode(void);
VORLAN_SDK_API float vorlan_sdk_get_frame_length(void);

/* Forgets every sensor and frame. */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_clear(void);

/* Listens on `port` from now on (the port is kept across deinitialisation;
 * 8808 until changed). While the network is enabled the socket is reopened
 * on the new port; when it cannot be bound the result is
 * VORLAN_ERROR_COMMUNICATION with the system's reason, the port is still
 * stored and nothing listens until a later vorlan_sdk_set_port or change of
 * VORLAN_SDK_CONTROL_DISABLE_NETWORK succeeds. vorlan_sdk_initialize
 * reports an unusable port the same way and leaves the library
 * uninitialised. */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_set_port(uint16_t port);
VORLAN_SDK_API uint16_t vorlan_sdk_get_port(void);

/* ---- Errors ------------------------------------------------------------ */

/* The calling thread's last result; `*message` receives its text (never
 * NULL, valid until the next vorlan_sdk_get_error on this thread). */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_get_error(const char** message);
VORLAN_SDK_API const char* vorlan_get_error_code_name(VorlanSensorErrorCode code);
VORLAN_SDK_API int32_t vorlan_is_error_code(VorlanSensorErrorCode code);
VORLAN_SDK_API int32_t vorlan_is_fault_code(VorlanSensorErrorCode code);

/* ---- Callback registration --------------------------------------------- */
/* Each kind holds one callback; a second listen fails with
 * VORLAN_ERROR_TOO_MANY_CALLBACKS. A callback must not (un)register its own
 * kind from inside the call. */

VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_listen_network_packet(
    VorlanNetworkReceiveCallback cb, void* user_data);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_unlisten_network_packet(void);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_listen_serial_lines(
    VorlanSerialReceiveCallback cb, void* user_data);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_unlisten_serial_lines(void);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_listen_raw_frames(
    VorlanSensorRawFramesCallback cb, void* user_data);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_unlisten_raw_frames(void);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_listen_image_frames(
    VorlanSensorImageFramesCallback cb, void* user_data);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_unlisten_image_frames(void);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_listen_waveforms(
    VorlanSensorWaveformCallback cb, void* user_data);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_unlisten_waveforms(void);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_listen_info_packets(
    VorlanSensorInformationCallback cb, void* user_data);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_unlisten_info_packets(void);

/* ---- Sensors ----------------------------------------------------------- */

VORLAN_SDK_API int32_t vorlan_is_tq50(VorlanSensorModel model);
VORLAN_SDK_API int32_t vorlan_is_parvo(VorlanSensorModel model);
VORLAN_SDK_API int32_t vorlan_is_kiru(VorlanSensorModel model);

/* Number of attached sensors.
 *
 * At most 1024 sensors are attached at once. When the table is full, a new
 * sensor takes the place and the index of the attached sensor that has been
 * silent longest, provided that one has sent nothing for 10 seconds; the
 * sensor given up is forgotten with its buffered points and is attached anew
 * (at another index) when it is heard again. While every attached sensor has
 * been heard within 10 seconds, new sensors are refused: the error callback
 * gets VORLAN_ERROR_OUT_OF_MEMORY with a text starting "Too many sensors!",
 * here meaning the sensor table is full, at most once a second, counting the
 * refusals since the previous report. A refused sensor is attached as soon as
 * there is room, from its next information packet on. */
VORLAN_SDK_API size_t vorlan_sdk_get_n_sensors(void);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_get_sensor_handle_by_serial_number(
    uint64_t serial_number, VorlanSensorHandle* handle);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_get_sensor_information_by_index(
    size_t index, VorlanSensorInformation* information);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_get_sensor_information(
    VorlanSensorHandle handle, VorlanSensorInformation* information);

/* Decodes one payload on the calling thread as if it had arrived from
 * `handle`. Only while VORLAN_SDK_CONTROL_DISABLE_NETWORK is set. */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_mock_network_receive(
    VorlanSensorHandle handle, int64_t timestamp, const uint8_t* buffer,
    size_t buffer_size);

/* Reads device value `field` (2-6, 8-13) of a sensor into `value`, which
 * must be exactly the field's size (2 bytes for 2-6, 4 for 8-13). */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_get(VorlanSensorHandle handle,
                                                    int32_t field, void* value,
                                                    int32_t value_size);

/* ---- Calibration and transforms ---------------------------------------- */
/* `image_points` must hold n_points * return_count records; return_count is
 * 1 or 2. */

VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_calibrate_points(
    VorlanSensorHandle handle, size_t n_points,
    const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
    VorlanSensorImagePoint* image_points);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_calibrate_points_with_calibration(
    const VorlanCalibration* calibration, size_t n_points,
    const VorlanSensorRawPointWithTime* raw_points, uint32_t return_count,
    VorlanSensorImagePoint* image_points);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_get_calibration(
    VorlanSensorHandle handle, VorlanCalibration* calibration);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_set_calibration(
    VorlanSensorHandle handle, const VorlanCalibration* calibration);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_get_transform(
    VorlanSensorHandle handle, VorlanSensorTransform* transform);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_set_transform(
    VorlanSensorHandle handle, const VorlanSensorTransform* transform);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_clear_transform(
    VorlanSensorHandle handle);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_has_transform(
    VorlanSensorHandle handle, int32_t* has_transform);

/* ---- Capture replay ---------------------------------------------------- */
/* Captures are read as classic PCAP files (microsecond or nanosecond times,
 * either byte order) or pcapng files (several sections and interfaces of
 * different link types). Opening a capture disables the live network.
 * Positions and lengths are seconds relative to the first packet.
 *
 * A sensor datagram equal to one from the same source within the last 20 ms
 * is a copy (a mirror port seeing both directions, merged interfaces) and is
 * dropped unless vorlan_sdk_capture_replay_set_keep_duplicates(1) was
 * called. When reading first reaches the end of the capture, the error
 * callback (handle 0) is told what was left out: VORLAN_ERROR_CORRUPT_FILE
 * naming copies dropped, records cut by the snapshot length and datagrams
 * that could not be reassembled; VORLAN_ERROR_INVALID_FILE_TYPE when the
 * capture held no sensor datagram at all, saying what it holds instead. A capture that ends inside a record
 * (cut short), or holds a record whose stored length is damaged, plays
 * everything before that record; reading there fails with
 * VORLAN_ERROR_FILE_IO, whose message gives the time and byte offset of the
 * damage. An error that ends the replay
 * thread also goes to the error callback, with handle 0; a looping replay
 * reports a cut once and goes on from the start. */

VORLAN_SDK_API int32_t vorlan_sdk_capture_replay_is_open(void);
/* Valid until the next call. */
VORLAN_SDK_API const char* vorlan_sdk_capture_replay_get_filename(void);
VORLAN_SDK_API int64_t vorlan_sdk_capture_replay_get_start_time(void);
VORLAN_SDK_API float vorlan_sdk_capture_replay_get_position(void);
VORLAN_SDK_API float vorlan_sdk_capture_replay_get_length(void);
VORLAN_SDK_API int32_t vorlan_sdk_capture_replay_is_end(void);
VORLAN_SDK_API int32_t vorlan_sdk_capture_replay_is_running(void);
VORLAN_SDK_API int32_t vorlan_sdk_capture_replay_get_enable_loop(void);
VORLAN_SDK_API float vorlan_sdk_capture_replay_get_speed(void);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_capture_replay_open(const char* path);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_capture_replay_close(void);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_capture_replay_rewind(void);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_capture_replay_seek(float seconds);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_capture_replay_set_enable_loop(
    int32_t enable_loop);
/* 0 replays as fast as possible; otherwise (1e-6, 5.0]. */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_capture_replay_set_speed(float speed);
/* Replays on the library's replay thread until paused or at the end. */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_capture_replay_resume(void);
/* Feeds one packet on the calling thread. */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_capture_replay_resume_blocking_once(void);
/* Feeds `seconds` of capture time on the calling thread, without pacing. */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_capture_replay_resume_blocking(
    float seconds);
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_capture_replay_pause(void);
/* Keeps (1) or drops (0, the default) copies of sensor datagrams; applies to
 * the capture open and to those opened later. */
VORLAN_SDK_API VorlanSensorErrorCode vorlan_sdk_capture_replay_set_keep_duplicates(int32_t keep);
VORLAN_SDK_API int32_t vorlan_sdk_capture_replay_get_keep_duplicates(void);

/* What reading the capture open (or closed last) has met since it was
 * opened; passes of a loop and seeks add up. */
#define VORLAN_CAPTURE_COUNT_DATAGRAMS 0        /* UDP datagrams delivered */
#define VORLAN_CAPTURE_COUNT_SENSOR_DATAGRAMS 1 /* of them, sensor packets */
#define VORLAN_CAPTURE_COUNT_DUPLICATES 2       /* copies dropped */
#define VORLAN_CAPTURE_COUNT_SNAPSHOT_CUT 3     /* records cut by the snapshot length */
#define VORLAN_CAPTURE_COUNT_INCOMPLETE 4       /* records of datagrams never reassembled */
#define VORLAN_CAPTURE_COUNT_BROKEN 5           /* records with broken headers */
#define VORLAN_CAPTURE_COUNT_NOT_UDP 6          /* records of other protocols */
#define VORLAN_CAPTURE_COUNT_OTHER_LINK 7       /* records of link layers without IPv4 */
/* The count named by `which`; 0 for an unknown name. */
VORLAN_SDK_API uint64_t vorlan_sdk_capture_replay_get_count(int32_t which);

#ifdef __cplusplus
}
#endif

#endif /* VORLAN_SDK_H */
