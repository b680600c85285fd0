#include "hostile_traffic.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vorlan_long {
namespace {

// The largest payload an IPv4 UDP datagram carries.
constexpr std::size_t kOversize = 65507;
constexpr std::size_t kRandomKinds = 6;  // random datagrams per batch
constexpr auto kSamplePeriod = std::chrono::milliseconds(100);

uint64_t next_random(uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

void fill_random(Bytes& bytes, uint64_t& state) {
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        const uint64_t value = next_random(state);
        std::memcpy(bytes.data() + i, &value, std::min<std::size_t>(8, bytes.size() - i));
    }
}

// Source address number `n`: 127.100.0.0 upwards, never 127.0.0.1.
in_addr_t source_address(uint64_t n) {
    const uint32_t host = (127u << 24) | ((100u + static_cast<uint32_t>((n >> 16) % 150)) << 16) |
                          static_cast<uint32_t>(n & 0xFFFF);
    return htonl(host);
}

sockaddr_in loopback(uint16_t port, in_addr_t address = htonl(INADDR_LOOPBACK)) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    return to;
}

}  // namespace

std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

FloodResult flood(uint16_t port, const std::vector<Bytes>& crafted, const std::vector<std::string>& type_words,
                  std::chrono::seconds duration) {
    FloodResult result;
    result.baseline_rss = resident_bytes();

    std::atomic<bool> sending{true};
    std::vector<std::pair<double, std::size_t>> samples;
    const auto start = std::chrono::steady_clock::now();
    std::thread sampler([&] {
        while (sending.load()) {
            const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            samples.emplace_back(t, resident_bytes());
            std::this_thread::sleep_for(kSamplePeriod);
        }
    });

    uint64_t random_state = 0x9E3779B97F4A7C15ull;
    std::vector<Bytes> randoms(kRandomKinds);
    const Bytes oversize(kOversize, 0xA5);
    const Bytes empty;
    const sockaddr_in to = loopback(port);

    std::vector<const Bytes*> batch;
    for (const Bytes& bytes : randoms) {
        batch.push_back(&bytes);
    }
    for (const Bytes& bytes : crafted) {
        batch.push_back(&bytes);
    }
    batch.push_back(&oversize);
    batch.push_back(&empty);
    std::vector<iovec> iovecs(batch.size());
    std::vector<mmsghdr> messages(batch.size());

    const auto end = start + duration;
    while (std::chrono::steady_clock::now() < end) {
        // New random datagrams: sizes from 1 to a full Ethernet payload, half
        // of them behind a type word.
        for (std::size_t k = 0; k < randoms.size(); ++k) {
            randoms[k].resize(1 + next_random(random_state) % 1472);
            fill_random(randoms[k], random_state);
            if (k % 2 == 1 && !type_words.empty() && randoms[k].size() >= 4) {
                const std::string& word = type_words[next_random(random_state) % type_words.size()];
                std::memcpy(randoms[k].data(), word.data(), std::min<std::size_t>(4, word.size()));
            }
        }
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) {
            continue;
        }
        const sockaddr_in from = loopback(0, source_address(result.addresses));
        if (bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof(from)) != 0) {
            close(fd);
            ++result.addresses;
            continue;
        }
        ++result.addresses;
        for (std::size_t i = 0; i < batch.size(); ++i) {
            iovecs[i].iov_base = const_cast<uint8_t*>(batch[i]->data());
            iovecs[i].iov_len = batch[i]->size();
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
            messages[i].msg_hdr.msg_namelen = sizeof(to);
            messages[i].msg_hdr.msg_iov = &iovecs[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = sendmmsg(fd, messages.data(), static_cast<unsigned>(messages.size()), 0);
        if (sent > 0) {
            result.datagrams += static_cast<uint64_t>(sent);
        }
        close(fd);
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sending.store(false);
    sampler.join();

    const double half = result.seconds / 2;
    for (const auto& sample : samples) {
        result.peak_rss = std::max(result.peak_rss, sample.second);
        std::size_t& half_peak = sample.first < half ? result.first_half_peak_rss : result.last_half_peak_rss;
        half_peak = std::max(half_peak, sample.second);
    }
    return result;
}

void send_from_localhost(uint16_t port, const Bytes& payload, uint8_t host) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return;
    }
    const sockaddr_in from = loopback(0, htonl((127u << 24) | host));
    if (bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof(from)) != 0) {
        close(fd);
        return;
    }
    const sockaddr_in to = loopback(port);
    (void)sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    close(fd);
}

int report(const std::string& library, const FloodResult& result, std::size_t bound_bytes, std::size_t slack_bytes,
           bool sensor_ok) {
    constexpr double kMiB = 1024.0 * 1024.0;
    std::printf("%s: %llu datagrams from %llu addresses in %.1f s (%.0f/s)\n", library.c_str(),
                static_cast<unsigned long long>(result.datagrams), static_cast<unsigned long long>(result.addresses),
                result.seconds, result.datagrams / std::max(result.seconds, 1e-9));
    std::printf("%s: resident %.1f MiB before, peak %.1f MiB (bound %.0f MiB); first half peak %.1f, last half peak "
                "%.1f MiB (allowed %.0f MiB more)\n",
                library.c_str(), result.baseline_rss / kMiB, result.peak_rss / kMiB, bound_bytes / kMiB,
                result.first_half_peak_rss / kMiB, result.last_half_peak_rss / kMiB, slack_bytes / kMiB);
    bool ok = true;
    if (result.peak_rss > bound_bytes) {
        std::printf("%s: FAILED: resident memory over its bound\n", library.c_str());
        ok = false;
    }
    if (result.last_half_peak_rss > result.first_half_peak_rss + slack_bytes) {
        std::printf("%s: FAILED: resident memory still growing in the last half\n", library.c_str());
        ok = false;
    }
    if (!sensor_ok) {
        std::printf("%s: FAILED: a valid sensor was not decoded correctly afterwards\n", library.c_str());
        ok = false;
    }
    std::printf("%s: %s\n", library.c_str(), ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}

}  // namespace vorlan_long
