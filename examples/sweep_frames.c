/* Frames cut at the sweeps of each sensor's scan, from a capture. A sensor's
 * frame is made when its first data packet is decoded, and a frame made in a
 * sweep mode cuts 0.1 s timed frames until the frame options are set again.
 * So this client sets them again from the network-packet callback, which runs
 * before each packet is decoded, once per sensor as soon as its frame exists.
 * It prints every frame with the time its points span.
 *   sweep_frames CAPTURE */
#include <stdio.h>
#include <string.h>

#include "vorlan_sdk.h"

#define MAX_SENSORS 64

/* Data packets seen per sensor, and whether its sweep rule is in place. */
static struct {
    VorlanSensorHandle handle;
    unsigned data_packets;
    int sweeping;
} sensors[MAX_SENSORS];
static size_t n_sensors = 0;

static const char* address_of(VorlanSensorHandle handle) {
    static char text[16];
    const unsigned long a = (unsigned long)(handle & 0xFFFFFFFFu);
    snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
    return text;
}

static int is_data_packet(const uint8_t* data, size_t size) {
    if (size < 4 || memcmp(data, "STD", 3) != 0) return 0;
    return data[3] == 'P' || data[3] == 'Q' || data[3] == 'R' || data[3] == 'T';
}

static void on_packet(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, size_t size, void* user) {
    size_t i = 0;
    (void)timestamp; (void)user;
    if (!is_data_packet(data, size)) return;
    while (i < n_sensors && sensors[i].handle != handle) ++i;
    if (i == n_sensors) {
        if (n_sensors == MAX_SENSORS) return;
        sensors[n_sensors++].handle = handle;
    }
    /* A data packet is decoded when the sensor's next one arrives, so the
     * frame exists once two have arrived, and this third one is not decoded
     * yet: its points are the first the sweep rule sees. Setting the options
     * restarts the frame of every sensor, so it is done once per sensor. */
    if (++sensors[i].data_packets == 3 && !sensors[i].sweeping) {
        VorlanSDKFrameOptions frame = vorlan_sdk_create_frame_options();
        frame.mode = VORLAN_SDK_FRAME_SWEEP;
        sensors[i].sweeping = vorlan_sdk_set_frame_options(&frame) == VORLAN_SUCCESS;
        printf("sensor %s: sweep rule %s\n", address_of(handle), sensors[i].sweeping ? "set" : "refused");
    }
}

static void on_frame(VorlanSensorHandle handle, size_t n, const VorlanSensorImagePoint* points, void* user) {
    int64_t first, last;
    size_t i;
    (void)user;
    if (n == 0) return;
    first = last = points[0].timestamp;
    for (i = 1; i < n; ++i) {
        if (points[i].timestamp < first) first = points[i].timestamp;
        if (points[i].timestamp > last) last = points[i].timestamp;
    }
    printf("frame from sensor %s: %zu points over %.1f ms\n", address_of(handle), n, (double)(last - first) / 1000.0);
}

int main(int argc, char** argv) {
    VorlanSDKOptions options = vorlan_sdk_create_options();
    VorlanSensorErrorCode code;
    const char* message = "";
    if (argc != 2) {
        fprintf(stderr, "usage: sweep_frames CAPTURE\n");
        return 2;
    }
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK; /* only the capture */
    options.frame.mode = VORLAN_SDK_FRAME_SWEEP;
    code = vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, NULL, NULL);
    if (code == VORLAN_SUCCESS) code = vorlan_sdk_listen_network_packet(on_packet, NULL);
    if (code == VORLAN_SUCCESS) code = vorlan_sdk_listen_image_frames(on_frame, NULL);
    if (code == VORLAN_SUCCESS) code = vorlan_sdk_capture_replay_open(argv[1]);
    /* The whole capture on this thread, as fast as it is read; the callbacks
     * run inside each step. */
    while (code == VORLAN_SUCCESS) {
        code = vorlan_sdk_capture_replay_resume_blocking_once();
    }
    if (code != VORLAN_ERROR_EOF) {
        vorlan_sdk_get_error(&message);
        fprintf(stderr, "%s: %s %s\n", argv[1], vorlan_get_error_code_name(code), message);
    }
    vorlan_sdk_deinitialize();
    return code == VORLAN_ERROR_EOF ? 0 : 1;
}
