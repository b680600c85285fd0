// Live UDP input under load: the highest rate of 1000-byte datagrams on
// loopback that the listener takes in and hands to the packet worker without
// losing one, beside the strongest plain receiver on the same kind of socket
// (the ceiling: a recvmmsg batch loop that only counts, with no queue, no
// worker and no callbacks).
//
// Each trial sends at a target rate for a fixed time and then stops, whether
// or not the sender kept up: the rate reported is the one the sender actually
// reached, and loss is what the receiver missed of what was actually sent.
// Both receivers climb the same ladder of rates, one trial after the other at
// each rung, for one second per trial; the best lossless rung of each is then
// held for five seconds (stepping down until a five-second trial is lossless).
//
// A plain main() rather than Google Benchmark: the question is a rate search,
// not the time of one operation.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "socket_listener.h"
#include "support/counting_allocator.h"
#include "support/goal_lines.h"
#include "support/rate_ladder.h"
#include "support/udp_load.h"
#include "support/udp_socket.h"
#include "vorlan_sdk.h"

namespace {

using vorlan_bench::Clock;
using vorlan_bench::seconds_since;
using vorlan_bench::thread_cpu_seconds;

constexpr std::size_t kDatagramSize = 1000;
// 165 k rather than 160 k: a trial paced at exactly the goal's rate ends a
// hair below it.
const vorlan_bench::Ladder kLadder{{50e3, 100e3, 165e3, 200e3, 250e3, 320e3, 400e3, 500e3}, 1.0, 5.0};
constexpr double kGoalRate = 160e3;
constexpr double kGoalRatio = 0.8;

// Datagrams of a type no decoder knows: the registry ignores them, so the
// figures are those of the listener and its queue alone.
const std::vector<uint8_t>& benchmark_payload() {
    static const std::vector<uint8_t> payload = [] {
        std::vector<uint8_t> bytes(kDatagramSize, 0x5A);
        std::memcpy(bytes.data(), "BNCH", 4);
        return bytes;
    }();
    return payload;
}

// The ceiling: a blocking socket set up as the listener's (address reuse,
// the same kernel buffer, bound to every address), read by one thread with
// recvmmsg in batches, counting datagrams and nothing else.
class RecvmmsgLoop {
public:
    static constexpr std::size_t kBatch = 64;
    static constexpr const char* kThreadName = "recvmmsg-loop";

    explicit RecvmmsgLoop(uint16_t port) : m_port(port), m_buffers(kBatch * kDatagramSize * 2) {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        int size = vorlan_sdk::SocketListener::kSocketBufferSize;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
        // Wakes the loop now and then to see whether it is to stop.
        timeval timeout{0, 50000};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(port);
        m_bound = bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        for (std::size_t i = 0; i < kBatch; ++i) {
            m_vectors[i].iov_base = m_buffers.data() + i * kDatagramSize * 2;
            m_vectors[i].iov_len = kDatagramSize * 2;
            std::memset(&m_messages[i], 0, sizeof(m_messages[i]));
            m_messages[i].msg_hdr.msg_iov = &m_vectors[i];
            m_messages[i].msg_hdr.msg_iovlen = 1;
        }
        m_thread = std::thread([this] { run(); });
    }
    ~RecvmmsgLoop() {
        m_stop.store(true);
        m_thread.join();
        close(m_fd);
    }
    RecvmmsgLoop(const RecvmmsgLoop&) = delete;
    RecvmmsgLoop& operator=(const RecvmmsgLoop&) = delete;

    bool ok() const { return m_fd >= 0 && m_bound; }
    uint16_t port() const { return m_port; }
    uint64_t received() const { return m_count.load(std::memory_order_relaxed); }

private:
    void run() {
        pthread_setname_np(pthread_self(), kThreadName);
        while (!m_stop.load(std::memory_order_relaxed)) {
            const int n = recvmmsg(m_fd, m_messages, kBatch, MSG_WAITFORONE, nullptr);
            if (n > 0) {
                m_count.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
            }
        }
    }

