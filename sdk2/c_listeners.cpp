// The exported registration of point and serial-line listeners.
#include "c_boundary.h"
#include "point_data_parser.h"
#include "serial_parser.h"
#include "vorlan_sdk2.h"

using namespace vorlan_sdk2;

extern "C" {

VORLAN_SDK2_API int VorlanListenPoints(VorlanPointsCallback callback, void* user_data) {
    return c_call_initialized([&] {
        return addPointListener(callback, user_data) ? VORLAN_SUCCESS : VORLAN_ERROR_INVALID_ARGUMENTS;
    });
}

VORLAN_SDK2_API int VorlanUnlistenPoints(VorlanPointsCallback callback, void* user_data) {
    return c_call_initialized([&] {
        return callback != nullptr && removePointListener(callback, user_data) ? VORLAN_SUCCESS
                                                                                : VORLAN_ERROR_INVALID_ARGUMENTS;
    });
}

// The serial-line functions refuse with the generic error, where the others
// answer with invalid arguments; clients test for it.
VORLAN_SDK2_API int VorlanListenSerialLines(VorlanSerialLineCallback callback, void* user_data) {
    return c_call_initialized([&] {
        return serialReceivers().AddBack(callback, user_data) ? VORLAN_SUCCESS : VORLAN_ERROR_GENERIC;
    });
}

VORLAN_SDK2_API int VorlanUnlistenSerialLines(VorlanSerialLineCallback callback, void* user_data) {
    return c_call_initialized([&] {
        return callback != nullptr && serialReceivers().Remove(callback, user_data) ? VORLAN_SUCCESS
                                                                                     : VORLAN_ERROR_GENERIC;
    });
}

}  // extern "C"
