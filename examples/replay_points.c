/* Replays a capture and prints the points of its first frames in metres:
 * x, y, z of every point that holds a measurement (VORLAN_POINT_VALID; the
 * others have distance 0).
 *   replay_points CAPTURE [FRAMES]     (1 frame by default) */
#include <stdio.h>
#include <stdlib.h>

#include "vorlan_sdk.h"

static long frames_left = 1;

static void on_frame(VorlanSensorHandle sensor, size_t n, const VorlanSensorImagePoint* points, void* user) {
    const unsigned long a = (unsigned long)(sensor & 0xFFFFFFFFu);
    size_t i;
    (void)user;
    if (frames_left <= 0) return;
    --frames_left;
    printf("# frame of %zu points from sensor %lu.%lu.%lu.%lu: x y z in metres\n", n, a >> 24, (a >> 16) & 255,
           (a >> 8) & 255, a & 255);
    for (i = 0; i < n; ++i) {
        if (points[i].flags & VORLAN_POINT_VALID) {
            const VorlanPointMetres p =
                vorlan_image_point_to_metres(points[i].image_x, points[i].image_z, points[i].distance);
            printf("%.3f %.3f %.3f\n", p.x, p.y, p.z);
        }
    }
}

int main(int argc, char** argv) {
    VorlanSDKOptions options = vorlan_sdk_create_options();
    VorlanSensorErrorCode code;
    const char* message = "";
    if (argc < 2) {
        fprintf(stderr, "usage: replay_points CAPTURE [FRAMES]\n");
        return 2;
    }
    if (argc > 2) frames_left = atol(argv[2]);
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK; /* only the capture */
    options.frame.mode = VORLAN_SDK_FRAME_TIMED;
    options.frame.length = 0.1f;
    code = vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, NULL, NULL);
    if (code == VORLAN_SUCCESS) code = vorlan_sdk_listen_image_frames(on_frame, NULL);
    if (code == VORLAN_SUCCESS) code = vorlan_sdk_capture_replay_open(argv[1]);
    /* One packet at a time on this thread, as fast as the file is read; the
     * callback runs inside each step. */
    while (code == VORLAN_SUCCESS && frames_left > 0) {
        code = vorlan_sdk_capture_replay_resume_blocking_once();
    }
    if (code != VORLAN_SUCCESS && code != VORLAN_ERROR_EOF) {
        vorlan_sdk_get_error(&message);
        fprintf(stderr, "%s: %s %s\n", argv[1], vorlan_get_error_code_name(code), message);
    }
    vorlan_sdk_deinitialize();
    return code == VORLAN_SUCCESS || code == VORLAN_ERROR_EOF ? 0 : 1;
}
