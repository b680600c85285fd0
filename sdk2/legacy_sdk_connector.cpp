#include "legacy_sdk_connector.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "framework.h"
#include "point_data_parser.h"
#include "sensors.h"

#ifndef VORLAN_SDK_SOVERSION
#define VORLAN_SDK_SOVERSION "1"
#endif

namespace vorlan_sdk2 {
namespace {

// Held shared while a payload is inside the first library (legacyParser and
// the translating callbacks it leads to), exclusively while the library is
// loaded, started, stopped or unloaded: it is never unloaded under a
// running translation.
std::shared_mutex& connectorLock() {
    static std::shared_mutex lock;
    return lock;
}

// Guarded by connectorLock().
LegacySdkProxy& sdk() {
    static LegacySdkProxy proxy;
    return proxy;
}
bool g_capabilities = false;  // guarded by connectorLock()
// Whether this library started the first one (guarded by connectorLock()).
// A start it refused is not undone: the refusal may mean that a client of
// the same file has started it for its own use.
bool g_started = false;

// Set while this thread is inside the first library on legacyParser's
// behalf. A listener called from there that turns translation on or off
// would wait for itself; it is refused instead.
thread_local bool t_translating = false;

}  // namespace

void LegacySdkProxy::LoadSymbols() {
    auto find = [this](const char* name) {
        void* address = findSymbol(name);
        if (address == nullptr) {
            throw SymbolLoadError(name);
        }
        return address;
    };
    // In this order: the first one missing is the one reported.
    vorlan_sdk_initialize = reinterpret_cast<decltype(vorlan_sdk_initialize)>(find("vorlan_sdk_initialize"));
    vorlan_sdk_deinitialize = reinterpret_cast<decltype(vorlan_sdk_deinitialize)>(find("vorlan_sdk_deinitialize"));
    vorlan_sdk_mock_network_receive =
        reinterpret_cast<decltype(vorlan_sdk_mock_network_receive)>(find("vorlan_sdk_mock_network_receive"));
    vorlan_sdk_listen_image_frames =
        reinterpret_cast<decltype(vorlan_sdk_listen_image_frames)>(find("vorlan_sdk_listen_image_frames"));
    vorlan_sdk_unlisten_image_frames =
        reinterpret_cast<decltype(vorlan_sdk_unlisten_image_frames)>(find("vorlan_sdk_unlisten_image_frames"));
    vorlan_sdk_get_sensor_information =
        reinterpret_cast<decltype(vorlan_sdk_get_sensor_information)>(find("vorlan_sdk_get_sensor_information"));
    vorlan_sdk_listen_info_packets =
        reinterpret_cast<decltype(vorlan_sdk_listen_info_packets)>(find("vorlan_sdk_listen_info_packets"));
    vorlan_sdk_unlisten_info_packets =
        reinterpret_cast<decltype(vorlan_sdk_unlisten_info_packets)>(find("vorlan_sdk_unlisten_info_packets"));
}

void LegacySdkProxy::UnloadSymbols() {
    vorlan_sdk_initialize = nullptr;
    vorlan_sdk_deinitialize = nullptr;
    vorlan_sdk_mock_network_receive = nullptr;
    vorlan_sdk_listen_image_frames = nullptr;
    vorlan_sdk_unlisten_image_frames = nullptr;
    vorlan_sdk_get_sensor_information = nullptr;
    vorlan_sdk_listen_info_packets = nullptr;
    vorlan_sdk_unlisten_info_packets = nullptr;
}

int loadLegacySDK() {
    LegacySdkProxy& proxy = sdk();
    try {
        proxy.OpenModule("vorlan_sdk", VORLAN_SDK_SOVERSION);
    } catch (const ProxyLoader::ModuleLoadError& error) {
        // The code alone names neither the file nor the reason.
        std::fprintf(stderr, "vorlan_sdk2: legacy translation unavailable: cannot load %s\n", error.what());
        return VORLAN_ERROR_FILE_IO;
    }
    try {
        proxy.LoadSymbols();
    } catch (const ProxyLoader::SymbolLoadError&) {
        return VORLAN_ERROR_INVALID_RESPONSE;
    }
    g_capabilities = proxy.CheckCaps();

    // Payloads come only from legacyParser, and every image point is
    // published as soon as it is decoded.
    VorlanSDKOptions options;
    std::memset(&options, 0, sizeof options);
    options.signature = sizeof(VorlanSDKOptions);
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    options.frame.signature = sizeof(VorlanSDKFrameOptions);
    options.frame.mode = VORLAN_SDK_FRAME_STREAMING;
    int result = proxy.vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr);
    if (result != VORLAN_SUCCESS) {
        return result;
    }
    g_started = true;
    result = proxy.vorlan_sdk_listen_image_frames(LegacySensorImageDataCallback, nullptr);
    if (result != VORLAN_SUCCESS) {
        return result;
    }
    return proxy.vorlan_sdk_listen_info_packets(LegacySensorInfoCallback, nullptr);
}

