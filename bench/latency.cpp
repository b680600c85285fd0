// Frame latency over live UDP on loopback: how long after the datagram that
// completes a frame reaches this host the client holds the frame.
//
// The traffic is the simulator's: its eight sensors (four of each
// generation) sent at their real pace, each from a loopback address of its
// own, for a few seconds; then the same again with a background load of
// 250 k datagrams/s of a type no decoder knows on the same port.
//
// The time to the client is
// - first library: streaming frames, to the image frame callback, from the
//   datagram carrying the frame's last point (named by the point's time).
//   The library decodes a packet only when the sensor's next one arrives
//   (its points are timed by it), so one packet interval of the sensor is
//   its floor; the time above it is counted from that next datagram;
// - second library: frames of the shortest period, to the frame callback and,
//   on a reader thread of the client, to VorlanFrameFifoGet, from the
//   datagram the library was handling when it published the frame: the
//   one carrying the frame's last point when the frame ends inside it, else
//   the sensor's next, one packet interval later. The figures are thus the
//   library's own time, with the floor already behind them.
// A datagram's arrival is the moment the sender's send call returned: on
// loopback the kernel has put it into the receiving socket by then.
// The floor is shown beside every figure and the goals are set above it.
//
// A plain main() rather than Google Benchmark: the figures are a
// distribution, not the time of one operation.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sim_sinks.h"
#include "simulator.h"
#include "support/goal_lines.h"
#include "support/udp_load.h"
#include "support/udp_socket.h"
#include "vorlan_sdk.h"
#include "vorlan_sdk2.h"

namespace {

using vorlan_bench::Clock;

constexpr double kTrafficSeconds = 4.0;
constexpr double kLoadRate = 250e3;
constexpr std::size_t kLoadDatagramSize = 1000;
constexpr double kGoalAboveFloorUs = 1000.0;        // at the sensors' own rate
constexpr double kLoadedGoalAboveFloorUs = 5000.0;  // under the background load
constexpr int kSdk2FramePeriodUs = VORLAN_FRAME_AGGREGATION_MIN_PERIOD_US;
constexpr uint32_t kFifoFrames = 64;
constexpr std::size_t kMaxFrames = 1 << 20;
// Point times this far past the sensor's last datagram are this host's own.
constexpr int64_t kHostTimeMarginUs = 3600LL * 1000000;

struct Datagram {
    uint64_t handle;
    int64_t time_us;  // the sensor's own time of the datagram
    std::vector<uint8_t> bytes;
};

// The simulator's traffic, held so that it can be sent again and again.
class TrafficRecorder : public vorlan_tool::PacketSink {
public:
    bool deliver(VorlanSensorHandle handle, int64_t timestamp_us, const uint8_t* data, std::size_t size) override {
        datagrams.push_back({static_cast<uint64_t>(handle), timestamp_us, std::vector<uint8_t>(data, data + size)});
        return true;
    }
    std::vector<Datagram> datagrams;
};

// The traffic of the run at the sensors' rate, then that of the run under
// load: the second continues where the first ended, so that the sensors'
// clocks never go back within one library's life.
using Traffic = std::vector<Datagram>[2];

// A frame as the client saw it: whose, the sensor time of its last point,
// and when the client had it.
struct FrameSeen {
    uint64_t handle;
    int64_t last_point_us;  // the second library: the frame's timestamp
    Clock::time_point at;
    int64_t at_system_us;  // the same moment on the system clock
    // The datagram being handled when the frame was published, where known:
    // its position in the run's traffic.
    std::size_t datagram;
};

constexpr std::size_t kUnknown = SIZE_MAX;

int64_t system_now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Frames written by one library thread each, read after the run.
class FrameLog {
public:
    FrameLog() : m_frames(kMaxFrames) {}
    void add(uint64_t handle, int64_t last_point_us, std::size_t datagram = kUnknown) {
        const std::size_t at = m_count.fetch_add(1, std::memory_order_relaxed);
        if (at < m_frames.size()) {
            m_frames[at] = {handle, last_point_us, Clock::now(), system_now_us(), datagram};
        }
    }
    std::vector<FrameSeen> take() {
        const std::size_t n = std::min(m_count.exchange(0), m_frames.size());
        return std::vector<FrameSeen>(m_frames.begin(), m_frames.begin() + static_cast<std::ptrdiff_t>(n));
    }

private:
    std::vector<FrameSeen> m_frames;
    std::atomic<std::size_t> m_count{0};
};

// Where each sensor's datagrams were, in the sensor's time, and when each
// arrived.
struct SensorTraffic {
    std::vector<int64_t> times_us;
    std::vector<Clock::time_point> arrivals;
    double interval_us = 0;  // the median gap between its datagrams: the floor
};

// A sensor sends from 127 and the last three octets of its own address: the
// libraries know it by that address, the simulator by its own.
uint64_t sensor_key(uint64_t handle) { return handle & 0xFFFFFFu; }

std::map<uint64_t, SensorTraffic> sensor_traffic(const std::vector<Datagram>& traffic) {
    std::map<uint64_t, SensorTraffic> sensors;
    for (const Datagram& datagram : traffic) {
        sensors[sensor_key(datagram.handle)].times_us.push_back(datagram.time_us);
    }
    for (auto& entry : sensors) {
        SensorTraffic& sensor = entry.second;
        std::vector<int64_t> gaps;
        for (std::size_t i = 1; i < sensor.times_us.size(); ++i) {
            gaps.push_back(sensor.times_us[i] - sensor.times_us[i - 1]);
        }
        if (!gaps.empty()) {
            std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2), gaps.end());
            sensor.interval_us = static_cast<double>(gaps[gaps.size() / 2]);
        }
        sensor.arrivals.resize(sensor.times_us.size());
    }
    return sensors;
}

