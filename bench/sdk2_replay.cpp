// Payloads per second from a ~100 MB capture of second-generation point
// packets, replayed at speed 0 through the parser chain to one point
// listener, beside libpcap reading the same file in the same run as the
// ceiling.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/best_rate_reporter.h"
#include "support/capture_builder.h"
#include "support/goal_lines.h"
#include "support/libpcap_ceiling.h"
#include "support/point_packet_builder.h"
#include "vorlan_sdk2.h"

namespace {

constexpr std::size_t kPointsPerPacket = 100;  // 1,024-byte payloads
constexpr std::size_t kCaptureBytes = std::size_t(100) << 20;
constexpr int kRepetitions = 3;

// STDV packets of one sensor every 100 µs, each point different, written
// once for the whole run and removed at exit.
const std::string& capture_file() {
    static vorlan_test::TemporaryDirectory dir;
    static const std::string path = [] {
        const std::string file = dir.file("points.pcap");
        vorlan_test::CaptureBuilder capture;
        std::FILE* out = std::fopen(file.c_str(), "wb");
        std::fwrite(capture.bytes().data(), 1, capture.size(), out);
        vorlan_test::FrameOptions options;
        options.source = vorlan_test::ipv4(192, 168, 1, 20);
        std::vector<vorlan_test::PointRecord> points(kPointsPerPacket);
        std::vector<uint8_t> payload;
        const int64_t start = 1700000000LL * 1000000;
        std::size_t written = capture.size();
        for (int64_t i = 0; written < kCaptureBytes; ++i) {
            for (std::size_t p = 0; p < points.size(); ++p) {
                points[p].x = int16_t(i + int64_t(p));
                points[p].y = int16_t(p * 3);
                points[p].z = int16_t(i);
                points[p].channel_id = uint8_t(p % 16);
            }
            const int64_t time = start + i * 100;
            payload.clear();
            vorlan_test::append_stdv_packet(payload, time * 1000, points.data(), points.size());
            const vorlan_test::Bytes frame = vorlan_test::udp_frame(options, payload);
            const uint32_t header[4] = {uint32_t(time / 1000000), uint32_t(time % 1000000), uint32_t(frame.size()),
                                        uint32_t(frame.size())};
            std::fwrite(header, 1, sizeof header, out);
            std::fwrite(frame.data(), 1, frame.size(), out);
            written += sizeof header + frame.size();
        }
        std::fclose(out);
        return file;
    }();
    return path;
}

void BM_PcapNextEx(benchmark::State& state) {
    if (vorlan_bench::read_with_libpcap(state, capture_file())) {
        state.SetLabel("libpcap ceiling");
    }
}

std::atomic<uint64_t> g_batches{0};
std::atomic<uint64_t> g_points{0};

void count_points(uint64_t, int64_t, size_t n_points, size_t, const uint8_t*, void*) {
    g_batches.fetch_add(1, std::memory_order_relaxed);
    g_points.fetch_add(n_points, std::memory_order_relaxed);
}

void BM_ReplaySpeed0(benchmark::State& state) {
    const std::string& path = capture_file();
    uint64_t handle = 0;
    if (VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION) != VORLAN_SUCCESS ||
        VorlanListenPoints(count_points, nullptr) != VORLAN_SUCCESS ||
        VorlanReplayLoadPcap(path.c_str(), 1 | 4, &handle) != VORLAN_SUCCESS ||
        VorlanReplaySetSpeed(handle, 0) != VORLAN_SUCCESS) {
        state.SkipWithError("cannot start replay");
        return;
    }
    g_batches = 0;
    g_points = 0;
    for (auto _ : state) {
        if (VorlanReplaySeek(handle, 0) != VORLAN_SUCCESS || VorlanReplayPlayToFinish(handle) != VORLAN_SUCCESS) {
            state.SkipWithError("replay failed");
            break;
        }
    }
    // Only payloads that reached the listener as points count.
    state.SetItemsProcessed(int64_t(g_batches.load()));
    state.counters["points/payload"] = g_batches ? double(g_points) / double(g_batches) : 0.0;
    VorlanDeinitialize();
}

BENCHMARK(BM_PcapNextEx)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->UseRealTime();
BENCHMARK(BM_ReplaySpeed0)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->UseRealTime();

using vorlan_bench::BestRateReporter;

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    BestRateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    vorlan_bench::GoalLines goals;
    goals.add({"replay at speed 0 to one point listener, 1,024-byte payloads", reporter.rate_of("BM_ReplaySpeed0"),
               reporter.rate_of("BM_PcapNextEx"), 1.0, "payloads/s"});
    return goals.print() == 0 ? 0 : 1;
}
