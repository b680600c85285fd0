// Loopback load for the network benchmarks: a paced sender that stops when
// its time is up, and the CPU a named thread used.
#ifndef VORLAN_BENCH_SUPPORT_UDP_LOAD_H
#define VORLAN_BENCH_SUPPORT_UDP_LOAD_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vorlan_bench {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start);

// CPU seconds used so far by the process's threads called `name`.
double thread_cpu_seconds(const std::string& name);

// What one trial's sender did: it stops when the trial's time is up, so a
// sender that cannot keep up sends fewer datagrams, not for longer.
struct Sent {
    uint64_t count = 0;
    double seconds = 0.0;               // from the first send to the end of the last
    uint64_t allocations_at_start = 0;  // the process's count once the sender was set up
    double rate() const { return seconds > 0 ? static_cast<double>(count) / seconds : 0.0; }
};

// Sends `payload` from 127.0.0.1 to 127.0.0.1:port at `rate` datagrams per
// second for `seconds`, on a thread of its own called "bench-sender", and
// returns when it is done. It sends through a connected socket, many
// datagrams per system call: on loopback the sender also pays for
// delivering into the receiver's socket, so it is what limits the rates
// reachable here, and a connected socket spares it a route lookup per
// datagram.
Sent send_for(uint16_t port, const std::vector<uint8_t>& payload, double rate, double seconds);

// Waits after a trial for what is still queued: until `received()` has gone
// `count` past `before`, or nothing has arrived for 300 ms (what is missing
// then was lost).
void wait_for_arrivals(const std::function<uint64_t()>& received, uint64_t before, uint64_t count);

}  // namespace vorlan_bench

#endif  // VORLAN_BENCH_SUPPORT_UDP_LOAD_H
