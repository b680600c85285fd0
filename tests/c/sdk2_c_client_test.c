/* A client written in C99 against the second library's header and shared
 * library: the header compiles as C (beside the first library's header), the
 * layouts hold, and a payload travels from VorlanReceiveData to a point
 * listener across the C boundary. */
#include <stdio.h>
#include <string.h>

#include "vorlan_sdk.h"
#include "vorlan_sdk2.h"
#include "sdk2_layout_checks.h"

static int failures = 0;

#define EXPECT(condition)                                                   \
    do {                                                                    \
        if (!(condition)) {                                                 \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

struct Seen {
    size_t batches;
    size_t points;
    int64_t timestamp;
    int16_t first_x;
};

static void on_points(uint64_t handle, int64_t timestamp, size_t n_points, size_t point_stride,
                      const uint8_t* points, void* user_data) {
    struct Seen* seen = (struct Seen*)user_data;
    VorlanPoint first;
    (void)handle;
    (void)point_stride;
    ++seen->batches;
    seen->points += n_points;
    seen->timestamp = timestamp;
    if (n_points > 0) {
        memcpy(&first, points, sizeof(first));
        seen->first_x = first.x;
    }
}

int main(void) {
    /* An "STDV" packet: 24-byte header, two 10-byte points. */
    uint8_t payload[44];
    struct Seen seen;
    memset(payload, 0, sizeof(payload));
    memset(&seen, 0, sizeof(seen));
    memcpy(payload, "STDV", 4);
    payload[5] = 24;   /* header length */
    payload[8] = 0x40; /* timestamp 0x1240 */
    payload[9] = 0x12;
    payload[17] = 10;  /* stride */
    payload[18] = 2;   /* points */
    payload[24] = 0x34; /* first point's x = 0x1234 */
    payload[25] = 0x12;

    EXPECT(VorlanGetSdkVersion() == VORLAN_SDK2_VERSION);
    EXPECT(strcmp(VorlanGetErrorCodeName(VORLAN_ERROR_TIMEOUT), "VORLAN_ERROR_TIMEOUT") == 0);
    EXPECT(VorlanListenPoints(on_points, &seen) == VORLAN_ERROR_NOT_INITIALIZED);

    EXPECT(VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION) == VORLAN_SUCCESS);
    EXPECT(VorlanIsInitialized() == 1);
    EXPECT(VorlanListenPoints(on_points, &seen) == VORLAN_SUCCESS);
    EXPECT(VorlanReceiveData(0x0A000001u, 5, payload, sizeof(payload)) == VORLAN_SUCCESS);
    EXPECT(seen.batches == 1 && seen.points == 2 && seen.timestamp == 0x1240 && seen.first_x == 0x1234);
    EXPECT(VorlanStartAsyncRelay(1) == VORLAN_ERROR_INVALID_ARGUMENTS);
    EXPECT(VorlanStopNetworking() == VORLAN_ERROR_INVALID_STATE);
    EXPECT(VorlanDeinitialize() == VORLAN_SUCCESS);
    EXPECT(VorlanIsInitialized() == 0);

    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}
