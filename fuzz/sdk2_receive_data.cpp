// Feeds arbitrary payloads through the second library's parser chain, as a
// sensor or an attacker on the network could. The input is one datagram
// after another, each prefixed by a handle byte and a 16-bit length. Each
// payload is copied into a buffer of exactly its size, and the listeners
// read every byte they are given, so that the sanitizers see any read past
// a payload.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sdk2_parser_harness.h"
#include "vorlan_sdk2.h"

namespace {

using vorlan_fuzz::touch;

void on_points(uint64_t, int64_t, size_t n_points, size_t stride, const uint8_t* points, void*) {
    touch(points, n_points * stride);
}

void on_info(uint64_t, const VorlanSensor* info, void*) {
    touch(reinterpret_cast<const uint8_t*>(info), info->info_size);
    VorlanSensor copy;
    (void)VorlanGetSensorInformation(info->handle, &copy);
}

void on_line(uint64_t, const char* line, void*) { touch(reinterpret_cast<const uint8_t*>(line), std::strlen(line)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Each input starts from an empty registry.
    if (VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION) != VORLAN_SUCCESS) {
        return 0;
    }
    VorlanListenPoints(on_points, nullptr);
    VorlanListenSensorInfo(on_info, nullptr);
    VorlanListenSerialLines(on_line, nullptr);
    std::size_t offset = 0;
    int64_t time = 1'700'000'000'000'000;
    while (offset + 3 <= size) {
        const uint64_t handle = 0x0A000000u | data[offset];
        const std::size_t length = data[offset + 1] | (static_cast<std::size_t>(data[offset + 2]) << 8);
        offset += 3;
        const std::size_t available = length <= size - offset ? length : size - offset;
        const std::vector<uint8_t> payload(data + offset, data + offset + available);
        VorlanReceiveData(handle, time, payload.data(), payload.size());
        offset += available;
        time += 1000;
    }
    for (size_t i = 0, n = static_cast<size_t>(VorlanGetSensorCount()); i < n; ++i) {
        VorlanSensor copy;
        (void)VorlanGetSensorInformationByIndex(i, &copy);
    }
    VorlanDeinitialize();
    return 0;
}
