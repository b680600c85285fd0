/* A client of the installed SDK: links both libraries, starts each without a
 * network, feeds the second one a sensor's point payload and reads the
 * resulting frame back from its frame FIFO. */
#include <stdio.h>
#include <string.h>

#include "vorlan_sdk.h"
#include "vorlan_sdk2.h"

/* An "STDV" payload of `n` points (at most 64): a 24-byte header, then
 * 10-byte points; the frame-parity flag switches at point n/2. */
static size_t point_payload(uint8_t* out, int64_t timestamp, uint16_t n) {
    uint16_t i;
    int b;
    memset(out, 0, 24 + 10 * (size_t)n);
    memcpy(out, "STDV", 4);
    out[5] = 24;
    for (b = 0; b < 8; ++b) out[8 + b] = (uint8_t)((uint64_t)timestamp >> (8 * b));
    out[17] = 10;
    out[18] = (uint8_t)n;
    out[19] = (uint8_t)(n >> 8);
    for (i = 0; i < n; ++i) {
        uint8_t* point = out + 24 + 10 * i;
        point[2] = (uint8_t)(200 + i); /* y: 1 m and a little more, in 5 mm steps */
        point[7] = 10;                 /* 10 microseconds after the previous point */
        point[9] = i < n / 2 ? 0 : VORLAN_POINT_FLAG_FRAME_PARITY;
    }
    return 24 + 10 * (size_t)n;
}

int main(void) {
    VorlanSDKOptions options = vorlan_sdk_create_options();
    VorlanFifoedFrame frame;
    uint8_t payload[24 + 10 * 64];
    int16_t x[64], y[64], z[64];
    uint8_t reflectivities[64], channels[64], flags[64];
    int64_t times[64];
    int code;

    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    code = vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, NULL, NULL);
    printf("vorlan_sdk %s: %s\n", vorlan_sdk_get_version_string(), vorlan_get_error_code_name(code));
    vorlan_sdk_deinitialize();

    code = VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION);
    printf("vorlan_sdk2 %d: %s\n", VorlanGetSdkVersion(), VorlanGetErrorCodeName(code));
    if (code == VORLAN_SUCCESS) code = VorlanEnableFrameFifo(VORLAN_FRAME_AGGREGATION_NATURAL, 2);
    if (code == VORLAN_SUCCESS) code = VorlanReceiveData(0x7F000001u, 1000000, payload, point_payload(payload, 1000000, 64));
    if (code == VORLAN_SUCCESS) code = VorlanFrameFifoGetSOA(&frame, x, y, z, reflectivities, times, channels, flags, 1000);
    if (code == VORLAN_SUCCESS) {
        printf("frame of %llu points, first y %.3f m at %lld us\n", (unsigned long long)frame.n_points, y[0] * 0.005,
               (long long)times[0]);
        VorlanFrameFifoRelease();
    } else {
        printf("no frame: %s\n", VorlanGetErrorCodeName(code));
    }
    VorlanDeinitialize();
    return code == VORLAN_SUCCESS ? 0 : 1;
}
