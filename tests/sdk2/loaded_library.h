// A copy of the second library loaded at run time from a directory of the
// test's choosing, as a client would load it, with the functions the legacy
// tests call. The first library it loads is whatever lies beside the copy.
#ifndef VORLAN_TESTS_SDK2_LOADED_LIBRARY_H
#define VORLAN_TESTS_SDK2_LOADED_LIBRARY_H

#include <dlfcn.h>

#include <filesystem>
#include <string>

#include "vorlan_sdk2.h"

namespace vorlan_sdk2_test {

class LoadedLibrary {
public:
    explicit LoadedLibrary(const std::string& path) : m_module(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (m_module == nullptr) {
            const char* error = dlerror();
            m_error = error != nullptr ? error : "dlopen failed";
            return;
        }
        bind(Initialize, "VorlanInitialize");
        bind(Deinitialize, "VorlanDeinitialize");
        bind(EnableLegacyTranslation, "VorlanEnableLegacyTranslation");
        bind(DisableLegacyTranslation, "VorlanDisableLegacyTranslation");
        bind(ListenPoints, "VorlanListenPoints");
        bind(ListenSensorInfo, "VorlanListenSensorInfo");
        bind(ReceiveData, "VorlanReceiveData");
        bind(GetSensorCount, "VorlanGetSensorCount");
        bind(ReplayLoadPcap, "VorlanReplayLoadPcap");
        bind(ReplaySetSpeed, "VorlanReplaySetSpeed");
        bind(ReplayPlay, "VorlanReplayPlay");
        bind(ReplayUnloadPcap, "VorlanReplayUnloadPcap");
    }
    ~LoadedLibrary() {
        if (m_module != nullptr) {
            dlclose(m_module);
        }
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

    int (*Initialize)(int) = nullptr;
    int (*Deinitialize)() = nullptr;
    int (*EnableLegacyTranslation)() = nullptr;
    int (*DisableLegacyTranslation)() = nullptr;
    int (*ListenPoints)(VorlanPointsCallback, void*) = nullptr;
    int (*ListenSensorInfo)(VorlanSensorInfoCallback, void*) = nullptr;
    int (*ReceiveData)(uint64_t, int64_t, const uint8_t*, size_t) = nullptr;
    int64_t (*GetSensorCount)() = nullptr;
    int (*ReplayLoadPcap)(const char*, uint32_t, uint64_t*) = nullptr;
    int (*ReplaySetSpeed)(uint64_t, int) = nullptr;
    int (*ReplayPlay)(uint64_t) = nullptr;
    int (*ReplayUnloadPcap)(uint64_t) = nullptr;

private:
    template <class Function>
    void bind(Function& function, const char* name) {
        function = reinterpret_cast<Function>(dlsym(m_module, name));
        if (function == nullptr) {
            m_error = std::string("missing ") + name;
        }
    }

    void* m_module;
    std::string m_error;
};

// Copies `from` to `directory`/`name`, replacing what is there.
inline void copy_library(const std::string& from, const std::string& directory, const std::string& name) {
    std::filesystem::copy_file(from, directory + "/" + name, std::filesystem::copy_options::overwrite_existing);
}

}  // namespace vorlan_sdk2_test

#endif  // VORLAN_TESTS_SDK2_LOADED_LIBRARY_H