// Sends the traffic at the sensors' pace, each sensor from its own loopback
// address, noting when each datagram was in the receiver's socket.
// Arrival of each datagram of the run, by its position in the traffic.
std::vector<Clock::time_point> g_arrivals;

void send_traffic(uint16_t port, const std::vector<Datagram>& traffic, std::map<uint64_t, SensorTraffic>& sensors) {
    vorlan_tool::UdpPacketSink sink(port);
    std::map<uint64_t, std::size_t> next;
    g_arrivals.assign(traffic.size(), Clock::time_point());
    for (std::size_t i = 0; i < traffic.size(); ++i) {
        const Datagram& datagram = traffic[i];
        sink.deliver(datagram.handle, datagram.time_us, datagram.bytes.data(), datagram.bytes.size());
        const uint64_t key = sensor_key(datagram.handle);
        g_arrivals[i] = Clock::now();
        sensors[key].arrivals[next[key]++] = g_arrivals[i];
    }
    if (!sink.distinct_sources()) {
        std::printf("note: the sensors could not send from distinct loopback addresses\n");
    }
}

double percentile(std::vector<double>& values, double fraction) {
    if (values.empty()) {
        return 0.0;
    }
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

struct Figures {
    std::size_t frames = 0;
    std::size_t unmatched = 0;
    std::size_t host_timed = 0;  // frames timed from their receive time
    double median_us = 0, p99_us = 0, max_us = 0;
    double floor_us = 0;  // the largest packet interval among the sensors that had frames
    // The tail above each frame's own sensor's floor.
    double p99_above_floor_us = 0;
};

// Which datagram carries a point of a given time. The first generation's
// sensors send a packet once its last point is measured, its header holding
// the time before its first point: the carrier is the first datagram sent at
// or after the point. The second generation's stamp a packet with its first
// point's time: the carrier is the last datagram stamped at or before it.
enum class Carrier { sent_after_its_points, stamped_with_its_first_point };

Figures figures_of(const std::vector<FrameSeen>& frames, const std::map<uint64_t, SensorTraffic>& sensors,
                   Carrier carrier) {
    Figures figures;
    std::vector<double> latencies;
    std::vector<double> above_floor;
    for (const FrameSeen& frame : frames) {
        const auto sensor = sensors.find(sensor_key(frame.handle));
        if (sensor == sensors.end()) {
            ++figures.unmatched;
            continue;
        }
        if (frame.datagram != kUnknown) {
            // Timed from the datagram that completed the frame, which came
            // one packet interval after the one carrying its last point: the
            // floor is behind it already.
            const double us = std::chrono::duration<double, std::micro>(frame.at - g_arrivals[frame.datagram]).count();
            latencies.push_back(us);
            above_floor.push_back(us);
            figures.floor_us = std::max(figures.floor_us, sensor->second.interval_us);
            continue;
        }
        const std::vector<int64_t>& times = sensor->second.times_us;
        if (!times.empty() && frame.last_point_us > times.back() + kHostTimeMarginUs) {
            // A sensor whose clock is not synchronised has its points timed
            // on this host's clock as its datagrams are received.
            const double us = static_cast<double>(frame.at_system_us - frame.last_point_us);
            latencies.push_back(us);
            above_floor.push_back(us);
            ++figures.host_timed;
            continue;
        }
        const std::size_t count = times.size();
        std::size_t index = count;
        if (carrier == Carrier::sent_after_its_points) {
            index = static_cast<std::size_t>(std::lower_bound(times.begin(), times.end(), frame.last_point_us) -
                                             times.begin());
        } else {
            const auto after = std::upper_bound(times.begin(), times.end(), frame.last_point_us);
            index = after == times.begin() ? count : static_cast<std::size_t>(after - times.begin()) - 1;
        }
        if (index >= count) {
            ++figures.unmatched;
            continue;
        }
        const std::vector<Clock::time_point>& arrivals = sensor->second.arrivals;
        const double us = std::chrono::duration<double, std::micro>(frame.at - arrivals[index]).count();
        latencies.push_back(us);
        // The sensor's next datagram released the points: what follows its
        // arrival is the library's own time. Measured from it rather than
        // from one nominal interval later, a sender that fell behind its
        // pace (a busy host) is not counted against the library.
        above_floor.push_back(index + 1 < count
                                  ? std::chrono::duration<double, std::micro>(frame.at - arrivals[index + 1]).count()
                                  : us - sensor->second.interval_us);
        figures.floor_us = std::max(figures.floor_us, sensor->second.interval_us);
    }
    figures.frames = latencies.size();
    figures.median_us = percentile(latencies, 0.5);
    figures.p99_us = percentile(latencies, 0.99);
    figures.max_us = latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end());
    figures.p99_above_floor_us = percentile(above_floor, 0.99);
    return figures;
}

