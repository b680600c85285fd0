// The frame path of vorlan_sdk2, on one core each:
//  - the aggregator: points per second from VorlanAddPoints batches of 100
//    points, through natural or timed aggregation, to one frame listener;
//    beside it a memcpy of the same batches into a frame-sized buffer.
//  - the frame FIFO: bytes per second of 20,000-point frames handed to the
//    FIFO's producer (as the aggregator does) and pulled by a reader thread
//    with Get and Release, in wall-clock time, every frame accounted for;
//    beside it a memcpy of the same frames into rotating frame-sized
//    buffers, in processor time: a plain copy on one thread waits for
//    nothing, so its processor time is its cost, where its wall-clock time
//    would also count every moment other programs held the processor.
// The benchmarks' repetitions run interleaved, so that a busy spell of the
// machine does not fall on one benchmark only; each keeps its best one.
// The points are the simulator's second-generation sensor's, sweeping the
// yard: 100 points per packet, one point per microsecond, the frame-parity
// flag toggling at each turn of the sweep. Heap allocations are counted per
// batch and per frame: none is the only good answer.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "point_data_parser.h"
#include "sim_point_sensor.h"
#include "sim_scene.h"
#include "support/counting_allocator.h"
#include "support/goal_lines.h"
#include "support/interleaved_run.h"
#include "vorlan_sdk2.h"

namespace {

constexpr uint64_t kHandle = 0x0A00A8C0;
constexpr std::size_t kStride = 10;
constexpr std::size_t kBatchPoints = 100;
constexpr std::size_t kFramePoints = 100000;  // room the memcpy ceiling fills before starting over
constexpr std::size_t kBatches = 2000;
constexpr std::size_t kFifoFramePoints = 20000;
constexpr uint32_t kFifoFrames = 4;
constexpr int64_t kStart = 1'700'000'000'000'000;

// About two sweeps (two natural frames) of the simulator's sensor in the
// yard: each packet's points and its timestamp, as the point parser hands
// them to VorlanAddPoints.
struct SensorStream {
    std::vector<uint8_t> points;  // kBatches x kBatchPoints records
    std::vector<int64_t> stamps;  // one per batch
    int64_t span = 0;             // from the first batch to one past the last
};

const SensorStream& sensor_stream() {
    static const SensorStream stream = [] {
        const vorlan_tool::Scene scene = vorlan_tool::Scene::yard();
        vorlan_tool::PointSensorSetup setup;
        setup.points_per_packet = kBatchPoints;
        setup.stride = kStride;
        vorlan_tool::SimulatedPointSensor sensor(setup, kStart, scene);
        SensorStream out;
        std::vector<uint8_t> packet;
        for (std::size_t k = 0; k < kBatches; ++k) {
            sensor.next_data_packet(packet);
            const std::size_t header = packet[5];
            int64_t stamp;
            std::memcpy(&stamp, packet.data() + 8, sizeof stamp);
            out.stamps.push_back(stamp);
            out.points.insert(out.points.end(), packet.begin() + header,
                              packet.begin() + header + kBatchPoints * kStride);
        }
        out.span = sensor.next_data_time() - out.stamps.front();
        return out;
    }();
    return stream;
}

std::atomic<uint64_t> g_frame_points{0};

void count_frame(uint64_t, int64_t, size_t n_points, size_t, const uint8_t*, void*) {
    g_frame_points.fetch_add(n_points, std::memory_order_relaxed);
}

void BM_Aggregator(benchmark::State& state, int mode) {
    VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION);
    if (VorlanListenFrames(mode, count_frame, nullptr) != VORLAN_SUCCESS) {
        state.SkipWithError("cannot listen to frames");
        return;
    }
    const SensorStream& stream = sensor_stream();
    // One loop first: the sensor's buffer is allocated with its first batch.
    for (std::size_t k = 0; k < kBatches; ++k) {
        vorlan_sdk2::VorlanAddPoints(kHandle, stream.stamps[k], kBatchPoints, kStride,
                                     stream.points.data() + k * kBatchPoints * kStride);
    }
    const uint64_t frame_points = g_frame_points.load();
    const uint64_t allocations = vorlan_bench::allocation_count();
    std::size_t k = kBatches;
    for (auto _ : state) {
        // Later loops of the same packets are later in time.
        const std::size_t batch = k % kBatches;
        const int64_t stamp = stream.stamps[batch] + int64_t(k / kBatches) * stream.span;
        vorlan_sdk2::VorlanAddPoints(kHandle, stamp, kBatchPoints, kStride,
                                     stream.points.data() + batch * kBatchPoints * kStride);
        ++k;
    }
    const double batches = static_cast<double>(state.iterations());
    state.counters["allocs_per_batch"] = static_cast<double>(vorlan_bench::allocation_count() - allocations) / batches;
    state.counters["frame_points"] = static_cast<double>(g_frame_points.load() - frame_points);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatchPoints));
    VorlanDeinitialize();
}

