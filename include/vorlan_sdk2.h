/*
 * vorlan_sdk2: the C interface of the second-generation Vorlan lidar library.
 *
 * Sensors of this generation send ready-made points. Payloads (from the UDP
 * listener, capture replay, or the client through VorlanReceiveData) pass
 * through a chain of parsers; the built-in parsers publish sensor
 * information, point batches and serial lines to listeners. A frame
 * aggregator cuts point batches into frames, and a bounded frame FIFO lets a
 * client pull frames at its own pace.
 *
 * Conventions:
 *  - Every function returning int (unless said otherwise) returns 0 on
 *    success and one of the negative VORLAN_ERROR_ codes otherwise. While the
 *    library is not initialised, every function except VorlanGetSdkVersion,
 *    VorlanGetErrorCodeName, VorlanIsInitialized and
 *    VorlanReplayGetSeekPosition returns VORLAN_ERROR_NOT_INITIALIZED.
 *  - Records are byte-packed and little-endian; their sizes are part of the
 *    interface.
 *  - Pointers handed to a callback stay owned by the library and are valid
 *    only for the duration of the call; copy what you keep.
 *  - Callbacks run on the thread that delivered the payload: a library
 *    thread (networking, relay, replay) or the client thread that called
 *    VorlanReceiveData. Callbacks of one kind never run concurrently.
 *  - A callback is identified by the pair (function, user_data).
 */
#ifndef VORLAN_SDK2_H
#define VORLAN_SDK2_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(VORLAN_SDK2_BUILDING)
#define VORLAN_SDK2_API __declspec(dllexport)
#else
#define VORLAN_SDK2_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VORLAN_SDK2_API __attribute__((visibility("default")))
#else
#define VORLAN_SDK2_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Interface version: the only value VorlanInitialize accepts. */
#define VORLAN_SDK2_INTERFACE_VERSION 203
/* What VorlanGetSdkVersion returns. */
#define VORLAN_SDK2_VERSION 1507330

/* ---- Error and fault codes --------------------------------------------- */
/* 0 is success, -1..-999 are errors, -1000..-1999 are sensor faults. The
 * values and spellings agree with vorlan_sdk.h, so both headers can be
 * included in one program. */

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
#define VORLAN_ERROR_NOT_ENABLED (-19)
#define VORLAN_ERROR_TIMEOUT (-20)

#define VORLAN_FAULT_INTERNAL (-1000)
#define VORLAN_FAULT_EXTREME_TEMPERATURE (-1001)
#define VORLAN_FAULT_EXTREME_HUMIDITY (-1002)
#define VORLAN_FAULT_EXTREME_ACCELERATION (-1003)
#define VORLAN_FAULT_ABNORMAL_FOV (-1004)
#define VORLAN_FAULT_ABNORMAL_FRAME_RATE (-1005)
#define VORLAN_FAULT_MOTOR_MALFUNCTION (-1006)
#define VORLAN_FAULT_LASER_MALFUNCTION (-1007)
#define VORLAN_FAULT_DETECTOR_MALFUNCTION (-1008)

/* ---- Flags ------------------------------------------------------------- */

/* VorlanSensor.flags: how the sensor's clock is synchronised. A sensor is
 * time-synchronised when any of these bits is set. */
#define VORLAN_SENSOR_FLAG_PTP_CONNECTED 0x1u
#define VORLAN_SENSOR_FLAG_PPS_CONNECTED 0x2u
#define VORLAN_SENSOR_FLAG_NMEA_CONNECTED 0x4u

/* VorlanPoint.flags. Other bits are passed through unchanged. */
#define VORLAN_POINT_FLAG_SATURATED 0x01u    /* the return was saturated */
#define VORLAN_POINT_FLAG_FRAME_PARITY 0x04u /* scan half; a change ends a natural frame */
#define VORLAN_POINT_FLAG_CARRIED_OVER 0x08u /* repeated from the previous frame */
#define VORLAN_POINT_FLAG_NO_RETURN 0x20u    /* placeholder 100 m along the ray */

