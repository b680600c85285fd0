// Legacy translation through a copy of the second library loaded at run
// time: which first library it finds beside itself and what it answers when
// that one is missing, broken or refuses; turning translation on and off
// while captures replay and payloads flow.
#include <dirent.h>
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <string>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "loaded_library.h"
#include "sim_sinks.h"
#include "simulator.h"
#include "support/capture_builder.h"
#include "support/point_packet_builder.h"

namespace vorlan_sdk2_test {
namespace {

int thread_count() {
    int count = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return -1;
    }
    while (dirent* entry = readdir(tasks)) {
        count += entry->d_name[0] != '.';
    }
    closedir(tasks);
    return count;
}

// Counts points (of the given sensors only, when any are given) and wakes
// whoever waits for more.
struct PointCounter {
    std::set<uint64_t> sensors;
    std::mutex mutex;
    std::condition_variable more;
    uint64_t points = 0;

    static void record(uint64_t handle, int64_t, size_t n_points, size_t, const uint8_t*, void* user_data) {
        auto* self = static_cast<PointCounter*>(user_data);
        if (!self->sensors.empty() && self->sensors.count(handle) == 0) {
            return;
        }
        std::lock_guard<std::mutex> lock(self->mutex);
        self->points += n_points;
        self->more.notify_all();
    }
    // True when more than `seen` points arrived within a generous bound.
    bool wait_beyond(uint64_t seen) {
        std::unique_lock<std::mutex> lock(mutex);
        return more.wait_for(lock, std::chrono::seconds(30), [&] { return points > seen; });
    }
    uint64_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return points;
    }
};

std::vector<uint8_t> stdv_payload() {
    vorlan_test::PointRecord point;
    point.y = 400;
    std::vector<uint8_t> payload;
    vorlan_test::append_stdv_packet(payload, 1'000'000, &point, 1);
    return payload;
}

enum class Beside { nothing, not_a_library, lacking_unlisten, refusing_start, refusing_listener, real, real_versioned };