// The same batches copied into a buffer the size of a frame buffer, from its
// start again once a frame is full.
void BM_AggregatorMemcpy(benchmark::State& state) {
    const std::vector<uint8_t>& points = sensor_stream().points;
    std::vector<uint8_t> frame(1800000);
    std::size_t k = 0;
    std::size_t at = 0;
    for (auto _ : state) {
        const std::size_t batch = k % kBatches;
        if (at + kBatchPoints * kStride > kFramePoints * kStride) {
            at = 0;
        }
        std::memcpy(frame.data() + at, points.data() + batch * kBatchPoints * kStride, kBatchPoints * kStride);
        at += kBatchPoints * kStride;
        benchmark::ClobberMemory();
        ++k;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatchPoints));
}

// Frames handed to the FIFO's producer on this thread, pulled and released
// by a reader thread that looks at each frame's last point.
void BM_Fifo(benchmark::State& state) {
    VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION);
    if (VorlanEnableFrameFifo(0, kFifoFrames) != VORLAN_SUCCESS) {
        state.SkipWithError("cannot enable the FIFO");
        return;
    }
    const std::vector<uint8_t>& points = sensor_stream().points;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> pulled{0};
    std::thread reader([&] {
        uint64_t seen = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            VorlanFifoedFrame frame;
            if (VorlanFrameFifoGet(&frame, 50) != VORLAN_SUCCESS) {
                continue;
            }
            seen += frame.points[(frame.n_points - 1) * frame.point_stride];
            VorlanFrameFifoRelease();
            pulled.fetch_add(1, std::memory_order_relaxed);
        }
        benchmark::DoNotOptimize(seen);
    });
    const std::size_t frames_in_points = kBatches * kBatchPoints / kFifoFramePoints;
    std::size_t k = 0;
    auto publish = [&] {
        const std::size_t f = k % frames_in_points;
        vorlan_sdk2::publishFrame(kHandle, kStart + int64_t(k * kFifoFramePoints), kFifoFramePoints,
                                             kStride, points.data() + f * kFifoFramePoints * kStride);
        ++k;
    };
    for (uint32_t i = 0; i < 2 * kFifoFrames; ++i) {
        publish();
    }
    const uint64_t allocations = vorlan_bench::allocation_count();
    for (auto _ : state) {
        publish();
    }
    const double frames = static_cast<double>(state.iterations());
    state.counters["allocs_per_frame"] = static_cast<double>(vorlan_bench::allocation_count() - allocations) / frames;
    // Every frame published must reach the reader: one dropped would be a
    // frame the figure counts without its copy.
    const auto drained = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pulled.load() < k && std::chrono::steady_clock::now() < drained) {
        std::this_thread::yield();
    }
    VorlanDisableFrameFifo();  // lets a waiting producer go and ends the reader's checkouts
    stop = true;
    reader.join();
    state.counters["frames_lost"] = static_cast<double>(k - pulled.load());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFifoFramePoints * kStride));
    VorlanDeinitialize();
}

// Measured in processor time (see the top of the file).
void BM_FifoMemcpy(benchmark::State& state) {
    const std::vector<uint8_t>& points = sensor_stream().points;
    std::vector<std::vector<uint8_t>> slots(kFifoFrames, std::vector<uint8_t>(1800000));
    const std::size_t frames_in_points = kBatches * kBatchPoints / kFifoFramePoints;
    std::size_t k = 0;
    for (auto _ : state) {
        std::memcpy(slots[k % kFifoFrames].data(), points.data() + (k % frames_in_points) * kFifoFramePoints * kStride,
                    kFifoFramePoints * kStride);
        benchmark::ClobberMemory();
        ++k;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFifoFramePoints * kStride));
}

