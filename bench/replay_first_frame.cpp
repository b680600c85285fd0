// Time to the first frame of a big capture: the simulator's eight sensors
// written as a pcapng file of about 2 GB (a longer recording than any
// figure a user waits for should depend on), replayed by each library from
// the open call to its first frame callback, with the time the length
// (which waits for the whole index) took beside it. Both libraries read the
// pcapng file directly: no temporary copy is made, so the folder holds the
// capture and the first library's side index and nothing else.
//
// Each replay runs in a child process of its own, once without the first
// library's side index (it is built beside playing) and once with it. The
// capture was just written, so it is in the page cache: the figures are
// those of a capture read before, not of a cold disk.
//
// A plain main() rather than Google Benchmark: the figure is one latency
// per run, not the rate of a repeated operation. `--gigabytes X` sets the
// size (2 by default).
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "sim_sinks.h"
#include "simulator.h"
#include "support/capture_builder.h"
#include "support/capture_forms.h"
#include "support/goal_lines.h"
#include "vorlan_sdk.h"
#include "vorlan_sdk2.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kGoalSeconds = 1.0;
// Bytes of capture the simulator writes per simulated second (about).
constexpr double kBytesPerSecond = 4.6e6;

std::atomic<bool> g_first_frame{false};
Clock::time_point g_first_frame_at;

void note_frame() {
    bool expected = false;
    if (g_first_frame.compare_exchange_strong(expected, true)) {
        g_first_frame_at = Clock::now();
    }
}

void on_image_frame(VorlanSensorHandle, size_t, const VorlanSensorImagePoint*, void*) { note_frame(); }
void on_frame(uint64_t, int64_t, size_t, size_t, const uint8_t*, void*) { note_frame(); }

// Copies the classic capture at `in` to `out` as pcapng, record by record.
bool write_pcapng(const std::string& in, const std::string& out) {
    std::FILE* source = std::fopen(in.c_str(), "rb");
    std::FILE* target = std::fopen(out.c_str(), "wb");
    bool ok = source != nullptr && target != nullptr;
    uint8_t header[24];
    ok = ok && std::fread(header, 1, sizeof header, source) == sizeof header;
    if (ok) {
        vorlan_test::PcapngBuilder start;
        start.section().interface(1);
        ok = std::fwrite(start.bytes().data(), 1, start.bytes().size(), target) == start.bytes().size();
    }
    vorlan_test::Bytes frame;
    while (ok) {
        uint8_t record[16];
        if (std::fread(record, 1, sizeof record, source) != sizeof record) {
            break;
        }
        uint32_t fields[4];
        std::memcpy(fields, record, sizeof fields);
        frame.resize(fields[2]);
        ok = std::fread(frame.data(), 1, frame.size(), source) == frame.size();
        vorlan_test::PcapngBuilder block;
        block.packet(0, uint64_t(fields[0]) * 1000000 + fields[1], frame, fields[3]);
        ok = ok && std::fwrite(block.bytes().data(), 1, block.bytes().size(), target) == block.bytes().size();
    }
    if (source != nullptr) {
        std::fclose(source);
    }
    if (target != nullptr) {
        ok = std::fclose(target) == 0 && ok;
    }
    return ok;
}

struct Timing {
    double first_frame = -1;  // seconds from the open call
    double length = -1;       // seconds from the open call to the length
    double capture_seconds = 0;
};

// Writes the figures to the parent through `fd`.
void report(int fd, const Timing& timing) {
    const ssize_t written = write(fd, &timing, sizeof timing);
    (void)written;
}

double since(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double>(end - start).count();
}

bool wait_for_first_frame() {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!g_first_frame.load() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return g_first_frame.load();
}

Timing replay_with_sdk(const std::string& path) {
    Timing timing;
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    options.frame.mode = VORLAN_SDK_FRAME_SWEEP;
    if (vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr) != VORLAN_SUCCESS ||
        vorlan_sdk_listen_image_frames(on_image_frame, nullptr) != VORLAN_SUCCESS) {
        return timing;
    }
    const Clock::time_point start = Clock::now();
    if (vorlan_sdk_capture_replay_open(path.c_str()) == VORLAN_SUCCESS &&
        vorlan_sdk_capture_replay_set_speed(0.0f) == VORLAN_SUCCESS &&
        vorlan_sdk_capture_replay_resume() == VORLAN_SUCCESS && wait_for_first_frame()) {
        timing.first_frame = since(start, g_first_frame_at);
        timing.capture_seconds = vorlan_sdk_capture_replay_get_length();
        timing.length = since(start, Clock::now());
    }
    vorlan_sdk_capture_replay_close();
    vorlan_sdk_deinitialize();
    return timing;
}