/* Frame aggregation modes: natural frames (cut where the frame parity flag
 * changes), or any period in microseconds of at least the minimum. */
#define VORLAN_FRAME_AGGREGATION_NATURAL 0
#define VORLAN_FRAME_AGGREGATION_MIN_PERIOD_US 1000

/* ---- Records ----------------------------------------------------------- */

#pragma pack(push, 1)

/* Sensor information, 90 bytes. Copies handed out by the query functions
 * have info_size 90; the record a sensor-information listener receives may
 * be longer, the sensor's own trailing bytes following offset 90. */
typedef struct VorlanSensor {
    uint32_t info_size;          /* size of this record in bytes */
    uint32_t serial_number;
    uint64_t handle;             /* sender's IPv4 address, host byte order */
    char model_name[28];         /* NUL-padded */
    uint16_t model;
    uint16_t model_reserved;
    uint32_t aux_info;
    uint8_t firmware_version[4];
    int64_t ptp_time;            /* first half of the sensor's time block */
    uint64_t time_extra;         /* second half of the sensor's time block */
    uint8_t reserved_0[8];       /* always 0 */
    uint8_t return_count;        /* 0 when unknown */
    uint8_t channel_count;       /* 0 for a model the library does not know */
    uint8_t reserved_1[2];       /* always 0 */
    uint32_t flags;              /* VORLAN_SENSOR_FLAG_ */
    uint16_t temperature;        /* hundredths of a kelvin, 0 when unknown */
} VorlanSensor;

/* One point, 10 bytes. Point buffers hold such records at a fixed stride of
 * at least 10 bytes; bytes past the record are carried along. */
typedef struct VorlanPoint {
    int16_t x;                   /* 5 mm units */
    int16_t y;                   /* 5 mm units, the range axis */
    int16_t z;                   /* 5 mm units */
    uint8_t reflectivity;        /* 0-127 percent; 128-255 logarithmic up to 5000 % */
    uint8_t relative_timestamp;  /* microseconds since the previous point */
    uint8_t channel_id;
    uint8_t flags;               /* VORLAN_POINT_FLAG_ */
} VorlanPoint;

#pragma pack(pop)

/* A frame checked out of the frame FIFO. `points` lies in the FIFO's own
 * storage and is valid until VorlanFrameFifoRelease or VorlanFrameFifoPutBack. */
typedef struct VorlanFifoedFrame {
    uint64_t handle;
    int64_t timestamp;           /* microseconds */
    uint64_t n_points;
    uint64_t point_stride;       /* 10 to 12 */
    uint8_t* points;
} VorlanFifoedFrame;

/* Client arrays that VorlanFrameFifoFillArray fills; each must hold at least
 * as many elements as the frame has points. */
typedef struct VorlanFrameArrays {
    int16_t* x;
    int16_t* y;
    int16_t* z;
    uint8_t* reflectivities;
    int64_t* timestamps;         /* absolute microseconds per point */
    uint8_t* channel_ids;
    uint8_t* flags;
    uint64_t* handle;            /* one value */
} VorlanFrameArrays;

/* ---- Callbacks --------------------------------------------------------- */

/* Returns 0 when it has taken the payload (no later parser sees it), any
 * other value to pass it on. */
typedef int (*VorlanParserCallback)(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size,
                                    void* user_data);
/* `points` is `n_points` records `point_stride` bytes apart; `timestamp` is
 * the time the first point's relative_timestamp counts from. */
typedef void (*VorlanPointsCallback)(uint64_t handle, int64_t timestamp, size_t n_points, size_t point_stride,
                                     const uint8_t* points, void* user_data);
/* As for points; the timestamp is the frame's. */
typedef void (*VorlanFramesCallback)(uint64_t handle, int64_t timestamp, size_t n_points, size_t point_stride,
                                     const uint8_t* points, void* user_data);
typedef void (*VorlanSensorInfoCallback)(uint64_t handle, const VorlanSensor* info, void* user_data);
/* `line` is NUL-terminated. */
typedef void (*VorlanSerialLineCallback)(uint64_t handle, const char* line, void* user_data);

