/* A first look at the library: start it without a network, show its version,
 * the option defaults and the error codes, register callbacks, stop it. */
#include <stdio.h>

#include "vorlan_sdk.h"

static void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char* message, const void* data,
                     size_t data_size, void* user_data) {
    (void)data; (void)data_size; (void)user_data;
    printf("error from sensor %llx: %s %s\n", (unsigned long long)handle, vorlan_get_error_code_name(code), message);
}

static void on_info(VorlanSensorHandle handle, const VorlanSensorInformation* information, void* user_data) {
    (void)user_data;
    printf("sensor %llx: serial %llu, model %s\n", (unsigned long long)handle,
           (unsigned long long)information->serial_number, information->model_name);
}

static void on_image_frame(VorlanSensorHandle handle, size_t n_points, const VorlanSensorImagePoint* points,
                           void* user_data) {
    (void)points; (void)user_data;
    printf("frame from sensor %llx: %zu points\n", (unsigned long long)handle, n_points);
}

int main(void) {
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

    code = vorlan_sdk_deinitialize();
    printf("deinitialised: %s\n", vorlan_get_error_code_name(code));
    return code == VORLAN_SUCCESS ? 0 : 1;
}
