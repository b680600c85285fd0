// A process may hold two copies of the second library: this test links one,
// and loads another at run time from a directory of its own, each with a
// first library beside it. Deinitialising a copy stops the first library
// that copy started and touches nothing of the other copy: calls a library
// makes to its own exported functions stay inside it.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "loaded_library.h"
#include "support/capture_builder.h"
#include "vorlan_sdk2.h"

namespace vorlan_sdk2_test {
namespace {

// Whether the first library at `path` is initialised; -1 when it cannot be asked.
int first_library_initialized(const std::string& path) {
    void* first = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (first == nullptr) {
        return -1;
    }
    auto is_initialized = reinterpret_cast<int32_t (*)()>(dlsym(first, "vorlan_sdk_is_initialized"));
    const int result = is_initialized != nullptr ? is_initialized() : -1;
    dlclose(first);
    return result;
}

TEST(LegacyLibraryCopies, DeinitialisingACopyStopsItsOwnTranslationOnly) {
    vorlan_test::TemporaryDirectory directory;
    copy_library(VORLAN_SDK2_LIBRARY, directory.path(), "libvorlan_sdk2.so");
    copy_library(VORLAN_SDK_LIBRARY, directory.path(), "libvorlan_sdk.so");
    const std::string copy_first = directory.file("libvorlan_sdk.so");

    // The linked copy translates through the first library of the build.
    ASSERT_EQ(VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
    ASSERT_EQ(VorlanEnableLegacyTranslation(), VORLAN_SUCCESS);
    for (const bool turned_off_first : {true, false}) {
        SCOPED_TRACE(turned_off_first ? "translation turned off, then deinitialised"
                                      : "deinitialised with translation on");
        LoadedLibrary copy(directory.file("libvorlan_sdk2.so"));
        ASSERT_TRUE(copy.ok()) << copy.error();
        ASSERT_EQ(copy.Initialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
        ASSERT_EQ(copy.EnableLegacyTranslation(), VORLAN_SUCCESS);
        EXPECT_EQ(first_library_initialized(copy_first), 1);
        if (turned_off_first) {
            EXPECT_EQ(copy.DisableLegacyTranslation(), VORLAN_SUCCESS);
        }
        EXPECT_EQ(copy.Deinitialize(), VORLAN_SUCCESS);
        // Its first library is stopped (and unloaded: asked afresh, it is new).
        EXPECT_EQ(first_library_initialized(copy_first), 0);
        // The linked copy still translates.
        EXPECT_EQ(VorlanIsInitialized(), 1);
        EXPECT_EQ(VorlanEnableLegacyTranslation(), VORLAN_ERROR_INVALID_STATE);
    }
    EXPECT_EQ(VorlanDisableLegacyTranslation(), VORLAN_SUCCESS);
    EXPECT_EQ(VorlanDeinitialize(), VORLAN_SUCCESS);
}

}  // namespace
}  // namespace vorlan_sdk2_test
