// Live UDP input under load: the highest rate of 1000-byte datagrams on
// loopback that the listener takes in and hands to the packet worker without
// losing one, beside a plain asio receive loop on the same kind of socket
// (the ceiling: no queue, no worker, no callbacks). Each rate is tried for one
// second on a ladder; the best lossless rung is then held for five seconds.
//
// A plain main() rather than Google Benchmark: the question is a rate search,
// not the time of one operation.
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "network.h"
#include "socket_listener.h"
#include "support/udp_socket.h"
#include "support/counting_allocator.h"
#include "vorlan_sdk.h"


namespace {

constexpr std::size_t kDatagramSize = 1000;
const std::vector<double> kLadder = {50e3, 100e3, 160e3, 200e3, 250e3, 320e3, 400e3, 500e3};

// CPU seconds used so far by the process's threads called `name`.
double thread_cpu_seconds(const std::string& name) {
    const double ticks_per_second = static_cast<double>(sysconf(_SC_CLK_TCK));
    double total = 0.0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return 0.0;
    }
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::string comm;
        std::getline(std::ifstream(base + "/comm"), comm);
        if (comm != name) {
            continue;
        }
        std::string stat;
        std::getline(std::ifstream(base + "/stat"), stat);
        // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        double user = 0.0;
        double system = 0.0;
        for (int index = 3; fields >> field; ++index) {
            if (index == 14) {
                user = std::stod(field);
            } else if (index == 15) {
                system = std::stod(field);
                break;
            }
        }
        total += (user + system) / ticks_per_second;
    }
    closedir(tasks);
    return total;
}

double own_thread_cpu_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Sends `rate` datagrams per second for `seconds` from another thread; returns
// how many went out and the sender's CPU seconds.
struct Sent {
    uint64_t count = 0;
    double cpu_seconds = 0.0;
};

Sent send_at_rate(uint16_t port, double rate, double seconds) {
    Sent sent;
    std::thread sender_thread([&] {
        vorlan_test::UdpSender sender(port);
        std::vector<uint8_t> payload(kDatagramSize, 0x5A);
        payload[0] = 'B';  // a type word no decoder knows: the registry ignores it
        payload[1] = 'N';
        payload[2] = 'C';
        payload[3] = 'H';
        const double cpu_start = own_thread_cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        const uint64_t total = static_cast<uint64_t>(rate * seconds);
        while (sent.count < total) {
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const uint64_t due = std::min<uint64_t>(total, static_cast<uint64_t>(rate * elapsed));
            if (due <= sent.count) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                continue;
            }
            sent.count += sender.send_many(payload.data(), payload.size(), std::min<uint64_t>(due - sent.count, 64));
        }
        sent.cpu_seconds = own_thread_cpu_seconds() - cpu_start;
    });
    sender_thread.join();
    return sent;
}

// A receiver under test: where to send, how many it has taken in so far, and
// the names of the threads doing its work.
struct Target {
    std::string name;
    uint16_t port;
    std::function<uint64_t()> received;
    std::vector<std::string> threads;
};

struct Trial {
    double rate = 0.0;
    double seconds = 0.0;
    uint64_t sent = 0;
    uint64_t received = 0;
    std::vector<double> cpu_percent;  // per thread of the target, of one core
    double allocations_per_datagram = 0.0;
    bool lossless() const { return received == sent; }
};

Trial run_trial(const Target& target, double rate, double seconds) {
    Trial trial;
    trial.rate = rate;
    trial.seconds = seconds;
    std::vector<double> cpu_before;
    for (const std::string& thread : target.threads) {
        cpu_before.push_back(thread_cpu_seconds(thread));
    }
    const uint64_t received_before = target.received();
    const uint64_t allocations_before = vorlan_bench::allocation_count();
    const auto start = std::chrono::steady_clock::now();

    trial.sent = send_at_rate(target.port, rate, seconds).count;
    // Let the receiver drain what is still in flight.
    uint64_t last = target.received();
    for (int idle = 0; idle < 30 && last - received_before < trial.sent; ) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const uint64_t now = target.received();
        idle = now == last ? idle + 1 : 0;
        last = now;
    }

    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    trial.received = target.received() - received_before;
    trial.allocations_per_datagram =
        static_cast<double>(vorlan_bench::allocation_count() - allocations_before) / static_cast<double>(trial.sent);
    for (std::size_t i = 0; i < target.threads.size(); ++i) {
        trial.cpu_percent.push_back(100.0 * (thread_cpu_seconds(target.threads[i]) - cpu_before[i]) / elapsed);
    }
    return trial;
}