TEST(LegacySdkConnector, FindsTheFirstLibraryBesideItselfOnly) {
    struct Case {
        const char* what;
        Beside beside;
        int expected;
    } cases[] = {
        {"absent, though one is loaded in the process", Beside::nothing, VORLAN_ERROR_FILE_IO},
        {"not a shared library", Beside::not_a_library, VORLAN_ERROR_FILE_IO},
        {"lacks vorlan_sdk_unlisten_info_packets", Beside::lacking_unlisten, VORLAN_ERROR_INVALID_RESPONSE},
        {"refuses to start: its own code", Beside::refusing_start, -5},
        {"refuses the image-frame listener: its own code", Beside::refusing_listener, -7},
        {"the real one", Beside::real, VORLAN_SUCCESS},
        {"the real one under its versioned name only", Beside::real_versioned, VORLAN_SUCCESS},
    };
    // The first library is on hand in the process: opening it by any name
    // but its path beside the second library would find this one.
    void* elsewhere = dlopen(VORLAN_SDK_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(elsewhere, nullptr) << dlerror();
    const std::vector<uint8_t> payload = stdv_payload();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vorlan_test::TemporaryDirectory directory;
        copy_library(VORLAN_SDK2_LIBRARY, directory.path(), "libvorlan_sdk2.so");
        switch (c.beside) {
        case Beside::nothing: break;
        case Beside::not_a_library: std::ofstream(directory.file("libvorlan_sdk.so")) << "not ELF"; break;
        case Beside::lacking_unlisten: copy_library(VORLAN_STAND_IN_LACKING_UNLISTEN, directory.path(), "libvorlan_sdk.so"); break;
        case Beside::refusing_start: copy_library(VORLAN_STAND_IN_REFUSING_START, directory.path(), "libvorlan_sdk.so"); break;
        case Beside::refusing_listener: copy_library(VORLAN_STAND_IN_REFUSING_LISTENER, directory.path(), "libvorlan_sdk.so"); break;
        case Beside::real: copy_library(VORLAN_SDK_LIBRARY, directory.path(), "libvorlan_sdk.so"); break;
        case Beside::real_versioned: copy_library(VORLAN_SDK_LIBRARY, directory.path(), "libvorlan_sdk.so.1"); break;
        }
        LoadedLibrary library(directory.file("libvorlan_sdk2.so"));
        ASSERT_TRUE(library.ok()) << library.error();
        EXPECT_EQ(library.EnableLegacyTranslation(), VORLAN_ERROR_NOT_INITIALIZED);
        ASSERT_EQ(library.Initialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
        PointCounter counter;
        ASSERT_EQ(library.ListenPoints(&PointCounter::record, &counter), VORLAN_SUCCESS);

        EXPECT_EQ(library.EnableLegacyTranslation(), c.expected);
        if (c.expected == VORLAN_SUCCESS) {
            EXPECT_EQ(library.EnableLegacyTranslation(), VORLAN_ERROR_INVALID_STATE);
            EXPECT_EQ(library.DisableLegacyTranslation(), VORLAN_SUCCESS);
        } else {
            // Nothing was left half started: the next attempt fails the same way.
            EXPECT_EQ(library.EnableLegacyTranslation(), c.expected);
        }
        EXPECT_EQ(library.DisableLegacyTranslation(), VORLAN_ERROR_INVALID_STATE);

        // The library goes on working, and starts afresh.
        EXPECT_EQ(library.ReceiveData(1, 0, payload.data(), payload.size()), VORLAN_SUCCESS);
        EXPECT_EQ(counter.count(), 1u);
        EXPECT_EQ(library.Deinitialize(), VORLAN_SUCCESS);
        EXPECT_EQ(library.Initialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
        EXPECT_EQ(library.EnableLegacyTranslation(), c.expected);
        EXPECT_EQ(library.Deinitialize(), VORLAN_SUCCESS);
    }
    dlclose(elsewhere);
}

// A first library cut short (an interrupted copy) is refused before the
// system's loader maps it, which would fault the process on the first page
// past the file's end; standard error names the file and what is wrong.
TEST(LegacySdkConnector, FirstLibraryCutShortIsRefusedWithItsNameAndReason) {
    struct Case {
        const char* what;
        double keep;  // of the real library's bytes, or 0 for `text`
        const char* text;
        const char* reason;
    } cases[] = {
        {"cut to half", 0.5, nullptr, "cut short"},
        {"cut inside its program headers", -100, nullptr, "program headers lie past its end"},
        {"cut inside its ELF header", -20, nullptr, "too short for an ELF header"},
        {"not ELF at all", 0, "not ELF", "not an ELF file"},
    };
    std::ifstream real(VORLAN_SDK_LIBRARY, std::ios::binary);
    const std::vector<char> whole((std::istreambuf_iterator<char>(real)), std::istreambuf_iterator<char>());
    ASSERT_GT(whole.size(), 4096u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vorlan_test::TemporaryDirectory directory;
        copy_library(VORLAN_SDK2_LIBRARY, directory.path(), "libvorlan_sdk2.so");
        {
            std::ofstream beside(directory.file("libvorlan_sdk.so"), std::ios::binary);
            if (c.text != nullptr) {
                beside << c.text;
            } else {
                const size_t kept = c.keep > 0 ? size_t(double(whole.size()) * c.keep) : size_t(-c.keep);
                beside.write(whole.data(), std::streamsize(kept));
            }
        }
        LoadedLibrary library(directory.file("libvorlan_sdk2.so"));
        ASSERT_TRUE(library.ok()) << library.error();
        ASSERT_EQ(library.Initialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
        testing::internal::CaptureStderr();
        const int enabled = library.EnableLegacyTranslation();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(enabled, VORLAN_ERROR_FILE_IO);
        EXPECT_NE(said.find(directory.file("libvorlan_sdk.so")), std::string::npos) << said;
        EXPECT_NE(said.find(c.reason), std::string::npos) << said;
        EXPECT_EQ(library.Deinitialize(), VORLAN_SUCCESS);
    }
}

// A listener that translation is calling cannot wait for translation to
// end: turning it off or on from there is refused instead of hanging.
TEST(LegacySdkConnector, RefusesToTurnOffFromATranslatedBatch) {
    vorlan_test::TemporaryDirectory directory;
    copy_library(VORLAN_SDK2_LIBRARY, directory.path(), "libvorlan_sdk2.so");
    copy_library(VORLAN_SDK_LIBRARY, directory.path(), "libvorlan_sdk.so");
    LoadedLibrary library(directory.file("libvorlan_sdk2.so"));
    ASSERT_TRUE(library.ok()) << library.error();
    ASSERT_EQ(library.Initialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
    struct Listener {
        LoadedLibrary* library;
        std::vector<int> results;
        static void on_points(uint64_t, int64_t, size_t, size_t, const uint8_t*, void* user_data) {
            auto* self = static_cast<Listener*>(user_data);
            self->results.push_back(self->library->DisableLegacyTranslation());
            self->results.push_back(self->library->EnableLegacyTranslation());
        }
    } listener{&library, {}};
    ASSERT_EQ(library.ListenPoints(&Listener::on_points, &listener), VORLAN_SUCCESS);
    ASSERT_EQ(library.EnableLegacyTranslation(), VORLAN_SUCCESS);

    struct Collector : vorlan_tool::PacketSink {
        LoadedLibrary* library;
        bool deliver(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, std::size_t size) override {
            library->ReceiveData(handle, timestamp, data, size);
            return true;
        }
    } feed;
    feed.library = &library;
    vorlan_tool::SimulatorOptions options;
    options.seconds = 0.1;
    options.second_generation = false;  // only translated batches reach the listener
    vorlan_tool::run_simulation(options, feed);

    ASSERT_FALSE(listener.results.empty());
    for (int result : listener.results) {
        EXPECT_EQ(result, VORLAN_ERROR_INVALID_STATE);
    }
    EXPECT_EQ(library.DisableLegacyTranslation(), VORLAN_SUCCESS);
    EXPECT_EQ(library.Deinitialize(), VORLAN_SUCCESS);
}

// Simulated first-generation sensors, replayed over and over by two
// captures and fed from a client thread, while translation goes on and off.
TEST(LegacySdkConnector, TurnsOnAndOffWhileDataFlows) {
    constexpr int kCycles = 12;
    vorlan_test::TemporaryDirectory directory;
    const std::string capture = directory.file("sensors.pcap");
    {
        vorlan_tool::CaptureFileSink sink(capture);
        ASSERT_TRUE(sink.ok()) << sink.error();
        vorlan_tool::SimulatorOptions options;
        options.seconds = 0.5;
        ASSERT_TRUE(vorlan_tool::run_simulation(options, sink).completed);
        ASSERT_TRUE(sink.close()) << sink.error();
    }
    // The client thread's payloads, from the same sensors.
    struct Payload {
        uint64_t handle;
        int64_t timestamp;
        std::vector<uint8_t> bytes;
    };
    struct Collector : vorlan_tool::PacketSink {
        std::vector<Payload> payloads;
        bool deliver(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, std::size_t size) override {
            payloads.push_back({handle, timestamp, std::vector<uint8_t>(data, data + size)});
            return true;
        }
    } collector;
    vorlan_tool::SimulatorOptions options;
    options.seed = 2;
    options.seconds = 0.5;
    vorlan_tool::run_simulation(options, collector);

    copy_library(VORLAN_SDK2_LIBRARY, directory.path(), "libvorlan_sdk2.so");
    copy_library(VORLAN_SDK_LIBRARY, directory.path(), "libvorlan_sdk.so");
    // Sanitizer runtimes start a helper thread of their own with the first
    // thread a program starts: let that happen before counting.
    std::thread([] {}).join();
    const int threads_before = thread_count();
    {
        LoadedLibrary library(directory.file("libvorlan_sdk2.so"));
        ASSERT_TRUE(library.ok()) << library.error();
        ASSERT_EQ(library.Initialize(VORLAN_SDK2_INTERFACE_VERSION), VORLAN_SUCCESS);
        PointCounter counter;
        for (const auto& sensor : vorlan_tool::simulated_sensors()) {
            if (sensor.info_packet_type != "INFZ") {
                counter.sensors.insert(sensor.handle);  // first generation: points only through translation
            }
        }
        ASSERT_EQ(library.ListenPoints(&PointCounter::record, &counter), VORLAN_SUCCESS);
        constexpr uint32_t kAutoReplay = 2;
        uint64_t replays[2];
        for (uint64_t& replay : replays) {
            ASSERT_EQ(library.ReplayLoadPcap(capture.c_str(), kAutoReplay, &replay), VORLAN_SUCCESS);
            ASSERT_EQ(library.ReplaySetSpeed(replay, 0), VORLAN_SUCCESS);
        }
        std::atomic<bool> stop{false};
        std::thread client([&] {
            while (!stop.load()) {
                for (const Payload& payload : collector.payloads) {
                    library.ReceiveData(payload.handle, payload.timestamp, payload.bytes.data(), payload.bytes.size());
                }
            }
        });
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            ASSERT_EQ(library.EnableLegacyTranslation(), VORLAN_SUCCESS) << "cycle " << cycle;
            // Translated points arrive.
            EXPECT_TRUE(counter.wait_beyond(counter.count())) << "cycle " << cycle;
            if (cycle + 1 < kCycles) {
                ASSERT_EQ(library.DisableLegacyTranslation(), VORLAN_SUCCESS) << "cycle " << cycle;
            }
        }
        // The last time translation is still on: the library stops it itself.
        EXPECT_EQ(library.Deinitialize(), VORLAN_SUCCESS);
        stop = true;
        client.join();
        // Off, nothing flows and nothing is translated any more.
        EXPECT_EQ(library.EnableLegacyTranslation(), VORLAN_ERROR_NOT_INITIALIZED);
    }
    EXPECT_EQ(thread_count(), threads_before);
}

}  // namespace
}  // namespace vorlan_sdk2_test
