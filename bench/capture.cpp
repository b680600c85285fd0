// Packets per second read from capture files, in two settings.
//
// Reading: the library's capture reader alone on a sensor streaming datagrams
// of 64 and of 1400 bytes, beside libpcap's reader on the same file in the
// same run (the ceiling); once as a classic capture and once as pcapng.
//
// Replay: the simulator's capture (four sensors, one of each family: their
// information, calibration and point packets) replayed at full speed through
// the whole receive path, from the file to the image-frame callback. Its
// ceiling is the slower of its two halves measured alone on the same capture
// in the same run: the capture reader, and the decode path fed from memory
// through vorlan_sdk_mock_network_receive.
//
// Rates are the best of the repetitions: the machine's other work only ever
// slows a run down.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "capture.h"
#include "core.h"
#include "sim_sinks.h"
#include "simulator.h"
#include "support/best_rate_reporter.h"
#include "support/capture_builder.h"
#include "support/capture_forms.h"
#include "support/goal_lines.h"
#include "support/libpcap_ceiling.h"
#include "vorlan_sdk.h"

namespace {

constexpr std::size_t kStreamPackets = 100000;
const std::size_t kPayloadSizes[] = {64, 1400};
// The same traffic as the sample capture `make demo` replays.
constexpr double kSimulatedSeconds = 10.0;
constexpr uint64_t kSimulatorSeed = 1;
constexpr int kRepetitions = 5;

vorlan_test::TemporaryDirectory& folder() {
    static vorlan_test::TemporaryDirectory dir;
    return dir;
}

// A sensor sending a datagram of `payload_size` bytes every 100 µs, written
// once and shared by every benchmark.
const std::string& stream_capture(std::size_t payload_size) {
    static std::map<std::size_t, std::string> files;
    auto it = files.find(payload_size);
    if (it == files.end()) {
        const std::string path = folder().file("stream_" + std::to_string(payload_size) + ".pcap");
        vorlan_test::write_stream_capture(path, kStreamPackets, payload_size, 100, vorlan_test::ipv4(192, 168, 1, 2));
        it = files.emplace(payload_size, path).first;
    }
    return it->second;
}

// The same stream as a pcapng file.
const std::string& stream_pcapng(std::size_t payload_size) {
    static std::map<std::size_t, std::string> files;
    auto it = files.find(payload_size);
    if (it == files.end()) {
        const std::string path = folder().file("stream_" + std::to_string(payload_size) + ".pcapng");
        vorlan_test::write_file(path, vorlan_test::reform(vorlan_test::read_file(stream_capture(payload_size)),
                                                          vorlan_test::CaptureForm::pcapng));
        it = files.emplace(payload_size, path).first;
    }
    return it->second;
}

// The simulator's capture, made once; empty when it could not be written.
const std::string& simulated_capture() {
    static const std::string path = [] {
        const std::string file = folder().file("simulated.pcap");
        vorlan_tool::SimulatorOptions options;
        options.seed = kSimulatorSeed;
        options.seconds = kSimulatedSeconds;
        options.second_generation = false;  // only packets the first library decodes
        vorlan_tool::CaptureFileSink sink(file);
        const vorlan_tool::SimulationSummary summary = vorlan_tool::run_simulation(options, sink);
        if (!sink.close()) {
            std::fprintf(stderr, "%s\n", sink.error().c_str());
            return std::string();
        }
        std::printf("simulated capture: %.0f s, %llu packets (%llu information), %llu points\n", kSimulatedSeconds,
                    static_cast<unsigned long long>(summary.packets),
                    static_cast<unsigned long long>(summary.info_packets),
                    static_cast<unsigned long long>(summary.points));
        return file;
    }();
    return path;
}

// ---- Reading --------------------------------------------------------------------

void BM_PcapNextEx(benchmark::State& state, const std::string& path) { vorlan_bench::read_with_libpcap(state, path); }

void BM_CaptureRead(benchmark::State& state, const std::string& path) {
    vorlan_sdk::Capture capture;
    if (!capture.open_for_read(path).ok()) {
        state.SkipWithError("cannot open the capture");
        return;
    }
    std::size_t total = 0;
    for (auto _ : state) {
        if (!capture.seek(0).ok()) {
            state.SkipWithError("cannot rewind");
            return;
        }
        vorlan_sdk::Capture::PacketHeader header;
        const uint8_t* data = nullptr;
        std::size_t n = 0;
        while (capture.read_packet(header, data) == VORLAN_SUCCESS) {
            benchmark::DoNotOptimize(data[header.data_size - 1]);
            ++n;
        }
        total += n;
    }
    state.SetItemsProcessed(int64_t(total));
}

// ---- Replay -----------------------------------------------------------------------

std::atomic<uint64_t> g_image_points{0};
std::atomic<uint64_t> g_errors{0};

void count_image_points(VorlanSensorHandle, size_t n_points, const VorlanSensorImagePoint*, void*) {
    g_image_points.fetch_add(n_points, std::memory_order_relaxed);
}

void count_error(VorlanSensorHandle, VorlanSensorErrorCode, const char*, const void*, size_t, void*) {
    g_errors.fetch_add(1, std::memory_order_relaxed);
}

// The library set up as for a replay: network off, frames to a callback that
// counts their points. Stopped when the object goes.
class Library {
public:
    Library() {
        VorlanSDKOptions options = vorlan_sdk_create_options();
        options.control_flags = VORLAN_SDK_CONTROL_DISABLE_NETWORK;
        m_ok = vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, count_error, nullptr) == VORLAN_SUCCESS &&
               vorlan_sdk_listen_image_frames(count_image_points, nullptr) == VORLAN_SUCCESS;
    }
    ~Library() { vorlan_sdk_deinitialize(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    bool ok() const { return m_ok; }

private:
    bool m_ok = false;
};

// Image points per second beside packets per second, and a run that decoded
// nothing marked as failed.
void report_points(benchmark::State& state, uint64_t points_before) {
    const uint64_t points = g_image_points.load() - points_before;
    if (points == 0) {
        state.SkipWithError("no image points came out");
    }
    state.counters["points"] = benchmark::Counter(static_cast<double>(points), benchmark::Counter::kIsRate);
}

// Every payload of a capture in memory, as the replay hands it on.
struct LoadedPacket {
    VorlanSensorHandle handle;
    int64_t timestamp;
    std::size_t offset;  // in the arena
    std::size_t size;
};

bool load_capture(const std::string& path, std::vector<LoadedPacket>& packets, std::vector<uint8_t>& arena) {
    vorlan_sdk::Capture capture;
    if (!capture.open_for_read(path).ok()) {
        return false;
    }
    vorlan_sdk::Capture::PacketHeader header;
    const uint8_t* data = nullptr;
    while (capture.read_packet(header, data) == VORLAN_SUCCESS) {
        const std::size_t size = static_cast<std::size_t>(header.data_size);
        packets.push_back({(header.source_address & 0xffffffffULL) + VORLAN_SENSOR_HANDLE_FLAG_MOCK,
                           header.timestamp, arena.size(), size});
        arena.insert(arena.end(), data, data + size);
    }
    return !packets.empty();
}

// The decode path alone: the same payloads, from memory, into the entry the
// replay feeds. Frames are cleared before each pass, as a rewind does.
void BM_DecodePath(benchmark::State& state, const std::string& path) {
    std::vector<LoadedPacket> packets;
    std::vector<uint8_t> arena;
    if (!load_capture(path, packets, arena)) {
        state.SkipWithError("cannot load the capture");
        return;
    }
    Library library;
    if (!library.ok()) {
        state.SkipWithError("cannot start the library");
        return;
    }
    const auto pass = [&] {
        vorlan_sdk::SdkManager::instance().clearFrames().mark_used();
        for (const LoadedPacket& packet : packets) {
            vorlan_sdk_mock_network_receive(packet.handle, packet.timestamp, arena.data() + packet.offset,
                                            packet.size);
        }
    };
    pass();  // the sensors come to be known
    const uint64_t points_before = g_image_points.load();
    for (auto _ : state) {
        pass();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * packets.size()));
    report_points(state, points_before);
}

// The whole path: the replay reads the capture and feeds every packet to the
// decode path on this thread, as fast as it can.
void BM_Replay(benchmark::State& state, const std::string& path) {
    Library library;
    if (!library.ok() || vorlan_sdk_capture_replay_open(path.c_str()) != VORLAN_SUCCESS) {
        state.SkipWithError("cannot start the replay");
        return;
    }
    // Only to count the packets of a pass.
    std::vector<LoadedPacket> loaded;
    std::vector<uint8_t> arena;
    if (!load_capture(path, loaded, arena)) {
        state.SkipWithError("cannot load the capture");
        return;
    }
    const auto pass = [&] {
        return vorlan_sdk_capture_replay_rewind() == VORLAN_SUCCESS &&
               vorlan_sdk_capture_replay_resume_blocking(1e9f) == VORLAN_SUCCESS;
    };
    if (!pass()) {  // the sensors come to be known
        state.SkipWithError("replay failed");
        return;
    }
    const uint64_t points_before = g_image_points.load();
    for (auto _ : state) {
        if (!pass()) {
            state.SkipWithError("replay failed");
            return;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * loaded.size()));
    report_points(state, points_before);
}

// ---- Goal lines -------------------------------------------------------------------

// Prints the goal lines last, from the best rate of each benchmark.
class GoalReporter : public vorlan_bench::BestRateReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        vorlan_bench::GoalLines goals;
        for (std::size_t size : kPayloadSizes) {
            const std::string label = std::to_string(size);
            goals.add({"capture read, " + label + "-byte payloads", rate_of("BM_CaptureRead/" + label),
                       rate_of("BM_PcapNextEx/" + label), 1.0, "packets/s"});
        }
        const double read = rate_of("BM_CaptureRead/simulated");
        const double decode = rate_of("BM_DecodePath/simulated");
        const double replay = rate_of("BM_Replay/simulated");
        std::printf("\nsimulated capture, packets/s: read alone %.4g, decode path alone %.4g, replay %.4g, "
                    "libpcap %.4g; %llu errors reported\n",
                    read, decode, replay, rate_of("BM_PcapNextEx/simulated"),
                    static_cast<unsigned long long>(g_errors.load()));
        goals.add({"replay vs min(read alone, decode alone)", replay, std::min(read, decode), 0.7, "packets/s"});
        goals.print();
    }

