#include "frame.h"

namespace vorlan_sdk {

FrameManager& FrameManager::instance() {
    static FrameManager manager;
    return manager;
}

void FrameManager::set_options(const VorlanSDKFrameOptions&) {}

void FrameManager::clear() {}

void FrameManager::clear_cache() {}

}  // namespace vorlan_sdk