/* ---- Library ----------------------------------------------------------- */

VORLAN_SDK2_API int VorlanInitialize(int api_version);
VORLAN_SDK2_API int VorlanDeinitialize(void);
/* 1 or 0. */
VORLAN_SDK2_API int VorlanIsInitialized(void);
/* VORLAN_SDK2_VERSION, initialised or not. */
VORLAN_SDK2_API int VorlanGetSdkVersion(void);
/* The name of a code; "" for a code without a name, never NULL. */
VORLAN_SDK2_API const char* VorlanGetErrorCodeName(int code);

/* ---- Parser chain ------------------------------------------------------ */

/* Client parsers run before the built-in ones, the latest registered first. */
VORLAN_SDK2_API int VorlanRegisterParser(VorlanParserCallback parser, void* user_data);
VORLAN_SDK2_API int VorlanUnregisterParser(VorlanParserCallback parser, void* user_data);
/* Runs the chain on the calling thread (or hands the payload to the relay). */
VORLAN_SDK2_API int VorlanReceiveData(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size);

/* ---- Listeners and sensor registry ------------------------------------- */

VORLAN_SDK2_API int VorlanListenPoints(VorlanPointsCallback callback, void* user_data);
VORLAN_SDK2_API int VorlanUnlistenPoints(VorlanPointsCallback callback, void* user_data);
VORLAN_SDK2_API int VorlanListenSerialLines(VorlanSerialLineCallback callback, void* user_data);
VORLAN_SDK2_API int VorlanUnlistenSerialLines(VorlanSerialLineCallback callback, void* user_data);
VORLAN_SDK2_API int VorlanListenSensorInfo(VorlanSensorInfoCallback callback, void* user_data);
VORLAN_SDK2_API int VorlanUnlistenSensorInfo(VorlanSensorInfoCallback callback, void* user_data);

/* The registry holds at most VORLAN_SDK2_MAX_SENSORS sensors, each at the
 * index it first took. When it is full, the information of a new sensor
 * takes the place (and the index) of the sensor silent the longest, provided
 * that one has sent no information for VORLAN_SDK2_SENSOR_SILENCE_SECONDS
 * (sensors repeat theirs every second); the silent sensor is then forgotten.
 * While every sensor has been heard within that time, new sensors are
 * refused, and the refusals are told on standard error at most once a
 * second with their count. */
#define VORLAN_SDK2_MAX_SENSORS 1024
#define VORLAN_SDK2_SENSOR_SILENCE_SECONDS 5

/* The number of known sensors, or a negative code. */
VORLAN_SDK2_API int64_t VorlanGetSensorCount(void);
VORLAN_SDK2_API int VorlanGetSensorInformation(uint64_t handle, VorlanSensor* out);
VORLAN_SDK2_API int VorlanGetSensorInformationByIndex(size_t index, VorlanSensor* out);

/* ---- Frames and the frame FIFO ----------------------------------------- */

VORLAN_SDK2_API int VorlanListenFrames(int aggregation_mode, VorlanFramesCallback callback, void* user_data);
VORLAN_SDK2_API int VorlanUnlistenFrames(VorlanFramesCallback callback, void* user_data);
VORLAN_SDK2_API int VorlanEnableFrameFifo(int aggregation_mode, uint32_t n_frames);
VORLAN_SDK2_API int VorlanDisableFrameFifo(void);
/* timeout_ms 0 waits without limit, or until VorlanDeinitialize, which makes
 * it return VORLAN_ERROR_NOT_INITIALIZED. The frame stays checked out until
 * VorlanFrameFifoRelease or VorlanFrameFifoPutBack. */