int unloadLegacySDK() {
    LegacySdkProxy& proxy = sdk();
    if (g_started) {
        (void)proxy.vorlan_sdk_unlisten_info_packets();
        (void)proxy.vorlan_sdk_unlisten_image_frames();
        (void)proxy.vorlan_sdk_deinitialize();
        g_started = false;
    }
    proxy.UnloadSymbols();
    g_capabilities = false;
    proxy.CloseModule();
    return VORLAN_SUCCESS;
}

int enableLegacyTranslation() {
    if (t_translating) {
        return VORLAN_ERROR_INVALID_STATE;
    }
    std::unique_lock<std::shared_mutex> lock(connectorLock());
    if (isLegacyTranslationStarted()) {
        return VORLAN_ERROR_INVALID_STATE;
    }
    const int result = loadLegacySDK();
    if (result != VORLAN_SUCCESS) {
        // Not left half started: a library kept initialised would refuse the
        // next attempt, and one kept open could not be replaced meanwhile.
        (void)unloadLegacySDK();
        return result;
    }
    try {
        parsers().AddBack(legacyParser, nullptr);
    } catch (...) {
        (void)unloadLegacySDK();
        throw;
    }
    setLegacyTranslationStarted(true);
    return VORLAN_SUCCESS;
}

int disableLegacyTranslation() {
    if (t_translating) {
        return VORLAN_ERROR_INVALID_STATE;
    }
    // A pass of the chain that still reaches legacyParser after its removal
    // finds the library closed; one inside it holds the lock shared, and the
    // library stops only when it is done.
    std::unique_lock<std::shared_mutex> lock(connectorLock());
    if (!isLegacyTranslationStarted()) {
        return VORLAN_ERROR_INVALID_STATE;
    }
    (void)parsers().Remove(legacyParser, nullptr);
    (void)unloadLegacySDK();
    setLegacyTranslationStarted(false);
    return VORLAN_SUCCESS;
}

int legacyParser(uint64_t handle, int64_t timestamp, const uint8_t* data, size_t size, void*) {
    std::shared_lock<std::shared_mutex> lock(connectorLock());
    LegacySdkProxy& proxy = sdk();
    if (proxy.isOpen() && g_capabilities && proxy.vorlan_sdk_mock_network_receive != nullptr) {
        t_translating = true;
        (void)proxy.vorlan_sdk_mock_network_receive(handle, timestamp, data, size);
        t_translating = false;
    }
    return -1;
}

void LegacySensorInfoCallback(uint64_t handle, const LegacySensorInformation* info, void*) {
    if (info == nullptr) {
        return;
    }
    // Nothing may unwind into the first library: a record that cannot be
    // stored for want of memory is dropped, as is an exception of a listener.
    try {
        (void)VorlanUpdateSensor(translateSensorInformation(handle, *info));
    } catch (...) {
    }
}

void LegacySensorImageDataCallback(uint64_t handle, size_t n_points, const LegacySensorImagePoint* points, void*) {
    if (points == nullptr && n_points != 0) {
        return;
    }
    // Built on this thread's stack: batches translated on several threads at
    // once never share a buffer, and no batch allocates.
    VorlanPoint batch[kLegacyBatchPoints];
    size_t done = 0;
    do {
        const size_t count = std::min(n_points - done, kLegacyBatchPoints);
        const int64_t timestamp = translateImagePoints(points + done, count, batch);
        try {
            VorlanAddPoints(handle, timestamp, count, sizeof(VorlanPoint), reinterpret_cast<const uint8_t*>(batch));
        } catch (...) {
        }
        done += count;
    } while (done < n_points);
}

}  // namespace vorlan_sdk2
