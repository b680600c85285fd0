/* A client written in C99 against the public header and the shared library:
 * the header compiles as C, the layouts agree with the library's exported
 * sizes, and the basic calls work across the C boundary. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "vorlan_sdk.h"
#include "layout_checks.h"

static int failures = 0;

#define EXPECT(condition)                                                   \
    do {                                                                    \
        if (!(condition)) {                                                 \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

static void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void* data,
                     size_t data_size, void* user_data) {
    (void)handle; (void)code; (void)message; (void)data; (void)data_size; (void)user_data;
}

static void on_info(VorlanSensorHandle handle, const VorlanSensorInformation* information, void* user_data) {
    (void)handle; (void)information; (void)user_data;
}

int main(void) {
    VorlanSDKOptions options = vorlan_sdk_create_options();
    const char* message = NULL;
    static const unsigned char zero[8];

    EXPECT(vorlan_sensor_information_size == sizeof(VorlanSensorInformation));
    EXPECT(vorlan_sensor_image_point_size == sizeof(VorlanSensorImagePoint));
    EXPECT(vorlan_sensor_raw_point_with_time_size == sizeof(VorlanSensorRawPointWithTime));
    EXPECT(vorlan_calibration_size == sizeof(VorlanCalibration));
    EXPECT(vorlan_laser_calibration_size == sizeof(VorlanLaserCalibration));
    EXPECT(vorlan_sensor_transform_size == sizeof(VorlanSensorTransform));
    EXPECT(vorlan_sdk_max_returns == 2 && vorlan_sdk_max_laser_count == 192 && vorlan_sdk_max_power_levels == 32);

    EXPECT(options.signature == 40 && options.control_flags == 0 && options.port == 8808);
    EXPECT(options.frame.signature == 16 && options.frame.mode == 0 && options.frame.length == 0.05f);
    EXPECT(memcmp(options.padding_0, zero, sizeof(options.padding_0)) == 0);
    EXPECT(memcmp(options.padding_1, zero, sizeof(options.padding_1)) == 0);

    EXPECT(strcmp(vorlan_sdk_get_version_string(), "1.18.2") == 0);
    EXPECT(strcmp(vorlan_get_error_code_name(VORLAN_ERROR_EOF), "VORLAN_ERROR_EOF") == 0);

    {
        /* The sensor's axis, 3-4-5 and 5-12-13 rays, and a point with no return. */
        const struct { double u, w, r, x, y, z; } rays[] = {
            {0.0, 0.0, 7.5, 0.0, 7.5, 0.0},
            {-0.75, 0.0, 12.5, 7.5, 10.0, 0.0},
            {0.0, 2.4, 26.0, 0.0, 10.0, -24.0},
            {0.3, -0.2, 0.0, 0.0, 0.0, 0.0},
        };
        size_t i;
        for (i = 0; i < sizeof rays / sizeof rays[0]; ++i) {
            const VorlanPointMetres p = vorlan_image_point_to_metres(rays[i].u, rays[i].w, rays[i].r);
            EXPECT(fabs(p.x - rays[i].x) < 1e-9 && fabs(p.y - rays[i].y) < 1e-9 && fabs(p.z - rays[i].z) < 1e-9);
        }
    }

    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    EXPECT(vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, on_error, NULL) == VORLAN_SUCCESS);
    EXPECT(vorlan_sdk_is_initialized() == 1);
    EXPECT(vorlan_sdk_listen_info_packets(on_info, NULL) == VORLAN_SUCCESS);
    EXPECT(vorlan_sdk_listen_info_packets(on_info, NULL) == VORLAN_ERROR_TOO_MANY_CALLBACKS);
    EXPECT(vorlan_sdk_get_error(&message) == VORLAN_ERROR_TOO_MANY_CALLBACKS);
    EXPECT(message != NULL && message[0] == '\0');
    EXPECT(vorlan_sdk_deinitialize() == VORLAN_SUCCESS);
    EXPECT(vorlan_sdk_is_initialized() == 0);
    EXPECT(vorlan_sdk_get_error(&message) == VORLAN_SUCCESS);

    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}
