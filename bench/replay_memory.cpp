// Replay memory against the capture's length: the peak resident memory of a
// whole replay, in each library, of the simulator's eight sensors for 30 s
// and for 300 s (three and thirty times its usual 10 s capture). What a
// replay holds must not grow with the capture: a day of such traffic has
// tens of millions of records.
//
// Each replay runs in a child process of its own, so that its peak is its
// own; the child replays the capture as fast as it can to a frame listener
// and exits, and the parent reads the peak from the child's resource usage.
// Each capture is replayed once before, so that the side index a library
// writes at the first open is loaded as at any later one (the first open
// builds it, which the second library does on a thread beside playing).
//
// A plain main() rather than Google Benchmark: the figures are peaks, not
// the time of one operation.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "sim_sinks.h"
#include "simulator.h"
#include "support/goal_lines.h"
#include "support/capture_builder.h"
#include "vorlan_sdk.h"
#include "vorlan_sdk2.h"

namespace {

constexpr double kShortSeconds = 30.0;
constexpr double kLongSeconds = 300.0;
constexpr double kAllowedGrowthMiB = 16.0;

std::atomic<uint64_t> g_points{0};

bool write_capture(const std::string& path, double seconds) {
    vorlan_tool::SimulatorOptions options;
    options.seconds = seconds;
    vorlan_tool::CaptureFileSink sink(path);
    const vorlan_tool::SimulationSummary summary = vorlan_tool::run_simulation(options, sink);
    if (!sink.close()) {
        std::fprintf(stderr, "%s\n", sink.error().c_str());
        return false;
    }
    std::printf("capture of %.0f s: %llu datagrams, %.0f MiB of payload\n", seconds,
                static_cast<unsigned long long>(summary.packets), static_cast<double>(summary.bytes) / (1 << 20));
    std::fflush(stdout);
    return true;
}

void count_image_points(VorlanSensorHandle, size_t n_points, const VorlanSensorImagePoint*, void*) {
    g_points.fetch_add(n_points, std::memory_order_relaxed);
}

void count_frame_points(uint64_t, int64_t, size_t n_points, size_t, const uint8_t*, void*) {
    g_points.fetch_add(n_points, std::memory_order_relaxed);
}

// The first library replays `path` to its end; true when it played points.
bool replay_with_sdk(const std::string& path) {
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    options.frame.mode = VORLAN_SDK_FRAME_SWEEP;
    if (vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr) != VORLAN_SUCCESS ||
        vorlan_sdk_listen_image_frames(count_image_points, nullptr) != VORLAN_SUCCESS ||
        vorlan_sdk_capture_replay_open(path.c_str()) != VORLAN_SUCCESS ||
        vorlan_sdk_capture_replay_set_speed(0.0f) != VORLAN_SUCCESS ||
        vorlan_sdk_capture_replay_resume_blocking(1e9f) != VORLAN_SUCCESS) {
        return false;
    }
    vorlan_sdk_capture_replay_close();
    vorlan_sdk_deinitialize();
    return g_points.load() > 0;
}

// The second library replays `path` to its end; true when it played points.
bool replay_with_sdk2(const std::string& path) {
    uint64_t handle = 0;
    constexpr uint32_t kPaused = 4;
    if (VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION) != VORLAN_SUCCESS ||
        VorlanListenFrames(VORLAN_FRAME_AGGREGATION_NATURAL, count_frame_points, nullptr) != VORLAN_SUCCESS ||
        VorlanReplayLoadPcap(path.c_str(), kPaused, &handle) != VORLAN_SUCCESS ||
        VorlanReplaySetSpeed(handle, 0) != VORLAN_SUCCESS || VorlanReplayPlayToFinish(handle) != VORLAN_SUCCESS) {
        return false;
    }
    VorlanReplayUnloadPcap(handle);
    VorlanDeinitialize();
    return g_points.load() > 0;
}

// The peak resident memory in MiB of a child running `replay` on `path`;
// negative when the replay failed.
double peak_of_replay(bool (*replay)(const std::string&), const std::string& path) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        _exit(replay(path) ? 0 : 1);
    }
    if (child < 0) {
        return -1.0;
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1.0;
    }
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // reported in KiB
}

}  // namespace

int main() {
    vorlan_test::TemporaryDirectory folder;
    const std::string short_capture = folder.file("short.pcap");
    const std::string long_capture = folder.file("long.pcap");
    if (!write_capture(short_capture, kShortSeconds) || !write_capture(long_capture, kLongSeconds)) {
        return 1;
    }
    struct Library {
        const char* name;
        bool (*replay)(const std::string&);
    };
    const Library libraries[] = {{"first library", replay_with_sdk}, {"second library", replay_with_sdk2}};
    vorlan_bench::GoalLines goals;
    for (const Library& library : libraries) {
        // The first opens write the side indexes.
        peak_of_replay(library.replay, short_capture);
        peak_of_replay(library.replay, long_capture);
        const double short_peak = peak_of_replay(library.replay, short_capture);
        const double long_peak = peak_of_replay(library.replay, long_capture);
        std::printf("%-15s peak resident memory: %.0f s capture %.1f MiB, %.0f s capture %.1f MiB\n", library.name,
                    kShortSeconds, short_peak, kLongSeconds, long_peak);
        char seen[128];
        std::snprintf(seen, sizeof seen, "%.1f MiB more for the %.0f s capture, goal <= %.0f MiB",
                      long_peak - short_peak, kLongSeconds, kAllowedGrowthMiB);
        goals.add_condition(std::string(library.name) + " replay memory flat in length",
                            short_peak > 0 && long_peak > 0 && long_peak - short_peak <= kAllowedGrowthMiB, seen);
    }
    goals.print();
    return 0;
}
