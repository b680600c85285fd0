// The exported functions of the library's lifecycle and the parser chain.
#include "c_boundary.h"
#include "error_names.h"
#include "framework.h"
#include "vorlan_sdk2.h"

using namespace vorlan_sdk2;

extern "C" {

VORLAN_SDK2_API int VorlanInitialize(int api_version) {
    return c_call([&] { return initializeFramework(api_version); });
}

VORLAN_SDK2_API int VorlanDeinitialize(void) {
    return c_call([] { return deinitializeFramework(); });
}

VORLAN_SDK2_API int VorlanIsInitialized(void) { return isInitialized() ? 1 : 0; }

VORLAN_SDK2_API int VorlanGetSdkVersion(void) { return VORLAN_SDK2_VERSION; }

VORLAN_SDK2_API const char* VorlanGetErrorCodeName(int code) { return errorCodeName(code); }

VORLAN_SDK2_API int VorlanRegisterParser(VorlanParserCallback parser, void* user_data) {
    return c_call_initialized([&] {
        if (parser == nullptr) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        parsers().AddFront(parser, user_data);  // a pair already there stays single
        return VORLAN_SUCCESS;
    });
}

VORLAN_SDK2_API int VorlanUnregisterParser(VorlanParserCallback parser, void* user_data) {
    return c_call_initialized([&] {
        if (parser == nullptr) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;
        }
        parsers().Remove(parser, user_data);
        return VORLAN_SUCCESS;
    });
}

VORLAN_SDK2_API int VorlanReceiveData(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size) {
    return c_call_initialized([&] {
        if (data == nullptr && size != 0) {
            return VORLAN_ERROR_INVALID_ARGUMENTS;  // nothing to read the claimed bytes from
        }
        if (isAsyncRelayEnabled()) {
            (void)VorlanReceiveDataAsync(handle, timestamp, data, size);
            return VORLAN_SUCCESS;
        }
        return VorlanReceiveDataDirect(handle, timestamp, data, size);
    });
}

}  // extern "C"
