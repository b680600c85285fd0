/* A first look at the library: its version, the option defaults and the
 * error codes; then it replays a capture, printing each sensor and the first
 * frames, and stops.
 *   vorlan_demo [CAPTURE]     (build/sample.pcap by default; `make demo` makes it) */
#include <stdio.h>
#include <stdlib.h>

#include "vorlan_sdk.h"

/* A handle is the sensor's IPv4 address, first octet most significant, in
 * its low 32 bits; bit 32 (VORLAN_SENSOR_HANDLE_FLAG_MOCK) marks packets
 * that came from a capture. */
static const char* address_of(VorlanSensorHandle handle) {
    static char text[40];
    const unsigned long a = (unsigned long)(handle & 0xFFFFFFFFu);
    snprintf(text, sizeof text, "%lu.%lu.%lu.%lu%s", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255,
             (handle & VORLAN_SENSOR_HANDLE_FLAG_MOCK) ? " (from a capture)" : "");
    return text;
}

static void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void* data,
                     size_t data_size, void* user_data) {
    (void)data; (void)data_size; (void)user_data;
    printf("error from sensor %s: %s %s\n", address_of(handle), vorlan_get_error_code_name(code), message);
}

static void on_info(VorlanSensorHandle handle, const VorlanSensorInformation* information, void* user_data) {
    (void)user_data;
    printf("sensor %s: serial %llu, model %s\n", address_of(handle), (unsigned long long)information->serial_number,
           information->model_name);
}

static int frames = 0;

static void on_image_frame(VorlanSensorHandle handle, size_t n_points, const VorlanSensorImagePoint* points,
                           void* user_data) {
    size_t i, valid = 0;
    (void)user_data;
    for (i = 0; i < n_points; ++i) {
        if (points[i].flags & VORLAN_POINT_VALID) ++valid;
    }
    ++frames;
    printf("frame from sensor %s: %zu points, %zu valid\n", address_of(handle), n_points, valid);
}

int main(int argc, char** argv) {
    const char* capture = argc > 1 ? argv[1] : "build/sample.pcap";
    VorlanSDKOptions options = vorlan_sdk_create_options();
    VorlanSensorErrorCode code;
    const char* message = "";

    printf("vorlan_sdk %s (interface %d)\n", vorlan_sdk_get_version_string(), VORLAN_SDK_VERSION);
    printf("default options: port %u, control flags 0x%x, frame mode %d, frame length %.3f s\n",
           (unsigned)options.port, (unsigned)options.control_flags, (int)options.frame.mode,
           (double)options.frame.length);

    printf("error codes:\n");
    for (code = 0; code >= -1999; --code) {
        const char* name = vorlan_get_error_code_name(code);
        if (name[0] != '\0') {
            printf("  %6d  %s%s\n", (int)code, name, vorlan_is_fault_code(code) ? " (sensor fault)" : "");
        }
    }

    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    options.frame.mode = VORLAN_SDK_FRAME_TIMED;
    options.frame.length = 0.1f;
    code = vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, on_error, NULL);
    if (code != VORLAN_SUCCESS) {
        vorlan_sdk_get_error(&message);
        fprintf(stderr, "initialize failed: %s %s\n", vorlan_get_error_code_name(code), message);
        return 1;
    }
    printf("initialised with the network disabled; port %u\n", (unsigned)vorlan_sdk_get_port());

    if (vorlan_sdk_listen_info_packets(on_info, NULL) != VORLAN_SUCCESS ||
        vorlan_sdk_listen_image_frames(on_image_frame, NULL) != VORLAN_SUCCESS) {
        fprintf(stderr, "registering callbacks failed\n");
        vorlan_sdk_deinitialize();
        return 1;
    }
    printf("callbacks registered; a second registration of the same kind gives %s\n",
           vorlan_get_error_code_name(vorlan_sdk_listen_info_packets(on_info, NULL)));

    /* Replayed on this thread one packet at a time; the callbacks run inside
     * each step. Ten frames are enough for a first look. */
    code = vorlan_sdk_capture_replay_open(capture);
    if (code != VORLAN_SUCCESS) {
        vorlan_sdk_get_error(&message);
        fprintf(stderr, "cannot replay %s: %s %s\n", capture, vorlan_get_error_code_name(code), message);
        vorlan_sdk_deinitialize();
        return 1;
    }
    printf("replaying %s: %.1f s\n", capture, (double)vorlan_sdk_capture_replay_get_length());
    while (code == VORLAN_SUCCESS && frames < 10) {
        code = vorlan_sdk_capture_replay_resume_blocking_once();
    }
    printf("%d frames; stopped with %s\n", frames, vorlan_get_error_code_name(code));

    code = vorlan_sdk_deinitialize();
    printf("deinitialised: %s\n", vorlan_get_error_code_name(code));
    return code == VORLAN_SUCCESS && frames > 0 ? 0 : 1;
}