// Keeps each benchmark's best rate (of its repetitions) and its counters.
class BestReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) {
                continue;
            }
            const std::string name = run.run_name.function_name;
            for (const char* rate : {"items_per_second", "bytes_per_second"}) {
                auto found = run.counters.find(rate);
                if (found != run.counters.end()) {
                    m_best[name] = std::max(m_best[name], found->second.value);
                }
            }
            for (const char* count : {"allocs_per_batch", "allocs_per_frame"}) {
                auto found = run.counters.find(count);
                if (found != run.counters.end()) {
                    m_allocations[name] = std::max(m_allocations[name], found->second.value);
                }
            }
            const double cpu = run.GetAdjustedCPUTime();
            auto fastest = m_cpu.find(name);
            if (fastest == m_cpu.end() || cpu < fastest->second) {
                m_cpu[name] = cpu;
            }
            auto lost = run.counters.find("frames_lost");
            if (lost != run.counters.end()) {
                m_lost[name] = std::max(m_lost[name], lost->second.value);
            }
        }
    }

    double best(const std::string& name) const {
        auto found = m_best.find(name);
        return found == m_best.end() ? 0.0 : found->second;
    }
    double allocations(const std::string& name) const {
        auto found = m_allocations.find(name);
        return found == m_allocations.end() ? -1.0 : found->second;
    }
    // The least processor time of the benchmark's thread per iteration, in
    // the benchmark's time unit; 0 when it did not run.
    double cpu_time(const std::string& name) const {
        auto found = m_cpu.find(name);
        return found == m_cpu.end() ? 0.0 : found->second;
    }
    // The most frames one repetition lost; -1 when it did not run.
    double lost(const std::string& name) const {
        auto found = m_lost.find(name);
        return found == m_lost.end() ? -1.0 : found->second;
    }

private:
    std::map<std::string, double> m_best;
    std::map<std::string, double> m_allocations;
    std::map<std::string, double> m_lost;
    std::map<std::string, double> m_cpu;
};

std::string allocations_seen(double per_item, const char* item) {
    char text[64];
    std::snprintf(text, sizeof text, "%g allocations per %s", per_item, item);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    constexpr int kRepetitions = 5;
    constexpr double kSecondsPerRepetition = 0.2;
    benchmark::RegisterBenchmark("BM_Aggregator/natural", BM_Aggregator, 0)
        ->Repetitions(kRepetitions)->MinTime(kSecondsPerRepetition);
    benchmark::RegisterBenchmark("BM_Aggregator/timed_100ms", BM_Aggregator, 100000)
        ->Repetitions(kRepetitions)->MinTime(kSecondsPerRepetition);
    benchmark::RegisterBenchmark("BM_AggregatorMemcpy", BM_AggregatorMemcpy)
        ->Repetitions(kRepetitions)->MinTime(kSecondsPerRepetition);
    benchmark::RegisterBenchmark("BM_Fifo", BM_Fifo)
        ->Repetitions(kRepetitions)->MinTime(kSecondsPerRepetition)->UseRealTime();
    benchmark::RegisterBenchmark("BM_FifoMemcpy", BM_FifoMemcpy)
        ->Repetitions(kRepetitions)->MinTime(kSecondsPerRepetition);
    BestReporter reporter;
    vorlan_bench::run_interleaved(argc, argv, reporter);

    // Wall-clock time counts whatever else the machine runs; the producer's
    // own processor time per frame shows what the FIFO costs it.
    if (reporter.cpu_time("BM_Fifo") > 0 && reporter.cpu_time("BM_FifoMemcpy") > 0) {
        std::printf("FIFO producer: %.0f ns of processor time per frame, the copy alone %.0f ns (%.2f)\n",
                    reporter.cpu_time("BM_Fifo"), reporter.cpu_time("BM_FifoMemcpy"),
                    reporter.cpu_time("BM_FifoMemcpy") / reporter.cpu_time("BM_Fifo"));
    }
    vorlan_bench::GoalLines goals;
    const double copy = reporter.best("BM_AggregatorMemcpy");
    for (const char* mode : {"natural", "timed_100ms"}) {
        const std::string name = std::string("BM_Aggregator/") + mode;
        goals.add({std::string("aggregator ") + mode + ", batches of 100", reporter.best(name), copy, 0.5,
                   "points/s"});
        const double allocations = reporter.allocations(name);
        goals.add_condition(std::string("aggregator ") + mode + " allocates nothing", allocations == 0,
                            allocations_seen(allocations, "batch"));
    }
    goals.add({"FIFO, frames of 20000 points", reporter.best("BM_Fifo"), reporter.best("BM_FifoMemcpy"), 0.5,
               "bytes/s"});
    const double allocations = reporter.allocations("BM_Fifo");
    goals.add_condition("FIFO allocates nothing", allocations == 0, allocations_seen(allocations, "frame"));
    const double lost = reporter.lost("BM_Fifo");
    goals.add_condition("FIFO hands every frame to the reader", lost == 0,
                        std::to_string(static_cast<long long>(lost)) + " frames lost in the worst repetition");
    return goals.print() == 0 ? 0 : 1;
}
