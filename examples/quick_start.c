/* The quick start: listen for sensors on a UDP port and print one line per
 * frame of 0.1 s, until Enter is pressed (or standard input ends).
 *   quick_start [PORT]        (8808 by default; `vorlan sim --port PORT` sends there) */
#include <stdio.h>
#include <stdlib.h>

#include "vorlan_sdk.h"

/* Serial numbers by handle, filled from the information callback. Both
 * callbacks run on the library's packet thread, so no lock is needed. */
#define MAX_SENSORS 16
static VorlanSensorHandle handles[MAX_SENSORS];
static unsigned long long serials[MAX_SENSORS];
static int n_sensors = 0;

/* The name a sensor goes by: its IPv4 address (the handle's low 32 bits,
 * first octet most significant) and its serial number. */
static void sensor_name(VorlanSensorHandle sensor, char* name, size_t size) {
    const unsigned long a = (unsigned long)(sensor & 0xFFFFFFFFu);
    unsigned long long serial = 0;
    int i;
    for (i = 0; i < n_sensors; ++i) {
        if (handles[i] == sensor) serial = serials[i];
    }
    snprintf(name, size, "%lu.%lu.%lu.%lu serial %llu", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255, serial);
}

static void on_info(VorlanSensorHandle sensor, const VorlanSensorInformation* information, void* user) {
    int i;
    (void)user;
    for (i = 0; i < n_sensors; ++i) {
        if (handles[i] == sensor) return; /* sensors repeat their information every second */
    }
    if (n_sensors < MAX_SENSORS) {
        char name[64];
        handles[n_sensors] = sensor;
        serials[n_sensors] = (unsigned long long)information->serial_number;
        ++n_sensors;
        sensor_name(sensor, name, sizeof name);
        printf("sensor %s: %s\n", name, information->model_name);
    }
}

static void on_frame(VorlanSensorHandle sensor, size_t n, const VorlanSensorImagePoint* points, void* user) {
    /* Called on the library's packet thread; `points` is valid during the call only. */
    char name[64];
    size_t i, valid = 0;
    (void)user;
    for (i = 0; i < n; ++i) {
        if (points[i].flags & VORLAN_POINT_VALID) ++valid; /* the others measured nothing */
    }
    sensor_name(sensor, name, sizeof name);
    printf("sensor %s: frame of %zu points, %zu valid\n", name, n, valid);
    fflush(stdout);
}

int main(int argc, char** argv) {
    VorlanSDKOptions options = vorlan_sdk_create_options(); /* port 8808, streaming frames */
    if (argc > 1) options.port = (uint16_t)atoi(argv[1]);
    options.frame.mode = VORLAN_SDK_FRAME_TIMED; /* a frame every 0.1 s */
    options.frame.length = 0.1f;
    if (vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, NULL, NULL) != VORLAN_SUCCESS) {
        const char* message;
        vorlan_sdk_get_error(&message); /* the calling thread's last error */
        fprintf(stderr, "cannot start: %s\n", message);
        return 1;
    }
    vorlan_sdk_listen_info_packets(on_info, NULL);
    vorlan_sdk_listen_image_frames(on_frame, NULL);
    printf("listening on UDP port %u; Enter stops\n", (unsigned)options.port);
    fflush(stdout);
    getchar(); /* frames arrive on library threads meanwhile */
    vorlan_sdk_deinitialize();
    return 0;
}
