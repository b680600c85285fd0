// Payloads per second on one core from VorlanReceiveData through the parser
// chain to one point listener that reads every point, for the "STDV"
// packets of 100 points a simulated second-generation sensor sends while
// sweeping the simulator's yard. Beside it, from the same run, the ceiling:
// the same listener called directly on each payload's points, which is all
// a client would pay without the library; and, for scale, a memcpy of the
// payload bytes and the library alone (a listener that reads no point).
// Also the heap allocations per payload.
//
// With --check-allocations the program instead receives the packets after
// a warm-up and fails when any payload allocated (a test runs it so).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "sim_point_sensor.h"
#include "sim_scene.h"
#include "support/best_rate_reporter.h"
#include "support/counting_allocator.h"
#include "support/goal_lines.h"
#include "vorlan_sdk2.h"

namespace {

constexpr std::size_t kPackets = 2000;  // about two sweeps of the sensor
constexpr uint64_t kHandle = 0x0A000001;
constexpr int kPointsPerPacket = 100;

const std::vector<std::vector<uint8_t>>& packets() {
    static const std::vector<std::vector<uint8_t>> made = [] {
        const vorlan_tool::Scene scene = vorlan_tool::Scene::yard();
        vorlan_tool::PointSensorSetup setup;
        setup.points_per_packet = kPointsPerPacket;
        vorlan_tool::SimulatedPointSensor sensor(setup, 1'700'000'000'000'000, scene);
        std::vector<std::vector<uint8_t>> out(kPackets);
        for (auto& packet : out) {
            sensor.next_data_packet(packet);
        }
        return out;
    }();
    return made;
}

// What the listener saw. It reads every point, as a client keeping the
// range of each return would: the range axis and the flags.
struct Seen {
    uint64_t points = 0;
    uint64_t no_returns = 0;
    int64_t range_sum = 0;
};

void touch_points(uint64_t, int64_t, size_t n_points, size_t stride, const uint8_t* points, void* user_data) {
    auto* seen = static_cast<Seen*>(user_data);
    int64_t range_sum = 0;
    uint64_t no_returns = 0;
    for (size_t i = 0; i < n_points; ++i) {
        const uint8_t* point = points + i * stride;
        int16_t y;
        std::memcpy(&y, point + offsetof(VorlanPoint, y), sizeof(y));
        const bool no_return = (point[offsetof(VorlanPoint, flags)] & VORLAN_POINT_FLAG_NO_RETURN) != 0;
        range_sum += no_return ? 0 : y;
        no_returns += no_return ? 1 : 0;
    }
    seen->points += n_points;
    seen->no_returns += no_returns;
    seen->range_sum += range_sum;
}

// A listener that reads no point: what the library itself costs.
void count_points(uint64_t, int64_t, size_t n_points, size_t, const uint8_t*, void* user_data) {
    static_cast<Seen*>(user_data)->points += n_points;
}

// The library initialised with one point listener.
class Session {
public:
    explicit Session(VorlanPointsCallback listener = touch_points) {
        m_ok = VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION) == VORLAN_SUCCESS &&
               VorlanListenPoints(listener, &m_seen) == VORLAN_SUCCESS;
    }
    ~Session() { VorlanDeinitialize(); }
    bool ok() const { return m_ok; }
    const Seen& seen() const { return m_seen; }

    void receive_next() {
        const std::vector<uint8_t>& packet = packets()[m_next++ % kPackets];
        VorlanReceiveData(kHandle, 0, packet.data(), packet.size());
    }

private:
    Seen m_seen;
    std::size_t m_next = 0;
    bool m_ok = false;
};

void BM_ReceiveData(benchmark::State& state, VorlanPointsCallback listener) {
    Session session(listener);
    if (!session.ok()) {
        state.SkipWithError("the library did not start");
        return;
    }
    for (std::size_t k = 0; k < kPackets; ++k) {
        session.receive_next();  // warm-up: the lists have settled
    }
    const uint64_t allocations = vorlan_bench::allocation_count();
    const uint64_t points = session.seen().points;
    for (auto _ : state) {
        session.receive_next();
    }
    const double payloads = static_cast<double>(state.iterations());
    benchmark::DoNotOptimize(session.seen().range_sum);
    state.counters["allocs_per_payload"] =
        static_cast<double>(vorlan_bench::allocation_count() - allocations) / payloads;
    state.counters["points_per_payload"] = static_cast<double>(session.seen().points - points) / payloads;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Each payload's points as the library hands them to a listener, taken once
// through the library.
struct PayloadPoints {
    std::size_t n_points = 0;
    std::size_t stride = 0;
    std::vector<uint8_t> bytes;
};

void keep_points(uint64_t, int64_t, size_t n_points, size_t stride, const uint8_t* points, void* user_data) {
    auto* kept = static_cast<PayloadPoints*>(user_data);
    kept->n_points += n_points;
    kept->stride = stride;
    kept->bytes.insert(kept->bytes.end(), points, points + n_points * stride);
}

const std::vector<PayloadPoints>& payload_points() {
    static const std::vector<PayloadPoints> made = [] {
        std::vector<PayloadPoints> out(kPackets);
        VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION);
        for (std::size_t k = 0; k < kPackets; ++k) {
            VorlanListenPoints(keep_points, &out[k]);
            VorlanReceiveData(kHandle, 0, packets()[k].data(), packets()[k].size());
            VorlanUnlistenPoints(keep_points, &out[k]);
        }
        VorlanDeinitialize();
        return out;
    }();
    return made;
}

// The ceiling: the listener on each payload's points, with no library
// between the payload and it.
void BM_ListenerDirect(benchmark::State& state) {
    const auto& all = payload_points();
    Seen seen;
    std::size_t k = 0;
    for (auto _ : state) {
        const PayloadPoints& payload = all[k++ % kPackets];
        touch_points(kHandle, 0, payload.n_points, payload.stride, payload.bytes.data(), &seen);
    }
    benchmark::DoNotOptimize(seen.range_sum);
    state.counters["points_per_payload"] = static_cast<double>(seen.points) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_Memcpy(benchmark::State& state) {
    const auto& all = packets();
    alignas(64) static uint8_t buffer[2048];
    std::size_t k = 0;
    for (auto _ : state) {
        const std::vector<uint8_t>& packet = all[k++ % kPackets];
        std::memcpy(buffer, packet.data(), packet.size());
        benchmark::DoNotOptimize(buffer);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Keeps each benchmark's best rate and prints the goal lines last.
class GoalReporter : public vorlan_bench::BestRateReporter {
public:
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double count_only = rate_of("BM_ReceiveDataCountOnly");
        const double receive = rate_of("BM_ReceiveData");
        const double copy = rate_of("BM_Memcpy");
        std::printf("\nthe library alone (a listener that reads no point): %.4g payloads/s, %.2f of memcpy\n",
                    count_only, copy > 0 ? count_only / copy : 0.0);
        std::printf("receive to point listener: %.2f of a memcpy of the payloads\n", copy > 0 ? receive / copy : 0.0);
        vorlan_bench::GoalLines goals;
        goals.add({"STDV 100 points, receive to point listener", receive, rate_of("BM_ListenerDirect"), 0.7,
                   "payloads/s"});
        char seen[96];
        std::snprintf(seen, sizeof seen, "%g allocations per payload, %g points per payload reached the listener",
                      m_allocations, m_points_per_payload);
        goals.add_condition("no heap allocation per payload", m_allocations == 0 &&
                            m_points_per_payload == kPointsPerPacket, seen);
        goals.print();
    }

protected:
    void keep_counters(const std::string& name, const Run& run) override {
        if (name != "BM_ReceiveData") {
            return;
        }
        auto allocations = run.counters.find("allocs_per_payload");
        if (allocations != run.counters.end()) {
            m_allocations = std::max(m_allocations, allocations->second.value);
        }
        auto points = run.counters.find("points_per_payload");
        if (points != run.counters.end()) {
            m_points_per_payload = points->second.value;
        }
    }

private:
    double m_allocations = 0;
    double m_points_per_payload = 0;
};

// Receives every packet twice after a warm-up and counts the allocations;
// 0 is the only good answer.
int check_allocations() {
    Session session;
    for (std::size_t k = 0; k < kPackets; ++k) {
        session.receive_next();
    }
    const uint64_t points = session.seen().points;
    const uint64_t before = vorlan_bench::allocation_count();
    for (std::size_t k = 0; k < 2 * kPackets; ++k) {
        session.receive_next();
    }
    const uint64_t allocations = vorlan_bench::allocation_count() - before;
    const bool all_points = session.seen().points - points == 2 * kPackets * kPointsPerPacket;
    std::printf("%s, %llu allocations in %zu payloads\n", session.ok() && all_points ? "receiving" : "NOT RECEIVING",
                static_cast<unsigned long long>(allocations), 2 * kPackets);
    return allocations == 0 && session.ok() && all_points ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check-allocations") == 0) {
            return check_allocations();
        }
    }
    constexpr int kRepetitions = 3;
    benchmark::RegisterBenchmark("BM_ReceiveData", BM_ReceiveData, touch_points)->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark("BM_ReceiveDataCountOnly", BM_ReceiveData, count_points)->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark("BM_ListenerDirect", BM_ListenerDirect)->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark("BM_Memcpy", BM_Memcpy)->Repetitions(kRepetitions);
    benchmark::Initialize(&argc, argv);
    GoalReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