    const uint16_t m_port;
    int m_fd = -1;
    bool m_bound = false;
    std::vector<uint8_t> m_buffers;
    mmsghdr m_messages[kBatch];
    iovec m_vectors[kBatch];
    std::atomic<uint64_t> m_count{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A receiver under test: where to send, how many it has taken in so far, and
// the names of the threads doing its work.
struct Target {
    std::string name;
    uint16_t port;
    std::function<uint64_t()> received;
    std::vector<std::string> threads;
};

struct Trial : vorlan_bench::LadderTrial {
    std::vector<double> cpu_percent;  // per thread of the target, of one core
    double cpu_seconds = 0.0;         // of all the target's threads
};

Trial run_trial(const Target& target, double rate, double seconds) {
    Trial trial;
    trial.target_rate = rate;
    trial.seconds = seconds;
    std::vector<double> cpu_before;
    for (const std::string& thread : target.threads) {
        cpu_before.push_back(thread_cpu_seconds(thread));
    }
    const uint64_t received_before = target.received();
    const Clock::time_point start = Clock::now();

    trial.sent = vorlan_bench::send_for(target.port, benchmark_payload(), rate, seconds);
    vorlan_bench::wait_for_arrivals(target.received, received_before, trial.sent.count);

    const double elapsed = seconds_since(start);
    trial.received = target.received() - received_before;
    // From the first datagram on: the sender's own set-up is not counted.
    trial.allocations = vorlan_bench::allocation_count() - trial.sent.allocations_at_start;
    for (std::size_t i = 0; i < target.threads.size(); ++i) {
        const double used = thread_cpu_seconds(target.threads[i]) - cpu_before[i];
        trial.cpu_percent.push_back(100.0 * used / elapsed);
        trial.cpu_seconds += used;
    }
    return trial;
}

void print_trial(const Target& target, const Trial& trial) {
    std::printf("%-9s aim %6.0fk/s %1.0fs  sent %8llu at %6.1fk/s  received %8llu  lost %7llu  allocations %5llu ",
                target.name.c_str(), trial.target_rate * 1e-3, trial.seconds,
                static_cast<unsigned long long>(trial.sent.count), trial.sent.rate() * 1e-3,
                static_cast<unsigned long long>(trial.received), static_cast<unsigned long long>(trial.lost()),
                static_cast<unsigned long long>(trial.allocations));
    for (std::size_t i = 0; i < target.threads.size(); ++i) {
        std::printf(" %s %5.1f%%", target.threads[i].c_str(), trial.cpu_percent[i]);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// One trial, its line printed as soon as it is done.
Trial run_and_print(const Target& target, double rate, double seconds) {
    const Trial trial = run_trial(target, rate, seconds);
    print_trial(target, trial);
    return trial;
}

std::atomic<uint64_t> g_worker_count{0};
std::atomic<uint64_t> g_error_reports{0};

void count_packet(VorlanSensorHandle, int64_t, const uint8_t*, size_t, void*) {
    g_worker_count.fetch_add(1, std::memory_order_relaxed);
}

void count_error(VorlanSensorHandle, VorlanSensorErrorCode code, const char* message, const void*, size_t, void*) {
    if (g_error_reports.fetch_add(1) < 5) {
        std::printf("listener error report %d: %s\n", static_cast<int>(code), message != nullptr ? message : "");
    }
}

std::string describe(const Trial& trial) {
    if (!trial.ran()) {
        return "no lossless trial";
    }
    char text[128];
    std::snprintf(text, sizeof text, "lost %llu of %llu sent at %.1fk/s for %.0f s",
                  static_cast<unsigned long long>(trial.lost()), static_cast<unsigned long long>(trial.sent.count),
                  trial.sent.rate() * 1e-3, trial.sent.seconds);
    return text;
}

}  // namespace

int main() {
    std::printf("%zu-byte datagrams on loopback, sender on its own thread; rates are those the sender reached; "
                "CPU is %% of one core\n",
                kDatagramSize);

    RecvmmsgLoop loop(vorlan_test::free_udp_port());
    if (!loop.ok()) {
        std::fprintf(stderr, "cannot open the recvmmsg loop's socket\n");
        return 1;
    }
    VorlanSDKOptions options = vorlan_sdk_create_options();
    options.port = vorlan_test::free_udp_port();
    if (vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, count_error, nullptr) != VORLAN_SUCCESS ||
        vorlan_sdk_listen_network_packet(count_packet, nullptr) != VORLAN_SUCCESS) {
        std::fprintf(stderr, "cannot start the library\n");
        return 1;
    }
    const Target plain{"recvmmsg", loop.port(), [&] { return loop.received(); }, {RecvmmsgLoop::kThreadName}};
    const Target listener{"listener", options.port, [] { return g_worker_count.load(); },
                          {"vorlan-udp", "vorlan-worker"}};
    // Both receivers up the ladder; then the confirmed best of each.
    std::vector<vorlan_bench::Climb<Target>> climbs = {{&plain}, {&listener}};
    const std::vector<Trial> best = vorlan_bench::climb_ladder(kLadder, climbs, run_and_print);
    vorlan_sdk_deinitialize();
    const Trial& ceiling = best[0];
    const Trial& figure = best[1];

    std::printf("\nbest lossless %.0f-second trials: recvmmsg loop %s; listener %s\n", kLadder.confirm_seconds,
                describe(ceiling).c_str(), describe(figure).c_str());
    if (climbs[0].sender_limited) {
        std::printf("the recvmmsg loop took all the sender could send: the ceiling is the sender's limit\n");
    }
    if (figure.ran()) {
        std::printf("listener CPU at %.1fk/s: I/O thread %.1f%%, worker %.1f%%; %llu allocations in %.0f s\n",
                    figure.sent.rate() * 1e-3, figure.cpu_percent[0], figure.cpu_percent[1],
                    static_cast<unsigned long long>(figure.allocations), figure.sent.seconds);
    }
    if (figure.ran() && ceiling.ran()) {
        // Where the sender is the limit, the receivers' CPU per datagram still
        // tells them apart.
        const auto cpu_us_per_datagram = [](const Trial& trial) {
            return trial.cpu_seconds * 1e6 / static_cast<double>(trial.sent.count);
        };
        std::printf("receiver CPU per datagram: recvmmsg loop %.2f us, listener %.2f us (all its threads)\n",
                    cpu_us_per_datagram(ceiling), cpu_us_per_datagram(figure));
    }
    std::printf("listener error reports over the whole run: %llu\n",
                static_cast<unsigned long long>(g_error_reports.load()));

    vorlan_bench::GoalLines goals;
    goals.add_condition("listener zero loss at >= 160k datagrams/s",
                        figure.lossless() && figure.sent.rate() >= kGoalRate, describe(figure));
    goals.add({"listener lossless rate vs recvmmsg loop", figure.sent.rate(), ceiling.sent.rate(), kGoalRatio,
               "datagrams/s"});
    goals.print();
    return 0;
}
