// Frames held in memory for benchmarks that consume frames: every sensor's
// facts and every frame's points, handed out again as the tool's frames.
#ifndef VORLAN_BENCH_SUPPORT_BENCH_FRAMES_H
#define VORLAN_BENCH_SUPPORT_BENCH_FRAMES_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "frame_source.h"

namespace vorlan_bench {

struct StoredFrame {
    std::size_t sensor = 0;  // index into BenchFrames::sensors
    int64_t first_time = 0;
    int64_t last_time = 0;
    std::vector<vorlan_tool::FramePoint> points;
    std::size_t n_valid = 0;
};

struct BenchFrames {
    std::vector<vorlan_tool::SensorFacts> sensors;
    std::vector<StoredFrame> frames;
    uint64_t points = 0;
    double seconds = 0;  // sensor time from the first frame to the last
    double source_frames_per_second = 0;  // the source alone, handing out every frame

    // `stored` as a frame, its times moved on by `shift` µs.
    vorlan_tool::Frame frame(const StoredFrame& stored, int64_t shift) const {
        vorlan_tool::Frame f;
        f.sensor = &sensors[stored.sensor];
        f.first_time = stored.first_time + shift;
        f.last_time = stored.last_time + shift;
        f.whole = true;
        f.points = stored.points.data();
        f.n_points = stored.points.size();
        f.n_valid = stored.n_valid;
        return f;
    }
};

// Loads the frames the benchmark publishes; false, with `error`, when it
// cannot.
bool load_bench_frames(BenchFrames& frames, std::string& error);

}  // namespace vorlan_bench

#endif  // VORLAN_BENCH_SUPPORT_BENCH_FRAMES_H
