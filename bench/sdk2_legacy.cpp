// Points per second of first-generation sensors through the second library
// with legacy translation: the simulator's sample capture (seed 1, 10 s,
// the capture `make demo` replays) replayed at full speed by the second
// library, whose parser chain hands every payload to the first library
// loaded beside it, whose image points come back as point batches to one
// point listener. The ceiling, from the same run, is the first library
// alone replaying the same capture at full speed to its image-frame
// callback: translation can only add to that work.
//
// Heap allocations are counted over steady passes of the same traffic's
// point packets fed from memory (no replay, which opens its file and thread
// per pass), and divided by the batches delivered. Information packets are
// counted apart: each replaces the sensor's record in the registry.
//
// Rates are per second of wall-clock time (the second library replays on its
// worker thread, not the benchmark's), the best of the repetitions: the
// machine's other work only ever slows a run down.
#include <dlfcn.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "sim_sinks.h"
#include "simulator.h"
#include "support/best_rate_reporter.h"
#include "support/capture_builder.h"
#include "support/counting_allocator.h"
#include "support/goal_lines.h"
#include "vorlan_sdk.h"
#include "vorlan_sdk2.h"

namespace {

constexpr double kSimulatedSeconds = 10.0;
constexpr uint64_t kSimulatorSeed = 1;
constexpr int kRepetitions = 3;
constexpr int kAllocationPasses = 3;

std::atomic<uint64_t> g_points{0};
std::atomic<uint64_t> g_batches{0};

struct Payload {
    uint64_t handle;
    int64_t timestamp;
    std::vector<uint8_t> bytes;
};

struct Traffic : vorlan_tool::PacketSink {
    std::vector<Payload> payloads;
    bool deliver(VorlanSensorHandle handle, int64_t timestamp, const uint8_t* data, std::size_t size) override {
        payloads.push_back({handle, timestamp, std::vector<uint8_t>(data, data + size)});
        return true;
    }
};

vorlan_tool::SimulatorOptions sample_options() {
    vorlan_tool::SimulatorOptions options;
    options.seed = kSimulatorSeed;
    options.seconds = kSimulatedSeconds;
    return options;
}

// The sample capture, written once for the run and removed at exit.
const std::string& sample_capture() {
    static vorlan_test::TemporaryDirectory dir;
    static const std::string path = [] {
        const std::string file = dir.file("sample.pcap");
        vorlan_tool::CaptureFileSink sink(file);
        if (!sink.ok() || !vorlan_tool::run_simulation(sample_options(), sink).completed || !sink.close()) {
            return std::string();
        }
        return file;
    }();
    return path;
}

// The sample capture's payloads in memory, for the passes that leave the
// replays out.
const std::vector<Payload>& sample_payloads() {
    static const std::vector<Payload> payloads = [] {
        Traffic traffic;
        vorlan_tool::run_simulation(sample_options(), traffic);
        return std::move(traffic.payloads);
    }();
    return payloads;
}

// ---- The first library alone ----

void on_image_frame(VorlanSensorHandle, size_t n_points, const VorlanSensorImagePoint* points, void*) {
    benchmark::DoNotOptimize(points);
    g_points.fetch_add(n_points, std::memory_order_relaxed);
}

void BM_FirstLibraryReplay(benchmark::State& state) {
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    options.frame.mode = VORLAN_SDK_FRAME_STREAMING;
    if (vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr) != VORLAN_SUCCESS ||
        vorlan_sdk_listen_image_frames(on_image_frame, nullptr) != VORLAN_SUCCESS ||
        vorlan_sdk_capture_replay_open(sample_capture().c_str()) != VORLAN_SUCCESS) {
        state.SkipWithError("cannot start the first library's replay");
        return;
    }
    const auto pass = [] {
        return vorlan_sdk_capture_replay_rewind() == VORLAN_SUCCESS &&
               vorlan_sdk_capture_replay_resume_blocking(1e9f) == VORLAN_SUCCESS;
    };
    pass();  // the sensors come to be known
    const uint64_t before = g_points.load();
    for (auto _ : state) {
        if (!pass()) {
            state.SkipWithError("replay failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(g_points.load() - before));
    vorlan_sdk_capture_replay_close();
    vorlan_sdk_deinitialize();
}

// The decode path alone, fed from memory on this thread.
void BM_FirstLibraryFromMemory(benchmark::State& state) {
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
    options.frame.mode = VORLAN_SDK_FRAME_STREAMING;
    if (vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr) != VORLAN_SUCCESS ||
        vorlan_sdk_listen_image_frames(on_image_frame, nullptr) != VORLAN_SUCCESS) {
        state.SkipWithError("cannot start the first library");
        return;
    }
    const auto pass = [] {
        for (const Payload& payload : sample_payloads()) {
            vorlan_sdk_mock_network_receive(payload.handle, payload.timestamp, payload.bytes.data(),
                                            payload.bytes.size());
        }
    };
    pass();
    const uint64_t before = g_points.load();
    for (auto _ : state) {
        pass();
    }
    state.SetItemsProcessed(static_cast<int64_t>(g_points.load() - before));
    vorlan_sdk_deinitialize();
}

// ---- The second library with translation ----

// The sample's first-generation sensors, by the low 32 bits of their
// handles (the sender's address): those that send one of that generation's
// packet types. The capture also holds second-generation sensors, whose
// points reach the listener without translation; they are not counted, so
// the figure and its ceiling count the same points.
const std::vector<uint64_t>& first_generation_addresses() {
    static const std::vector<uint64_t> addresses = [] {
        static const char* const kFirstGenerationTypes[] = {"INFO", "INF1", "INF2", "INFX", "INFY",
                                                            "STDP", "STDQ", "STDR", "STDT"};
        std::vector<uint64_t> found;
        for (const Payload& payload : sample_payloads()) {
            for (const char* type : kFirstGenerationTypes) {
                if (payload.bytes.size() >= 4 && std::equal(type, type + 4, payload.bytes.begin())) {
                    found.push_back(payload.handle & 0xFFFFFFFFu);
                }
            }
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        return found;
    }();
    return addresses;
}

void on_points(uint64_t handle, int64_t, size_t n_points, size_t, const uint8_t* points, void*) {
    benchmark::DoNotOptimize(points);
    const std::vector<uint64_t>& first_generation = first_generation_addresses();
    if (std::binary_search(first_generation.begin(), first_generation.end(), handle & 0xFFFFFFFFu)) {
        g_points.fetch_add(n_points, std::memory_order_relaxed);
    }
    g_batches.fetch_add(1, std::memory_order_relaxed);
}

// The built second library, loaded as a client loads it: it finds the first
// library in its own directory.
class SecondLibrary {
public:
    SecondLibrary() : m_module(dlopen(VORLAN_SDK2_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {
        if (m_module == nullptr) {
            return;
        }
        bind(Initialize, "VorlanInitialize");
        bind(Deinitialize, "VorlanDeinitialize");
        bind(ListenPoints, "VorlanListenPoints");
        bind(EnableLegacyTranslation, "VorlanEnableLegacyTranslation");
        bind(ReceiveData, "VorlanReceiveData");
        bind(LoadPcap, "VorlanReplayLoadPcap");
        bind(SetSpeed, "VorlanReplaySetSpeed");
        bind(PlayToFinish, "VorlanReplayPlayToFinish");
        bind(UnloadPcap, "VorlanReplayUnloadPcap");
        m_started = m_bound && Initialize(VORLAN_SDK2_INTERFACE_VERSION) == VORLAN_SUCCESS &&
                    ListenPoints(on_points, nullptr) == VORLAN_SUCCESS &&
                    EnableLegacyTranslation() == VORLAN_SUCCESS;
    }
    ~SecondLibrary() {
        if (m_started) {
            Deinitialize();
        }
        if (m_module != nullptr) {
            dlclose(m_module);
        }
    }
    bool ok() const { return m_started; }

    // The whole capture at full speed, on the replay's worker thread.
    bool replay(const std::string& path) {
        uint64_t replay = 0;
        constexpr uint32_t kNoIndexing = 1;
        constexpr uint32_t kPaused = 4;
        if (LoadPcap(path.c_str(), kNoIndexing | kPaused, &replay) != VORLAN_SUCCESS) {
            return false;
        }
        const bool played = SetSpeed(replay, 0) == VORLAN_SUCCESS && PlayToFinish(replay) == VORLAN_SUCCESS;
        return UnloadPcap(replay) == VORLAN_SUCCESS && played;
    }

    int (*Initialize)(int) = nullptr;
    int (*Deinitialize)() = nullptr;
    int (*ListenPoints)(VorlanPointsCallback, void*) = nullptr;
    int (*EnableLegacyTranslation)() = nullptr;
    int (*ReceiveData)(uint64_t, int64_t, const uint8_t*, size_t) = nullptr;
    int (*LoadPcap)(const char*, uint32_t, uint64_t*) = nullptr;
    int (*SetSpeed)(uint64_t, int) = nullptr;
    int (*PlayToFinish)(uint64_t) = nullptr;
    int (*UnloadPcap)(uint64_t) = nullptr;

private:
    template <class Function>
    void bind(Function& function, const char* name) {
        function = reinterpret_cast<Function>(dlsym(m_module, name));
        m_bound = m_bound && function != nullptr;
    }

    void* m_module;
    bool m_bound = true;
    bool m_started = false;
};

void BM_TranslatedReplay(benchmark::State& state) {
    SecondLibrary library;
    if (!library.ok()) {
        state.SkipWithError("cannot load the second library with translation");
        return;
    }
    library.replay(sample_capture());  // the sensors come to be known
    const uint64_t before = g_points.load();
    for (auto _ : state) {
        if (!library.replay(sample_capture())) {
            state.SkipWithError("replay failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(g_points.load() - before));
}

// The parser chain, the first library and translation, fed from memory on
// this thread.
void BM_TranslatedFromMemory(benchmark::State& state) {
    SecondLibrary library;
    if (!library.ok()) {
        state.SkipWithError("cannot load the second library with translation");
        return;
    }
    const auto pass = [&] {
        for (const Payload& payload : sample_payloads()) {
            library.ReceiveData(payload.handle, payload.timestamp, payload.bytes.data(), payload.bytes.size());
        }
    };
    pass();
    const uint64_t before = g_points.load();
    for (auto _ : state) {
        pass();
    }
    state.SetItemsProcessed(static_cast<int64_t>(g_points.load() - before));
}

// Heap allocations per translated batch over steady passes from memory.
struct AllocationFigure {
    uint64_t allocations = 0;
    uint64_t batches = 0;
    uint64_t information_allocations = 0;  // over the same passes' information packets
    uint64_t information_packets = 0;
    bool measured = false;
};

// Information, plain or behind the 8-byte prefix some second-generation
// sensors put before theirs.
bool is_information(const Payload& payload) {
    const auto information_at = [&payload](std::size_t at) {
        return payload.bytes.size() >= at + 3 && payload.bytes[at] == 'I' && payload.bytes[at + 1] == 'N' &&
               payload.bytes[at + 2] == 'F';
    };
    constexpr std::size_t kPrefix = 8;
    return information_at(0) || information_at(kPrefix);
}

AllocationFigure allocations_per_batch() {
    AllocationFigure figure;
    SecondLibrary library;
    if (!library.ok()) {
        return figure;
    }
    const auto pass = [&](bool information) {
        for (const Payload& payload : sample_payloads()) {
            if (is_information(payload) == information) {
                library.ReceiveData(payload.handle, payload.timestamp, payload.bytes.data(), payload.bytes.size());
            }
        }
    };
    pass(true);  // sensors, frames and pools come to be
    pass(false);
    const uint64_t batches_before = g_batches.load();
    uint64_t allocations_before = vorlan_bench::allocation_count();
    for (int i = 0; i < kAllocationPasses; ++i) {
        pass(false);
    }
    figure.allocations = vorlan_bench::allocation_count() - allocations_before;
    figure.batches = g_batches.load() - batches_before;
    allocations_before = vorlan_bench::allocation_count();
    pass(true);
    figure.information_allocations = vorlan_bench::allocation_count() - allocations_before;
    for (const Payload& payload : sample_payloads()) {
        figure.information_packets += is_information(payload);
    }
    figure.measured = true;
    return figure;
}

class GoalReporter : public vorlan_bench::BestRateReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        const AllocationFigure figure = allocations_per_batch();
        std::printf("\nsteady translated passes from memory: %llu heap allocations over %llu batches; "
                    "%llu over %llu information packets\n",
                    static_cast<unsigned long long>(figure.allocations),
                    static_cast<unsigned long long>(figure.batches),
                    static_cast<unsigned long long>(figure.information_allocations),
                    static_cast<unsigned long long>(figure.information_packets));
        vorlan_bench::GoalLines goals;
        goals.add({"translated replay vs first library alone", rate_of("BM_TranslatedReplay"),
                   rate_of("BM_FirstLibraryReplay"), 0.7, "points/s"});
        goals.add({"translated from memory vs first library alone", rate_of("BM_TranslatedFromMemory"),
                   rate_of("BM_FirstLibraryFromMemory"), 0.7, "points/s"});
        const double per_batch =
            figure.batches > 0 ? static_cast<double>(figure.allocations) / static_cast<double>(figure.batches) : 0.0;
        char seen[96];
        std::snprintf(seen, sizeof seen, "%.4g allocations per batch", per_batch);
        goals.add_condition("no heap allocation per translated batch",
                            figure.measured && figure.batches > 0 && figure.allocations == 0, seen);
        goals.print();
    }

};

}  // namespace

int main(int argc, char** argv) {
    if (sample_capture().empty()) {
        std::fprintf(stderr, "cannot write the sample capture\n");
        return 1;
    }
    if (first_generation_addresses().empty()) {
        std::fprintf(stderr, "the sample capture holds no first-generation sensor\n");
        return 1;
    }
    benchmark::RegisterBenchmark("BM_FirstLibraryReplay", BM_FirstLibraryReplay)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark("BM_FirstLibraryFromMemory", BM_FirstLibraryFromMemory)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark("BM_TranslatedFromMemory", BM_TranslatedFromMemory)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark("BM_TranslatedReplay", BM_TranslatedReplay)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Repetitions(kRepetitions);
    benchmark::Initialize(&argc, argv);
    GoalReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
