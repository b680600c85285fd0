// Stand-in for frame accumulation: holds nothing yet.
#ifndef VORLAN_SOURCE_FRAME_H
#define VORLAN_SOURCE_FRAME_H

#include "vorlan_sdk.h"

namespace vorlan_sdk {

class FrameManager {
public:
    static FrameManager& instance();

    // Applies `options` to every sensor's frame.
    void set_options(const VorlanSDKFrameOptions& options);
    // Forgets every frame.
    void clear();
    // Empties every frame's buffers, keeping the frames and their options.
    void clear_cache();

private:
    FrameManager() = default;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_FRAME_H
