// Stand-in for capture replay: nothing can be opened yet.
#ifndef VORLAN_SOURCE_CAPTURE_REPLAY_H
#define VORLAN_SOURCE_CAPTURE_REPLAY_H

#include "vorlan_sdk_impl/vorlan_sdk.hpp"

namespace vorlan_sdk {

class CaptureReplay {
public:
    static CaptureReplay& instance();

    // Pauses a running replay and closes the capture.
    SensorError close();
    // Stops the replay thread without touching the capture; used at process
    // exit when the client never deinitialised.
    void stop_threads();

private:
    CaptureReplay() = default;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_CAPTURE_REPLAY_H
