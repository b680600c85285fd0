// Hostile traffic over loopback for the long tests: datagrams from many
// source addresses of 127.0.0.0/8 at the highest rate one thread sends, of
// every kind a broken or hostile sender produces (random bytes, packets
// crafted by the caller such as half information packets or points of
// sensors nobody introduced, oversize and empty datagrams), while the
// process's resident memory is sampled.
#ifndef VORLAN_TESTS_LONG_HOSTILE_TRAFFIC_H
#define VORLAN_TESTS_LONG_HOSTILE_TRAFFIC_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorlan_long {

using Bytes = std::vector<uint8_t>;

struct FloodResult {
    uint64_t datagrams = 0;  // handed to the system
    uint64_t addresses = 0;  // distinct source addresses used
    double seconds = 0.0;
    std::size_t baseline_rss = 0;        // bytes, before the flood
    std::size_t peak_rss = 0;            // bytes, the whole run
    std::size_t first_half_peak_rss = 0;
    std::size_t last_half_peak_rss = 0;
};

// Resident memory of this process in bytes.
std::size_t resident_bytes();

// Sends to 127.0.0.1:`port` for `duration`, each batch from a new address.
// `crafted` joins the random, oversize and empty datagrams of every batch;
// half the random datagrams start with one of the `type_words`, so that
// they reach the decoders behind the type dispatch.
FloodResult flood(uint16_t port, const std::vector<Bytes>& crafted, const std::vector<std::string>& type_words,
                  std::chrono::seconds duration);

// Sends `payload` from 127.0.0.`host` to 127.0.0.1:`port`.
void send_from_localhost(uint16_t port, const Bytes& payload, uint8_t host = 1);

// Prints the figures and checks them: peak under `bound_bytes`, and the last
// half's peak no more than `slack_bytes` above the first half's. Returns the
// process exit code.
int report(const std::string& library, const FloodResult& result, std::size_t bound_bytes, std::size_t slack_bytes,
           bool sensor_ok);

}  // namespace vorlan_long

#endif  // VORLAN_TESTS_LONG_HOSTILE_TRAFFIC_H
