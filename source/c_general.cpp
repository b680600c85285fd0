// Exported constants, option defaults, and the names and classes of codes.
#include "vorlan_sdk.h"

extern "C" {

const size_t vorlan_sensor_information_size = sizeof(VorlanSensorInformation);
const size_t vorlan_sensor_image_point_size = sizeof(VorlanSensorImagePoint);
const size_t vorlan_sensor_raw_point_with_time_size = sizeof(VorlanSensorRawPointWithTime);
const size_t vorlan_calibration_size = sizeof(VorlanCalibration);
const size_t vorlan_laser_calibration_size = sizeof(VorlanLaserCalibration);
const size_t vorlan_sensor_transform_size = sizeof(VorlanSensorTransform);
const size_t vorlan_sdk_max_returns = 2;
const size_t vorlan_sdk_max_laser_count = 192;
const size_t vorlan_sdk_max_power_levels = 32;

VorlanSDKFrameOptions vorlan_sdk_create_frame_options(void) {
    VorlanSDKFrameOptions options{};
    options.signature = sizeof(VorlanSDKFrameOptions);
    options.mode = VORLAN_SDK_FRAME_STREAMING;
    options.length = 0.05f;
    return options;
}

VorlanSDKOptions vorlan_sdk_create_options(void) {
    VorlanSDKOptions options{};
    options.signature = sizeof(VorlanSDKOptions);
    options.control_flags = 0;
    options.frame = vorlan_sdk_create_frame_options();
    options.port = 8808;
    return options;
}

const char* vorlan_get_error_code_name(VorlanSensorErrorCode code) {
    switch (code) {
        case VORLAN_SUCCESS: return "VORLAN_SUCCESS";
        case VORLAN_ERROR_GENERIC: return "VORLAN_ERROR_GENERIC";
        case VORLAN_ERROR_OUT_OF_MEMORY: return "VORLAN_ERROR_OUT_OF_MEMORY";
        case VORLAN_ERROR_SENSOR_NOT_FOUND: return "VORLAN_ERROR_SENSOR_NOT_FOUND";
        case VORLAN_ERROR_SDK_VERSION_MISMATCH: return "VORLAN_ERROR_SDK_VERSION_MISMATCH";
        case VORLAN_ERROR_COMMUNICATION: return "VORLAN_ERROR_COMMUNICATION";
        case VORLAN_ERROR_TOO_MANY_CALLBACKS: return "VORLAN_ERROR_TOO_MANY_CALLBACKS";
        case VORLAN_ERROR_INVALID_ARGUMENTS: return "VORLAN_ERROR_INVALID_ARGUMENTS";
        case VORLAN_ERROR_ALREADY_INITIALIZED: return "VORLAN_ERROR_ALREADY_INITIALIZED";
        case VORLAN_ERROR_NOT_INITIALIZED: return "VORLAN_ERROR_NOT_INITIALIZED";
        case VORLAN_ERROR_INVALID_FILE_TYPE: return "VORLAN_ERROR_INVALID_FILE_TYPE";
        case VORLAN_ERROR_FILE_IO: return "VORLAN_ERROR_FILE_IO";
        case VORLAN_ERROR_CORRUPT_FILE: return "VORLAN_ERROR_CORRUPT_FILE";
        case VORLAN_ERROR_NOT_OPEN: return "VORLAN_ERROR_NOT_OPEN";
        case VORLAN_ERROR_EOF: return "VORLAN_ERROR_EOF";
        case VORLAN_ERROR_NOT_SUPPORTED: return "VORLAN_ERROR_NOT_SUPPORTED";
        case VORLAN_ERROR_INVALID_RESPONSE: return "VORLAN_ERROR_INVALID_RESPONSE";
        case VORLAN_ERROR_INVALID_STATE: return "VORLAN_ERROR_INVALID_STATE";
        case VORLAN_FAULT_INTERNAL: return "VORLAN_FAULT_INTERNAL";
        case VORLAN_FAULT_EXTREME_TEMPERATURE: return "VORLAN_FAULT_EXTREME_TEMPERATURE";
        case VORLAN_FAULT_EXTREME_HUMIDITY: return "VORLAN_FAULT_EXTREME_HUMIDITY";
        case VORLAN_FAULT_EXTREME_ACCELERATION: return "VORLAN_FAULT_EXTREME_ACCELERATION";
        case VORLAN_FAULT_SCAN_COVERAGE: return "VORLAN_FAULT_SCAN_COVERAGE";
        case VORLAN_FAULT_ABNORMAL_FRAME_RATE: return "VORLAN_FAULT_ABNORMAL_FRAME_RATE";
        case VORLAN_FAULT_MOTOR_MALFUNCTION: return "VORLAN_FAULT_MOTOR_MALFUNCTION";
        case VORLAN_FAULT_LASER_MALFUNCTION: return "VORLAN_FAULT_LASER_MALFUNCTION";
        case VORLAN_FAULT_DETECTOR_MALFUNCTION: return "VORLAN_FAULT_DETECTOR_MALFUNCTION";
        default: return "";
    }
}

int32_t vorlan_is_error_code(VorlanSensorErrorCode code) { return code >= -999 && code <= -1 ? 1 : 0; }

int32_t vorlan_is_fault_code(VorlanSensorErrorCode code) { return code >= -1999 && code <= -1000 ? 1 : 0; }

}  // extern "C"