void print_trial(const Target& target, const Trial& trial) {
    std::printf("%-12s %8.0f/s %3.0fs  sent %9llu  lost %8llu  allocs/dgram %.4f ", target.name.c_str(), trial.rate,
                trial.seconds, static_cast<unsigned long long>(trial.sent),
                static_cast<unsigned long long>(trial.sent - trial.received), trial.allocations_per_datagram);
    for (std::size_t i = 0; i < target.threads.size(); ++i) {
        std::printf(" %s %5.1f%%", target.threads[i].c_str(), trial.cpu_percent[i]);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// The highest lossless rung of the ladder, confirmed by a five-second run.
Trial best_lossless(const Target& target) {
    std::size_t best = kLadder.size();
    for (std::size_t i = 0; i < kLadder.size(); ++i) {
        const Trial trial = run_trial(target, kLadder[i], 1.0);
        print_trial(target, trial);
        if (!trial.lossless()) {
            break;
        }
        best = i;
    }
    while (best < kLadder.size()) {
        const Trial trial = run_trial(target, kLadder[best], 5.0);
        print_trial(target, trial);
        if (trial.lossless()) {
            return trial;
        }
        best = best == 0 ? kLadder.size() : best - 1;
    }
    return Trial();
}

// The ceiling: one asio socket like the listener's, a receive loop that only
// counts, on one thread.
class PlainReceiver {
public:
    explicit PlainReceiver(uint16_t port) : m_socket(m_io_context) {
        m_socket.open(asio::ip::udp::v4());
        m_socket.set_option(asio::socket_base::reuse_address(true));
        m_socket.set_option(asio::socket_base::receive_buffer_size(vorlan_sdk::SocketListener::kSocketBufferSize));
#if defined(__linux__)
        int value = vorlan_sdk::SocketListener::kSocketBufferSize;
        setsockopt(m_socket.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &value, sizeof(value));
#endif
        m_socket.bind(asio::ip::udp::endpoint(asio::ip::address_v4::any(), port));
        m_thread = std::thread([this] {
            pthread_setname_np(pthread_self(), "plain-asio");
            receive();
            m_io_context.run();
        });
    }
    ~PlainReceiver() {
        m_io_context.stop();
        m_thread.join();
    }
    uint64_t received() const { return m_count.load(); }

private:
    void receive() {
        m_socket.async_receive_from(asio::buffer(m_buffer), m_sender, [this](const std::error_code& error, std::size_t) {
            if (error == asio::error::operation_aborted) {
                return;
            }
            m_count.fetch_add(1, std::memory_order_relaxed);
            receive();
        });
    }

    asio::io_context m_io_context;
    asio::ip::udp::socket m_socket;
    asio::ip::udp::endpoint m_sender;
    uint8_t m_buffer[65536];
    std::atomic<uint64_t> m_count{0};
    std::thread m_thread;
};

std::atomic<uint64_t> g_worker_count{0};

void count_packet(VorlanSensorHandle, int64_t, const uint8_t*, size_t, void*) {
    g_worker_count.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

int main() {
    std::printf("1000-byte datagrams on loopback, sender on its own thread; CPU is %% of one core\n");

    Trial plain;
    {
        const uint16_t port = vorlan_test::free_udp_port();
        PlainReceiver receiver(port);
        const Target target{"plain asio", port, [&] { return receiver.received(); }, {"plain-asio"}};
        plain = best_lossless(target);
    }

    Trial listener;
    {
        VorlanSDKOptions options = vorlan_sdk_create_options();
        options.port = vorlan_test::free_udp_port();
        if (vorlan_sdk_initialize(VORLAN_SDK_VERSION, &options, nullptr, nullptr) != VORLAN_SUCCESS ||
            vorlan_sdk_listen_network_packet(count_packet, nullptr) != VORLAN_SUCCESS) {
            std::fprintf(stderr, "cannot start the library\n");
            return 1;
        }
        const Target target{"listener", options.port, [] { return g_worker_count.load(); },
                            {"vorlan-udp", "vorlan-worker"}};
        listener = best_lossless(target);
        const vorlan_sdk::NetworkManager::Statistics statistics = vorlan_sdk::NetworkManager::instance().get_statistics();
        std::printf("listener backlog drops over the whole run: %llu\n",
                    static_cast<unsigned long long>(statistics.dropped));
        vorlan_sdk_deinitialize();
    }

    std::printf("\nhighest lossless rate (5 s): plain asio %.0f/s, listener %.0f/s, ratio %.2f\n", plain.rate,
                listener.rate, plain.rate > 0 ? listener.rate / plain.rate : 0.0);
    if (!listener.cpu_percent.empty()) {
        std::printf("listener CPU at %.0f/s: I/O thread %.1f%%, worker %.1f%%; allocations per datagram %.4f\n",
                    listener.rate, listener.cpu_percent[0], listener.cpu_percent[1],
                    listener.allocations_per_datagram);
    }
    return 0;
}
