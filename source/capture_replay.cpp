#include "capture_replay.h"

namespace vorlan_sdk {

CaptureReplay& CaptureReplay::instance() {
    static CaptureReplay replay;
    return replay;
}

SensorError CaptureReplay::close() { return VORLAN_SUCCESS; }

void CaptureReplay::stop_threads() {}

}  // namespace vorlan_sdk
