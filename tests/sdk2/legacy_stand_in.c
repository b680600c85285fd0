/* A stand-in for the first library, built as small loadable modules that
 * each fall short in one way: one lacks a function, one refuses to start,
 * one refuses the image-frame listener. Its functions do nothing else. */
#include <stddef.h>
#include <stdint.h>

#define STAND_IN_API __attribute__((visibility("default")))

#ifndef INITIALIZE_RESULT
#define INITIALIZE_RESULT 0
#endif
#ifndef LISTEN_IMAGE_FRAMES_RESULT
#define LISTEN_IMAGE_FRAMES_RESULT 0
#endif

STAND_IN_API int32_t vorlan_sdk_initialize(int32_t version, const void* options, void* callback, void* user_data) {
    (void)version; (void)options; (void)callback; (void)user_data;
    return INITIALIZE_RESULT;
}
STAND_IN_API int32_t vorlan_sdk_deinitialize(void) { return 0; }
STAND_IN_API int32_t vorlan_sdk_mock_network_receive(uint64_t handle, int64_t timestamp, const uint8_t* data,
                                                     size_t size) {
    (void)handle; (void)timestamp; (void)data; (void)size;
    return 0;
}
STAND_IN_API int32_t vorlan_sdk_listen_image_frames(void* callback, void* user_data) {
    (void)callback; (void)user_data;
    return LISTEN_IMAGE_FRAMES_RESULT;
}
STAND_IN_API int32_t vorlan_sdk_unlisten_image_frames(void) { return 0; }
STAND_IN_API int32_t vorlan_sdk_get_sensor_information(uint64_t handle, void* information) {
    (void)handle; (void)information;
    return 0;
}
STAND_IN_API int32_t vorlan_sdk_listen_info_packets(void* callback, void* user_data) {
    (void)callback; (void)user_data;
    return 0;
}
#ifndef LACKS_UNLISTEN_INFO_PACKETS
STAND_IN_API int32_t vorlan_sdk_unlisten_info_packets(void) { return 0; }
#endif