Timing replay_with_sdk2(const std::string& path) {
    Timing timing;
    if (VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION) != VORLAN_SUCCESS ||
        VorlanListenFrames(VORLAN_FRAME_AGGREGATION_NATURAL, on_frame, nullptr) != VORLAN_SUCCESS) {
        return timing;
    }
    const Clock::time_point start = Clock::now();
    uint64_t handle = 0;
    constexpr uint32_t kPaused = 4;
    if (VorlanReplayLoadPcap(path.c_str(), kPaused, &handle) == VORLAN_SUCCESS &&
        VorlanReplaySetSpeed(handle, 0) == VORLAN_SUCCESS && VorlanReplayPlay(handle) == VORLAN_SUCCESS &&
        wait_for_first_frame()) {
        timing.first_frame = since(start, g_first_frame_at);
        const int64_t length = VorlanReplayGetLength(handle);
        timing.capture_seconds = static_cast<double>(length) * 1e-6;
        timing.length = since(start, Clock::now());
    }
    if (handle != 0) {
        VorlanReplayUnloadPcap(handle);
    }
    VorlanDeinitialize();
    return timing;
}

Timing in_child(Timing (*replay)(const std::string&), const std::string& path) {
    Timing timing;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return timing;
    }
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        report(pipe_fds[1], replay(path));
        _exit(0);
    }
    close(pipe_fds[1]);
    if (child > 0) {
        if (read(pipe_fds[0], &timing, sizeof timing) != ssize_t(sizeof timing)) {
            timing = Timing();
        }
        int status = 0;
        waitpid(child, &status, 0);
    }
    close(pipe_fds[0]);
    return timing;
}

}  // namespace

int main(int argc, char** argv) {
    double gigabytes = 2.0;
    if (argc == 3 && std::strcmp(argv[1], "--gigabytes") == 0) {
        gigabytes = std::atof(argv[2]);
    }
    vorlan_test::TemporaryDirectory folder;
    const std::string classic = folder.file("big.pcap");
    const std::string pcapng = folder.file("big.pcapng");
    {
        vorlan_tool::SimulatorOptions options;
        options.seconds = gigabytes * 1e9 / kBytesPerSecond;
        vorlan_tool::CaptureFileSink sink(classic);
        vorlan_tool::run_simulation(options, sink);
        if (!sink.close()) {
            std::fprintf(stderr, "%s\n", sink.error().c_str());
            return 1;
        }
    }
    if (!write_pcapng(classic, pcapng)) {
        std::fprintf(stderr, "cannot write %s\n", pcapng.c_str());
        return 1;
    }
    std::filesystem::remove(classic);
    std::printf("pcapng capture of %.2f GB\n", static_cast<double>(std::filesystem::file_size(pcapng)) / 1e9);

    struct Run {
        const char* name;
        Timing (*replay)(const std::string&);
        bool remove_side_index;
    };
    const Run runs[] = {
        {"first library, index built", replay_with_sdk, true},
        {"first library, index loaded", replay_with_sdk, false},
        {"second library", replay_with_sdk2, false},
    };
    vorlan_bench::GoalLines goals;
    for (const Run& run : runs) {
        if (run.remove_side_index) {
            std::filesystem::remove(pcapng + ".vrn0");
        }
        const Timing timing = in_child(run.replay, pcapng);
        std::printf("%-28s first frame %.3f s, length %.1f s known after %.3f s\n", run.name, timing.first_frame,
                    timing.capture_seconds, timing.length);
        std::size_t others = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
            const std::string name = entry.path().filename().string();
            others += name != "big.pcapng" && name != "big.pcapng.vrn0" ? 1 : 0;
        }
        char seen[160];
        std::snprintf(seen, sizeof seen, "first frame after %.3f s, goal < %.1f s; %zu other files beside the capture",
                      timing.first_frame, kGoalSeconds, others);
        goals.add_condition(std::string(run.name) + " time to first frame",
                            timing.first_frame >= 0 && timing.first_frame < kGoalSeconds && others == 0, seen);
    }
    goals.print();
    return 0;
}
