// Feeds arbitrary payloads through the whole receive path, as a sensor or an
// attacker on the network could. The first bytes choose the handle so that a
// run builds up several sensors; the rest is one datagram after another,
// each prefixed by a 16-bit length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "vorlan_sdk.h"

namespace {

void initialise_once() {
    static const bool initialised = [] {
        VorlanSDKOptions options = vorlan_sdk_create_options();
        options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK | VORLAN_SDK_CONTROL_ENABLE_MULTIPLE_RETURNS;
        options.frame.mode = VORLAN_SDK_FRAME_SWEEP;
        const bool ok = vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr) == VORLAN_SUCCESS;
        std::atexit([] { vorlan_sdk_deinitialize(); });
        return ok;
    }();
    (void)initialised;
}

void ignore_frame(VorlanSensorHandle, size_t, const VorlanSensorImagePoint*, void*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    initialise_once();
    vorlan_sdk_listen_image_frames(ignore_frame, nullptr);
    std::size_t offset = 0;
    int64_t time = 1'700'000'000'000'000;
    while (offset + 3 <= size) {
        const VorlanSensorHandle handle = 0x0A000000u | data[offset];
        const std::size_t length = data[offset + 1] | (static_cast<std::size_t>(data[offset + 2]) << 8);
        offset += 3;
        const std::size_t available = length <= size - offset ? length : size - offset;
        vorlan_sdk_mock_network_receive(handle, time, data + offset, available);
        offset += available;
        time += 1000;
    }
    // Each input starts from an empty registry.
    vorlan_sdk_clear();
    return 0;
}
