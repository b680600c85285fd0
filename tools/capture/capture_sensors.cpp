#include "capture_sensors.h"

#include <set>


namespace vorlan_tool {
namespace {

// The library's message for the calling thread's last result, or the
// code's name.
std::string library_error_text(VorlanSensorErrorCode code) {
    const char* message = nullptr;
    vorlan_sdk_get_error(&message);
    std::string text = message != nullptr ? message : "";
    text = text.substr(0, text.find('\n'));
    return text.empty() ? vorlan_get_error_code_name(code) : text;
}

constexpr int kFirstFaultCode = -1999;
constexpr int kLastFaultCode = -1000;

// The library starts a sensor's frames by time and takes up the sweep rule
// only when the frame options are set again once the sensor exists; frames
// before that are not counted.
struct Decoding {
    DecodedCapture capture;
    std::set<uint32_t> sweeping;  // sensors whose frames follow their sweeps
    bool reapply = false;
};

void on_information(VorlanSensorHandle handle, const VorlanSensorInformation* information, void* user) {
    DecodedSensor& sensor = static_cast<Decoding*>(user)->capture.sensors[uint32_t(handle)];
    sensor.information = *information;
    sensor.informed = true;
}

void on_frame(VorlanSensorHandle handle, std::size_t n_points, const VorlanSensorImagePoint* points, void* user) {
    Decoding& decoding = *static_cast<Decoding*>(user);
    DecodedSensor& sensor = decoding.capture.sensors[uint32_t(handle)];
    if (decoding.sweeping.count(uint32_t(handle)) == 0) {
        decoding.reapply = true;
        return;
    }
    if (n_points == 0) {
        return;
    }
    if (sensor.frames == 0) {
        sensor.first_frame_time = points[0].timestamp;
    }
    sensor.last_frame_time = points[0].timestamp;
    ++sensor.frames;
    sensor.points += n_points;
}

void on_error(VorlanSensorHandle handle, VorlanSensorErrorCode code, const char*, const void*, std::size_t,
              void* user) {
    DecodedCapture& capture = static_cast<Decoding*>(user)->capture;
    const std::string name = vorlan_get_error_code_name(code);
    if (handle == 0) {
        ++capture.errors[name];
        return;
    }
    DecodedSensor& sensor = capture.sensors[uint32_t(handle)];
    ++(code >= kFirstFaultCode && code <= kLastFaultCode ? sensor.faults : sensor.errors)[name];
}

}  // namespace

double DecodedSensor::frames_per_second() const {
    if (frames < 2 || last_frame_time <= first_frame_time) {
        return 0.0;
    }
    return double(frames - 1) * 1e6 / double(last_frame_time - first_frame_time);
}

DecodedCapture decode_capture(const std::string& path) {
    Decoding decoding;
    DecodedCapture& capture = decoding.capture;
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    options.frame.mode = VORLAN_SDK_FRAME_SWEEP;
    VorlanSensorErrorCode code = vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, on_error, &decoding);
    if (code != VORLAN_SUCCESS) {
        capture.error = "cannot start the library: " + library_error_text(code);
        return capture;
    }
    code = vorlan_sdk_listen_info_packets(on_information, &decoding);
    if (code == VORLAN_SUCCESS) {
        code = vorlan_sdk_listen_image_frames(on_frame, &decoding);
    }
    if (code == VORLAN_SUCCESS) {
        code = vorlan_sdk_capture_replay_open(path.c_str());
        if (code != VORLAN_SUCCESS) {
            capture.error = "the library cannot open it: " + library_error_text(code);
        }
    } else {
        capture.error = "cannot register callbacks: " + library_error_text(code);
    }
    if (capture.error.empty()) {
        for (;;) {
            code = vorlan_sdk_capture_replay_resume_blocking_once();
            if (code == VORLAN_ERROR_EOF) {
                break;
            }
            if (code != VORLAN_SUCCESS) {
                capture.error = "the library stopped reading it: " + library_error_text(code);
                break;
            }
            if (decoding.reapply) {
                decoding.reapply = false;
                for (const auto& entry : capture.sensors) {
                    decoding.sweeping.insert(entry.first);
                }
                VorlanSDKFrameOptions frames = vorlan_sdk_create_frame_options();
                frames.mode = VORLAN_SDK_FRAME_SWEEP;
                (void)vorlan_sdk_set_frame_options(&frames);
            }
        }
        vorlan_sdk_capture_replay_close();
    }
    vorlan_sdk_deinitialize();
    return capture;
}

}  // namespace vorlan_tool