VORLAN_SDK2_API int VorlanFrameFifoGet(VorlanFifoedFrame* out, uint32_t timeout_ms);
VORLAN_SDK2_API int VorlanFrameFifoPutBack(void);
VORLAN_SDK2_API int VorlanFrameFifoRelease(void);
/* 1 or 0, or a negative code. */
VORLAN_SDK2_API int VorlanFrameFifoEmpty(void);
VORLAN_SDK2_API int VorlanFrameFifoFull(void);
/* Frames held, or a negative code. */
VORLAN_SDK2_API int VorlanFrameFifoSize(void);
/* Points of the oldest frame, or a negative code; the frame stays queued. */
VORLAN_SDK2_API int64_t VorlanFrameFifoPeekFrameNumPoints(uint32_t timeout_ms);
VORLAN_SDK2_API int VorlanFrameFifoFillArray(VorlanFrameArrays* arrays, uint32_t timeout_ms);
VORLAN_SDK2_API int VorlanFrameFifoGetSOA(VorlanFifoedFrame* out, int16_t* x, int16_t* y, int16_t* z,
                                          uint8_t* reflectivities, int64_t* timestamps, uint8_t* channel_ids,
                                          uint8_t* flags, uint32_t timeout_ms);

/* ---- Networking and the asynchronous relay ----------------------------- */

VORLAN_SDK2_API int VorlanStartNetworking(void);
VORLAN_SDK2_API int VorlanStartNetworkingOnPort(uint16_t port);
VORLAN_SDK2_API int VorlanStartNetworkingMulticast(const char* group_address, const char* interface_address,
                                                   uint16_t port);
VORLAN_SDK2_API int VorlanStopNetworking(void);
/* What the networking source has received and lost since it was started:
 * `received` counts the datagrams it took from its socket and handed on;
 * `dropped` counts those the system dropped before the library could take
 * them, because the socket's receive buffer was full (always 0 where the
 * system does not tell, as on systems other than Linux). Sent and arrived
 * on this host, received + dropped adds up to what was sent. After
 * VorlanStopNetworking the counts of the source stopped stay readable until
 * the next start; before the first start since VorlanInitialize both are 0. The library also tells
 * of system drops on standard error, at most once a second. Either pointer
 * may be null. Returns 0, or VORLAN_ERROR_NOT_INITIALIZED. Any thread. */
VORLAN_SDK2_API int VorlanGetNetworkCounts(uint64_t* received, uint64_t* dropped);
VORLAN_SDK2_API int VorlanStartAsyncRelay(uint32_t n_blocks);
VORLAN_SDK2_API int VorlanStopAsyncRelay(void);

/* ---- Capture replay ---------------------------------------------------- */

/* Listeners may control the replay that feeds them. On the replay's own
 * thread, and on the relay thread while the relay runs, nothing waits for the
 * replay (a seek or a step takes effect after the listener returns), and
 * VorlanReplayPlayToFinish and VorlanReplayUnloadPcap return
 * VORLAN_ERROR_INVALID_STATE.
 *
 * A frame FIFO the client does not read holds the replay's worker (and the
 * relay thread) waiting for room; control calls do not wait for it.
 * VorlanReplayUnloadPcap, VorlanReplaySeek and VorlanStopAsyncRelay drop the
 * payload being handed on at that moment (it belongs to what is being
 * stopped or left behind). A seek also drops every payload the relay had
 * queued. Paced replay does not wait out a jump of more than 5 s in the
 * capture's time: it goes on from there and says so once on standard
 * error. */

/* Captures are classic PCAP files (microsecond or nanosecond times, either
 * byte order) or pcapng files (several sections, interfaces of different
 * link types). Load flags: */
#define VORLAN_REPLAY_LOAD_NO_INDEXING 1u
#define VORLAN_REPLAY_LOAD_AUTO_REPLAY 2u
#define VORLAN_REPLAY_LOAD_PAUSED 4u
/* Keep copies of sensor datagrams: by default a sensor datagram equal to one
 * from the same source within the last 20 ms (a mirror port seeing both
 * directions, merged interfaces) is dropped and counted. */
#define VORLAN_REPLAY_LOAD_KEEP_DUPLICATES 8u
/* When playing first reaches the end of a capture, standard error is told
 * what reading left out (copies dropped, records cut by the snapshot length,
 * datagrams that could not be reassembled) and, for a capture that held no
 * sensor datagram at all, what it holds instead; a capture cut short or
 * damaged is told with where. A client that reports these itself, from
 * VorlanReplayGetCount and the code of VorlanReplayPlayToFinish, loads with
 * this flag and standard error is told none of them (jumps of the capture's
 * time are still told). */
