// Turning legacy translation on and off.
#include "c_boundary.h"
#include "legacy_sdk_connector.h"
#include "vorlan_sdk2.h"

using namespace vorlan_sdk2;

extern "C" {

VORLAN_SDK2_API int VorlanEnableLegacyTranslation(void) {
    return c_call_initialized([] { return enableLegacyTranslation(); });
}

VORLAN_SDK2_API int VorlanDisableLegacyTranslation(void) {
    return c_call_initialized([] { return disableLegacyTranslation(); });
}

}  // extern "C"
