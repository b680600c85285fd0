#include "support/udp_load.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/counting_allocator.h"

namespace vorlan_bench {

namespace {

// Datagrams per sendmmsg call.
constexpr std::size_t kSendBatch = 64;

// A socket connected to 127.0.0.1:port that sends one payload many times
// per system call.
class ConnectedSender {
public:
    ConnectedSender(uint16_t port, const std::vector<uint8_t>& payload)
        : m_fd(socket(AF_INET, SOCK_DGRAM, 0)), m_payload(payload) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        m_connected = m_fd >= 0 && connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        m_vector.iov_base = m_payload.data();
        m_vector.iov_len = m_payload.size();
        for (mmsghdr& message : m_messages) {
            std::memset(&message, 0, sizeof message);
            message.msg_hdr.msg_iov = &m_vector;
            message.msg_hdr.msg_iovlen = 1;
        }
    }
    ~ConnectedSender() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    ConnectedSender(const ConnectedSender&) = delete;
    ConnectedSender& operator=(const ConnectedSender&) = delete;

    bool ok() const { return m_connected; }
    // Up to kSendBatch datagrams; returns how many the system took.
    std::size_t send(std::size_t count) {
        const int n = sendmmsg(m_fd, m_messages, static_cast<unsigned>(std::min(count, kSendBatch)), 0);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

private:
    int m_fd;
    bool m_connected = false;
    std::vector<uint8_t> m_payload;
    iovec m_vector;
    mmsghdr m_messages[kSendBatch];
};

}  // namespace

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

Sent send_for(uint16_t port, const std::vector<uint8_t>& payload, double rate, double seconds) {
    Sent sent;
    std::thread sender_thread([&] {
        pthread_setname_np(pthread_self(), "bench-sender");
        ConnectedSender sender(port, payload);
        if (!sender.ok()) {
            return;
        }
        sent.allocations_at_start = allocation_count();
        const Clock::time_point start = Clock::now();
        const uint64_t total = static_cast<uint64_t>(rate * seconds);
        for (;;) {
            const double elapsed = seconds_since(start);
            if (elapsed >= seconds || sent.count >= total) {
                break;
            }
            const uint64_t due = std::min<uint64_t>(total, static_cast<uint64_t>(rate * elapsed) + 1);
            if (due <= sent.count) {
                // Ahead of the pace: at these rates a batch is due within
                // a few hundred microseconds.
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                continue;
            }
            sent.count += sender.send(static_cast<std::size_t>(due - sent.count));
        }
        sent.seconds = seconds_since(start);
    });
    sender_thread.join();
    return sent;
}

void wait_for_arrivals(const std::function<uint64_t()>& received, uint64_t before, uint64_t count) {
    uint64_t last = received();
    Clock::time_point last_progress = Clock::now();
    while (last - before < count && seconds_since(last_progress) < 0.3) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const uint64_t now = received();
        if (now != last) {
            last = now;
            last_progress = Clock::now();
        }
    }
}

}  // namespace vorlan_bench