void print_figures(const char* what, const Figures& figures) {
    std::printf("%-44s frames %6zu  median %8.1f us  p99 %8.1f us  max %8.1f us  floor %6.1f us  "
                "p99 above floor %8.1f us  unmatched %zu  host-timed %zu\n",
                what, figures.frames, figures.median_us, figures.p99_us, figures.max_us, figures.floor_us,
                figures.p99_above_floor_us, figures.unmatched, figures.host_timed);
    std::fflush(stdout);
}

void add_goal(vorlan_bench::GoalLines& goals, const std::string& what, const Figures& figures, double wanted_us) {
    char seen[160];
    std::snprintf(seen, sizeof seen, "p99 %.0f us above the floor (floor up to %.0f us), goal <= %.0f us",
                  figures.p99_above_floor_us, figures.floor_us, wanted_us);
    goals.add_condition(what + " frame p99 above floor", figures.frames > 0 && figures.p99_above_floor_us <= wanted_us,
                        seen);
}

// One run of the traffic, with or without the background load beside it.
void run_traffic(uint16_t port, const std::vector<Datagram>& traffic, std::map<uint64_t, SensorTraffic>& sensors,
                 bool loaded) {
    std::thread load;
    if (loaded) {
        load = std::thread([port] {
            std::vector<uint8_t> payload(kLoadDatagramSize, 0x5A);
            std::memcpy(payload.data(), "BNCH", 4);
            const vorlan_bench::Sent sent = vorlan_bench::send_for(port, payload, kLoadRate, kTrafficSeconds + 0.5);
            std::printf("background load: %.1fk datagrams/s sent\n", sent.rate() * 1e-3);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    send_traffic(port, traffic, sensors);
    if (load.joinable()) {
        load.join();
    }
    // The last frames in flight.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// ---- First library ------------------------------------------------------------

FrameLog g_sdk_frames;

void sdk_frame(VorlanSensorHandle handle, size_t n_points, const VorlanSensorImagePoint* points, void*) {
    int64_t last = INT64_MIN;
    for (size_t i = 0; i < n_points; ++i) {
        last = std::max(last, points[i].timestamp);
    }
    if (n_points > 0) {
        g_sdk_frames.add(static_cast<uint64_t>(handle), last);
    }
}

bool measure_sdk(const Traffic& traffic, vorlan_bench::GoalLines& goals) {
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.port = vorlan_test::free_udp_port();
    options.frame.mode = VORLAN_SDK_FRAME_STREAMING;
    if (vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr) != VORLAN_SUCCESS ||
        vorlan_sdk_listen_image_frames(sdk_frame, nullptr) != VORLAN_SUCCESS) {
        std::fprintf(stderr, "cannot start the first library\n");
        return false;
    }
    for (const bool loaded : {false, true}) {
        std::map<uint64_t, SensorTraffic> sensors = sensor_traffic(traffic[loaded]);
        run_traffic(options.port, traffic[loaded], sensors, loaded);
        const Figures figures = figures_of(g_sdk_frames.take(), sensors, Carrier::sent_after_its_points);
        const std::string what = std::string("first library, ") + (loaded ? "under load" : "real rate");
        print_figures((what + ", to the frame callback").c_str(), figures);
        add_goal(goals, what + ",", figures, loaded ? kLoadedGoalAboveFloorUs : kGoalAboveFloorUs);
    }
    vorlan_sdk_deinitialize();
    return true;
}

// ---- Second library -----------------------------------------------------------

FrameLog g_sdk2_callback_frames;
FrameLog g_sdk2_fifo_frames;

// The second library's points carry no packet boundaries, and a sensor's
// clock need not be that of its datagrams, so frames are tied to datagrams
// directly: a parser ahead of the built-in ones notes which datagram of the
// traffic the library is handling (found by its bytes), and a frame
// published meanwhile was completed by it.
std::unordered_map<uint64_t, std::size_t> g_datagram_by_hash;
std::size_t g_current_datagram = kUnknown;  // the library's data thread only
constexpr uint64_t kLoadSender = 0x7F000001;  // 127.0.0.1

uint64_t hash_of(const uint8_t* data, std::size_t size) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    return hash;
}

void index_traffic(const std::vector<Datagram>& traffic) {
    g_datagram_by_hash.clear();
    for (std::size_t i = 0; i < traffic.size(); ++i) {
        g_datagram_by_hash.emplace(hash_of(traffic[i].bytes.data(), traffic[i].bytes.size()), i);
    }
}

int note_datagram(uint64_t handle, int64_t, const uint8_t* data, size_t size, void*) {
    g_current_datagram = kUnknown;
    if (handle != kLoadSender) {
        const auto found = g_datagram_by_hash.find(hash_of(data, size));
        if (found != g_datagram_by_hash.end()) {
            g_current_datagram = found->second;
        }
    }
    return 1;  // passed on
}

void sdk2_frame(uint64_t handle, int64_t timestamp, size_t n_points, size_t, const uint8_t*, void*) {
    if (n_points > 0) {
        g_sdk2_callback_frames.add(handle, timestamp, g_current_datagram);
    }
}

// FIFO frames take the datagram of the same frame seen at the callback.
std::vector<FrameSeen> with_datagrams(std::vector<FrameSeen> fifo, const std::vector<FrameSeen>& callback) {
    std::map<std::pair<uint64_t, int64_t>, std::size_t> datagrams;
    for (const FrameSeen& frame : callback) {
        datagrams[{frame.handle, frame.last_point_us}] = frame.datagram;
    }
    std::vector<FrameSeen> known;
    for (FrameSeen& frame : fifo) {
        const auto found = datagrams.find({frame.handle, frame.last_point_us});
        if (found != datagrams.end() && found->second != kUnknown) {
            frame.datagram = found->second;
            known.push_back(frame);
        }
    }
    return known;
}

// Takes frames out of the FIFO as a client's own thread would.
class FifoReader {
public:
    FifoReader() : m_thread([this] { run(); }) {}
    ~FifoReader() {
        m_stop.store(true);
        m_thread.join();
    }
    FifoReader(const FifoReader&) = delete;
    FifoReader& operator=(const FifoReader&) = delete;

private:
    void run() {
        pthread_setname_np(pthread_self(), "fifo-reader");
        while (!m_stop.load()) {
            VorlanFifoedFrame frame;
            if (VorlanFrameFifoGet(&frame, 50) != VORLAN_SUCCESS) {
                continue;
            }
            if (frame.n_points > 0) {
                g_sdk2_fifo_frames.add(frame.handle, frame.timestamp);
            }
            VorlanFrameFifoRelease();
        }
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

bool measure_sdk2(const Traffic& traffic, vorlan_bench::GoalLines& goals) {
    const uint16_t port = vorlan_test::free_udp_port();
    if (VorlanInitialize(VORLAN_SDK2_INTERFACE_VERSION) != VORLAN_SUCCESS ||
        VorlanRegisterParser(note_datagram, nullptr) != VORLAN_SUCCESS ||
        VorlanListenFrames(kSdk2FramePeriodUs, sdk2_frame, nullptr) != VORLAN_SUCCESS ||
        VorlanEnableFrameFifo(kSdk2FramePeriodUs, kFifoFrames) != VORLAN_SUCCESS ||
        VorlanStartNetworkingOnPort(port) != VORLAN_SUCCESS) {
        std::fprintf(stderr, "cannot start the second library\n");
        VorlanDeinitialize();
        return false;
    }
    {
        FifoReader reader;
        for (const bool loaded : {false, true}) {
            std::map<uint64_t, SensorTraffic> sensors = sensor_traffic(traffic[loaded]);
            index_traffic(traffic[loaded]);
            run_traffic(port, traffic[loaded], sensors, loaded);
            const std::string what = std::string("second library, ") + (loaded ? "under load" : "real rate");
            const std::vector<FrameSeen> callback_frames = g_sdk2_callback_frames.take();
            const Figures callback = figures_of(callback_frames, sensors, Carrier::sent_after_its_points);
            const Figures fifo =
                figures_of(with_datagrams(g_sdk2_fifo_frames.take(), callback_frames), sensors, Carrier::sent_after_its_points);
            print_figures((what + ", to the frame callback").c_str(), callback);
            print_figures((what + ", to VorlanFrameFifoGet").c_str(), fifo);
            const double wanted = loaded ? kLoadedGoalAboveFloorUs : kGoalAboveFloorUs;
            add_goal(goals, what + ", callback", callback, wanted);
            add_goal(goals, what + ", FIFO", fifo, wanted);
        }
    }
    VorlanStopNetworking();
    VorlanDisableFrameFifo();
    VorlanUnlistenFrames(sdk2_frame, nullptr);
    VorlanUnregisterParser(note_datagram, nullptr);
    VorlanDeinitialize();
    return true;
}

}  // namespace

int main() {
    vorlan_tool::SimulatorOptions options;
    options.seconds = 2 * kTrafficSeconds;
    TrafficRecorder recorder;
    vorlan_tool::run_simulation(options, recorder);
    Traffic traffic;
    const int64_t half_time = recorder.datagrams.front().time_us + static_cast<int64_t>(kTrafficSeconds * 1e6);
    for (Datagram& datagram : recorder.datagrams) {
        traffic[datagram.time_us < half_time ? 0 : 1].push_back(std::move(datagram));
    }
    const auto sensors = sensor_traffic(traffic[0]);
    std::printf("the simulator's %zu sensors, %.0f s at their own pace: %zu datagrams (%.1fk/s); packet intervals:",
                sensors.size(), kTrafficSeconds, traffic[0].size(),
                static_cast<double>(traffic[0].size()) / kTrafficSeconds * 1e-3);
    for (const auto& entry : sensors) {
        std::printf(" %.0f us", entry.second.interval_us);
    }
    std::printf("\nlatency: from the datagram carrying a frame's last point to the client; the floor is one packet "
                "interval of the frame's sensor\n\n");

    vorlan_bench::GoalLines goals;
    const bool ran = measure_sdk(traffic, goals) && measure_sdk2(traffic, goals);
    goals.print();
    return ran ? 0 : 1;
}
