// The exported functions of the networking source and the asynchronous relay.
#include "async_relay.h"
#include "c_boundary.h"
#include "networking_source.h"
#include "vorlan_sdk2.h"

using namespace vorlan_sdk2;

namespace {

constexpr uint16_t kDefaultPort = 8808;

}  // namespace

extern "C" {

VORLAN_SDK2_API int VorlanStartNetworking(void) {
    return c_call_initialized([] { return startNetworking(kDefaultPort); });
}

VORLAN_SDK2_API int VorlanStartNetworkingOnPort(uint16_t port) {
    return c_call_initialized([&] { return startNetworking(port); });
}

VORLAN_SDK2_API int VorlanStartNetworkingMulticast(const char* group_address, const char* interface_address,
                                                   uint16_t port) {
    return c_call_initialized([&] { return startNetworkingMulticast(group_address, interface_address, port); });
}

VORLAN_SDK2_API int VorlanStopNetworking(void) {
    return c_call_initialized([] { return stopNetworking(); });
}

VORLAN_SDK2_API int VorlanGetNetworkCounts(uint64_t* received, uint64_t* dropped) {
    return c_call_initialized([&] {
        uint64_t taken = 0;
        uint64_t lost = 0;
        networkCounts(taken, lost);
        if (received != nullptr) {
            *received = taken;
        }
        if (dropped != nullptr) {
            *dropped = lost;
        }
        return VORLAN_SUCCESS;
    });
}

VORLAN_SDK2_API int VorlanStartAsyncRelay(uint32_t n_blocks) {
    return c_call_initialized([&] { return startAsyncRelay(n_blocks); });
}

VORLAN_SDK2_API int VorlanStopAsyncRelay(void) {
    return c_call_initialized([] { return stopAsyncRelay(); });
}

}  // extern "C"
