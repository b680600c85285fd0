// The networking source and the asynchronous relay are not built yet: every
// function refuses with VORLAN_ERROR_NOT_SUPPORTED once the library is
// initialised, and there is no relay queue to clear.
#include "c_boundary.h"
#include "framework.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {

void clearAsyncRelay() {}

int VorlanReceiveDataAsync(uint64_t, int64_t, const uint8_t*, size_t) { return VORLAN_ERROR_NOT_SUPPORTED; }

}  // namespace vorlan_sdk2

using namespace vorlan_sdk2;

namespace {

int not_supported() {
    return c_call_initialized([] { return VORLAN_ERROR_NOT_SUPPORTED; });
}

}  // namespace

extern "C" {

VORLAN_SDK2_API int VorlanStartNetworking(void) { return not_supported(); }
VORLAN_SDK2_API int VorlanStartNetworkingOnPort(uint16_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanStartNetworkingMulticast(const char*, const char*, uint16_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanStopNetworking(void) { return not_supported(); }
VORLAN_SDK2_API int VorlanStartAsyncRelay(uint32_t) { return not_supported(); }
VORLAN_SDK2_API int VorlanStopAsyncRelay(void) { return not_supported(); }

}  // extern "C"
