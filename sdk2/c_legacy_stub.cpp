// Legacy translation is not built yet: both functions refuse with
// VORLAN_ERROR_NOT_SUPPORTED once the library is initialised.
#include "c_boundary.h"
#include "vorlan_sdk2.h"

using namespace vorlan_sdk2;

extern "C" {

VORLAN_SDK2_API int VorlanEnableLegacyTranslation(void) {
    return c_call_initialized([] { return VORLAN_ERROR_NOT_SUPPORTED; });
}

VORLAN_SDK2_API int VorlanDisableLegacyTranslation(void) {
    return c_call_initialized([] { return VORLAN_ERROR_NOT_SUPPORTED; });
}

}  // extern "C"
