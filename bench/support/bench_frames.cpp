#include "support/bench_frames.h"

#include <algorithm>
#include <map>
#include <sstream>

#include "console.h"
#include "sim_sinks.h"
#include "simulator.h"
#include "support/capture_builder.h"

namespace vorlan_bench {
namespace {

// `make demo`'s sample: the simulator's yard, seed 1, 10 s, 8 sensors.
constexpr uint64_t kSeed = 1;
constexpr double kSeconds = 10.0;
constexpr int kLibrary = 2;  // both generations, the first through legacy translation
constexpr int kCeilingRuns = 2;

double replay(const std::string& capture, const vorlan_tool::FrameSink& sink, std::size_t& frames) {
    std::ostringstream out;
    std::ostringstream err;
    vorlan_tool::Console console(out, err, false);
    const auto source = vorlan_tool::make_frame_source(kLibrary, console);
    vorlan_tool::FrameSourceSettings settings;
    settings.library = kLibrary;
    settings.capture = capture;
    frames = 0;
    if (!source->open(settings)) {
        return 0.0;
    }
    const auto start = std::chrono::steady_clock::now();
    source->run([&](const vorlan_tool::Frame& frame) {
        ++frames;
        return sink(frame);
    });
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

bool load_bench_frames(BenchFrames& frames, std::string& error) {
    vorlan_test::TemporaryDirectory dir;
    const std::string capture = dir.file("sample.pcap");
    {
        vorlan_tool::SimulatorOptions options;
        options.seed = kSeed;
        options.seconds = kSeconds;
        vorlan_tool::CaptureFileSink sink(capture);
        if (!sink.ok() || !vorlan_tool::run_simulation(options, sink).completed || !sink.close()) {
            error = "cannot write the sample capture";
            return false;
        }
    }
    std::map<uint64_t, std::size_t> sensor_of;
    std::size_t count = 0;
    replay(capture,
           [&](const vorlan_tool::Frame& frame) {
               auto found = sensor_of.find(frame.sensor->handle);
               if (found == sensor_of.end()) {
                   found = sensor_of.emplace(frame.sensor->handle, frames.sensors.size()).first;
                   frames.sensors.push_back(*frame.sensor);
               }
               StoredFrame stored;
               stored.sensor = found->second;
               stored.first_time = frame.first_time;
               stored.last_time = frame.last_time;
               stored.points.assign(frame.points, frame.points + frame.n_points);
               stored.n_valid = frame.n_valid;
               frames.points += frame.n_points;
               frames.frames.push_back(std::move(stored));
               return true;
           },
           count);
    if (frames.frames.empty()) {
        error = "the sample capture gave no frames";
        return false;
    }
    // The replay hands frames out in the order the sensors finished them;
    // pacing follows sensor time.
    std::stable_sort(frames.frames.begin(), frames.frames.end(),
                     [](const StoredFrame& a, const StoredFrame& b) { return a.last_time < b.last_time; });
    int64_t first = frames.frames.front().first_time;
    int64_t last = frames.frames.front().last_time;
    for (const StoredFrame& frame : frames.frames) {
        first = std::min(first, frame.first_time);
        last = std::max(last, frame.last_time);
    }
    frames.seconds = static_cast<double>(last - first) / 1e6;
    // The ceiling: the same replay with nothing done per frame, best run.
    for (int run = 0; run < kCeilingRuns; ++run) {
        const double seconds = replay(capture, [](const vorlan_tool::Frame&) { return true; }, count);
        if (seconds > 0) {
            frames.source_frames_per_second =
                std::max(frames.source_frames_per_second, static_cast<double>(count) / seconds);
        }
    }
    return true;
}

}  // namespace vorlan_bench