#define VORLAN_REPLAY_LOAD_NO_END_REPORT 16u
VORLAN_SDK2_API int VorlanReplayLoadPcap(const char* path, uint32_t flags, uint64_t* replay_handle_out);
VORLAN_SDK2_API int VorlanReplayUnloadPcap(uint64_t replay_handle);
VORLAN_SDK2_API int VorlanReplayPlay(uint64_t replay_handle);
/* Returns once the capture has played to its end: 0, or VORLAN_ERROR_FILE_IO
 * when it ends at a record cut short or damaged in its length (everything
 * before that record has played; standard error says once where). */
VORLAN_SDK2_API int VorlanReplayPlayToFinish(uint64_t replay_handle);
VORLAN_SDK2_API int VorlanReplayPause(uint64_t replay_handle);
/* Plays until the next frame is published, then pauses. When a full frame
 * FIFO that the client does not read holds every frame up, no frame can be
 * published: VORLAN_ERROR_INVALID_STATE, the replay left playing or paused as
 * it was. */
VORLAN_SDK2_API int VorlanReplayNextFrame(uint64_t replay_handle);
VORLAN_SDK2_API int VorlanReplaySeek(uint64_t replay_handle, int64_t position_us);
/* Microseconds, or a negative code. */
VORLAN_SDK2_API int64_t VorlanReplayGetSeekPosition(uint64_t replay_handle);
VORLAN_SDK2_API int64_t VorlanReplayGetIndexPosition(uint64_t replay_handle);
/* Microseconds from the capture's earliest record to its latest (more than
 * the last record's position where time goes backwards, as in captures merged
 * by appending), or a negative code. Waits until the capture is indexed; the
 * indexing that playing to the end stopped is done again. */
VORLAN_SDK2_API int64_t VorlanReplayGetLength(uint64_t replay_handle);
VORLAN_SDK2_API int VorlanReplaySetSpeed(uint64_t replay_handle, int speed_percent);
/* The speed in percent, or a negative code. */
VORLAN_SDK2_API int VorlanReplayGetSpeed(uint64_t replay_handle);
VORLAN_SDK2_API int VorlanReplaySetAutoReplay(uint64_t replay_handle, uint32_t enable);
/* 1 or 0, or a negative code. */
VORLAN_SDK2_API int VorlanReplayIsFinished(uint64_t replay_handle);
VORLAN_SDK2_API int VorlanReplayIsPaused(uint64_t replay_handle);
/* What reading a capture has met since it was loaded (seeks and passes of
 * auto replay add up), or a negative code. */
#define VORLAN_REPLAY_COUNT_DATAGRAMS 0        /* UDP datagrams delivered */
#define VORLAN_REPLAY_COUNT_SENSOR_DATAGRAMS 1 /* of them, sensor packets */
#define VORLAN_REPLAY_COUNT_DUPLICATES 2       /* copies dropped */
#define VORLAN_REPLAY_COUNT_SNAPSHOT_CUT 3     /* records cut by the snapshot length */
#define VORLAN_REPLAY_COUNT_INCOMPLETE 4       /* records of datagrams never reassembled */
#define VORLAN_REPLAY_COUNT_BROKEN 5           /* records with broken headers */
#define VORLAN_REPLAY_COUNT_NOT_UDP 6          /* records of other protocols */
#define VORLAN_REPLAY_COUNT_OTHER_LINK 7       /* records of link layers without IPv4 */
VORLAN_SDK2_API int64_t VorlanReplayGetCount(uint64_t replay_handle, uint32_t which);

/* ---- Legacy translation ------------------------------------------------ */

VORLAN_SDK2_API int VorlanEnableLegacyTranslation(void);
VORLAN_SDK2_API int VorlanDisableLegacyTranslation(void);

#ifdef __cplusplus
}
#endif

#endif /* VORLAN_SDK2_H */
