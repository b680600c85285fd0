// Frames through DDS on loopback: the publisher in this process, a
// subscriber in a child process (as on another host, so the traffic takes
// the network path, not DDS's in-process shortcut), both kept on this host
// in a domain drawn at random.
//
// Throughput: the simulator's sample capture (8 sensors, 10 s) replayed
// through the tool's frame source into memory, then every frame handed to
// the publisher as fast as it takes them; frames and points per second until
// the last one arrives, beside the replay alone (the ceiling: DDS can only
// add to that work).
// Latency: frames paced as the sensors send them, from the frame's hand-over
// (its completion) to its arrival at the subscriber, median and 99th
// percentile, on the steady clock both processes share. Each for best effort
// (ROS 2's sensor-data profile) and reliable delivery.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_frames.h"
#include "dds_publisher.h"
#include "publish/dds_test_domain.h"
#include "publish/ros_subscriber.h"
#include "ros_names.h"
#include "support/goal_lines.h"

namespace {

using Clock = std::chrono::steady_clock;
using vorlan_bench::BenchFrames;

constexpr int kRepetitions = 3;
constexpr std::chrono::milliseconds kPatience{60000};
// After the publisher's last frame, how long the subscriber keeps waiting
// for best-effort frames that will not come.
constexpr std::chrono::milliseconds kQuiet{2000};

struct Command {
    int reliable = 0;
    int quit = 0;
    uint64_t frames = 0;  // how many the publisher will send
};

struct Arrival {
    uint32_t sensor = 0;
    int64_t stamp = 0;  // µs, the frame's first point time
    int64_t arrival_ns = 0;
    uint32_t points = 0;
};

bool write_all(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_all(int fd, void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int64_t steady_ns(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// The child: for each command, a fresh participant subscribing to every
// sensor's topic; once ready, a byte to the parent; after the frames, what
// arrived and when.
int run_subscriber(uint32_t domain, const std::vector<std::string>& topics, int commands, int results) {
    Command command;
    while (read_all(commands, &command, sizeof command) && command.quit == 0) {
        vorlan_test::RosSubscriber subscriber(domain);
        const auto delivery = command.reliable != 0 ? vorlan_test::Delivery::reliable : vorlan_test::Delivery::best_effort;
        for (const std::string& topic : topics) {
            subscriber.subscribe_points(topic, delivery);
        }
        const char ready = 1;
        write_all(results, &ready, 1);
        // All frames, or a quiet spell once some came (best effort loses some).
        const auto deadline = Clock::now() + kPatience;
        std::size_t seen = 0;
        while (true) {
            std::size_t total = 0;
            const bool all = subscriber.wait_until(
                [&] {
                    total = subscriber.total_clouds();
                    return total >= command.frames;
                },
                kQuiet);
            if (all || (total == seen && total > 0) || Clock::now() >= deadline) {
                break;
            }
            seen = total;
        }
        std::vector<Arrival> arrivals;
        for (std::size_t s = 0; s < topics.size(); ++s) {
            for (const auto& cloud : subscriber.clouds(topics[s])) {
                Arrival a;
                a.sensor = static_cast<uint32_t>(s);
                a.stamp = int64_t{cloud.sec} * 1000000 + cloud.nanosec / 1000;
                a.arrival_ns = steady_ns(cloud.arrival);
                a.points = cloud.width;
                arrivals.push_back(a);
            }
        }
        const uint64_t count = arrivals.size();
        write_all(results, &count, sizeof count);
        write_all(results, arrivals.data(), arrivals.size() * sizeof(Arrival));
    }
    return 0;
}

struct Pass {
    double seconds = 0;       // first hand-over to last arrival
    uint64_t received = 0;
    uint64_t points = 0;
    uint64_t not_sent = 0;  // frames DDS did not take from the publisher
    std::vector<double> latencies_ms;
};

class Bench {
public:
    Bench(const BenchFrames& frames, uint32_t domain, int commands, int results)
        : m_frames(frames), m_domain(domain), m_commands(commands), m_results(results) {}

    // `pace`: hand frames over at the pace of their sensor times; otherwise
    // as fast as the publisher takes them.
    bool run(bool reliable, bool pace, Pass& pass) {
        Command command;
        command.reliable = reliable ? 1 : 0;
        // One warm-up frame per sensor comes first.
        command.frames = m_frames.frames.size() + m_frames.sensors.size();
        char ready = 0;
        if (!write_all(m_commands, &command, sizeof command) || !read_all(m_results, &ready, 1)) {
            return false;
        }
        vorlan_tool::PublisherSettings settings;
        settings.domain = m_domain;
        settings.reliable = reliable;
        settings.wait_subscribers = 1;
        std::string error;
        auto publisher = vorlan_tool::DdsPublisher::create(settings, error);
        if (!publisher) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
        // Each sensor's topic made and matched before the clock starts.
        std::vector<bool> started(m_frames.sensors.size(), false);
        for (const auto& frame : m_frames.frames) {
            if (!started[frame.sensor]) {
                started[frame.sensor] = true;
                publisher->publish(m_frames.frame(frame, 0));
            }
        }
        std::map<std::pair<uint32_t, int64_t>, int64_t> handed;
        const Clock::time_point start = Clock::now();
        int64_t first_stamp = m_frames.frames.empty() ? 0 : m_frames.frames.front().first_time;
        for (const auto& stored : m_frames.frames) {
            first_stamp = std::min(first_stamp, stored.first_time);
        }
        for (std::size_t i = 0; i < m_frames.frames.size(); ++i) {
            const auto& stored = m_frames.frames[i];
            // Stamps moved on by a run's length keep this pass's frames apart
            // from the warm-up's.
            const int64_t shift = 1000000000;
            if (pace) {
                // A frame is complete when its last point came.
                std::this_thread::sleep_until(start + std::chrono::microseconds(stored.last_time - first_stamp));
            }
            const Clock::time_point now = Clock::now();
            handed[{static_cast<uint32_t>(stored.sensor), stored.first_time + shift}] = steady_ns(now);
            publisher->publish(m_frames.frame(stored, shift));
        }
        for (const auto& sensor : publisher->sensors()) {
            pass.not_sent += sensor.frames_not_sent;
        }
        uint64_t count = 0;
        if (!read_all(m_results, &count, sizeof count)) {
            return false;
        }
        std::vector<Arrival> arrivals(count);
        if (!read_all(m_results, arrivals.data(), count * sizeof(Arrival))) {
            return false;
        }
        int64_t last = steady_ns(start);
        for (const Arrival& a : arrivals) {
            const auto found = handed.find({a.sensor, a.stamp});
            if (found == handed.end()) {
                continue;  // a warm-up frame
            }
            ++pass.received;
            pass.points += a.points;
            pass.latencies_ms.push_back(static_cast<double>(a.arrival_ns - found->second) / 1e6);
            last = std::max(last, a.arrival_ns);
        }
        pass.seconds = static_cast<double>(last - steady_ns(start)) / 1e9;
        return true;
    }

private:
    const BenchFrames& m_frames;
    uint32_t m_domain;
    int m_commands;
    int m_results;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t at = std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
    return values[at];
}

}  // namespace

int main() {
    BenchFrames frames;
    std::string error;
    if (!vorlan_bench::load_bench_frames(frames, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const uint32_t domain = vorlan_test::keep_dds_on_this_host();
    std::vector<std::string> topics;
    for (const auto& sensor : frames.sensors) {
        topics.push_back(vorlan_tool::ros_points_topic(vorlan_tool::ros_sensor_token(sensor.address, sensor.serial_number)));
    }
    int to_child[2];
    int from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) {
        std::perror("pipe");
        return 1;
    }
    // No DDS entity exists yet in this process: the child starts DDS afresh.
    const pid_t child = fork();
    if (child == 0) {
        close(to_child[1]);
        close(from_child[0]);
        _exit(run_subscriber(domain, topics, to_child[0], from_child[1]));
    }
    close(to_child[0]);
    close(from_child[1]);

    std::printf("%zu frames of %zu sensors, %llu points, %.1f s of sensor time; source alone %.0f frames/s\n",
                frames.frames.size(), frames.sensors.size(), static_cast<unsigned long long>(frames.points),
                frames.seconds, frames.source_frames_per_second);
    Bench bench(frames, domain, to_child[1], from_child[0]);
    vorlan_bench::GoalLines goals;
    bool failed = false;
    for (const bool reliable : {false, true}) {
        const char* name = reliable ? "reliable" : "best effort";
        double best_rate = 0;
        double best_points = 0;
        uint64_t fewest_received = frames.frames.size();
        for (int r = 0; r < kRepetitions && !failed; ++r) {
            Pass pass;
            failed = !bench.run(reliable, false, pass);
            if (pass.seconds > 0) {
                best_rate = std::max(best_rate, static_cast<double>(pass.received) / pass.seconds);
                best_points = std::max(best_points, static_cast<double>(pass.points) / pass.seconds);
            }
            fewest_received = std::min<uint64_t>(fewest_received, pass.received);
            std::printf("%s pass: %llu received, %llu not sent, %.2f s\n", name, static_cast<unsigned long long>(pass.received), static_cast<unsigned long long>(pass.not_sent), pass.seconds);
        }
        Pass paced;
        failed = failed || !bench.run(reliable, true, paced);
        const double median = percentile(paced.latencies_ms, 0.5);
        const double p99 = percentile(paced.latencies_ms, 0.99);
        std::printf("%-12s %9.0f frames/s %12.0f points/s  fewest received %llu of %zu;  paced: %llu of %zu, "
                    "latency median %.2f ms, p99 %.2f ms\n",
                    name, best_rate, best_points, static_cast<unsigned long long>(fewest_received),
                    frames.frames.size(), static_cast<unsigned long long>(paced.received), frames.frames.size(),
                    median, p99);
        // Best effort at full speed delivers what the subscriber's socket
        // keeps up with, as the profile allows: a figure, not a goal.
        if (reliable) {
            goals.add({"DDS reliable frames/s, full speed", best_rate, frames.source_frames_per_second, 0.15,
                       "frames/s"});
            // What a site needs carried: the sensors' own rate, with room.
            goals.add({"DDS reliable frames/s over the sensors' rate", best_rate,
                       static_cast<double>(frames.frames.size()) / frames.seconds, 4.0, "frames/s"});
        }
        char seen[128];
        std::snprintf(seen, sizeof seen, "median %.2f ms, p99 %.2f ms (goal p99 < 20 ms)", median, p99);
        goals.add_condition(std::string("DDS ") + name + " latency at sensor pace", p99 < 20.0 && !paced.latencies_ms.empty(), seen);
        if (reliable) {
            std::snprintf(seen, sizeof seen, "%llu of %zu frames at full speed", static_cast<unsigned long long>(fewest_received),
                          frames.frames.size());
            goals.add_condition("DDS reliable delivers every frame", fewest_received == frames.frames.size(), seen);
        } else {
            std::snprintf(seen, sizeof seen, "%llu of %zu frames", static_cast<unsigned long long>(paced.received),
                          frames.frames.size());
            goals.add_condition("DDS best effort at sensor pace loses nothing", paced.received == frames.frames.size(), seen);
        }
    }
    Command quit;
    quit.quit = 1;
    write_all(to_child[1], &quit, sizeof quit);
    close(to_child[1]);
    int status = 0;
    waitpid(child, &status, 0);
    if (failed) {
        std::fprintf(stderr, "a pass failed\n");
        return 1;
    }
    goals.print();
    return 0;
}