private:
};

}  // namespace

int main(int argc, char** argv) {
    for (std::size_t size : kPayloadSizes) {
        const std::string& path = stream_capture(size);
        const std::string label = std::to_string(size);
        benchmark::RegisterBenchmark(("BM_PcapNextEx/" + label).c_str(), BM_PcapNextEx, path)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(kRepetitions);
        benchmark::RegisterBenchmark(("BM_CaptureRead/" + label).c_str(), BM_CaptureRead, path)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(kRepetitions);
        const std::string& pcapng = stream_pcapng(size);
        benchmark::RegisterBenchmark(("BM_PcapNextEx/" + label + "/pcapng").c_str(), BM_PcapNextEx, pcapng)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(kRepetitions);
        benchmark::RegisterBenchmark(("BM_CaptureRead/" + label + "/pcapng").c_str(), BM_CaptureRead, pcapng)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(kRepetitions);
    }
    const std::string& simulated = simulated_capture();
    if (simulated.empty()) {
        return 1;
    }
    benchmark::RegisterBenchmark("BM_PcapNextEx/simulated", BM_PcapNextEx, simulated)
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark("BM_CaptureRead/simulated", BM_CaptureRead, simulated)
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark("BM_DecodePath/simulated", BM_DecodePath, simulated)
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark("BM_Replay/simulated", BM_Replay, simulated)
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(kRepetitions);
    benchmark::Initialize(&argc, argv);
    GoalReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
