#include "framework.h"

#include <atomic>

#include "info_data_parser.h"
#include "point_data_parser.h"
#include "sensors.h"
#include "serial_parser.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2 {
namespace {

// Constant-initialised: no constructor has to run before the first call.
std::atomic<bool> g_initialized{false};
// Set while VorlanDeinitialize takes the library apart, before it is marked
// uninitialised: a call it wakes knows why.
std::atomic<bool> g_deinitializing{false};
std::atomic<bool> g_legacy_translation_started{false};
std::atomic<bool> g_async_relay_enabled{false};

}  // namespace

ParserList& parsers() {
    static ParserList list;
    return list;
}

bool isInitialized() { return g_initialized.load(std::memory_order_acquire); }
bool isDeinitializing() { return g_deinitializing.load(std::memory_order_acquire); }
bool isLegacyTranslationStarted() { return g_legacy_translation_started.load(std::memory_order_acquire); }
void setLegacyTranslationStarted(bool started) { g_legacy_translation_started.store(started, std::memory_order_release); }
bool isAsyncRelayEnabled() { return g_async_relay_enabled.load(std::memory_order_acquire); }
void setAsyncRelayEnabled(bool enabled) { g_async_relay_enabled.store(enabled, std::memory_order_release); }

int initializeFramework(int api_version) {
    if (api_version != VORLAN_SDK2_INTERFACE_VERSION) {
        return VORLAN_ERROR_INVALID_ARGUMENTS;
    }
    bool expected = false;
    if (!g_initialized.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
        return VORLAN_ERROR_ALREADY_INITIALIZED;
    }
    // Each goes to the front, so the chain runs them in the reverse order:
    // points first, serial lines last. After a re-initialisation they are
    // still there and the duplicate check keeps them single.
    try {
        parsers().AddFront(serialParser, nullptr);
        parsers().AddFront(infoDataParser, nullptr);
        parsers().AddFront(trustedDataParser, nullptr);
        parsers().AddFront(pointDataParser, nullptr);
    } catch (...) {
        g_initialized.store(false, std::memory_order_release);  // out of memory: not started
        throw;
    }
    return VORLAN_SUCCESS;
}

int deinitializeFramework() {
    if (!isInitialized()) {
        return VORLAN_ERROR_NOT_INITIALIZED;
    }
    g_deinitializing.store(true, std::memory_order_release);
    pointCallbacksClear();
    frameCallbacksClear();
    sensorInfoCallbacksClear();
    serialCallbacksClear();
    // The results of the stops do not matter: whatever was not running stays so.
    (void)VorlanStopNetworking();
    forgetNetworkCounts();
    VorlanReplayStop();
    clearFrameAggregator();
    (void)VorlanStopAsyncRelay();
    if (isLegacyTranslationStarted()) {
        (void)VorlanDisableLegacyTranslation();
    }
    VorlanDeleteAllInfo();
    // The parser chain stays: client parsers survive a re-initialisation.
    g_initialized.store(false, std::memory_order_release);
    g_deinitializing.store(false, std::memory_order_release);
    return VORLAN_SUCCESS;
}

int VorlanReceiveDataDirect(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size) {
    parsers().InvokeWithTermination(handle, timestamp, data, size);
    return VORLAN_SUCCESS;
}

}  // namespace vorlan_sdk2
